// A program that never ends and starts a copy of itself that never ends either (never
// shipped): the self-test must end both at its limit and still remove everything it planted.
#include <windows.h>

int wmain(int argc, wchar_t**) {
    if (argc == 1) {
        wchar_t self[MAX_PATH];
        wchar_t commandLine[] = L"hanging_program child";
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        if (GetModuleFileNameW(nullptr, self, MAX_PATH) != 0 &&
            CreateProcessW(self, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                           &startup, &process)) {
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
    }
    Sleep(INFINITE);
    return 0;
}
