// "dispset-diag show" and "dispset-diag check": the first display's setting as the driver
// reports it, read through the same driver interface client as dispset.exe's
// (InitializeDriverInterface and the wrappers). They read and never apply:
// ApplyDisplayRecord is not called. show reports every call and the watcher; check says in
// one line, and in its exit code, whether the setting is the one dispset.exe applies (the
// watcher runs it after each run to learn whether the driver dropped the setting).
#pragma once

#include "app/diag/report.h"
#include "app/diag/text_buffer.h"

// Appends the report to out; returns kExitSuccess when display 0's record was read,
// kExitFailure otherwise.
int RunShow(ReportFormat format, TextBuffer& out);

// Appends the one line; returns kCheckSettingHeld when the setting is the one dispset.exe
// applies, kCheckSettingDropped when the driver reports another, kCheckNotRead when the
// record could not be read (app/common/watcher_contract.h).
int RunCheck(ReportFormat format, TextBuffer& out);
