#include "app/diag/planted_run.h"

#include "app/diag/text_buffer.h"
#include "loader/strings/local_memory.h"
#include "loader/strings/scoped_owner.h"
#include "loader/strings/wide_strings.h"

namespace {

constexpr wchar_t kPathName[] = L"PATH";
constexpr unsigned kPathNameChars = 4;
// How long the ended job's main process is waited for, once ended.
constexpr DWORD kEndWaitMilliseconds = 5000;

struct EnvironmentTraits {
    using Handle = wchar_t*;
    static wchar_t* Invalid() { return nullptr; }
    static void Close(wchar_t* block) { FreeEnvironmentStringsW(block); }
    static constexpr bool kKeepsLastError = true;
};
using EnvironmentBlock = ScopedOwner<EnvironmentTraits>;

bool IsPathEntry(const wchar_t* entry) {
    return IsEqualIgnoringCaseN(entry, kPathName, kPathNameChars) && entry[kPathNameChars] == L'=';
}

void AppendPathEntry(TextBuffer& block, const wchar_t* pathFolder, const wchar_t* oldEntry) {
    block.Append(kPathName);
    block.AppendChar(L'=');
    block.Append(pathFolder);
    if (oldEntry != nullptr && oldEntry[kPathNameChars + 1] != L'\0') {
        block.AppendChar(L';');
        block.Append(oldEntry + kPathNameChars + 1);
    }
    block.AppendChar(L'\0');
}

// This process's environment with PATH = pathFolder;the old PATH, as a block of
// NUL-terminated entries ending in an empty one. PATH keeps its place; without one it is
// added at the end.
bool BuildEnvironment(const wchar_t* pathFolder, TextBuffer& block) {
    EnvironmentBlock current(GetEnvironmentStringsW());
    if (!current) {
        return false;
    }
    bool pathSeen = false;
    for (const wchar_t* entry = current.get(); *entry != L'\0'; entry += lstrlenW(entry) + 1) {
        if (!pathSeen && IsPathEntry(entry)) {
            AppendPathEntry(block, pathFolder, entry);
            pathSeen = true;
            continue;
        }
        block.Append(entry);
        block.AppendChar(L'\0');
    }
    if (!pathSeen) {
        AppendPathEntry(block, pathFolder, nullptr);
    }
    block.AppendChar(L'\0');
    return !block.failed();
}

// A job that ends every process in it when its last handle is closed.
bool CreateEndingJob(KernelHandle& job) {
    job.reset(CreateJobObjectW(nullptr, nullptr));
    if (!job) {
        return false;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    return SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                   sizeof(limits)) != FALSE;
}

}  // namespace

PlantedRun RunPlanted(const wchar_t* program, const wchar_t* workingFolder,
                      const wchar_t* pathFolder) {
    PlantedRun run;
    TextBuffer environment;
    TextBuffer quoted;
    quoted.AppendChar(L'"');
    quoted.Append(program);
    quoted.AppendChar(L'"');
    // CreateProcessW may write into the command line: it gets a copy of its own.
    LocalString commandLine(DuplicateString(quoted.text()));
    KernelHandle job;
    if (!BuildEnvironment(pathFolder, environment) || !commandLine) {
        run.startError = ERROR_NOT_ENOUGH_MEMORY;
        return run;
    }
    if (!CreateEndingJob(job)) {
        run.startError = GetLastError();
        return run;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    // Suspended until it is in the job, so that nothing it starts can escape the job.
    if (!CreateProcessW(program, commandLine.get(), nullptr, nullptr, FALSE,
                        CREATE_SUSPENDED | CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT,
                        const_cast<wchar_t*>(environment.text()), workingFolder, &startup,
                        &process)) {
        run.startError = GetLastError();
        return run;
    }
    KernelHandle thread(process.hThread);
    KernelHandle child(process.hProcess);
    if (!AssignProcessToJobObject(job.get(), child.get())) {
        run.startError = GetLastError();
        TerminateProcess(child.get(), ERROR_CANCELLED);
        WaitForSingleObject(child.get(), kEndWaitMilliseconds);
        return run;
    }
    ResumeThread(thread.get());
    run.ended = WaitForSingleObject(child.get(), kPlantedRunLimitMilliseconds) != WAIT_OBJECT_0;
    // Whatever it started goes with it; the program itself is ended if it still runs.
    TerminateJobObject(job.get(), ERROR_TIMEOUT);
    WaitForSingleObject(child.get(), kEndWaitMilliseconds);
    if (!run.ended) {
        GetExitCodeProcess(child.get(), &run.exitCode);
    }
    return run;
}
