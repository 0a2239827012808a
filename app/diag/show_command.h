// "dispset-diag show": the first display's setting as the driver reports it, read through
// the same driver interface client as dispset.exe's (InitializeDriverInterface and the
// wrappers). It reads and never applies: ApplyDisplayRecord is not called.
#pragma once

#include "app/diag/report.h"
#include "app/diag/text_buffer.h"

// Appends the report to out; returns kExitSuccess when display 0's record was read,
// kExitFailure otherwise.
int RunShow(ReportFormat format, TextBuffer& out);
