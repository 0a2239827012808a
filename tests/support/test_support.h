// Helpers shared by the tests: the test prefix's folders and registry, the simulated
// driver, guarded buffers and heap accounting. Every change a helper makes to the prefix is
// undone by its destructor.
#pragma once

#include <windows.h>

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "loader/system_bindings.h"

namespace testing_support {

// Paths handed over by ctest as Unix paths, as Windows programs under Wine see them.
std::wstring WinePathFromUnix(const std::string& unixPath);
std::wstring SimDriverPath();      // the simulated nvapi.dll built for this architecture
std::wstring DispsetPath();        // the program of this build (the i686 one is the shipped)
std::wstring NoQueryDriverPath();  // an nvapi.dll that lacks the query-interface export
std::wstring DiagPath();           // dispset-diag.exe of this build
// The simulated driver that imports simhelper.dll by bare name, and that helper, which
// journals "helper path=<its path>" when it is loaded.
std::wstring ImportingDriverPath();
std::wstring SimHelperPath();
constexpr wchar_t kSimHelperName[] = L"simhelper.dll";

// The three configurations the tests run in: the x64 twin on 64-bit Windows; the shipped
// i686 build as a 32-bit process on 64-bit Windows (WOW64: "Wow" value names, the
// registry's 32-bit view, syswow64); the i686 build on 32-bit Windows.
enum class Configuration { kNative64, kWow64, kNative32 };
Configuration CurrentConfiguration();  // asks IsWow64Process itself, not the loader
const char* ConfigurationName(Configuration configuration);
bool RunsUnderWow64();
// The class-key value and the support-module value that this process's loader reads first.
std::wstring ValueNameForThisProcess(const std::wstring& nativeName);  // "Wow" added under WOW64
std::wstring ClassKeyModuleValue();  // "UserModeDriverName", or "...Wow" under WOW64
std::wstring SupportModulesValue();  // "DriverSupportModules", or "...Wow" under WOW64
// The native Program Files folder: %ProgramW6432% where it is defined (64-bit Windows, in
// either kind of process), else the process's own (32-bit Windows defines no ProgramW6432).
std::wstring NativeProgramFilesDirectory();

std::wstring SystemDirectory();
std::wstring WindowsDirectory();
std::wstring JoinPaths(const std::wstring& directory, const std::wstring& name);
bool FileExists(const std::wstring& path);
std::string ReadFileText(const std::wstring& path);  // empty when missing
std::wstring Lower(std::wstring text);

// Narrow text for messages and for comparing with the driver's journal. Each character is
// cut to its low byte, which keeps the prefix's paths (all ASCII) as they are.
std::string Narrow(const std::wstring& text);
std::string LowerAscii(std::string text);
bool StartsWith(const std::string& text, const std::string& prefix);
std::string Hex(uint32_t value);  // "0x" and eight upper-case digits, as the driver writes them

// Whether a process of this file name (ASCII case ignored) runs in this Wine prefix.
bool ProcessRuns(const std::wstring& fileName);

std::wstring ModulePath(HMODULE module);  // null: this executable
std::wstring ExecutableFolder();          // the folder this executable runs from
// The PATH value with folder searched first, to give to ScopedEnvironment.
std::wstring PathWithFolderFirst(const std::wstring& folder);

// A fresh, empty folder under the given parent (default: the temporary folder), removed
// with everything in it at destruction.
class ScopedDirectory {
  public:
    explicit ScopedDirectory(const std::wstring& parent = std::wstring());
    ~ScopedDirectory();
    ScopedDirectory(const ScopedDirectory&) = delete;
    ScopedDirectory& operator=(const ScopedDirectory&) = delete;
    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return JoinPaths(path_, name); }

  private:
    std::wstring path_;
};

// Copies source to destination (which must not exist yet) and deletes it at destruction.
class ScopedFileCopy {
  public:
    ScopedFileCopy(const std::wstring& source, const std::wstring& destination);
    ~ScopedFileCopy();
    ScopedFileCopy(const ScopedFileCopy&) = delete;
    ScopedFileCopy& operator=(const ScopedFileCopy&) = delete;
    bool ok() const { return ok_; }
    const std::wstring& path() const { return destination_; }

  private:
    std::wstring destination_;
    bool ok_ = false;
};

// This process's working folder, changed for the life of the object.
class ScopedCurrentDirectory {
  public:
    explicit ScopedCurrentDirectory(const std::wstring& path);
    ~ScopedCurrentDirectory();
    ScopedCurrentDirectory(const ScopedCurrentDirectory&) = delete;
    ScopedCurrentDirectory& operator=(const ScopedCurrentDirectory&) = delete;

  private:
    std::wstring old_;
};

// Sets (or deletes) one registry value and puts back what was there at destruction; keys
// that it had to create are deleted again. The view is the process's own unless one of
// KEY_WOW64_64KEY and KEY_WOW64_32KEY is given.
class ScopedRegistryValue {
  public:
    ScopedRegistryValue(HKEY root, const std::wstring& subKey, const std::wstring& valueName,
                        REGSAM view = 0);
    ~ScopedRegistryValue();
    ScopedRegistryValue(const ScopedRegistryValue&) = delete;
    ScopedRegistryValue& operator=(const ScopedRegistryValue&) = delete;

    bool Set(DWORD type, const void* data, DWORD size);
    bool SetString(const std::wstring& text, DWORD type = REG_SZ);  // with its NUL
    bool SetMultiString(const std::vector<std::wstring>& entries);  // with the final empty entry
    bool SetDword(DWORD value);
    bool Delete();

  private:
    HKEY root_;
    std::wstring subKey_;
    std::wstring valueName_;
    REGSAM view_;
    std::vector<std::wstring> createdKeys_;  // deepest last
    bool hadValue_ = false;
    DWORD oldType_ = 0;
    std::vector<BYTE> oldData_;
};

// The Windows build number this process's registry reports, set for the life of the object.
class ScopedBuildNumber {
  public:
    explicit ScopedBuildNumber(const std::wstring& text, DWORD type = REG_SZ, REGSAM view = 0);

  private:
    ScopedRegistryValue value_;
};

// An environment variable of this process, set or removed, and restored at destruction.
class ScopedEnvironment {
  public:
    ScopedEnvironment(const std::wstring& name, const wchar_t* value);  // null removes
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  private:
    std::wstring name_;
    bool had_ = false;
    std::wstring old_;
};

// A buffer of count characters whose last character is the last accessible one: the next
// page is no-access, so writing or reading one character past the end faults.
class GuardedChars {
  public:
    explicit GuardedChars(size_t count);
    ~GuardedChars();
    GuardedChars(const GuardedChars&) = delete;
    GuardedChars& operator=(const GuardedChars&) = delete;
    wchar_t* data() const { return data_; }
    size_t size() const { return count_; }

  private:
    void* base_ = nullptr;
    wchar_t* data_ = nullptr;
    size_t count_ = 0;
};

// Busy blocks of the process heap, where LocalAlloc takes its memory. Compare the count
// before and after an operation to find what it left allocated. The count is process-wide:
// another thread's allocations show in it too. GoogleTest starts one such thread (see
// test_support.cpp), which is therefore started and let settle before the first test.
size_t CountBusyHeapBlocks();

// Runs a program and waits for it; returns its exit code, or -1 when it could not start.
// workingDirectory may be empty; the child inherits this process's environment.
DWORD RunProgram(const std::wstring& program, const std::wstring& arguments,
                 const std::wstring& workingDirectory);

// What a program wrote to its standard output and standard error (as bytes), with its exit
// code (-1 when it could not start).
struct ProgramOutput {
    DWORD exitCode;
    std::string out;
    std::string err;
};
// As RunProgram, with the program's standard output and error captured through files.
ProgramOutput RunProgramWithOutput(const std::wstring& program, const std::wstring& arguments,
                                   const std::wstring& workingDirectory);

}  // namespace testing_support

namespace testing_support {

// Replaces, for the life of the object, this test executable's import of one kernel32
// function (its import address table entry) with a replacement. The loader is linked into
// the test executable, so this is how a test injects a kernel32 failure or observes a
// kernel32 call without changing the code under test. original() calls through to the
// real function.
class ScopedImportPatch {
  public:
    ScopedImportPatch(const char* functionName, void* replacement);
    ~ScopedImportPatch();
    ScopedImportPatch(const ScopedImportPatch&) = delete;
    ScopedImportPatch& operator=(const ScopedImportPatch&) = delete;
    bool ok() const { return slot_ != nullptr; }
    template <typename Fn>
    Fn original() const {
        return reinterpret_cast<Fn>(original_);
    }

  private:
    void** slot_ = nullptr;
    void* original_ = nullptr;
};

// What LoadLibraryExW was asked while the object lives, recorded through this executable's
// import of it; the calls still go on to the real function. One at a time.
struct LoadRequest {
    std::wstring path;  // "(null)" for a null path
    DWORD flags;
};

class RecordedLoads {
  public:
    RecordedLoads();
    ~RecordedLoads();
    RecordedLoads(const RecordedLoads&) = delete;
    RecordedLoads& operator=(const RecordedLoads&) = delete;
    const std::vector<LoadRequest>& loads() const;

  private:
    ScopedImportPatch patch_;
};

}  // namespace testing_support

namespace testing_support {

// Every slot of the loader's binding records (g_advapi32, g_setupapi, g_shell32) as it was
// at construction, put back at destruction, so that a test may empty slots or place fakes
// in them. The saved values are the functions a fake calls through to. The saved records
// follow from the libraries' tables (loader/system_bindings.h), as the records do.
#define SAVED_SLOT(slot, function) decltype(&::function) slot;

class SavedBindings {
  public:
    struct Advapi32 {
        HMODULE module;
        ADVAPI32_FUNCTIONS(SAVED_SLOT)
    };
    struct Setupapi {
        HMODULE module;
        SETUPAPI_FUNCTIONS(SAVED_SLOT)
    };
    struct Shell32 {
        HMODULE module;
        SHELL32_FUNCTIONS(SAVED_SLOT)
    };

    SavedBindings();
    ~SavedBindings();
    SavedBindings(const SavedBindings&) = delete;
    SavedBindings& operator=(const SavedBindings&) = delete;

    const Advapi32& advapi32() const { return advapi32_; }
    const Setupapi& setupapi() const { return setupapi_; }
    const Shell32& shell32() const { return shell32_; }

  private:
    Advapi32 advapi32_;
    Setupapi setupapi_;
    Shell32 shell32_;
};

}  // namespace testing_support
