#include "tests/support/loader_fixtures.h"

#include "loader/windows_version.h"

namespace testing_support {

RealFunctionsBound::RealFunctionsBound() {
    EXPECT_TRUE(BindRegistryOpenClose());
    EXPECT_TRUE(BindRegistryQuery());
    EXPECT_TRUE(BindFolderLookup());
}

HMODULE ModuleWithoutExports() {
    return GetModuleHandleW(nullptr);
}

namespace {

int g_allocCalls = 0;
int g_failAllocFrom = 0;
ScopedImportPatch* g_allocPatch = nullptr;

HLOCAL WINAPI FailingLocalAlloc(UINT flags, SIZE_T bytes) {
    if (++g_allocCalls >= g_failAllocFrom) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return g_allocPatch->original<decltype(&LocalAlloc)>()(flags, bytes);
}

}  // namespace

FailingAllocations::FailingAllocations(int from)
    : patch_("LocalAlloc", reinterpret_cast<void*>(&FailingLocalAlloc)) {
    g_allocCalls = 0;
    g_failAllocFrom = from;
    g_allocPatch = &patch_;
}

FailingAllocations::~FailingAllocations() {
    g_allocPatch = nullptr;
}

int FailingAllocations::calls() const {
    return g_allocCalls;
}

void VersionStateTest::SetUp() {
    ResetWindowsVersionStateForTesting();
}

void VersionStateTest::TearDown() {
    ResetWindowsVersionStateForTesting();
}

void ForgetSetupapiBinding() {
    g_setupapi.module.store(nullptr);
    g_setupapi.getClassDevs.store(nullptr);
    g_setupapi.enumDeviceInterfaces.store(nullptr);
    g_setupapi.getDeviceInterfaceDetail.store(nullptr);
    g_setupapi.getDeviceRegistryProperty.store(nullptr);
    g_setupapi.getDeviceProperty.store(nullptr);
    g_setupapi.destroyDeviceInfoList.store(nullptr);
}

}  // namespace testing_support
