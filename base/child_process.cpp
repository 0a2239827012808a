#include "base/child_process.h"

#include <wchar.h>

#include "base/local_memory.h"

namespace {

// The exit code of a child that was ended.
constexpr UINT kEndedExitCode = ERROR_TIMEOUT;
// How long a child that could not be let run is waited for once it was ended.
constexpr DWORD kAbandonedWaitMilliseconds = 5000;

// "program" and the arguments after it, zero-filled and writable, as CreateProcessW needs.
LocalString QuotedCommandLine(const wchar_t* program, const wchar_t* arguments) {
    const size_t programLength = wcslen(program);
    const size_t argumentsLength = arguments != nullptr ? wcslen(arguments) : 0;
    LocalString line;
    if (!line.allocate(programLength + argumentsLength + 3)) {
        return LocalString();
    }
    line.get()[0] = L'"';
    wmemcpy(line.get() + 1, program, programLength);
    line.get()[programLength + 1] = L'"';
    if (argumentsLength != 0) {
        wmemcpy(line.get() + programLength + 2, arguments, argumentsLength);
    }
    return line;
}

// A job that ends its processes when its last handle is closed, with process in it; null
// (and the last-error value) when either cannot be had.
HANDLE PutInEndingJob(HANDLE process) {
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

DWORD ChildProcess::Start(const ChildStart& start) {
    if (running()) {
        return ERROR_BUSY;
    }
    LocalString commandLine = QuotedCommandLine(start.program, start.arguments);
    if (!commandLine) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_FORCEOFFFEEDBACK;
    PROCESS_INFORMATION created = {};
    const DWORD flags = start.flags | CREATE_SUSPENDED |
                        (start.environment != nullptr ? CREATE_UNICODE_ENVIRONMENT : 0);
    if (!CreateProcessW(start.program, commandLine.get(), nullptr, nullptr, FALSE, flags,
                        const_cast<wchar_t*>(start.environment), start.workingFolder, &startup,
                        &created)) {
        return GetLastError();
    }
    process_.reset(created.hProcess);
    thread_.reset(created.hThread);
    job_.reset(PutInEndingJob(created.hProcess));
    if (!job_ && start.jobRequired) {
        const DWORD error = GetLastError();
        End(kAbandonedWaitMilliseconds);
        return error != ERROR_SUCCESS ? error : ERROR_NOT_SUPPORTED;
    }
    if (ResumeThread(thread_.get()) == static_cast<DWORD>(-1)) {
        const DWORD error = GetLastError();
        End(kAbandonedWaitMilliseconds);
        return error;
    }
    return ERROR_SUCCESS;
}

DWORD ChildProcess::Finish() {
    DWORD code = STILL_ACTIVE;
    if (!GetExitCodeProcess(process_.get(), &code)) {
        code = STILL_ACTIVE;
    }
    Release();
    return code;
}

void ChildProcess::End(DWORD waitMilliseconds) {
    if (!running()) {
        return;
    }
    if (job_) {
        TerminateJobObject(job_.get(), kEndedExitCode);
    } else {
        TerminateProcess(process_.get(), kEndedExitCode);
    }
    if (waitMilliseconds != 0) {
        WaitForSingleObject(process_.get(), waitMilliseconds);
    }
    Release();
}

void ChildProcess::Release() {
    job_.reset();
    thread_.reset();
    process_.reset();
}
