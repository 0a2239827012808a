// dispset-diag: shows why dispset.exe loads what it loads, and what the display setting is
// now, without changing anything. A console program built from the same libraries as
// dispset.exe; like it, it imports only KERNEL32.dll and msvcrt.dll.
#include <windows.h>

#include "app/diag/companion.h"
#include "app/diag/report.h"
#include "loader/search_order.h"

int wmain(int argc, wchar_t** argv) {
    // The companion is meant to be safe to run from a Downloads folder, beside whatever else
    // was downloaded there: before any library beyond kernel32 and msvcrt is loaded (the
    // loader's system libraries, the driver library for show), the search for what they
    // import is restricted to the system directory.
    RestrictDllSearchToSystemDirectory();
    CompanionOutput output;
    int exitCode = RunCompanion(argc, argv, output);
    const bool written = WriteToStandardHandle(STD_OUTPUT_HANDLE, output.out) &&
                         WriteToStandardHandle(STD_ERROR_HANDLE, output.err);
    if (output.out.failed() || output.err.failed() || !written) {
        exitCode = kExitInternal;
    }
    return exitCode;
}
