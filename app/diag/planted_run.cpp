#include "app/diag/planted_run.h"

#include <wchar.h>

#include "app/diag/text_buffer.h"
#include "base/child_process.h"
#include "base/scoped_owner.h"
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
    for (const wchar_t* entry = current.get(); *entry != L'\0'; entry += wcslen(entry) + 1) {
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

}  // namespace

PlantedRun RunPlanted(const wchar_t* program, const wchar_t* workingFolder,
                      const wchar_t* pathFolder) {
    PlantedRun run;
    TextBuffer environment;
    if (!BuildEnvironment(pathFolder, environment)) {
        run.startError = ERROR_NOT_ENOUGH_MEMORY;
        return run;
    }
    ChildStart start;
    start.program = program;
    start.workingFolder = workingFolder;
    start.environment = environment.text();
    start.flags = CREATE_NO_WINDOW;
    // Whatever the program starts must end with it, or a canary it holds could not be
    // removed: a run that cannot be put in a job is not made.
    start.jobRequired = true;
    ChildProcess child;
    run.startError = child.Start(start);
    if (run.startError != ERROR_SUCCESS) {
        return run;
    }
    run.ended = WaitForSingleObject(child.process(), kPlantedRunLimitMilliseconds) != WAIT_OBJECT_0;
    if (run.ended) {
        child.End(kEndWaitMilliseconds);
    } else {
        run.exitCode = child.Finish();
    }
    return run;
}
