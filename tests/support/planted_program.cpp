// A program planted where a search for dispset.exe would find it (a working folder, a folder
// on PATH): it appends "planted path=<its own path>" to the simulated driver's journal, so
// that a test sees whether anything ever started it.
#include <windows.h>

#include <stdio.h>

int main() {
    wchar_t journal[MAX_PATH];
    wchar_t self[MAX_PATH];
    const DWORD journalLength = GetEnvironmentVariableW(L"SIMDRIVER_JOURNAL", journal, MAX_PATH);
    const DWORD selfLength = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (journalLength == 0 || journalLength >= MAX_PATH || selfLength == 0 ||
        selfLength >= MAX_PATH) {
        return 1;
    }
    FILE* file = _wfopen(journal, L"a");
    if (file == nullptr) {
        return 1;
    }
    fprintf(file, "planted path=%ls\n", self);
    fclose(file);
    return 0;
}
