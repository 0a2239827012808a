// The driver module locator and the driver-located load, against a simulated NVIDIA display
// device in the test prefix: the order of the sources, the stop at the first error, what a
// 32-bit process under WOW64 reads, and the program itself (in the i686 build the shipped
// dispset.exe) loading the driver library from where the driver registered it, and from
// nowhere else.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loader/driver_locator.h"
#include "loader/driver_lookups.h"
#include "loader/module_loader.h"
#include "loader/system_bindings.h"
#include "loader/system_directory.h"
#include "loader/trusted_paths.h"
#include "loader/windows_version.h"
#include "tests/support/journal.h"
#include "tests/support/simulated_device.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

const wchar_t kKhronosVulkan[] = L"SOFTWARE\\Khronos\\Vulkan\\Drivers";
const wchar_t kKhronosOpenCl[] = L"SOFTWARE\\Khronos\\OpenCL\\Vendors";

std::wstring Text(const wchar_t* text) {
    return text != nullptr ? text : L"(null)";
}

// The search result as a string, freeing it, with the last-error value it left.
struct Search {
    std::wstring path;
    bool found;
    DWORD error;
};

Search FindPath(const wchar_t* name) {
    wchar_t* path = FindDriverModulePath(name);
    const DWORD error = GetLastError();
    Search search{Text(path), path != nullptr, error};
    if (path != nullptr) {
        LocalFree(path);
    }
    return search;
}

// Windows 10 with one simulated NVIDIA display device present, and a folder under Program
// Files (trusted) for the driver's files.
class LocatorTest : public ::testing::Test, protected SimulatedMachine {
  protected:
    void SetUp() override {
        ResetWindowsVersionStateForTesting();
        ASSERT_TRUE(device_.ok());
        ASSERT_EQ(GetModuleHandleW(L"nvapi.dll"), nullptr);
    }
    void TearDown() override { ResetWindowsVersionStateForTesting(); }
};

// The other configuration's value names, as far as the locator can tell: the WOW64 state
// is the seam. The x64 twin never runs under WOW64, and the i686 build under WOW64 reads
// the native names only through it; the WOW64 tests check the real state.
class ScopedWow64 {
  public:
    explicit ScopedWow64(BOOL wow64)
        : savedAddress_(g_wow64.isWow64Process.load()), savedFlag_(g_wow64.isWow64.load()) {
        g_wow64.isWow64.store(wow64);
        g_wow64.isWow64Process.store(&NeverCalled);
    }
    ~ScopedWow64() {
        g_wow64.isWow64Process.store(savedAddress_);
        g_wow64.isWow64.store(savedFlag_);
    }

  private:
    static BOOL WINAPI NeverCalled(HANDLE, BOOL*) {
        ADD_FAILURE() << "IsWow64Process asked again";
        return FALSE;
    }
    IsWow64ProcessFn savedAddress_;
    BOOL savedFlag_;
};

TEST_F(LocatorTest, ClassKeyValueNamesTheModuleForDllNames) {
    const std::wstring registered = InstallDriverFile(L"nvapi.dll");
    ASSERT_TRUE(device_.SetDriverString(ClassKeyModuleValue(), registered));
    // A kernel-driver service with the same image must not be consulted for a ".dll" name.
    ScopedService service(L"nvsimkd", SERVICE_KERNEL_DRIVER, L"C:\\Windows\\nvapi.dll");
    ASSERT_TRUE(device_.SetFunctionService(L"nvsimkd"));

    for (const wchar_t* name : {L"nvapi.dll", L"NVAPI.DLL", L"nvapi"}) {
        SCOPED_TRACE(Narrow(name));
        Search search = FindPath(name);
        EXPECT_TRUE(search.found);
        EXPECT_EQ(search.path, registered);
        EXPECT_EQ(search.error, static_cast<DWORD>(ERROR_SUCCESS));
    }

    HMODULE module = LoadLibrarySecure(L"nvapi.dll", 0);
    ASSERT_NE(module, nullptr) << "error " << GetLastError();
    EXPECT_EQ(Lower(ModulePath(module)), Lower(registered));
    FreeLibrary(module);
}

TEST_F(LocatorTest, Wow64ReadsOnlyTheWowValueNames) {
    const std::wstring native = InstallDriverFile(L"nvapi.dll");
    ScopedDirectory wowFolder(NativeProgramFilesDirectory());
    ScopedFileCopy wow(SimDriverPath(), wowFolder / L"nvapi.dll");
    ASSERT_TRUE(device_.SetDriverString(L"UserModeDriverName", native));
    ASSERT_TRUE(device_.SetDriverString(L"UserModeDListDriverNameWow", wow.path()));
    {
        ScopedWow64 underWow64(TRUE);
        EXPECT_EQ(FindPath(L"nvapi.dll").path, wow.path());
    }
    {
        ScopedWow64 native64(FALSE);
        EXPECT_EQ(FindPath(L"nvapi.dll").path, native);
    }

    // The support modules follow the same rule.
    ASSERT_TRUE(device_.SetDriverString(L"UserModeDriverName", L"other.dll"));
    ASSERT_TRUE(device_.SetDriverString(L"UserModeDListDriverNameWow", L"other.dll"));
    ASSERT_TRUE(device_.SetDriverMultiString(L"DriverSupportModules", {L"a.dll", native}));
    ASSERT_TRUE(device_.SetDriverMultiString(L"DriverSupportModulesWow", {wow.path()}));
    {
        ScopedWow64 underWow64(TRUE);
        EXPECT_EQ(FindPath(L"nvapi.dll").path, wow.path());
    }
    {
        ScopedWow64 native64(FALSE);
        EXPECT_EQ(FindPath(L"nvapi.dll").path, native);
    }
}

TEST_F(LocatorTest, AsksIsWow64ProcessOncePerProcess) {
    const IsWow64ProcessFn saved = g_wow64.isWow64Process.load();
    g_wow64.isWow64Process.store(nullptr);
    FindPath(L"nvapi.dll");
    const IsWow64ProcessFn resolved = g_wow64.isWow64Process.load();
    EXPECT_NE(resolved, nullptr);
    EXPECT_EQ(g_wow64.isWow64.load() != FALSE, RunsUnderWow64())
        << ConfigurationName(CurrentConfiguration());
    {
        ScopedWow64 guard(FALSE);  // any further call of the function fails the test
        FindPath(L"nvapi.dll");
    }
    g_wow64.isWow64Process.store(saved != nullptr ? saved : resolved);
}

// The i686 build as the shipped program runs on a 64-bit PC: the real IsWow64Process, the
// registry's 32-bit view and the "Wow" value names, without the seam above.
class Wow64LocatorTest : public LocatorTest {
  protected:
    void SetUp() override {
        if (!RunsUnderWow64()) {
            GTEST_SKIP() << "for the i686 build under WOW64; this is "
                         << ConfigurationName(CurrentConfiguration());
        }
        LocatorTest::SetUp();
    }
};

TEST_F(Wow64LocatorTest, TheNativeClassKeyValuesAreNotRead) {
    // They name the 64-bit library, which a 32-bit process cannot load.
    const std::wstring native = InstallDriverFile(L"nvapi.dll");
    for (const wchar_t* name :
         {L"UserModeDriverName", L"OpenGLDriverName", L"UserModeDListDriverName"}) {
        ASSERT_TRUE(device_.SetDriverString(name, native));
    }
    EXPECT_FALSE(FindPath(L"nvapi.dll").found);
    HMODULE module = LoadLibrarySecure(L"nvapi.dll", 0);
    EXPECT_EQ(module, nullptr) << Narrow(ModulePath(module));
    if (module != nullptr) {
        FreeLibrary(module);
    }

    ASSERT_TRUE(device_.SetDriverString(L"OpenGLDriverNameWow", native));
    EXPECT_EQ(FindPath(L"nvapi.dll").path, native);
}

TEST_F(Wow64LocatorTest, TheWowValueLoadsFromEitherProgramFilesFolder) {
    wchar_t x86[MAX_PATH] = {};
    ASSERT_GT(GetEnvironmentVariableW(L"ProgramFiles(x86)", x86, MAX_PATH), 0u);
    wchar_t own[MAX_PATH] = {};
    ASSERT_GT(GetEnvironmentVariableW(L"ProgramFiles", own, MAX_PATH), 0u);
    EXPECT_EQ(Lower(own), Lower(x86)) << "a 32-bit process's Program Files is the x86 one";
    ASSERT_NE(Lower(x86), Lower(NativeProgramFilesDirectory()));

    for (const std::wstring& parent : {std::wstring(x86), NativeProgramFilesDirectory()}) {
        SCOPED_TRACE(Narrow(parent));
        ScopedDirectory folder(parent);
        ScopedFileCopy installed(SimDriverPath(), folder / L"nvapi.dll");
        ASSERT_TRUE(device_.SetDriverString(L"UserModeDriverNameWow", installed.path()));
        HMODULE module = LoadLibrarySecure(L"nvapi.dll", 0);
        ASSERT_NE(module, nullptr) << "error " << GetLastError();
        EXPECT_EQ(Lower(ModulePath(module)), Lower(installed.path()));
        FreeLibrary(module);
    }
}

TEST_F(Wow64LocatorTest, KhronosListsAreReadInThe32BitView) {
    const std::wstring registered = InstallDriverFile(L"nvapi.dll");
    {
        ScopedRegistryValue native(HKEY_LOCAL_MACHINE, kKhronosOpenCl, registered, KEY_WOW64_64KEY);
        ASSERT_TRUE(native.SetDword(0));
        EXPECT_FALSE(FindPath(L"nvapi.dll").found) << "a 64-bit view entry was seen";
    }
    ScopedRegistryValue wow(HKEY_LOCAL_MACHINE, kKhronosVulkan, registered, KEY_WOW64_32KEY);
    ASSERT_TRUE(wow.SetDword(0));
    EXPECT_EQ(FindPath(L"nvapi.dll").path, registered);
}

TEST_F(Wow64LocatorTest, SupportModulesComeFromTheWowValue) {
    const std::wstring native = InstallDriverFile(L"nvapi.dll");
    ScopedDirectory wowFolder(NativeProgramFilesDirectory());
    ScopedFileCopy wow(SimDriverPath(), wowFolder / L"nvapi.dll");
    ASSERT_TRUE(device_.SetDriverMultiString(L"DriverSupportModules", {native}));
    EXPECT_FALSE(FindPath(L"nvapi.dll").found);
    ASSERT_TRUE(
        device_.SetDriverMultiString(L"DriverSupportModulesWow", {L"other.dll", wow.path()}));
    EXPECT_EQ(FindPath(L"nvapi.dll").path, wow.path());
}

TEST_F(LocatorTest, NamesWithoutExtensionAndWithATrailingDot) {
    // "nvapi" is looked for as nvapi.dll; "nvapi." as "nvapi", an empty extension, for
    // which the driver's services are asked first.
    const std::wstring registered = InstallDriverFile(L"nvapi.dll");
    ASSERT_TRUE(device_.SetDriverString(ClassKeyModuleValue(), registered));
    ScopedService service(L"nvsimkd", SERVICE_KERNEL_DRIVER,
                          L"C:\\Windows\\System32\\drivers\\nvapi");
    ASSERT_TRUE(service.ok());
    ASSERT_TRUE(device_.SetFunctionService(L"nvsimkd"));

    EXPECT_EQ(FindPath(L"nvapi").path, registered);
    Search dot = FindPath(L"nvapi.");
    EXPECT_TRUE(dot.found);
    EXPECT_EQ(dot.path, L"C:\\Windows\\System32\\drivers\\nvapi");
}

TEST_F(LocatorTest, KhronosValueNameFoundAfterTheClassKey) {
    const std::wstring registered = InstallDriverFile(L"nvapi.dll");
    ScopedRegistryValue vulkan(HKEY_LOCAL_MACHINE, kKhronosVulkan, L"C:\\elsewhere\\nvoglv64.json");
    ASSERT_TRUE(vulkan.SetDword(0));
    ScopedRegistryValue opencl(HKEY_LOCAL_MACHINE, kKhronosOpenCl, registered);
    ASSERT_TRUE(opencl.SetDword(0));
    EXPECT_EQ(FindPath(L"nvapi.dll").path, registered);

    // The class key comes first.
    ASSERT_TRUE(device_.SetDriverString(ClassKeyModuleValue(), L"C:\\Windows\\nvapi.dll"));
    EXPECT_EQ(FindPath(L"nvapi.dll").path, L"C:\\Windows\\nvapi.dll");
}

TEST_F(LocatorTest, ValueOfTheWrongTypeStopsTheSearch) {
    const std::wstring registered = InstallDriverFile(L"nvapi.dll");
    // Later sources would name the module; they must not be tried.
    ScopedRegistryValue opencl(HKEY_LOCAL_MACHINE, kKhronosOpenCl, registered);
    ASSERT_TRUE(opencl.SetDword(0));
    ASSERT_TRUE(device_.SetDriverMultiString(SupportModulesValue(), {registered}));
    ASSERT_TRUE(device_.SetDriverString(ClassKeyModuleValue(), registered, REG_EXPAND_SZ));

    Search search = FindPath(L"nvapi.dll");
    EXPECT_FALSE(search.found);
    EXPECT_EQ(search.error, static_cast<DWORD>(ERROR_INVALID_DATA));

    ScopedFileCopy inSystem(SimDriverPath(), JoinPaths(SystemDirectory(), L"nvapi.dll"));
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(LoadLibrarySecure(L"nvapi.dll", 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(GetModuleHandleW(L"nvapi.dll"), nullptr) << "no system-directory attempt";

    // Another listed value that matches wins, and the search reports success.
    ASSERT_TRUE(device_.SetDriverString(ValueNameForThisProcess(L"OpenGLDriverName"), registered));
    Search matched = FindPath(L"nvapi.dll");
    EXPECT_EQ(matched.path, registered);
    EXPECT_EQ(matched.error, static_cast<DWORD>(ERROR_SUCCESS));
}

// A device-registry lookup that, like a quiet platform, leaves no error behind when it
// works, so that the sources after the driver services can be reached for ".sys" names.
decltype(&::SetupDiGetDeviceRegistryPropertyW) g_realRegistryProperty = nullptr;
BOOL WINAPI QuietRegistryProperty(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD property,
                                  PDWORD type, PBYTE buffer, DWORD size, PDWORD required) {
    BOOL ok = g_realRegistryProperty(set, device, property, type, buffer, size, required);
    SetLastError(ERROR_SUCCESS);
    return ok;
}

class QuietRegistryProperties {
  public:
    QuietRegistryProperties() {
        BindDeviceRegistryProperty();
        g_realRegistryProperty =
            g_setupapi.getDeviceRegistryProperty.exchange(&QuietRegistryProperty);
    }
    ~QuietRegistryProperties() {
        g_setupapi.getDeviceRegistryProperty.store(g_realRegistryProperty);
    }
};

TEST_F(LocatorTest, SysNamesSkipTheUserModeLists) {
    const std::wstring support = InstallDriverFile(L"nvsim.sys");
    ASSERT_TRUE(device_.SetDriverString(ClassKeyModuleValue(), L"C:\\Windows\\nvsim.sys"));
    ScopedRegistryValue vulkan(HKEY_LOCAL_MACHINE, kKhronosVulkan, L"C:\\Windows\\nvsim.sys");
    ASSERT_TRUE(vulkan.SetDword(0));
    ASSERT_TRUE(device_.SetDriverMultiString(SupportModulesValue(), {support}));
    QuietRegistryProperties quiet;

    Search search = FindPath(L"nvsim.sys");
    EXPECT_EQ(search.path, support);

    // A kernel-driver service with that image comes first.
    ScopedService service(L"nvsimkd", SERVICE_KERNEL_DRIVER,
                          L"\\SystemRoot\\System32\\drivers\\nvsim.sys");
    ASSERT_TRUE(device_.SetFunctionService(L"nvsimkd"));
    EXPECT_EQ(FindPath(L"nvsim.sys").path, L"\\SystemRoot\\System32\\drivers\\nvsim.sys");
}

// As Windows does it: the size query fails with ERROR_INSUFFICIENT_BUFFER, and the read
// that follows succeeds without clearing it.
BOOL WINAPI WindowsLikeRegistryProperty(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD property,
                                        PDWORD type, PBYTE buffer, DWORD size, PDWORD required) {
    BOOL ok = g_realRegistryProperty(set, device, property, type, buffer, size, required);
    if (buffer == nullptr) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    return ok;
}

// Wine's destroy call clears the last-error value on success; Windows' leaves it alone.
decltype(&::SetupDiDestroyDeviceInfoList) g_realDestroyList = nullptr;
BOOL WINAPI WindowsLikeDestroy(HDEVINFO set) {
    const DWORD error = GetLastError();
    BOOL ok = g_realDestroyList(set);
    SetLastError(error);
    return ok;
}

TEST_F(LocatorTest, AnErrorLeftByTheServicesLookupEndsTheSearch) {
    // The services lookup neither sets nor clears the last-error value: what its platform
    // calls leave is reported, and no later source runs.
    const std::wstring support = InstallDriverFile(L"nvsim.sys");
    ASSERT_TRUE(device_.SetDriverMultiString(SupportModulesValue(), {support}));
    ScopedService service(L"nvsimkd", SERVICE_KERNEL_DRIVER, L"C:\\Windows\\other.sys");
    ASSERT_TRUE(device_.SetFunctionService(L"nvsimkd"));
    ASSERT_TRUE(BindDeviceRegistryProperty());
    g_realRegistryProperty =
        g_setupapi.getDeviceRegistryProperty.exchange(&WindowsLikeRegistryProperty);
    g_realDestroyList = g_setupapi.destroyDeviceInfoList.exchange(&WindowsLikeDestroy);
    Search search = FindPath(L"nvsim.sys");
    g_setupapi.getDeviceRegistryProperty.store(g_realRegistryProperty);
    g_setupapi.destroyDeviceInfoList.store(g_realDestroyList);
    EXPECT_FALSE(search.found);
    EXPECT_EQ(search.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST_F(LocatorTest, DriverStoreFolderIsTheLastSource) {
    ScopedDirectory store(WindowsDirectory());
    ScopedFileCopy file(SimDriverPath(), store / L"nvapi.dll");
    ASSERT_TRUE(device_.SetDriverInfPath(L"oem42.inf"));
    ScopedDriverStoreLocation location(L"oem42.inf", store / L"nvsim.inf");

    Search search = FindPath(L"nvapi.dll");
    EXPECT_EQ(search.path, file.path());
    EXPECT_EQ(search.error, static_cast<DWORD>(ERROR_SUCCESS));

    HMODULE module = LoadLibrarySecure(L"nvapi.dll", 0);
    ASSERT_NE(module, nullptr) << "error " << GetLastError();
    EXPECT_EQ(Lower(ModulePath(module)), Lower(file.path()));
    FreeLibrary(module);
}

TEST_F(LocatorTest, DriverStoreFolderMissingOrHoldingAFolder) {
    ScopedDirectory store(WindowsDirectory());
    ASSERT_TRUE(device_.SetDriverInfPath(L"oem42.inf"));
    {
        ScopedDriverStoreLocation location(L"oem42.inf", store / L"missing\\nvsim.inf");
        ScopedFileCopy inSystem(SimDriverPath(), JoinPaths(SystemDirectory(), L"nvapi.dll"));
        Search search = FindPath(L"nvapi.dll");
        EXPECT_FALSE(search.found);
        EXPECT_EQ(search.error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
        EXPECT_EQ(LoadLibrarySecure(L"nvapi.dll", 0), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
        EXPECT_EQ(GetModuleHandleW(L"nvapi.dll"), nullptr);
    }
    {
        ScopedDriverStoreLocation location(L"oem42.inf", store / L"nvsim.inf");
        ASSERT_TRUE(CreateDirectoryW((store / L"nvapi.dll").c_str(), nullptr));
        Search search = FindPath(L"nvapi.dll");
        EXPECT_FALSE(search.found);
        EXPECT_EQ(search.error, static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    }
}

TEST_F(LocatorTest, BelowBuild14308TheSystemDirectoryIsTheDriverFolder) {
    // The locator itself can be asked on any build; its last source is then the system
    // directory rather than the driver store.
    ResetWindowsVersionStateForTesting();
    ScopedBuildNumber older(L"10240");
    ScopedFileCopy inSystem(SimDriverPath(), JoinPaths(SystemDirectory(), L"nvsim-only.dll"));
    EXPECT_EQ(Lower(FindPath(L"nvsim-only.dll").path), Lower(inSystem.path()));
    EXPECT_EQ(FindPath(L"nvsim-absent.dll").error, static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST_F(LocatorTest, RefusedRegisteredPathsFailTheLoad) {
    ScopedFileCopy inSystem(SimDriverPath(), JoinPaths(SystemDirectory(), L"nvapi.dll"));
    ScopedDirectory untrusted;  // the temporary folder: neither Windows nor Program Files
    ScopedFileCopy planted(SimDriverPath(), untrusted / L"nvapi.dll");

    ASSERT_TRUE(device_.SetDriverString(ClassKeyModuleValue(), planted.path()));
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(LoadLibrarySecure(L"nvapi.dll", 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_PATHNAME));
    EXPECT_EQ(GetModuleHandleW(L"nvapi.dll"), nullptr);

    ASSERT_TRUE(device_.SetDriverString(ClassKeyModuleValue(), L"sub\\nvapi.dll"));
    EXPECT_EQ(LoadLibrarySecure(L"nvapi.dll", 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(GetModuleHandleW(L"nvapi.dll"), nullptr);

    // A bare registered name is loaded from the system directory.
    ASSERT_TRUE(device_.SetDriverString(ClassKeyModuleValue(), L"nvapi.dll"));
    HMODULE module = LoadLibrarySecure(L"nvapi.dll", 0);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(Lower(ModulePath(module)), Lower(inSystem.path()));
    FreeLibrary(module);
}

TEST_F(LocatorTest, SearchLeavesNothingAllocated) {
    const std::wstring registered = InstallDriverFile(L"nvapi.dll");
    ASSERT_TRUE(device_.SetDriverString(ValueNameForThisProcess(L"OpenGLDriverName"), registered));
    FindPath(L"nvapi.dll");  // binds the system libraries for good
    FindPath(L"nvsim.sys");
    const size_t before = CountBusyHeapBlocks();
    for (int i = 0; i < 10; ++i) {
        FindPath(L"nvapi.dll");
        FindPath(L"nvnothing.dll");
        FindPath(L"nvsim.sys");
    }
    EXPECT_EQ(CountBusyHeapBlocks(), before);
}

// No vendor device at all.
class NoDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetWindowsVersionStateForTesting(); }
    void TearDown() override { ResetWindowsVersionStateForTesting(); }
    ScopedBuildNumber build_{L"19045"};
};

decltype(&::SetupDiDestroyDeviceInfoList) g_realDestroy = nullptr;
BOOL WINAPI DestroyLeavingEnumerationEnd(HDEVINFO set) {
    BOOL ok = g_realDestroy(set);
    SetLastError(ERROR_NO_MORE_ITEMS);
    return ok;
}

TEST_F(NoDeviceTest, OutcomeFollowsTheErrorTheEnumerationLeaves) {
    ScopedFileCopy inSystem(SimDriverPath(), JoinPaths(SystemDirectory(), L"nvapi.dll"));
    // Wine's destroy call clears the last-error value: nothing found, system directory.
    Search search = FindPath(L"nvapi.dll");
    EXPECT_FALSE(search.found);
    EXPECT_EQ(search.error, static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    HMODULE module = LoadLibrarySecure(L"nvapi.dll", 0);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(Lower(ModulePath(module)), Lower(inSystem.path()));
    FreeLibrary(module);

    // A platform that leaves the enumeration's end behind fails the load instead.
    ASSERT_TRUE(BindDeviceInterfaceSearch());
    g_realDestroy = g_setupapi.destroyDeviceInfoList.exchange(&DestroyLeavingEnumerationEnd);
    search = FindPath(L"nvapi.dll");
    EXPECT_EQ(search.error, static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(LoadLibrarySecure(L"nvapi.dll", 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(GetModuleHandleW(L"nvapi.dll"), nullptr);
    g_setupapi.destroyDeviceInfoList.store(g_realDestroy);
}

TEST(DriverLocatorArguments, NamesWithSeparatorsAreRefused) {
    for (const wchar_t* name : {L"sub\\nvapi.dll", L"C:/nvapi.dll"}) {
        Search search = FindPath(name);
        EXPECT_FALSE(search.found);
        EXPECT_EQ(search.error, static_cast<DWORD>(ERROR_BAD_ARGUMENTS));
    }
    Search search = FindPath(nullptr);
    EXPECT_EQ(search.error, static_cast<DWORD>(ERROR_BAD_ARGUMENTS));
}

TEST(JoinPathIfFileExists, FilesOnlyAndAMissingFileIsNoError) {
    ScopedDirectory folder;
    ScopedFileCopy file(SimDriverPath(), folder / L"nvapi.dll");
    ASSERT_TRUE(CreateDirectoryW((folder / L"sub").c_str(), nullptr));

    wchar_t* path = JoinPathIfFileExists(L"nvapi.dll", folder.path().c_str());
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(std::wstring(path), file.path());
    LocalFree(path);

    SetLastError(ERROR_INVALID_DATA);
    EXPECT_EQ(JoinPathIfFileExists(L"absent.dll", folder.path().c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));

    EXPECT_EQ(JoinPathIfFileExists(L"sub", folder.path().c_str()), nullptr);

    EXPECT_EQ(JoinPathIfFileExists(L"nvapi.dll", (folder / L"missing").c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST(GetSystemDirectoryAlloc, HoldsTheSystemDirectory) {
    wchar_t* directory = GetSystemDirectoryAlloc();
    ASSERT_NE(directory, nullptr);
    EXPECT_EQ(std::wstring(directory), SystemDirectory());
    EXPECT_EQ(LocalSize(directory), (SystemDirectory().size() + 1) * sizeof(wchar_t));
    LocalFree(directory);
}

// --- The program itself, as a child process ----------------------------------------------

// Runs a copy of this build's program (in the i686 build the shipped bytes) from its own
// folder, with copies of the driver library planted beside it, in the working folder and in
// a folder at the front of PATH, and returns what the simulated driver journaled.
class ProgramTest : public LocatorTest {
  protected:
    std::string RunProgram() {
        ScopedDirectory scratch;
        ScopedEnvironment journal(L"SIMDRIVER_JOURNAL", (scratch / L"journal.txt").c_str());
        ScopedEnvironment state(L"SIMDRIVER_STATE", (scratch / L"state.bin").c_str());
        ScopedEnvironment path(L"PATH", PathWithFolderFirst(pathFolder_.path()).c_str());
        EXPECT_EQ(testing_support::RunProgram(program_.path(), L"", working_.path()), 0u);
        return ReadFileText(scratch / L"journal.txt");
    }

    ScopedDirectory programFolder_;
    ScopedDirectory working_;
    ScopedFileCopy program_{DispsetPath(), programFolder_ / L"dispset.exe"};
    ScopedFileCopy besideProgram_{SimDriverPath(), programFolder_ / L"nvapi.dll"};
    ScopedFileCopy inWorkingFolder_{SimDriverPath(), working_ / L"nvapi.dll"};
    ScopedDirectory pathFolder_;
    ScopedFileCopy onPath_{SimDriverPath(), pathFolder_ / L"nvapi.dll"};
};

TEST_F(ProgramTest, LoadsTheDriverLibraryFromItsRegisteredPlace) {
    const std::wstring registered = InstallDriverFile(L"nvapi.dll");
    ASSERT_TRUE(device_.SetDriverString(ClassKeyModuleValue(), registered));
    ScopedFileCopy inSystem(SimDriverPath(), JoinPaths(SystemDirectory(), L"nvapi.dll"));
    const std::string journal = RunProgram();
    ASSERT_EQ(LoadedPaths(journal).size(), 1u) << journal;
    EXPECT_EQ(LowerAscii(LoadedPaths(journal)[0]), Narrow(Lower(registered)));
    EXPECT_NE(journal.find("call name=ApplyDisplayRecord"), std::string::npos) << journal;
}

TEST_F(ProgramTest, RegisteredButUntrustedOrRelativeLoadsNothing) {
    ScopedFileCopy inSystem(SimDriverPath(), JoinPaths(SystemDirectory(), L"nvapi.dll"));
    ScopedDirectory untrusted;
    ScopedFileCopy planted(SimDriverPath(), untrusted / L"nvapi.dll");
    for (const std::wstring& value : {planted.path(), std::wstring(L"sub\\nvapi.dll")}) {
        SCOPED_TRACE(Narrow(value));
        ASSERT_TRUE(device_.SetDriverString(ClassKeyModuleValue(), value));
        const std::string journal = RunProgram();
        EXPECT_TRUE(LoadedPaths(journal).empty()) << journal;
    }
}

TEST_F(ProgramTest, BareRegisteredNameLoadsFromTheSystemDirectory) {
    ScopedFileCopy inSystem(SimDriverPath(), JoinPaths(SystemDirectory(), L"nvapi.dll"));
    ASSERT_TRUE(device_.SetDriverString(ClassKeyModuleValue(), L"nvapi.dll"));
    const std::string journal = RunProgram();
    ASSERT_EQ(LoadedPaths(journal).size(), 1u) << journal;
    EXPECT_EQ(LowerAscii(LoadedPaths(journal)[0]), Narrow(Lower(inSystem.path())));
}

TEST_F(ProgramTest, NothingRegisteredAndNothingInTheSystemDirectoryLoadsNothing) {
    // The driver registers no nvapi.dll and the system directory has none: the copies
    // beside the program and in the working folder must still never run.
    const std::string journal = RunProgram();
    EXPECT_TRUE(LoadedPaths(journal).empty()) << journal;
}

}  // namespace
