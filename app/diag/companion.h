// dispset-diag's command line: which command, in which format, and the usage. The commands'
// reports go to out, usage errors to err; main writes both to the standard handles, and the
// tests call this directly.
#pragma once

#include "app/diag/text_buffer.h"

struct CompanionOutput {
    TextBuffer out;
    TextBuffer err;
};

// argv[0] is the program; the arguments follow. Returns the exit code.
int RunCompanion(int argc, const wchar_t* const* argv, CompanionOutput& output);
