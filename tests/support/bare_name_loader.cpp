// A program that loads nvapi.dll by its bare name along Windows' default search order: the
// planting hole that dispset.exe closes, for the self-test's own tests (never shipped). Built
// with WORKING_FOLDER_REMOVED, it first takes the working folder out of the search
// (SetDllDirectoryW, as dispset.exe's fallback does where SetDefaultDllDirectories is
// missing; given the system directory, which Windows and Wine both honour), so that the
// folder on PATH is where a planted copy is met.
#include <windows.h>

int main() {
#ifdef WORKING_FOLDER_REMOVED
    wchar_t system[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || !SetDllDirectoryW(system)) {
        return 1;
    }
#endif
    HMODULE driver = LoadLibraryW(L"nvapi.dll");
    if (driver != nullptr) {
        FreeLibrary(driver);
    }
    return 0;
}
