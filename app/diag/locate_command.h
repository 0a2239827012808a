// "dispset-diag locate [NAME]": the decision that dispset.exe's loader takes for NAME, told
// step by step by the loader itself. LoadLibrarySecure runs with an observer installed that
// asks for a dry run, so the loader goes the program's way to the point where it would load
// the module, and stops there: the module's code never runs. The file it would load is then
// looked at through its headers only.
#pragma once

#include "app/diag/locate_model.h"
#include "app/diag/pe_image.h"
#include "app/diag/report.h"
#include "app/diag/text_buffer.h"

// The loader's decision for a module name, and the file it would load.
struct LocateResult {
    LocateTrace trace;
    OptionalText file;  // what LoadLibraryExW would open; absent when no path was decided
    PeImageInfo headers;
    LocateDecision decision;
};

// Runs the loader's decision for name as a dry run (the module's code never runs) and
// looks at the file it decides on through its headers. False when the file's name could
// not be had (no memory).
bool LocateModule(const wchar_t* name, LocateResult& result);

// Appends the report to out; returns kExitSuccess when the module would be loaded,
// kExitFailure when the loader would refuse it or the file could not be loaded.
int RunLocate(const wchar_t* name, ReportFormat format, TextBuffer& out);
