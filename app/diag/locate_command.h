// "dispset-diag locate [NAME]": the decision that dispset.exe's loader takes for NAME, told
// step by step by the loader itself. LoadLibrarySecure runs with an observer installed that
// asks for a dry run, so the loader goes the program's way to the point where it would load
// the module, and stops there: the module's code never runs. The file it would load is then
// looked at through its headers only.
#pragma once

#include "app/diag/report.h"
#include "app/diag/text_buffer.h"

// Appends the report to out; returns kExitSuccess when the module would be loaded,
// kExitFailure when the loader would refuse it or the file could not be loaded.
int RunLocate(const wchar_t* name, ReportFormat format, TextBuffer& out);
