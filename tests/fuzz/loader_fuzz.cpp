// The loader's fuzzing harness: runs cases, each a hostile platform drawn from one seed,
// against the locate path and the individual lookups, and judges what each case left.
//
//   loader_fuzz [--seed N] [--cases N] [--seconds S] [--trace] [--keep-going]
//
// Case i of a run has seed N + i, so "--seed S --cases 1" replays one case; --trace prints
// every platform answer of it. A failing case is replayed with its answers printed, and
// the run stops there (exit code 1; 3 for a fault, whose answers tools/fuzz prints by a
// replay in a fresh process). --keep-going lists every failing case instead and goes on.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "loader/driver_locator.h"
#include "loader/driver_lookups.h"
#include "loader/module_loader.h"
#include "loader/registry_values.h"
#include "loader/trusted_paths.h"
#include "loader/windows_version.h"
#include "tests/fuzz/fake_platform.h"
#include "tests/support/guarded_pool.h"
#include "tests/support/test_support.h"

using namespace fuzz;
using testing_support::GuardedPool;

namespace {

// A last-error value that no platform answer uses, set before the lookups that promise to
// leave the caller's value alone.
constexpr DWORD kSentinel = 0x20004242;

GuardedPool* g_pool = nullptr;
volatile uint64_t g_currentSeed = 0;
volatile const char* g_currentOperation = "";

// A copy of text in a guarded block, as a caller's argument that ends at a guard page.
wchar_t* GuardedCopy(const wchar_t* text) {
    const size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
    auto* copy = static_cast<wchar_t*>(g_pool->Allocate(bytes, false));
    if (copy != nullptr) {
        memcpy(copy, text, bytes);
    }
    return copy;
}

struct Verdict {
    char text[600];
    bool failed = false;
    void Fail(const char* format, ...) __attribute__((format(__MINGW_PRINTF_FORMAT, 2, 3))) {
        if (failed) {
            return;
        }
        failed = true;
        va_list args;
        va_start(args, format);
        vsnprintf(text, sizeof(text), format, args);
        va_end(args);
    }
};

bool ErrorAllowed(DWORD error, std::initializer_list<DWORD> contract) {
    if (WasErrorSet(error)) {
        return true;
    }
    for (DWORD allowed : contract) {
        if (error == allowed) {
            return true;
        }
    }
    return false;
}

// A string result: a live block of the loader's, terminated inside it, one of the
// candidates of the given kinds. It is freed here.
void JudgeText(Verdict& verdict, const char* what, wchar_t* result, uint32_t kinds) {
    if (result == nullptr) {
        return;
    }
    size_t bytes = 0;
    if (!g_pool->Size(result, &bytes)) {
        verdict.Fail("%s returned %p, which is no block the loader allocated", what,
                     static_cast<void*>(result));
        return;
    }
    bool terminated = false;
    for (size_t i = 0; i < bytes / sizeof(wchar_t); ++i) {
        if (result[i] == L'\0') {
            terminated = true;
            break;
        }
    }
    if (!terminated) {
        verdict.Fail("%s returned text without a NUL inside its %zu-byte block", what, bytes);
    } else if (!IsCandidate(result, kinds)) {
        verdict.Fail("%s returned %s, which the platform never offered", what,
                     Describe(result, wcslen(result)));
    }
    g_pool->Free(result);
}

void JudgeError(Verdict& verdict, const char* what, DWORD error,
                std::initializer_list<DWORD> contract) {
    if (!ErrorAllowed(error, contract)) {
        verdict.Fail(
            "%s left last-error %lu (0x%lX), which neither its contract nor the platform gave",
            what, error, error);
    }
}

void JudgeModule(Verdict& verdict, const char* what, HMODULE module, DWORD error,
                 std::initializer_list<DWORD> contract) {
    if (module != nullptr) {
        if (module != LastLoadedModule()) {
            verdict.Fail("%s returned %p, not the module LoadLibraryExW gave last", what,
                         static_cast<void*>(module));
        }
        return;
    }
    if (error == ERROR_SUCCESS && !SystemDirectoryChanged()) {
        verdict.Fail("%s failed but left ERROR_SUCCESS", what);
    } else if (error != ERROR_SUCCESS) {
        JudgeError(verdict, what, error, contract);
    }
}

// --- Operations -----------------------------------------------------------------------------

struct Operation {
    const char* name;
    void (*run)(const CaseChoice& choice, Verdict& verdict);
    uint32_t weight;
};

const wchar_t kClassKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e968-e325-11ce-bfc1-08002be10318}\\0001";
const wchar_t* const kUserModeValues[] = {L"UserModeDriverName", L"OpenGLDriverName",
                                          L"UserModeDListDriverName", nullptr};
const wchar_t* const kKhronosKeys[] = {L"SOFTWARE\\Khronos\\Vulkan\\Drivers",
                                       L"SOFTWARE\\Khronos\\OpenCL\\Vendors", nullptr};
const GUID* const kInterface = &well_known::GUID_DISPLAY_DEVICE_ARRIVAL;

// The search name the locator would pass on: what the lookups are asked for.
wchar_t* SearchName(const CaseChoice& choice) {
    const wchar_t* name = choice.moduleName;
    const wchar_t* dot = nullptr;
    for (const wchar_t* c = name; *c != L'\0'; ++c) {
        if (*c == L'.') {
            dot = c;
        }
    }
    wchar_t text[64];
    if (dot == nullptr) {
        swprintf(text, 64, L"%ls.dll", name);
    } else if (dot[1] == L'\0') {
        swprintf(text, 64, L"%.*ls", static_cast<int>(dot - name), name);
    } else {
        swprintf(text, 64, L"%ls", name);
    }
    return GuardedCopy(text);
}

void RunLoadLibrarySecure(const CaseChoice& choice, Verdict& verdict) {
    wchar_t* name = GuardedCopy(choice.moduleName);
    HMODULE module = LoadLibrarySecure(name, choice.flags);
    const DWORD error = GetLastError();
    JudgeModule(verdict, "LoadLibrarySecure", module, error,
                {ERROR_BAD_ARGUMENTS, ERROR_BAD_PATHNAME, ERROR_MOD_NOT_FOUND, ERROR_INVALID_DATA});
    g_pool->Free(name);
}

void RunFindDriverModulePath(const CaseChoice& choice, Verdict& verdict) {
    wchar_t* name = GuardedCopy(choice.moduleName);
    wchar_t* path = FindDriverModulePath(name);
    const DWORD error = GetLastError();
    if (path != nullptr && error != ERROR_SUCCESS) {
        verdict.Fail("FindDriverModulePath found a path but left last-error %lu", error);
    }
    if (path == nullptr) {
        if (error == ERROR_SUCCESS) {
            verdict.Fail("FindDriverModulePath found nothing but left ERROR_SUCCESS");
        }
        JudgeError(verdict, "FindDriverModulePath", error,
                   {ERROR_MOD_NOT_FOUND, ERROR_BAD_ARGUMENTS, ERROR_INVALID_DATA});
    }
    JudgeText(verdict, "FindDriverModulePath", path, kCandidateLocated);
    g_pool->Free(name);
}

void RunFindNvidiaDisplayInterface(const CaseChoice&, Verdict& verdict) {
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA device = {};
    SetLastError(kSentinel);
    const int found = FindNvidiaDisplayInterface(kInterface, &set, &device);
    const DWORD error = GetLastError();
    JudgeError(verdict, "FindNvidiaDisplayInterface", error, {kSentinel, ERROR_SUCCESS});
    if (found) {
        if (OpenSets() != 1) {
            verdict.Fail("FindNvidiaDisplayInterface matched but %d sets are open", OpenSets());
        }
        DestroyHandedOverSet(set);
    } else if (set != INVALID_HANDLE_VALUE) {
        verdict.Fail("FindNvidiaDisplayInterface found nothing but stored a set");
    }
}

void RunGetDisplayDriverClassKeyPath(const CaseChoice&, Verdict& verdict) {
    SetLastError(kSentinel);
    wchar_t* path = GetDisplayDriverClassKeyPath(kInterface);
    const DWORD error = GetLastError();
    if (path != nullptr && error != ERROR_SUCCESS) {
        verdict.Fail("GetDisplayDriverClassKeyPath returned a path with last-error %lu", error);
    }
    if (path == nullptr) {
        JudgeError(verdict, "GetDisplayDriverClassKeyPath", error, {ERROR_SUCCESS});
    }
    JudgeText(verdict, "GetDisplayDriverClassKeyPath", path, kCandidateClassKey);
}

void RunFindModuleInDriverServices(const CaseChoice& choice, Verdict& verdict) {
    wchar_t* name = SearchName(choice);
    SetLastError(kSentinel);
    wchar_t* path = FindModuleInDriverServices(name, kInterface);
    const DWORD error = GetLastError();
    JudgeError(verdict, "FindModuleInDriverServices", error, {kSentinel, ERROR_SUCCESS});
    JudgeText(verdict, "FindModuleInDriverServices", path, kCandidateImagePath);
    g_pool->Free(name);
}

void RunGetServiceImagePathIfMatches(const CaseChoice& choice, Verdict& verdict) {
    wchar_t* name = SearchName(choice);
    wchar_t* service = GuardedCopy(L"nvlddmkm");
    SetLastError(kSentinel);
    wchar_t* path = GetServiceImagePathIfMatches(name, service);
    const DWORD error = GetLastError();
    JudgeError(verdict, "GetServiceImagePathIfMatches", error, {kSentinel});
    JudgeText(verdict, "GetServiceImagePathIfMatches", path, kCandidateImagePath);
    g_pool->Free(service);
    g_pool->Free(name);
}

void RunFindModuleInRegistryValues(const CaseChoice& choice, Verdict& verdict) {
    wchar_t* name = SearchName(choice);
    wchar_t* key = GuardedCopy(kClassKey);
    SetLastError(kSentinel);
    wchar_t* path = FindModuleInRegistryValues(kUserModeValues, name, HKEY_LOCAL_MACHINE, key);
    const DWORD error = GetLastError();
    JudgeError(verdict, "FindModuleInRegistryValues", error, {kSentinel, ERROR_INVALID_DATA});
    JudgeText(verdict, "FindModuleInRegistryValues", path, kCandidateRegistryEntry);
    g_pool->Free(key);
    g_pool->Free(name);
}

void RunFindModuleInRegistryValueNames(const CaseChoice& choice, Verdict& verdict) {
    wchar_t* name = SearchName(choice);
    SetLastError(kSentinel);
    wchar_t* path = FindModuleInRegistryValueNames(kKhronosKeys, name, HKEY_LOCAL_MACHINE);
    const DWORD error = GetLastError();
    JudgeError(verdict, "FindModuleInRegistryValueNames", error, {kSentinel});
    JudgeText(verdict, "FindModuleInRegistryValueNames", path, kCandidateValueName);
    g_pool->Free(name);
}

void RunGetDriverStoreDirectory(const CaseChoice&, Verdict& verdict) {
    SetLastError(kSentinel);
    wchar_t* path = GetDriverStoreDirectory(kInterface);
    const DWORD error = GetLastError();
    if (path != nullptr && error != ERROR_SUCCESS) {
        verdict.Fail("GetDriverStoreDirectory returned a folder with last-error %lu", error);
    }
    if (path == nullptr) {
        JudgeError(verdict, "GetDriverStoreDirectory", error,
                   {ERROR_SUCCESS, ERROR_CALL_NOT_IMPLEMENTED});
    }
    JudgeText(verdict, "GetDriverStoreDirectory", path, kCandidateStoreFolder);
}

void RunIsPathInTrustedFolder(const CaseChoice& choice, Verdict& verdict) {
    wchar_t* path = GuardedCopy(choice.path);
    if (IsPathInTrustedFolder(path) && !OlderThanWindows7Answered() && !TrustedByAnswers(path)) {
        verdict.Fail("IsPathInTrustedFolder trusted %s, which lies in no folder the platform named",
                     Describe(path, wcslen(path)));
    }
    g_pool->Free(path);
}

void RunLoadLibraryTrustedPath(const CaseChoice& choice, Verdict& verdict) {
    wchar_t* path = GuardedCopy(choice.path);
    HMODULE module = LoadLibraryTrustedPath(path, choice.flags);
    const DWORD error = GetLastError();
    JudgeModule(verdict, "LoadLibraryTrustedPath", module, error,
                {ERROR_BAD_ARGUMENTS, ERROR_BAD_PATHNAME});
    g_pool->Free(path);
}

void RunLoadLibraryFullPath(const CaseChoice& choice, Verdict& verdict) {
    wchar_t* path = GuardedCopy(choice.path);
    HMODULE module = LoadLibraryFullPath(path, choice.flags);
    const DWORD error = GetLastError();
    JudgeModule(verdict, "LoadLibraryFullPath", module, error,
                {ERROR_BAD_ARGUMENTS, ERROR_BAD_PATHNAME, ERROR_MOD_NOT_FOUND});
    g_pool->Free(path);
}

void RunReadRegistryValueByPath(const CaseChoice&, Verdict& verdict) {
    DWORD type = 0;
    BYTE* data = nullptr;
    // A binding that fails without a code of its own hands on what was there before.
    SetLastError(kSentinel);
    const LONG status =
        ReadRegistryValueByPath(HKEY_LOCAL_MACHINE, kClassKey, L"OpenGLDriverName", &type, &data);
    if (status != ERROR_SUCCESS) {
        if (data != nullptr) {
            verdict.Fail("ReadRegistryValueByPath failed with %ld but handed out a buffer", status);
            g_pool->Free(data);
        }
        if (!WasStatusReturned(status) &&
            !ErrorAllowed(static_cast<DWORD>(status),
                          {kSentinel, ERROR_NOT_ENOUGH_MEMORY, ERROR_PROC_NOT_FOUND})) {
            verdict.Fail(
                "ReadRegistryValueByPath returned status %ld, which the platform never gave",
                status);
        }
        return;
    }
    if (data == nullptr) {
        return;
    }
    size_t bytes = 0;
    if (!g_pool->Size(data, &bytes)) {
        verdict.Fail("ReadRegistryValueByPath handed out %p, no block of the loader's",
                     static_cast<void*>(data));
        return;
    }
    if (bytes < 2 || data[bytes - 1] != 0 || data[bytes - 2] != 0) {
        verdict.Fail(
            "ReadRegistryValueByPath handed out %zu bytes that do not end in a zeroed character",
            bytes);
    }
    g_pool->Free(data);
}

void RunIsWindowsBuildAtLeast(const CaseChoice& choice, Verdict& verdict) {
    const int first = IsWindowsBuildAtLeast(choice.threshold);
    uint32_t build = 0;
    const bool parsed = BuildAnswer(&build);
    const int expected = (parsed ? build : 0) >= choice.threshold ? 1 : 0;
    if (first != expected) {
        verdict.Fail("IsWindowsBuildAtLeast(%u) gave %d; the platform's build parses as %u",
                     choice.threshold, first, parsed ? build : 0);
    }
    // Once parsed, the number is kept: a second call asks nothing and agrees.
    if (parsed && IsWindowsBuildAtLeast(choice.threshold) != expected) {
        verdict.Fail("IsWindowsBuildAtLeast(%u) changed its answer after a successful parse",
                     choice.threshold);
    }
}

const Operation kOperations[] = {
    {"LoadLibrarySecure", RunLoadLibrarySecure, 6},
    {"FindDriverModulePath", RunFindDriverModulePath, 6},
    {"FindNvidiaDisplayInterface", RunFindNvidiaDisplayInterface, 1},
    {"GetDisplayDriverClassKeyPath", RunGetDisplayDriverClassKeyPath, 1},
    {"FindModuleInDriverServices", RunFindModuleInDriverServices, 2},
    {"GetServiceImagePathIfMatches", RunGetServiceImagePathIfMatches, 1},
    {"FindModuleInRegistryValues", RunFindModuleInRegistryValues, 2},
    {"FindModuleInRegistryValueNames", RunFindModuleInRegistryValueNames, 2},
    {"GetDriverStoreDirectory", RunGetDriverStoreDirectory, 2},
    {"IsPathInTrustedFolder", RunIsPathInTrustedFolder, 2},
    {"LoadLibraryTrustedPath", RunLoadLibraryTrustedPath, 1},
    {"LoadLibraryFullPath", RunLoadLibraryFullPath, 1},
    {"ReadRegistryValueByPath", RunReadRegistryValueByPath, 1},
    {"IsWindowsBuildAtLeast", RunIsWindowsBuildAtLeast, 1},
};
constexpr size_t kOperationCount = sizeof(kOperations) / sizeof(kOperations[0]);
uint32_t g_weighted[64];
uint32_t g_weightedCount = 0;

// --- Cases ------------------------------------------------------------------------------

// Runs one case; true when it passed. reason receives the verdict otherwise.
bool RunCase(uint64_t seed, bool trace, Verdict& verdict) {
    g_currentSeed = seed;
    const size_t heapBefore = testing_support::CountBusyHeapBlocks();
    const size_t blocksBefore = g_pool->liveBlocks();
    BeginCase(seed, trace);
    const CaseChoice choice = DrawCaseChoice(g_weightedCount);
    const Operation& operation = kOperations[g_weighted[choice.operation]];
    g_currentOperation = operation.name;
    if (trace) {
        Trace("operation %s", operation.name);
    }
    operation.run(choice, verdict);
    EndCase();
    if (const char* violation = FirstViolation()) {
        verdict.Fail("%s", violation);
    }
    if (OpenKeys() != 0 || OpenSets() != 0 || OpenServiceHandles() != 0) {
        verdict.Fail("%s left handles open: %d keys, %d sets, %d service handles", operation.name,
                     OpenKeys(), OpenSets(), OpenServiceHandles());
    }
    if (g_pool->liveBlocks() != blocksBefore) {
        verdict.Fail("%s left %zd LocalAlloc blocks allocated", operation.name,
                     static_cast<ptrdiff_t>(g_pool->liveBlocks() - blocksBefore));
    }
    const size_t heapAfter = testing_support::CountBusyHeapBlocks();
    if (heapAfter != heapBefore) {
        verdict.Fail("%s changed the heap's busy blocks from %zu to %zu", operation.name,
                     heapBefore, heapAfter);
    }
    if (verdict.failed) {
        char prefix[64];
        snprintf(prefix, sizeof(prefix), "%s: ", operation.name);
        if (strncmp(verdict.text, prefix, strlen(prefix)) != 0 &&
            strncmp(verdict.text, operation.name, strlen(operation.name)) != 0) {
            char text[sizeof(verdict.text)];
            snprintf(text, sizeof(text), "%s%s", prefix, verdict.text);
            memcpy(verdict.text, text, sizeof(text));
        }
    }
    return !verdict.failed;
}

LONG WINAPI ReportFault(EXCEPTION_POINTERS* exception) {
    const EXCEPTION_RECORD* record = exception->ExceptionRecord;
    fprintf(stdout, "FAULT seed=%llu operation=%s: exception 0x%08lX at %p",
            static_cast<unsigned long long>(g_currentSeed), g_currentOperation,
            record->ExceptionCode, record->ExceptionAddress);
    if (record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record->NumberParameters >= 2) {
        fprintf(stdout, " (%s %p)", record->ExceptionInformation[0] == 0 ? "reading" : "writing",
                reinterpret_cast<void*>(record->ExceptionInformation[1]));
    }
    fprintf(stdout, "\nreplay: tools/fuzz --seed %llu --cases 1 --trace\n",
            static_cast<unsigned long long>(g_currentSeed));
    fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

bool ParseNumber(const char* text, uint64_t* value) {
    char* end = nullptr;
    *value = strtoull(text, &end, 0);
    return end != text && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t seed = 1;
    uint64_t cases = 0;
    uint64_t seconds = 0;
    bool trace = false;
    bool keepGoing = false;
    for (int i = 1; i < argc; ++i) {
        uint64_t value = 0;
        if (strcmp(argv[i], "--trace") == 0) {
            trace = true;
        } else if (strcmp(argv[i], "--keep-going") == 0) {
            keepGoing = true;
        } else if (i + 1 < argc && strcmp(argv[i], "--seed") == 0 &&
                   ParseNumber(argv[i + 1], &value)) {
            seed = value;
            ++i;
        } else if (i + 1 < argc && strcmp(argv[i], "--cases") == 0 &&
                   ParseNumber(argv[i + 1], &value)) {
            cases = value;
            ++i;
        } else if (i + 1 < argc && strcmp(argv[i], "--seconds") == 0 &&
                   ParseNumber(argv[i + 1], &value)) {
            seconds = value;
            ++i;
        } else {
            fprintf(stderr,
                    "usage: loader_fuzz [--seed N] [--cases N] [--seconds S] [--trace] "
                    "[--keep-going]\n");
            return 2;
        }
    }
    if (cases == 0 && seconds == 0) {
        cases = 10000;
    }
    for (uint32_t i = 0; i < kOperationCount; ++i) {
        for (uint32_t w = 0; w < kOperations[i].weight; ++w) {
            g_weighted[g_weightedCount++] = i;
        }
    }
    static GuardedPool pool;
    g_pool = &pool;
    FakePlatform platform(pool);
    if (!platform.ok()) {
        fprintf(stdout, "error: the fake platform could not be installed\n");
        return 2;
    }
    SetUnhandledExceptionFilter(ReportFault);

    const ULONGLONG start = GetTickCount64();
    ULONGLONG lastReport = start;
    uint64_t done = 0;
    uint64_t failures = 0;
    for (; cases == 0 || done < cases; ++done) {
        const ULONGLONG now = GetTickCount64();
        if (seconds != 0 && now - start >= seconds * 1000) {
            break;
        }
        if (now - lastReport >= 60000) {
            lastReport = now;
            fprintf(stderr, "loader fuzz: %llu cases in %llu s\n",
                    static_cast<unsigned long long>(done),
                    static_cast<unsigned long long>((now - start) / 1000));
        }
        Verdict verdict;
        if (!RunCase(seed + done, trace, verdict)) {
            fprintf(stdout, "FAIL seed=%llu %s\n", static_cast<unsigned long long>(seed + done),
                    verdict.text);
            if (keepGoing) {
                ++failures;
                continue;
            }
            if (!trace) {
                fprintf(stdout, "platform answers of seed %llu:\n",
                        static_cast<unsigned long long>(seed + done));
                Verdict again;
                RunCase(seed + done, true, again);
            }
            fprintf(stdout, "replay: tools/fuzz --seed %llu --cases 1 --trace\n",
                    static_cast<unsigned long long>(seed + done));
            fprintf(stdout, "loader fuzz: %llu passed, 1 failed\n",
                    static_cast<unsigned long long>(done));
            return 1;
        }
    }
    const double elapsed = static_cast<double>(GetTickCount64() - start) / 1000.0;
    fprintf(stdout,
            "loader fuzz: seeds %llu..%llu, %llu cases in %.1f s (%.0f cases/s), pool exhausted "
            "%zu times\n",
            static_cast<unsigned long long>(seed),
            static_cast<unsigned long long>(seed + done - (done ? 1 : 0)),
            static_cast<unsigned long long>(done), elapsed,
            elapsed > 0 ? static_cast<double>(done) / elapsed : 0.0, pool.exhausted());
    fprintf(stdout, "%llu passed, %llu failed\n", static_cast<unsigned long long>(done - failures),
            static_cast<unsigned long long>(failures));
    return failures == 0 ? 0 : 1;
}
