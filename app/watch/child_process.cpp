#include "app/watch/program_runner.h"

#include <wchar.h>

#include "app/watch/user_bindings.h"
#include "loader/strings/scoped_owner.h"

namespace {

constexpr wchar_t kProgramName[] = L"dispset.exe";
// The longest path Windows hands out, in characters.
constexpr DWORD kMaxPathChars = 32768;

// The watcher's own path, however long: the buffer doubles up to the longest path.
bool GetOwnPath(LocalString& path, DWORD& length) {
    for (DWORD capacity = MAX_PATH;; capacity *= 2) {
        if (capacity > kMaxPathChars) {
            capacity = kMaxPathChars;
        }
        if (!path.allocate(capacity * sizeof(wchar_t))) {
            return false;
        }
        length = GetModuleFileNameW(nullptr, path.get(), capacity);
        if (length == 0) {
            return false;
        }
        // A path that fills the buffer was cut short.
        if (length < capacity) {
            return true;
        }
        if (capacity == kMaxPathChars) {
            return false;
        }
    }
}

// folder\ (up to and with the last backslash of path) + name.
bool ReplaceFileName(const wchar_t* path, DWORD length, const wchar_t* name, LocalString& result) {
    DWORD folderLength = length;
    while (folderLength > 0 && path[folderLength - 1] != L'\\') {
        --folderLength;
    }
    if (folderLength == 0) {
        return false;
    }
    const size_t nameLength = wcslen(name);
    if (!result.allocate((folderLength + nameLength + 1) * sizeof(wchar_t))) {
        return false;
    }
    wmemcpy(result.get(), path, folderLength);
    wmemcpy(result.get() + folderLength, name, nameLength + 1);
    return true;
}

// "text", as a zero-filled allocation.
bool Quote(const wchar_t* text, LocalString& result) {
    const size_t length = wcslen(text);
    if (!result.allocate((length + 3) * sizeof(wchar_t))) {
        return false;
    }
    result.get()[0] = L'"';
    wmemcpy(result.get() + 1, text, length);
    result.get()[length + 1] = L'"';
    return true;
}

// Waits for process to end, up to the run limit, while dispatching messages. False when
// WM_QUIT came.
bool WaitDispatchingMessages(HANDLE process) {
    const DWORD start = GetTickCount();
    for (;;) {
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= kRunLimitMilliseconds) {
            return true;
        }
        const DWORD woken = g_user32.msgWaitForMultipleObjects(
            1, &process, FALSE, kRunLimitMilliseconds - elapsed, QS_ALLINPUT);
        if (woken != WAIT_OBJECT_0 + 1) {
            return true;  // it ended, the limit passed, or the wait failed
        }
        if (!DispatchWaitingMessages()) {
            return false;
        }
    }
}

}  // namespace

bool ProgramRunner::Prepare() {
    LocalString ownPath;
    DWORD length = 0;
    if (!GetOwnPath(ownPath, length) ||
        !ReplaceFileName(ownPath.get(), length, kProgramName, program_) ||
        !Quote(program_.get(), commandLine_)) {
        return false;
    }
    const UINT folderLength = GetSystemDirectoryW(workingFolder_, MAX_PATH);
    return folderLength != 0 && folderLength < MAX_PATH;
}

bool ProgramRunner::Run() {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    // No busy cursor: the program shows no window, so the user has nothing to wait for.
    startup.dwFlags = STARTF_FORCEOFFFEEDBACK;
    PROCESS_INFORMATION process = {};
    // The application name is the full path, so Windows never searches for the program. No
    // handle is inherited; the system directory as working folder keeps the watcher's own
    // working folder (wherever it was started) out of the program's run.
    if (!CreateProcessW(program_.get(), commandLine_.get(), nullptr, nullptr, FALSE, 0, nullptr,
                        workingFolder_, &startup, &process)) {
        return true;
    }
    CloseHandle(process.hThread);
    KernelHandle owner(process.hProcess);
    return WaitDispatchingMessages(owner.get());
}

bool DispatchWaitingMessages() {
    MSG message;
    while (g_user32.peekMessage(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            g_user32.postQuitMessage(static_cast<int>(message.wParam));
            return false;
        }
        g_user32.dispatchMessage(&message);
    }
    return true;
}
