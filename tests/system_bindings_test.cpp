// The binding rule of the system libraries, seen through the lookups that use it: a
// library that failed to load, or a function that could not be resolved, is tried again at
// the next call, and a missing export fails the lookup with GetProcAddress's error.
#include "loader/system_bindings.h"

#include <gtest/gtest.h>

#include <string>

#include "loader/driver_lookups.h"
#include "base/local_memory.h"
#include "tests/support/loader_fixtures.h"
#include "tests/support/simulated_device.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

const GUID* const kInterface = &well_known::GUID_DISPLAY_DEVICE_ARRIVAL;

// A last-error value that no platform call of these lookups sets.
constexpr DWORD kSentinel = 0x20004242;

const wchar_t kInfName[] = L"oem42.inf";
const wchar_t kStoreFolder[] =
    L"C:\\Windows\\System32\\DriverStore\\FileRepository\\nv_dispsim.inf_amd64_0123";

std::wstring Text(const wchar_t* text) {
    return text != nullptr ? std::wstring(text) : std::wstring(L"<null>");
}

TEST(Binding, MissingExportFailsAndALaterCallWithItSucceeds) {
    SimulatedDisplayDevice nvidia;
    ASSERT_TRUE(nvidia.ok());
    ASSERT_TRUE(nvidia.SetDriverInfPath(kInfName));
    SavedBindings saved;
    g_setupapi.getInfDriverStoreLocation.store(nullptr);
    if (!BindDriverStoreLookup()) {
        // Wine 8's setupapi.dll has no SetupGetInfDriverStoreLocationW.
        SetLastError(kSentinel);
        EXPECT_EQ(GetDriverStoreDirectory(kInterface), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
        EXPECT_EQ(g_setupapi.getInfDriverStoreLocation.load(), nullptr);
    }
    ScopedDriverStoreLocation store(kInfName, std::wstring(kStoreFolder) + L"\\nv_dispsim.inf");
    LocalString folder(GetDriverStoreDirectory(kInterface));
    EXPECT_EQ(Text(folder.get()), kStoreFolder);
}

int g_refusedLoads = 0;
HMODULE WINAPI RefusingLoadLibraryEx(LPCWSTR, HANDLE, DWORD) {
    ++g_refusedLoads;
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

TEST(Binding, LibraryThatFailedToLoadIsLoadedByALaterCall) {
    SimulatedDisplayDevice nvidia;
    ASSERT_TRUE(nvidia.ok());
    SavedBindings saved;
    ForgetSetupapiBinding();
    {
        ScopedImportPatch patch("LoadLibraryExW", reinterpret_cast<void*>(&RefusingLoadLibraryEx));
        ASSERT_TRUE(patch.ok());
        g_refusedLoads = 0;
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(GetDisplayDriverClassKeyPath(kInterface), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
        EXPECT_EQ(g_refusedLoads, 1);
        EXPECT_EQ(g_setupapi.module.load(), nullptr);
        HDEVINFO set = INVALID_HANDLE_VALUE;
        SP_DEVINFO_DATA device = {};
        EXPECT_EQ(FindNvidiaDisplayInterface(kInterface, &set, &device), 0);
        EXPECT_EQ(g_refusedLoads, 2);
    }
    LocalString classKey(GetDisplayDriverClassKeyPath(kInterface));
    EXPECT_EQ(Text(classKey.get()), nvidia.driverKeyPath());
    EXPECT_NE(g_setupapi.module.load(), nullptr);
}

TEST(Binding, FunctionThatCouldNotBeResolvedIsResolvedByALaterCall) {
    SimulatedDisplayDevice nvidia;
    ASSERT_TRUE(nvidia.ok());
    SavedBindings saved;
    ForgetSetupapiBinding();
    // A module without the setup API's exports stands in for a library that lacks them.
    g_setupapi.module.store(GetModuleHandleW(L"kernel32.dll"));
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(GetDisplayDriverClassKeyPath(kInterface), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(g_setupapi.getDeviceRegistryProperty.load(), nullptr);

    g_setupapi.module.store(nullptr);
    LocalString classKey(GetDisplayDriverClassKeyPath(kInterface));
    EXPECT_EQ(Text(classKey.get()), nvidia.driverKeyPath());
}

}  // namespace
