// A helper library that the importing variant of the simulated driver imports by bare name,
// as a real driver library imports its own helpers. Loaded, it appends
// "helper path=<its own full path>" to the simulated driver's journal, so that a test sees
// which copy Windows found for the import: the system directory's, or one planted in the
// program's folder, the working folder or a folder on PATH. Never shipped.
#include <windows.h>

#include <stdio.h>

extern "C" {
__declspec(dllexport) int SimHelperMark();
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
}

namespace {

constexpr DWORD kPathCapacity = 2048;

void JournalOwnPath(HINSTANCE self) {
    wchar_t journal[kPathCapacity];
    wchar_t path[kPathCapacity];
    const DWORD journalLength =
        GetEnvironmentVariableW(L"SIMDRIVER_JOURNAL", journal, kPathCapacity);
    const DWORD pathLength = GetModuleFileNameW(self, path, kPathCapacity);
    if (journalLength == 0 || journalLength >= kPathCapacity || pathLength == 0 ||
        pathLength >= kPathCapacity) {
        return;
    }
    char line[3 * kPathCapacity + 16];
    const int prefix = snprintf(line, sizeof(line), "helper path=");
    const int converted =
        WideCharToMultiByte(CP_UTF8, 0, path, static_cast<int>(pathLength), line + prefix,
                            sizeof(line) - prefix - 1, nullptr, nullptr);
    if (converted <= 0) {
        return;
    }
    const DWORD length = static_cast<DWORD>(prefix + converted);
    line[length] = '\n';
    HANDLE file = CreateFileW(journal, FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    WriteFile(file, line, length + 1, &written, nullptr);
    CloseHandle(file);
}

}  // namespace

int SimHelperMark() {
    return 1;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        JournalOwnPath(instance);
    }
    return TRUE;
}
