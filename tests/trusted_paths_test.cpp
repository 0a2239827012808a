// The trusted-folder rule and full-path loading, against the prefix's real environment,
// folders and loader. Fakes are used only where Wine cannot be made to fail: the binding
// record for Shell32, and the executable's kernel32 imports.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "loader/system_bindings.h"
#include "loader/trusted_paths.h"
#include "loader/windows_version.h"
#include "tests/support/loader_fixtures.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

constexpr wchar_t kTestKey[] = L"Software\\dispset-tests\\trusted-paths";
constexpr wchar_t kProgramW6432[] = L"ProgramW6432";
constexpr wchar_t kCurrentVersionKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr wchar_t kBuildNumberValue[] = L"CurrentBuildNumber";
constexpr wchar_t kJournalVariable[] = L"SIMDRIVER_JOURNAL";
constexpr char kJournalLoadLine[] = "load path=";
// A drive that Wine's prefix does not map, so nothing there can exist.
constexpr wchar_t kForeignPath[] = L"D:\\Tools\\nvapi.dll";
constexpr wchar_t kUncPath[] = L"\\\\server\\share\\nvapi.dll";

// The child run of a version test: what verdict it must find, and where it reports it.
constexpr wchar_t kChildExpectation[] = L"DISPSET_TRUSTED_PATHS_CHILD_EXPECT";
constexpr wchar_t kChildReport[] = L"DISPSET_TRUSTED_PATHS_CHILD_REPORT";
constexpr char kOlder[] = "older";
constexpr char kCurrent[] = "current";

std::wstring FileNamePart(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring Upper(std::wstring text) {
    for (wchar_t& c : text) {
        if (c >= L'a' && c <= L'z') {
            c = static_cast<wchar_t>(c - 32);
        }
    }
    return text;
}

std::wstring WithForwardSlashes(std::wstring text) {
    for (wchar_t& c : text) {
        if (c == L'\\') {
            c = L'/';
        }
    }
    return text;
}

// A file name no other test process uses, for copies of the simulated driver.
std::wstring UniqueDllName(const std::wstring& stem) {
    return stem + L"-" + std::to_wstring(GetCurrentProcessId()) + L".dll";
}

std::wstring Variable(const wchar_t* name) {
    wchar_t value[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(value, length) : std::wstring();
}

bool Trusted(const std::wstring& path) {
    return IsPathInTrustedFolder(path.c_str()) == 1;
}

bool WriteTextFile(const std::wstring& path, const std::string& text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const BOOL ok =
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == text.size();
}

// --- Folder paths ---------------------------------------------------------------------------

TEST(FolderPathTest, FolderGetsOneBackslashAndTheText) {
    wchar_t* folder = GetFolderPathWithFile(CSIDL_WINDOWS, L"");
    ASSERT_NE(folder, nullptr);
    EXPECT_EQ(Lower(folder), Lower(WindowsDirectory() + L"\\"));
    LocalFree(folder);

    wchar_t* file = GetFolderPathWithFile(CSIDL_WINDOWS, L"System32\\nvapi.dll");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(Lower(file), Lower(WindowsDirectory() + L"\\System32\\nvapi.dll"));
    LocalFree(file);
}

TEST(FolderPathTest, NullTextOrUnknownFolderGivesNull) {
    EXPECT_EQ(GetFolderPathWithFile(CSIDL_WINDOWS, nullptr), nullptr);
    EXPECT_EQ(GetFolderPathWithFile(0x7F, L""), nullptr);
}

HRESULT WINAPI RootFolderPath(HWND, int, HANDLE, DWORD, LPWSTR path) {
    lstrcpyW(path, L"C:\\");
    return S_OK;
}

HRESULT WINAPI FailingFolderPath(HWND, int, HANDLE, DWORD, LPWSTR) {
    return E_FAIL;
}

// A folder that already ends in a backslash still gets one: the result, with its doubled
// backslash, is the start of no full path, so a drive root can never become trusted.
TEST(FolderPathTest, BackslashIsAddedEvenAfterOne) {
    ScopedBindings bindings;
    g_shell32.getFolderPath.store(&RootFolderPath);
    wchar_t* folder = GetFolderPathWithFile(CSIDL_WINDOWS, L"");
    ASSERT_NE(folder, nullptr);
    EXPECT_STREQ(folder, L"C:\\\\");
    LocalFree(folder);
    EXPECT_FALSE(Trusted(L"C:\\x.dll"));
}

TEST(FolderPathTest, LookupFailureGivesNull) {
    ScopedBindings bindings;
    g_shell32.getFolderPath.store(&FailingFolderPath);
    EXPECT_EQ(GetFolderPathWithFile(CSIDL_WINDOWS, L""), nullptr);
}

// SHGetFolderPathW is looked up only by the call that loads Shell32: a library without it
// stays without it; only a fresh load looks again.
TEST(FolderPathTest, MissingFolderFunctionIsLookedUpOnlyWithTheLibrary) {
    ScopedBindings bindings;
    g_shell32.module.store(ModuleWithoutExports());
    g_shell32.getFolderPath.store(nullptr);
    EXPECT_EQ(GetFolderPathWithFile(CSIDL_WINDOWS, L""), nullptr);
    EXPECT_EQ(GetFolderPathWithFile(CSIDL_WINDOWS, L""), nullptr);
    EXPECT_EQ(g_shell32.getFolderPath.load(), nullptr);
    EXPECT_FALSE(Trusted(JoinPaths(SystemDirectory(), L"nvapi.dll")));

    g_shell32.module.store(nullptr);
    wchar_t* folder = GetFolderPathWithFile(CSIDL_WINDOWS, L"");
    EXPECT_NE(folder, nullptr);
    LocalFree(folder);
    EXPECT_NE(g_shell32.getFolderPath.load(), nullptr);
    EXPECT_EQ(Lower(ModulePath(g_shell32.module.load())),
              Lower(JoinPaths(SystemDirectory(), L"shell32.dll")));
}

// A caller that comes in while another is binding Shell32 (after the library is loaded,
// before SHGetFolderPathW is resolved) must not be told that the function is missing: that
// verdict is kept for the process. The second caller is simulated from inside the first
// one's GetProcAddress call, which is where a thread switch would put it.
int g_lookupDepth = 0;
bool g_nestedLookupRan = false;
bool g_nestedLookupFound = false;
ScopedImportPatch* g_procAddressPatch = nullptr;

FARPROC WINAPI GetProcAddressWithSecondCaller(HMODULE module, LPCSTR name) {
    const FARPROC address = g_procAddressPatch->original<decltype(&GetProcAddress)>()(module, name);
    if (g_lookupDepth == 0 && HIWORD(reinterpret_cast<uintptr_t>(name)) != 0 &&
        lstrcmpA(name, "SHGetFolderPathW") == 0) {
        ++g_lookupDepth;
        wchar_t* folder = GetFolderPathWithFile(CSIDL_WINDOWS, L"");
        g_nestedLookupRan = true;
        g_nestedLookupFound = folder != nullptr;
        LocalFree(folder);
        --g_lookupDepth;
    }
    return address;
}

TEST(FolderPathTest, CallerArrivingDuringTheShellBindingFindsTheFolder) {
    ScopedBindings bindings;
    g_shell32.module.store(nullptr);
    g_shell32.getFolderPath.store(nullptr);
    g_lookupDepth = 0;
    g_nestedLookupRan = false;
    g_nestedLookupFound = false;
    wchar_t* folder = nullptr;
    {
        ScopedImportPatch patch("GetProcAddress",
                                reinterpret_cast<void*>(&GetProcAddressWithSecondCaller));
        g_procAddressPatch = &patch;
        folder = GetFolderPathWithFile(CSIDL_WINDOWS, L"");
        g_procAddressPatch = nullptr;
    }
    EXPECT_NE(folder, nullptr);
    LocalFree(folder);
    ASSERT_TRUE(g_nestedLookupRan);
    EXPECT_TRUE(g_nestedLookupFound)
        << "the Shell32 handle was published before SHGetFolderPathW was resolved";
}

TEST(FolderPathTest, NothingStaysAllocated) {
    LocalFree(GetFolderPathWithFile(CSIDL_WINDOWS, L""));
    const size_t before = CountBusyHeapBlocks();
    for (int i = 0; i < 20; ++i) {
        LocalFree(GetFolderPathWithFile(CSIDL_PROGRAM_FILESX86, L"x.dll"));
        GetFolderPathWithFile(0x7F, L"");
    }
    {
        ScopedBindings bindings;
        FailingAllocations failing(1);
        EXPECT_EQ(GetFolderPathWithFile(CSIDL_WINDOWS, L""), nullptr);
    }
    EXPECT_EQ(CountBusyHeapBlocks(), before);
}

// --- Absolute paths -------------------------------------------------------------------------

TEST(AbsolutePathTest, RootedOrDriveLetterWithSeparator) {
    for (const wchar_t* path : {L"\\x.dll", L"/x.dll", L"\\\\server\\share\\x.dll",
                                L"\\\\?\\C:\\x.dll", L"C:\\x.dll", L"c:/x.dll", L"Z:\\"}) {
        EXPECT_EQ(IsAbsolutePath(path), 1) << path;
    }
    for (const wchar_t* path : {L"C:x.dll", L"C:", L"C", L"", L"x.dll", L"sub\\x.dll", L"1:\\x.dll",
                                L"\xC4:\\x.dll", L"CC:\\x.dll", L":\\x.dll"}) {
        EXPECT_EQ(IsAbsolutePath(path), 0) << path;
    }
    EXPECT_EQ(IsAbsolutePath(nullptr), 0);
}

// --- Trusted folders ------------------------------------------------------------------------

class TrustedFolderTest : public VersionStateTest {
  protected:
    void SetUp() override {
        VersionStateTest::SetUp();
        // This prefix reports Windows 7 or later, where the folders count.
        ASSERT_EQ(IsPathInTrustedFolder(nullptr), 0) << "Wine reports a Windows before 6.1";
    }
    const std::wstring windows_ = WindowsDirectory();
};

TEST_F(TrustedFolderTest, WindowsFolderAndWhatLiesBelowIt) {
    EXPECT_TRUE(Trusted(windows_ + L"\\System32\\nvapi.dll"));
    EXPECT_TRUE(Trusted(Lower(windows_) + L"\\system32\\NVAPI.DLL"));
    EXPECT_TRUE(Trusted(Upper(windows_) + L"\\SYSTEM32\\nvapi.dll"));
    EXPECT_TRUE(Trusted(WithForwardSlashes(windows_ + L"\\System32\\nvapi.dll")));
    EXPECT_TRUE(Trusted(windows_ + L"\\System32\\..\\nvapi.dll"));
    EXPECT_TRUE(Trusted(windows_ + L"\\no-such-folder\\nvapi.dll"));  // existence is not asked

    EXPECT_FALSE(Trusted(windows_ + L"\\..\\Temp\\x.dll"));
    EXPECT_FALSE(Trusted(windows_ + L"Apps\\x.dll"));  // C:\WindowsApps
    EXPECT_FALSE(Trusted(windows_));                   // the folder name alone
    EXPECT_FALSE(Trusted(kForeignPath));
    EXPECT_FALSE(Trusted(L""));
}

// Paths that name the folder in another form are not recognised: the test compares the
// text of the full path, and refusing is the safe side.
TEST_F(TrustedFolderTest, OtherSpellingsOfTheFoldersAreNotTrusted) {
    EXPECT_FALSE(Trusted(kUncPath));
    EXPECT_FALSE(Trusted(L"\\\\localhost\\C$" + windows_.substr(2) + L"\\System32\\x.dll"));
    EXPECT_FALSE(Trusted(L"\\\\?\\" + windows_ + L"\\System32\\x.dll"));
    EXPECT_FALSE(Trusted(L"\\\\.\\" + windows_ + L"\\System32\\x.dll"));
}

TEST_F(TrustedFolderTest, ShortNameOfATrustedFolderIsNotRecognised) {
    const std::wstring folder = NativeProgramFilesDirectory();
    ASSERT_FALSE(folder.empty());
    wchar_t shortName[MAX_PATH] = {};
    ASSERT_NE(GetShortPathNameW(folder.c_str(), shortName, MAX_PATH), 0u);
    if (Lower(shortName) == Lower(folder)) {
        GTEST_SKIP() << "the file system gives this folder no short name";
    }
    EXPECT_TRUE(Trusted(folder + L"\\x.dll"));
    EXPECT_FALSE(Trusted(std::wstring(shortName) + L"\\x.dll"));
}

TEST_F(TrustedFolderTest, BothProgramFilesFolders) {
    wchar_t x86[MAX_PATH] = {};
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILESX86, nullptr, 0, x86), S_OK);
    const std::wstring native = NativeProgramFilesDirectory();
    ASSERT_FALSE(native.empty());
    EXPECT_TRUE(Trusted(native + L"\\NVIDIA Corporation\\nvapi.dll"));
    EXPECT_TRUE(Trusted(std::wstring(x86) + L"\\NVIDIA Corporation\\nvapi.dll"));
    EXPECT_FALSE(Trusted(native + L" Evil\\nvapi.dll"));
    if (CurrentConfiguration() == Configuration::kNative32) {
        // 32-bit Windows has one Program Files folder, and no ProgramW6432 to name it.
        EXPECT_EQ(Lower(native), Lower(x86));
        EXPECT_TRUE(Variable(kProgramW6432).empty());
        return;
    }
    EXPECT_NE(Lower(native), Lower(x86));
}

TEST_F(TrustedFolderTest, RelativePathsAreJudgedFromTheWorkingFolder) {
    {
        ScopedCurrentDirectory inside(SystemDirectory());
        EXPECT_TRUE(Trusted(L"nvapi.dll"));
        EXPECT_TRUE(Trusted(L"sub\\nvapi.dll"));
        EXPECT_TRUE(Trusted(L"C:nvapi.dll"));
        EXPECT_FALSE(Trusted(L"..\\..\\nvapi.dll"));
    }
    ScopedDirectory scratch;
    {
        ScopedCurrentDirectory outside(scratch.path());
        EXPECT_FALSE(Trusted(L"nvapi.dll"));
        EXPECT_FALSE(Trusted(L".\\nvapi.dll"));
        // Rooted without a drive: the working folder's drive.
        EXPECT_TRUE(Trusted(windows_.substr(2) + L"\\nvapi.dll"));
    }
}

// ProgramW6432 names the native Program Files folder; these tests point it at a scratch
// folder to see which folder the rule really uses.
class ProgramW6432Test : public TrustedFolderTest {
  protected:
    ScopedDirectory scratch_;
    std::wstring inside() const { return scratch_ / L"nvapi.dll"; }
};

TEST_F(ProgramW6432Test, DefinedFolderIsTrustedWithOrWithoutItsBackslash) {
    for (const std::wstring& value : {scratch_.path(), scratch_.path() + L"\\"}) {
        SCOPED_TRACE(value);
        ScopedEnvironment variable(kProgramW6432, value.c_str());
        EXPECT_TRUE(Trusted(inside()));
        EXPECT_TRUE(Trusted(scratch_ / L"sub\\nvapi.dll"));
        EXPECT_FALSE(Trusted(scratch_.path()));
        EXPECT_FALSE(Trusted(scratch_.path() + L"-sibling\\nvapi.dll"));
    }
}

decltype(&SHGetFolderPathW) g_realFolderPath = nullptr;
std::wstring g_programFilesFolder;
int g_failingCsidl = -1;
int g_emptyCsidl = -1;

HRESULT WINAPI FolderPathWithScratchProgramFiles(HWND window, int csidl, HANDLE token, DWORD flags,
                                                 LPWSTR path) {
    if (csidl == g_failingCsidl) {
        return E_FAIL;
    }
    if (csidl == g_emptyCsidl) {
        path[0] = L'\0';
        return S_OK;
    }
    if (csidl == CSIDL_PROGRAM_FILES && !g_programFilesFolder.empty()) {
        lstrcpyW(path, g_programFilesFolder.c_str());
        return S_OK;
    }
    return g_realFolderPath(window, csidl, token, flags, path);
}

class ProgramFilesFakeTest : public ProgramW6432Test {
  protected:
    void SetUp() override {
        ProgramW6432Test::SetUp();
        g_realFolderPath = bindings_.realFolderPath();
        g_programFilesFolder = scratch_.path();
        g_failingCsidl = -1;
        g_emptyCsidl = -1;
        g_shell32.getFolderPath.store(&FolderPathWithScratchProgramFiles);
    }
    void TearDown() override {
        g_programFilesFolder.clear();
        g_failingCsidl = -1;
        g_emptyCsidl = -1;
        ProgramW6432Test::TearDown();
    }
    ScopedBindings bindings_;
};

// Without the variable (32-bit Windows) the shell's Program Files folder is used instead.
TEST_F(ProgramFilesFakeTest, UndefinedVariableFallsBackToTheShellFolder) {
    {
        ScopedEnvironment variable(kProgramW6432, nullptr);
        EXPECT_TRUE(Trusted(inside()));
    }
    ScopedDirectory other;
    ScopedEnvironment variable(kProgramW6432, other.path().c_str());
    EXPECT_FALSE(Trusted(inside()));
    EXPECT_TRUE(Trusted(other / L"nvapi.dll"));
}

// The variable is the user's: a value that names no folder below a drive's root counts as
// not defined, and Program Files comes from the shell (here the scratch folder). Taken as it
// is, it would trust a whole drive or every network path. A folder is taken as it is.
TEST_F(ProgramFilesFakeTest, AVariableThatNamesNoFolderBelowADriveRootCountsAsUndefined) {
    const std::wstring drive = windows_.substr(0, 2);  // "C:", the prefix's system drive
    ScopedDirectory other;
    const struct {
        std::wstring value;
        bool shellFolder;
    } kValues[] = {
        {L"", true},
        {L"\\", true},
        {L"\\\\server\\share", true},
        {drive, true},
        {drive + L"\\", true},
        {drive + L"\\\\", true},
        {L"Program Files", true},
        {drive + L"\\Program Files\\", false},
        {other.path(), false},
    };
    for (const auto& entry : kValues) {
        SCOPED_TRACE(Narrow(L"ProgramW6432=" + entry.value));
        ScopedEnvironment variable(kProgramW6432, entry.value.c_str());
        EXPECT_EQ(Trusted(inside()), entry.shellFolder);
        if (!entry.shellFolder) {
            EXPECT_TRUE(Trusted(JoinPaths(entry.value, L"nvapi.dll")));
        }
        EXPECT_FALSE(Trusted(drive + L"\\Temp\\nvapi.dll"));
        EXPECT_FALSE(Trusted(kUncPath));
        EXPECT_TRUE(Trusted(windows_ + L"\\System32\\nvapi.dll"));
    }
}

// A shell folder that comes back empty names no folder. Taken as it is, the backslash
// after it would be a prefix of every network path; it is skipped like an empty variable.
TEST_F(ProgramFilesFakeTest, EmptyShellFolderTrustsNothingAndIsSkipped) {
    const std::wstring deviceNamespacePath = L"\\\\?\\C:\\Temp\\nvapi.dll";
    {
        ScopedEnvironment variable(kProgramW6432, scratch_.path().c_str());
        g_emptyCsidl = CSIDL_WINDOWS;
        EXPECT_FALSE(Trusted(kUncPath));
        EXPECT_FALSE(Trusted(deviceNamespacePath));
        EXPECT_FALSE(Trusted(windows_ + L"\\System32\\nvapi.dll"));
        EXPECT_TRUE(Trusted(inside()));  // the folders after it are still tried
    }
    // Program Files from the shell, for an undefined variable, follows the same rule.
    ScopedEnvironment variable(kProgramW6432, nullptr);
    g_emptyCsidl = CSIDL_PROGRAM_FILES;
    EXPECT_FALSE(Trusted(kUncPath));
    EXPECT_FALSE(Trusted(deviceNamespacePath));
    EXPECT_TRUE(Trusted(windows_ + L"\\System32\\nvapi.dll"));
    wchar_t x86[MAX_PATH] = {};
    ASSERT_EQ(g_realFolderPath(nullptr, CSIDL_PROGRAM_FILESX86, nullptr, 0, x86), S_OK);
    EXPECT_TRUE(Trusted(std::wstring(x86) + L"\\nvapi.dll"));
}

// A folder that cannot be had ends the test untrusted; the folders after it are not tried.
TEST_F(ProgramFilesFakeTest, FolderLookupFailureEndsTheTestUntrusted) {
    ScopedEnvironment variable(kProgramW6432, scratch_.path().c_str());
    wchar_t x86[MAX_PATH] = {};
    ASSERT_EQ(g_realFolderPath(nullptr, CSIDL_PROGRAM_FILESX86, nullptr, 0, x86), S_OK);
    const std::wstring inX86 = std::wstring(x86) + L"\\nvapi.dll";

    g_failingCsidl = CSIDL_PROGRAM_FILESX86;
    EXPECT_TRUE(Trusted(inside()));  // matched before the failing folder
    EXPECT_FALSE(Trusted(inX86));

    g_failingCsidl = CSIDL_WINDOWS;
    EXPECT_FALSE(Trusted(inside()));
    EXPECT_FALSE(Trusted(inX86));

    ScopedEnvironment undefined(kProgramW6432, nullptr);
    g_failingCsidl = CSIDL_PROGRAM_FILES;
    EXPECT_TRUE(Trusted(windows_ + L"\\nvapi.dll"));
    EXPECT_FALSE(Trusted(inX86));
}

// Kernel32 failures inside the test, injected through the executable's imports.
int g_fullPathCalls = 0;
int g_expandCalls = 0;
DWORD WINAPI FullPathFailsAtFirstCall(LPCWSTR, DWORD, LPWSTR, LPWSTR*) {
    return 0;
}
// Reports a size, then claims at the second call that the buffer was too small.
DWORD WINAPI FullPathGrowsBetweenCalls(LPCWSTR, DWORD size, LPWSTR buffer, LPWSTR*) {
    ++g_fullPathCalls;
    if (buffer == nullptr) {
        return 16;
    }
    return size + 5;
}
DWORD WINAPI ExpansionFails(LPCWSTR, LPWSTR, DWORD) {
    return 0;
}
// Answers the size query with one count and the expansion with another.
DWORD WINAPI ExpansionChangesBetweenCalls(LPCWSTR, LPWSTR buffer, DWORD size) {
    ++g_expandCalls;
    if (buffer == nullptr) {
        return 4;
    }
    lstrcpynW(buffer, L"C:\\", static_cast<int>(size));
    return 3;
}

TEST_F(TrustedFolderTest, FullPathOrExpansionFailureGivesUntrusted) {
    const std::wstring path = windows_ + L"\\nvapi.dll";
    wchar_t x86[MAX_PATH] = {};
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILESX86, nullptr, 0, x86), S_OK);
    const std::wstring inX86 = std::wstring(x86) + L"\\nvapi.dll";
    {
        ScopedImportPatch patch("GetFullPathNameW",
                                reinterpret_cast<void*>(&FullPathFailsAtFirstCall));
        EXPECT_FALSE(Trusted(path));
    }
    {
        ScopedImportPatch patch("GetFullPathNameW",
                                reinterpret_cast<void*>(&FullPathGrowsBetweenCalls));
        g_fullPathCalls = 0;
        EXPECT_FALSE(Trusted(path));
        EXPECT_EQ(g_fullPathCalls, 2);
    }
    {
        ScopedImportPatch patch("ExpandEnvironmentStringsW",
                                reinterpret_cast<void*>(&ExpansionFails));
        EXPECT_TRUE(Trusted(path));  // matched before the expansion
        EXPECT_FALSE(Trusted(inX86));
    }
    {
        ScopedImportPatch patch("ExpandEnvironmentStringsW",
                                reinterpret_cast<void*>(&ExpansionChangesBetweenCalls));
        g_expandCalls = 0;
        EXPECT_FALSE(Trusted(inX86));
        EXPECT_EQ(g_expandCalls, 2);
    }
}

// Each allocation of the test, made to fail in turn, gives untrusted and leaks nothing. The
// path lies in the last folder, so every allocation is reached.
TEST_F(TrustedFolderTest, EachFailedAllocationGivesUntrustedAndLeaksNothing) {
    wchar_t x86[MAX_PATH] = {};
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILESX86, nullptr, 0, x86), S_OK);
    const std::wstring inX86 = std::wstring(x86) + L"\\nvapi.dll";
    ASSERT_TRUE(Trusted(inX86));
    const size_t before = CountBusyHeapBlocks();
    int allocations = 0;
    {
        FailingAllocations counting(INT32_MAX);
        EXPECT_TRUE(Trusted(inX86));
        allocations = counting.calls();
    }
    EXPECT_EQ(allocations, 4);  // full path and three folders
    for (int failing = 1; failing <= allocations; ++failing) {
        SCOPED_TRACE(failing);
        FailingAllocations injected(failing);
        EXPECT_FALSE(Trusted(inX86));
    }
    EXPECT_EQ(CountBusyHeapBlocks(), before);
}

TEST_F(TrustedFolderTest, TestsLeaveNothingAllocated) {
    ScopedDirectory scratch;
    const std::vector<std::wstring> paths = {windows_ + L"\\System32\\nvapi.dll",
                                             scratch / L"nvapi.dll", kForeignPath, kUncPath,
                                             L"relative\\nvapi.dll"};
    auto testAll = [&] {
        for (const std::wstring& path : paths) {
            IsPathInTrustedFolder(path.c_str());
        }
        IsPathInTrustedFolder(nullptr);
    };
    testAll();
    const size_t before = CountBusyHeapBlocks();
    testAll();
    EXPECT_EQ(CountBusyHeapBlocks(), before);
    {
        ScopedEnvironment empty(kProgramW6432, L"");
        testAll();
        const size_t emptyBefore = CountBusyHeapBlocks();
        testAll();
        EXPECT_EQ(CountBusyHeapBlocks(), emptyBefore);
    }
    {
        ScopedEnvironment undefined(kProgramW6432, nullptr);
        testAll();
        const size_t undefinedBefore = CountBusyHeapBlocks();
        testAll();
        EXPECT_EQ(CountBusyHeapBlocks(), undefinedBefore);
    }
}

// --- Windows before 6.1 (in a child process: the verdict is kept for the process) -----------

std::wstring ExecutablePath() {
    return ModulePath(nullptr);
}

// Runs this test executable's child test with Wine told to report version for it.
std::string VerdictUnderWineVersion(const wchar_t* version, const char* expected) {
    ScopedDirectory scratch;
    const std::wstring report = scratch / L"verdict.txt";
    ScopedRegistryValue appVersion(
        HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\" + FileNamePart(ExecutablePath()),
        L"Version");
    EXPECT_TRUE(appVersion.SetString(version));
    const std::wstring expectedText(expected, expected + strlen(expected));
    ScopedEnvironment expectation(kChildExpectation, expectedText.c_str());
    ScopedEnvironment reportFile(kChildReport, report.c_str());
    EXPECT_EQ(RunProgram(ExecutablePath(), L"--gtest_filter=TrustedPathsChild.*", L""), 0u)
        << "the child's own test failed";
    return ReadFileText(report);
}

TEST(WindowsVersionVerdictTest, VistaAndXpTrustEveryPath) {
    EXPECT_EQ(VerdictUnderWineVersion(L"vista", kOlder), kOlder);
    EXPECT_EQ(VerdictUnderWineVersion(L"winxp64", kOlder), kOlder);
}

TEST(WindowsVersionVerdictTest, Windows7AndLaterKeepTheFolders) {
    EXPECT_EQ(VerdictUnderWineVersion(L"win7", kCurrent), kCurrent);
    EXPECT_EQ(VerdictUnderWineVersion(L"win10", kCurrent), kCurrent);
}

// Runs only as the child of the tests above, under the Windows version they chose.
TEST(TrustedPathsChild, VerdictOfThisProcess) {
    const std::wstring expectation = Variable(kChildExpectation);
    if (expectation.empty()) {
        GTEST_SKIP() << "runs only as a child of WindowsVersionVerdictTest";
    }
    const bool older = IsPathInTrustedFolder(nullptr) == 1;
    ASSERT_TRUE(WriteTextFile(Variable(kChildReport), older ? kOlder : kCurrent));
    const bool expectOlder = expectation == std::wstring(kOlder, kOlder + strlen(kOlder));
    ASSERT_EQ(older, expectOlder);

    ScopedDirectory scratch;
    ScopedFileCopy copy(SimDriverPath(), scratch / UniqueDllName(L"anywhere"));
    ASSERT_TRUE(copy.ok());
    HMODULE module = LoadLibraryTrustedPath(copy.path().c_str(), 0);
    const DWORD error = GetLastError();
    if (older) {
        EXPECT_TRUE(Trusted(kForeignPath));
        EXPECT_TRUE(Trusted(kUncPath));
        ASSERT_NE(module, nullptr);
        EXPECT_EQ(Lower(ModulePath(module)), Lower(copy.path()));
        FreeLibrary(module);
    } else {
        EXPECT_FALSE(Trusted(kForeignPath));
        EXPECT_EQ(module, nullptr);
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_BAD_PATHNAME));
    }
    // The path rules before the folder test hold on every version.
    EXPECT_EQ(LoadLibraryTrustedPath(L"nvapi.dll", 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_ARGUMENTS));
    EXPECT_EQ(LoadLibraryFullPath(L"sub\\nvapi.dll", 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

// --- Loading by full path -------------------------------------------------------------------

// The simulated driver journals "load path=..." when it runs; a refused load must leave no
// such line, and the module must not be in the process.
class FullPathLoadTest : public VersionStateTest {
  protected:
    void SetUp() override {
        VersionStateTest::SetUp();
        ASSERT_EQ(IsPathInTrustedFolder(nullptr), 0) << "Wine reports a Windows before 6.1";
        // Binds Shell32 now, so that the loads a test records are its own.
        IsPathInTrustedFolder(kForeignPath);
    }
    bool Ran() const { return ReadFileText(journal_).find(kJournalLoadLine) != std::string::npos; }

    ScopedDirectory scratch_;
    const std::wstring journal_ = scratch_ / L"journal.txt";
    ScopedEnvironment journalVariable_{kJournalVariable, journal_.c_str()};
};

TEST_F(FullPathLoadTest, TrustedPathRefusals) {
    struct Case {
        const wchar_t* path;
        DWORD error;
    };
    const Case cases[] = {
        {nullptr, ERROR_BAD_ARGUMENTS},           {L"", ERROR_BAD_ARGUMENTS},
        {L"nvapi.dll", ERROR_BAD_ARGUMENTS},      {L"C:nvapi.dll", ERROR_BAD_ARGUMENTS},
        {L"sub\\nvapi.dll", ERROR_BAD_ARGUMENTS}, {kForeignPath, ERROR_BAD_PATHNAME},
        {kUncPath, ERROR_BAD_PATHNAME},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path != nullptr ? c.path : L"(null)");
        SetLastError(0xDEAD);
        EXPECT_EQ(LoadLibraryTrustedPath(c.path, 0), nullptr);
        EXPECT_EQ(GetLastError(), c.error);
    }
}

TEST_F(FullPathLoadTest, FullPathRefusals) {
    struct Case {
        const wchar_t* path;
        DWORD error;
    };
    const Case cases[] = {
        {L"sub\\nvapi.dll", ERROR_MOD_NOT_FOUND},
        {L".\\nvapi.dll", ERROR_MOD_NOT_FOUND},
        {L"./nvapi.dll", ERROR_MOD_NOT_FOUND},
        {L"C:sub\\nvapi.dll", ERROR_MOD_NOT_FOUND},
        {kForeignPath, ERROR_BAD_PATHNAME},
        {kUncPath, ERROR_BAD_PATHNAME},
        {L"//server/share/nvapi.dll", ERROR_BAD_PATHNAME},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        SetLastError(0xDEAD);
        EXPECT_EQ(LoadLibraryFullPath(c.path, 0), nullptr);
        EXPECT_EQ(GetLastError(), c.error);
    }
}

// The real file, outside every trusted folder, reached by each form of path: never run.
TEST_F(FullPathLoadTest, UntrustedFileIsNeverRun) {
    const std::wstring name = UniqueDllName(L"untrusted");
    ScopedFileCopy copy(SimDriverPath(), scratch_ / name);
    ASSERT_TRUE(copy.ok());
    ScopedCurrentDirectory workingFolder(scratch_.path());

    EXPECT_EQ(LoadLibraryTrustedPath(copy.path().c_str(), 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_PATHNAME));
    EXPECT_EQ(LoadLibraryFullPath(copy.path().c_str(), 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_PATHNAME));
    EXPECT_EQ(LoadLibraryFullPath((L".\\" + name).c_str(), 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    // A bare name is looked for in the system directory only, not in the working folder.
    EXPECT_EQ(LoadLibraryFullPath(name.c_str(), LOAD_WITH_ALTERED_SEARCH_PATH), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

    EXPECT_EQ(GetModuleHandleW(name.c_str()), nullptr);
    EXPECT_FALSE(Ran());
}

TEST_F(FullPathLoadTest, RefusalsLeaveNothingAllocated) {
    auto refuseAll = [] {
        LoadLibraryTrustedPath(nullptr, 0);
        LoadLibraryTrustedPath(L"nvapi.dll", 0);
        LoadLibraryTrustedPath(kForeignPath, 0);
        LoadLibraryFullPath(L"sub\\nvapi.dll", 0);
        LoadLibraryFullPath(kUncPath, 0);
    };
    refuseAll();
    const size_t before = CountBusyHeapBlocks();
    refuseAll();
    EXPECT_EQ(CountBusyHeapBlocks(), before);
}

// A copy of the simulated driver inside the Windows folder loads, from exactly there, with
// the caller's own path and without the search-path bits.
TEST_F(FullPathLoadTest, TrustedFileLoadsFromItsOwnPlace) {
    ScopedDirectory trustedFolder(WindowsDirectory());
    ScopedFileCopy copy(SimDriverPath(), trustedFolder / UniqueDllName(L"trusted"));
    ASSERT_TRUE(copy.ok());
    const std::wstring slashed = WithForwardSlashes(copy.path());
    HMODULE module = nullptr;
    {
        RecordedLoads loads;
        module = LoadLibraryTrustedPath(
            slashed.c_str(), LOAD_WITH_ALTERED_SEARCH_PATH | LOAD_LIBRARY_SEARCH_APPLICATION_DIR);
        ASSERT_EQ(loads.loads().size(), 1u);
        EXPECT_EQ(loads.loads()[0].path, slashed);
        EXPECT_EQ(loads.loads()[0].flags, 0u);
    }
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(Lower(ModulePath(module)), Lower(copy.path()));
    EXPECT_TRUE(Ran());
    FreeLibrary(module);
}

TEST_F(FullPathLoadTest, OtherFlagsPassThrough) {
    ScopedDirectory trustedFolder(WindowsDirectory());
    ScopedFileCopy copy(SimDriverPath(), trustedFolder / UniqueDllName(L"datafile"));
    ASSERT_TRUE(copy.ok());
    HMODULE module = nullptr;
    {
        RecordedLoads loads;
        module = LoadLibraryFullPath(copy.path().c_str(),
                                     LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
        ASSERT_EQ(loads.loads().size(), 1u);
        EXPECT_EQ(loads.loads()[0].flags, static_cast<DWORD>(LOAD_LIBRARY_AS_DATAFILE));
    }
    ASSERT_NE(module, nullptr);
    // Mapped as data: not an image in the process, and its code never ran.
    EXPECT_EQ(GetModuleHandleW(copy.path().c_str()), nullptr);
    EXPECT_FALSE(Ran());
    FreeLibrary(module);
}

TEST_F(FullPathLoadTest, BareNameLoadsFromTheSystemDirectory) {
    const std::wstring name = UniqueDllName(L"bare");
    ScopedFileCopy inSystem(SimDriverPath(), JoinPaths(SystemDirectory(), name));
    ASSERT_TRUE(inSystem.ok());
    // A copy in the working folder must not be the one that loads.
    ScopedFileCopy inWorkingFolder(SimDriverPath(), scratch_ / name);
    ASSERT_TRUE(inWorkingFolder.ok());
    ScopedCurrentDirectory workingFolder(scratch_.path());
    HMODULE module = LoadLibraryFullPath(name.c_str(), 0);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(Lower(ModulePath(module)), Lower(inSystem.path()));
    FreeLibrary(module);
}

}  // namespace
