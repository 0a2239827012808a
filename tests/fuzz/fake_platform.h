// The fuzzing harness's fake platform: every Advapi32, Setupapi and Shell32 function the
// loader binds, and the kernel32 imports it calls (through ScopedImportPatch), answered
// from a case generated from one 64-bit seed. The fake keeps its own books (open handles,
// offered candidates, the answers that decide which folders are trusted) so that the
// harness can judge the loader's result after the case.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <stddef.h>
#include <stdio.h>
#include <stdint.h>

#include "tests/support/guarded_pool.h"

namespace fuzz {

// Kinds of text the fake offers as a result that a lookup may hand back.
enum CandidateKind : uint32_t {
    kCandidateRegistryEntry = 1 << 0,  // an entry of REG_SZ or REG_MULTI_SZ data
    kCandidateValueName = 1 << 1,      // a value name RegEnumValueW gave
    kCandidateImagePath = 1 << 2,      // a service's image path
    kCandidateClassKey = 1 << 3,       // the class-key prefix joined with a driver key
    kCandidateStoreFolder = 1 << 4,    // the folder part of a driver-store location
    kCandidateFile = 1 << 5,           // a path GetFileAttributesW reported as a file
    kCandidateLocated =
        kCandidateRegistryEntry | kCandidateValueName | kCandidateImagePath | kCandidateFile,
};

// Installs the fake (import patches and binding records) for the life of the object.
class FakePlatform {
  public:
    explicit FakePlatform(testing_support::GuardedPool& pool);
    ~FakePlatform();
    bool ok() const;
};

// Starts a case: forgets the previous one, draws the platform's character from seed and
// places the binding records as the case wants them. trace prints every answer.
void BeginCase(uint64_t seed, bool trace);
// Frees what the fake itself handed out during the case.
void EndCase();

// What the case drew that the driver needs.
struct CaseChoice {
    uint32_t operation;  // index into the harness's operation table
    const wchar_t* moduleName;
    DWORD flags;
    uint32_t threshold;
    const wchar_t* path;  // for the trusted-folder operations
};
CaseChoice DrawCaseChoice(uint32_t operationCount);

// The books of the current case.
bool IsCandidate(const wchar_t* text, uint32_t kinds);
bool WasErrorSet(DWORD error);  // a nonzero last-error value the fake set
bool OlderThanWindows7Answered();
bool TrustedByAnswers(const wchar_t* path);
int OpenKeys();
int OpenSets();
int OpenServiceHandles();
HMODULE LastLoadedModule();  // the handle of the last successful module load, or null
// GetSystemDirectoryW gave a second answer that did not fit the size of its first, or a
// size no path can be built on: the system-directory load then fails without a last-error
// value of its own, which its contract allows.
bool SystemDirectoryChanged();
// Registry status codes the fake returned (the readers pass them on unchanged).
bool WasStatusReturned(LONG status);
// The CurrentBuildNumber answers: the build the loader must have parsed, when it did.
bool BuildAnswer(uint32_t* build);
// Destroys a set the loader handed over (FindNvidiaDisplayInterface's hit).
void DestroyHandedOverSet(HDEVINFO set);

// The first contract violation the fake saw during the case, or null.
const char* FirstViolation();
void Violation(const char* format, ...) __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)));

// Trace output for the replay of a failing case.
bool Tracing();
void Trace(const char* format, ...) __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)));
// Quoted ASCII with \uXXXX escapes, in one of four rotating static buffers. Printable gives
// "" unless tracing, so that trace arguments cost nothing in a normal run.
const char* Describe(const wchar_t* text, size_t count);
const char* Printable(const wchar_t* text, size_t count);

}  // namespace fuzz
