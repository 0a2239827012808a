// The loader's entry: names with separators refused, search-path bits cleared, and every
// load by full path in the system directory, whatever sits in the program's folder, the
// working folder or PATH.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loader/module_loader.h"
#include "loader/system_bindings.h"
#include "loader/system_directory.h"
#include "loader/windows_version.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

std::wstring SimDriverInSystemDirectory() {
    return JoinPaths(SystemDirectory(), L"nvapi.dll");
}

// The simulated driver installed in the prefix's system directory for one test.
class LoaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetWindowsVersionStateForTesting();
        ASSERT_EQ(GetModuleHandleW(L"nvapi.dll"), nullptr) << "a driver library is still loaded";
    }
    void TearDown() override { ResetWindowsVersionStateForTesting(); }
};

TEST_F(LoaderTest, RefusesNamesWithSeparatorsWithoutLoading) {
    ScopedFileCopy installed(SimDriverPath(), SimDriverInSystemDirectory());
    RecordedLoads recorded;
    for (const wchar_t* name :
         {L"sub\\nvapi.dll", L"./nvapi.dll", L"C:/nvapi.dll", L"\\\\server\\share\\nvapi.dll",
          L"C:\\Windows\\System32\\nvapi.dll"}) {
        SCOPED_TRACE(testing::Message() << "name " << std::string(name, name + lstrlenW(name)));
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(LoadLibrarySecure(name, 0), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_ARGUMENTS));
    }
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(LoadLibrarySecure(nullptr, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_ARGUMENTS));
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(LoadLibrarySystemDirectory(nullptr, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_ARGUMENTS));
    EXPECT_TRUE(recorded.loads().empty());
}

TEST_F(LoaderTest, DriveRelativeNameIsJoinedToTheSystemDirectory) {
    IsWindowsBuildAtLeast(1);  // the loader's own system libraries are bound by now
    RecordedLoads recorded;
    EXPECT_EQ(LoadLibrarySecure(L"C:nvapi.dll", 0), nullptr);
    ASSERT_EQ(recorded.loads().size(), 1u);
    EXPECT_EQ(recorded.loads()[0].path, SystemDirectory() + L"\\C:nvapi.dll");
}

TEST_F(LoaderTest, ClearsSearchPathBitsAndPassesTheOthers) {
    ScopedFileCopy installed(SimDriverPath(), SimDriverInSystemDirectory());
    struct Case {
        DWORD given;
        DWORD passed;
    };
    const Case cases[] = {
        {0, 0},
        {LOAD_WITH_ALTERED_SEARCH_PATH, 0},
        {LOAD_LIBRARY_SEARCH_DEFAULT_DIRS, 0},
        {0x1F08, 0},
        {DONT_RESOLVE_DLL_REFERENCES, DONT_RESOLVE_DLL_REFERENCES},
        {0xFFFFFFFF, 0xFFFFE0F7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "flags 0x" << std::hex << c.given);
        RecordedLoads recorded;
        HMODULE viaSecure = LoadLibrarySecure(L"nvapi.dll", c.given);
        HMODULE viaSystem = LoadLibrarySystemDirectory(L"nvapi.dll", c.given);
        ASSERT_EQ(recorded.loads().size(), 2u);
        for (const LoadRequest& load : recorded.loads()) {
            EXPECT_EQ(load.flags, c.passed);
            EXPECT_EQ(Lower(load.path), Lower(SimDriverInSystemDirectory()));
        }
        if (viaSecure != nullptr) {
            FreeLibrary(viaSecure);
        }
        if (viaSystem != nullptr) {
            FreeLibrary(viaSystem);
        }
    }
}

TEST_F(LoaderTest, LoadsFromTheSystemDirectoryOnlyWhateverIsPlanted) {
    // The program's folder is this executable's; plant copies there, in the working folder
    // and in a PATH folder. None of them may ever be the one that loads.
    const std::wstring programFolder = ExecutableFolder();
    ScopedDirectory working;
    ScopedDirectory onPath;
    ScopedFileCopy plantedInProgramFolder(SimDriverPath(), JoinPaths(programFolder, L"nvapi.dll"));
    ScopedFileCopy plantedInWorkingFolder(SimDriverPath(), working / L"nvapi.dll");
    ScopedFileCopy plantedOnPath(SimDriverPath(), onPath / L"nvapi.dll");
    ScopedEnvironment path(L"PATH", PathWithFolderFirst(onPath.path()).c_str());
    wchar_t oldWorking[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, oldWorking);
    ASSERT_TRUE(SetCurrentDirectoryW(working.path().c_str()));

    // Nothing in the system directory: nothing loads at all.
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(LoadLibrarySecure(L"nvapi.dll", 0), nullptr);
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(GetModuleHandleW(L"nvapi.dll"), nullptr);

    {
        ScopedFileCopy installed(SimDriverPath(), SimDriverInSystemDirectory());
        for (const wchar_t* name : {L"nvapi.dll", L"NVAPI.DLL", L"nvapi"}) {
            HMODULE module = LoadLibrarySecure(name, LOAD_WITH_ALTERED_SEARCH_PATH);
            ASSERT_NE(module, nullptr);
            EXPECT_EQ(Lower(ModulePath(module)), Lower(SimDriverInSystemDirectory()));
            FreeLibrary(module);
        }
    }
    SetCurrentDirectoryW(oldWorking);
}

// The driver-located branch is entered for "nv" names from build 14308 on. With a device
// enumeration that fails, an entered branch fails the load without trying the system
// directory, which tells the two roads apart.
DWORD g_classDevsCalls = 0;
HDEVINFO WINAPI FailingGetClassDevs(const GUID*, PCWSTR, HWND, DWORD) {
    ++g_classDevsCalls;
    SetLastError(ERROR_NOT_READY);
    return INVALID_HANDLE_VALUE;
}

class DriverBranchTest : public LoaderTest {
  protected:
    void SetUp() override {
        LoaderTest::SetUp();
        // Bind the device search for real first, then put the failing enumeration in place.
        ASSERT_TRUE(BindDeviceInterfaceSearch());
        saved_ = g_setupapi.getClassDevs.exchange(&FailingGetClassDevs);
        g_classDevsCalls = 0;
    }
    void TearDown() override {
        g_setupapi.getClassDevs.store(saved_);
        LoaderTest::TearDown();
    }

  private:
    decltype(&::SetupDiGetClassDevsW) saved_ = nullptr;
};

TEST_F(DriverBranchTest, NvNamesEnterTheDriverBranchFromBuild14308) {
    ScopedBuildNumber build(L"14308");
    ScopedFileCopy installed(SimDriverPath(), SimDriverInSystemDirectory());
    for (const wchar_t* name : {L"nvapi.dll", L"NVAPI.DLL", L"Nv_x.dll", L"nV"}) {
        SCOPED_TRACE(testing::Message() << "name " << std::string(name, name + lstrlenW(name)));
        g_classDevsCalls = 0;
        EXPECT_EQ(LoadLibrarySecure(name, 0), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
        EXPECT_GE(g_classDevsCalls, 1u);
    }
    for (const wchar_t* name : {L"n", L"xnvapi.dll", L"anvapi.dll"}) {
        SCOPED_TRACE(testing::Message() << "name " << std::string(name, name + lstrlenW(name)));
        g_classDevsCalls = 0;
        HMODULE module = LoadLibrarySecure(name, 0);
        if (module != nullptr) {
            FreeLibrary(module);
        }
        EXPECT_EQ(g_classDevsCalls, 0u);
    }
}

TEST_F(DriverBranchTest, BelowBuild14308OrUnreadableTheSystemDirectoryIsUsed) {
    ScopedFileCopy installed(SimDriverPath(), SimDriverInSystemDirectory());
    for (const wchar_t* build : {L"14307", L"7601", L"19045x", L""}) {
        SCOPED_TRACE(testing::Message()
                     << "build '" << std::string(build, build + lstrlenW(build)) << "'");
        ResetWindowsVersionStateForTesting();
        ScopedBuildNumber number(build);
        HMODULE module = LoadLibrarySecure(L"nvapi.dll", 0);
        ASSERT_NE(module, nullptr);
        EXPECT_EQ(Lower(ModulePath(module)), Lower(SimDriverInSystemDirectory()));
        EXPECT_EQ(g_classDevsCalls, 0u);
        FreeLibrary(module);
    }
}

TEST_F(LoaderTest, NvNameWithoutVendorDeviceFallsThroughToTheSystemDirectory) {
    // No vendor display device in the prefix: the locator reports the module not found
    // and the system directory's copy loads, though the last-error value may still say so.
    ScopedBuildNumber build(L"19045");
    ScopedFileCopy installed(SimDriverPath(), SimDriverInSystemDirectory());
    HMODULE module = LoadLibrarySecure(L"nvapi.dll", 0);
    ASSERT_NE(module, nullptr) << "error " << GetLastError();
    EXPECT_EQ(Lower(ModulePath(module)), Lower(SimDriverInSystemDirectory()));
    FreeLibrary(module);
}

TEST_F(LoaderTest, LoadsLeaveNothingAllocated) {
    ScopedFileCopy installed(SimDriverPath(), SimDriverInSystemDirectory());
    // Warm up: the first call binds system libraries and reads the build number for good.
    FreeLibrary(LoadLibrarySecure(L"nvapi.dll", 0));
    FreeLibrary(LoadLibrarySecure(L"nvapi.dll", 0));
    const size_t before = CountBusyHeapBlocks();
    for (int i = 0; i < 20; ++i) {
        HMODULE module = LoadLibrarySecure(L"nvapi.dll", 0);
        ASSERT_NE(module, nullptr);
        FreeLibrary(module);
        EXPECT_EQ(LoadLibrarySecure(L"sub\\nvapi.dll", 0), nullptr);
        EXPECT_EQ(LoadLibrarySecure(L"missing-module.dll", 0), nullptr);
    }
    EXPECT_EQ(CountBusyHeapBlocks(), before);
}

}  // namespace
