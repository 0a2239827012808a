#include "app/watch/child_process.h"

#include <wchar.h>

#include "loader/system_directory.h"

namespace {

constexpr wchar_t kProgramName[] = L"dispset.exe";
constexpr wchar_t kCheckProgramName[] = L"dispset-diag.exe";
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

// "path" and the arguments after it, as a zero-filled allocation.
bool QuoteWithArguments(const wchar_t* path, const wchar_t* arguments, LocalString& result) {
    const size_t length = wcslen(path);
    const size_t argumentsLength = wcslen(arguments);
    if (!result.allocate((length + argumentsLength + 3) * sizeof(wchar_t))) {
        return false;
    }
    result.get()[0] = L'"';
    wmemcpy(result.get() + 1, path, length);
    result.get()[length + 1] = L'"';
    wmemcpy(result.get() + length + 2, arguments, argumentsLength);
    return true;
}

// A job that ends its processes when its last handle is closed, with process in it; null
// when either cannot be had.
HANDLE PutInKillingJob(HANDLE process) {
    KernelHandle job(CreateJobObjectW(nullptr, nullptr));
    if (!job) {
        return nullptr;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof(limits)) ||
        !AssignProcessToJobObject(job.get(), process)) {
        return nullptr;
    }
    return job.release();
}

}  // namespace

bool ChildLauncher::Prepare() {
    LocalString ownPath;
    DWORD length = 0;
    if (!GetOwnPath(ownPath, length)) {
        return false;
    }
    const struct {
        const wchar_t* name;
        const wchar_t* arguments;
    } kPrograms[] = {{kProgramName, L""}, {kCheckProgramName, L" check"}};
    for (size_t i = 0; i < 2; ++i) {
        Program& program = programs_[i];
        if (!ReplaceFileName(ownPath.get(), length, kPrograms[i].name, program.path) ||
            !QuoteWithArguments(program.path.get(), kPrograms[i].arguments, program.commandLine)) {
            return false;
        }
    }
    workingFolder_.reset(GetSystemDirectoryAlloc());
    return workingFolder_.valid();
}

bool ChildLauncher::Start(ChildProgram program) {
    if (child_.process) {
        startError_ = ERROR_BUSY;
        return false;
    }
    // The check is a console program: without CREATE_NO_WINDOW Windows would give it a
    // console window of its own, on the user's screen.
    const bool check = program == ChildProgram::kCheck;
    if (!Launch(programs_[check ? 1 : 0], check ? CREATE_NO_WINDOW : 0)) {
        startError_ = GetLastError();
        child_.Release();
        return false;
    }
    return true;
}

DWORD ChildLauncher::Finish() {
    DWORD code = STILL_ACTIVE;
    if (!GetExitCodeProcess(child_.process.get(), &code)) {
        code = STILL_ACTIVE;
    }
    child_.Release();
    return code;
}

void ChildLauncher::End() {
    // The exit code that Windows gives a process ended for taking too long.
    constexpr UINT kEndedExitCode = ERROR_TIMEOUT;
    if (child_.job) {
        TerminateJobObject(child_.job.get(), kEndedExitCode);
    } else if (child_.process) {
        TerminateProcess(child_.process.get(), kEndedExitCode);
    }
    child_.Release();
}

// Created suspended, so that the job holds the process before it runs a single instruction
// (and before it could start anything of its own), then let go.
bool ChildLauncher::Launch(const Program& program, DWORD flags) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    // No busy cursor: the children show no window, so the user has nothing to wait for.
    startup.dwFlags = STARTF_FORCEOFFFEEDBACK;
    PROCESS_INFORMATION process = {};
    // The application name is the full path, so Windows never searches for the program. No
    // handle is inherited; the system directory as working folder keeps the watcher's own
    // working folder (wherever it was started) out of the child's run.
    if (!CreateProcessW(program.path.get(), program.commandLine.get(), nullptr, nullptr, FALSE,
                        flags | CREATE_SUSPENDED, nullptr, workingFolder_.get(), &startup,
                        &process)) {
        return false;
    }
    child_.process.reset(process.hProcess);
    child_.thread.reset(process.hThread);
    child_.job.reset(PutInKillingJob(process.hProcess));
    if (ResumeThread(process.hThread) == static_cast<DWORD>(-1)) {
        const DWORD error = GetLastError();
        End();
        SetLastError(error);
        return false;
    }
    return true;
}
