// The device, service and registry lookups against Wine's real setup API, registry and
// service control manager, with a simulated NVIDIA display device. Fakes go into the
// loader's binding slots only where Wine lacks a function (SetupGetInfDriverStoreLocationW)
// or where a failure has to be injected; every slot is put back afterwards.
#include "loader/driver_lookups.h"

#include <string.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/local_memory.h"
#include "loader/system_bindings.h"
#include "loader/windows_version.h"
#include "tests/support/simulated_device.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

const GUID* const kInterface = &well_known::GUID_DISPLAY_DEVICE_ARRIVAL;

// A last-error value that no platform call of these lookups sets.
constexpr DWORD kSentinel = 0x20004242;

const wchar_t kTestKey[] = L"SOFTWARE\\DispsetLookupsTest";
const wchar_t kVulkanKey[] = L"SOFTWARE\\DispsetLookupsTest\\Vulkan";
const wchar_t kOpenClKey[] = L"SOFTWARE\\DispsetLookupsTest\\OpenCL";

const wchar_t kKernelModule[] = L"nvlddmkm.sys";
const wchar_t kKernelImage[] =
    L"\\SystemRoot\\System32\\DriverStore\\FileRepository\\nv_dispsim.inf_amd64_1\\nvlddmkm.sys";

std::wstring Text(const wchar_t* text) {
    return text != nullptr ? std::wstring(text) : std::wstring(L"<null>");
}

// Narrow text for messages and comparisons, with what is not ASCII shown as '?'.
std::string Printable(const std::wstring& text) {
    std::string narrow;
    for (wchar_t c : text) {
        narrow += (c < 0x80) ? static_cast<char>(c) : '?';
    }
    return narrow;
}

bool Contains(const std::wstring& text, const std::wstring& part) {
    return text.find(part) != std::wstring::npos;
}

void DestroySet(HDEVINFO set) {
    g_setupapi.destroyDeviceInfoList(set);
}

bool KeyExists(const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

// Binds everything the lookups use (the driver-store function only where the platform has
// it), so that wrappers can be put around the real functions.
void BindAll() {
    ASSERT_TRUE(BindDeviceInterfaceSearch());
    ASSERT_TRUE(BindDeviceRegistryProperty());
    ASSERT_TRUE(BindRegistryOpenClose());
    ASSERT_TRUE(BindRegistryEnumeration());
    ASSERT_TRUE(BindRegistryQuery());
    ASSERT_TRUE(BindServiceConfiguration());
    BindDriverStoreLookup();
}

// Counts the handles that the lookups open and close, through counting wrappers around the
// bound functions (Wine 8's GetProcessHandleCount always reports 0). The wrappers call the
// real functions and touch neither results nor the last-error value.
struct HandleCounts {
    int setsOpened = 0;
    int setsDestroyed = 0;
    int keysOpened = 0;
    int keysClosed = 0;
    int servicesOpened = 0;
    int servicesClosed = 0;
    std::vector<std::wstring> openedKeyPaths;
};

HandleCounts g_counts;
// Paths are recorded only where a test asks for them: recording allocates, which would
// disturb the heap accounting.
bool g_recordPaths = false;
decltype(&::SetupDiGetClassDevsW) g_realGetClassDevs;
decltype(&::SetupDiDestroyDeviceInfoList) g_realDestroy;
decltype(&::RegOpenKeyExW) g_realRegOpen;
decltype(&::RegCloseKey) g_realRegClose;
decltype(&::OpenSCManagerW) g_realOpenManager;
decltype(&::OpenServiceW) g_realOpenService;
decltype(&::CloseServiceHandle) g_realCloseService;

HDEVINFO WINAPI CountingGetClassDevs(const GUID* interfaceClass, PCWSTR enumerator, HWND window,
                                     DWORD flags) {
    HDEVINFO set = g_realGetClassDevs(interfaceClass, enumerator, window, flags);
    if (set != INVALID_HANDLE_VALUE) {
        ++g_counts.setsOpened;
    }
    return set;
}

BOOL WINAPI CountingDestroy(HDEVINFO set) {
    ++g_counts.setsDestroyed;
    return g_realDestroy(set);
}

LSTATUS WINAPI CountingRegOpen(HKEY root, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY key) {
    LSTATUS status = g_realRegOpen(root, subKey, options, access, key);
    if (status == ERROR_SUCCESS) {
        ++g_counts.keysOpened;
        if (g_recordPaths) {
            g_counts.openedKeyPaths.push_back(subKey != nullptr ? subKey : L"");
        }
    }
    return status;
}

LSTATUS WINAPI CountingRegClose(HKEY key) {
    ++g_counts.keysClosed;
    return g_realRegClose(key);
}

SC_HANDLE WINAPI CountingOpenManager(LPCWSTR machine, LPCWSTR database, DWORD access) {
    SC_HANDLE handle = g_realOpenManager(machine, database, access);
    if (handle != nullptr) {
        ++g_counts.servicesOpened;
    }
    return handle;
}

SC_HANDLE WINAPI CountingOpenService(SC_HANDLE manager, LPCWSTR name, DWORD access) {
    SC_HANDLE handle = g_realOpenService(manager, name, access);
    if (handle != nullptr) {
        ++g_counts.servicesOpened;
    }
    return handle;
}

BOOL WINAPI CountingCloseService(SC_HANDLE handle) {
    ++g_counts.servicesClosed;
    return g_realCloseService(handle);
}

class HandleLedger {
  public:
    explicit HandleLedger(bool recordPaths = false) {
        BindAll();
        g_counts = HandleCounts();
        g_recordPaths = recordPaths;
        g_realGetClassDevs = g_setupapi.getClassDevs.load();
        g_realDestroy = g_setupapi.destroyDeviceInfoList.load();
        g_realRegOpen = g_advapi32.regOpenKeyEx.load();
        g_realRegClose = g_advapi32.regCloseKey.load();
        g_realOpenManager = g_advapi32.openSCManager.load();
        g_realOpenService = g_advapi32.openService.load();
        g_realCloseService = g_advapi32.closeServiceHandle.load();
        g_setupapi.getClassDevs.store(&CountingGetClassDevs);
        g_setupapi.destroyDeviceInfoList.store(&CountingDestroy);
        g_advapi32.regOpenKeyEx.store(&CountingRegOpen);
        g_advapi32.regCloseKey.store(&CountingRegClose);
        g_advapi32.openSCManager.store(&CountingOpenManager);
        g_advapi32.openService.store(&CountingOpenService);
        g_advapi32.closeServiceHandle.store(&CountingCloseService);
    }
    HandleLedger(const HandleLedger&) = delete;
    HandleLedger& operator=(const HandleLedger&) = delete;
    // The saved bindings put the real functions back.
    ~HandleLedger() { g_recordPaths = false; }

    const HandleCounts& counts() const { return g_counts; }
    bool Opened(const std::wstring& path) const {
        for (const std::wstring& opened : g_counts.openedKeyPaths) {
            if (Lower(opened) == Lower(path)) {
                return true;
            }
        }
        return false;
    }
    void ExpectBalanced() const {
        EXPECT_EQ(g_counts.setsOpened, g_counts.setsDestroyed) << "device-information sets";
        EXPECT_EQ(g_counts.keysOpened, g_counts.keysClosed) << "registry keys";
        EXPECT_EQ(g_counts.servicesOpened, g_counts.servicesClosed) << "service handles";
    }

  private:
    SavedBindings saved_;
};

// Runs call once to warm up (bindings, caches), then checks that three more calls leave no
// heap block behind. call frees whatever it receives.
template <typename Call>
void ExpectNoHeapGrowth(Call call) {
    call();
    const size_t before = CountBusyHeapBlocks();
    call();
    call();
    call();
    const size_t after = CountBusyHeapBlocks();
    EXPECT_EQ(before, after) << "heap blocks left behind";
}

// The Windows build that the registry reports, for the life of the object.
class ScopedBuild {
  public:
    explicit ScopedBuild(const wchar_t* build) : value_(build) {
        ResetWindowsVersionStateForTesting();
    }
    // The cache is forgotten before the value is put back; the next reader sees the old one.
    ~ScopedBuild() { ResetWindowsVersionStateForTesting(); }

  private:
    ScopedBuildNumber value_;
};

SimulatedDeviceOptions Device(const std::wstring& instanceId, unsigned driverIndex,
                              const std::wstring& referenceString = std::wstring()) {
    SimulatedDeviceOptions options;
    options.instanceId = instanceId;
    options.driverKey = SimulatedDriverKey(driverIndex);
    options.referenceString = referenceString;
    return options;
}

bool HostHasNvidiaInterface() {
    for (const std::wstring& path : PresentDisplayInterfacePaths()) {
        if (Contains(Lower(path), L"ven_10de")) {
            return true;
        }
    }
    return false;
}

class DriverLookupsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // The prefix itself must bring no NVIDIA interface, or no case below means anything.
        ASSERT_FALSE(HostHasNvidiaInterface()) << "the prefix already has an NVIDIA interface";
    }
};

// ---------------------------------------------------------------------------------------
// No NVIDIA device

using NoVendorDevice = DriverLookupsTest;

TEST_F(NoVendorDevice, FindReturnsZeroStoresNothingAndLeavesNoSetOpen) {
    SimulatedDisplayDevice other(Device(kOtherVendorInstanceId, 2));
    ASSERT_TRUE(other.ok());
    HandleLedger ledger;
    HDEVINFO set = reinterpret_cast<HDEVINFO>(static_cast<uintptr_t>(0x1234));
    SP_DEVINFO_DATA device;
    memset(&device, 0xAB, sizeof(device));
    SP_DEVINFO_DATA untouched = device;

    EXPECT_EQ(FindNvidiaDisplayInterface(kInterface, &set, &device), 0);
    EXPECT_EQ(set, reinterpret_cast<HDEVINFO>(static_cast<uintptr_t>(0x1234)));
    EXPECT_EQ(memcmp(&device, &untouched, sizeof(device)), 0);
    EXPECT_EQ(ledger.counts().setsOpened, 1);
    ledger.ExpectBalanced();
}

TEST_F(NoVendorDevice, DeviceLookupsGiveNullAndCloseEverything) {
    SimulatedDisplayDevice other(Device(kOtherVendorInstanceId, 2));
    ASSERT_TRUE(other.ok());
    ASSERT_TRUE(other.SetFunctionService(L"DispsetSimKd"));
    ASSERT_TRUE(other.SetDriverInfPath(L"oem42.inf"));
    ScopedService service(L"DispsetSimKd", SERVICE_KERNEL_DRIVER, kKernelImage);
    ScopedDriverStoreLocation store(L"oem42.inf", L"C:\\Store\\nv.inf_1\\oem42.inf");
    HandleLedger ledger;

    LocalString classKey(GetDisplayDriverClassKeyPath(kInterface));
    EXPECT_EQ(Text(classKey.get()), L"<null>");
    LocalString image(FindModuleInDriverServices(kKernelModule, kInterface));
    EXPECT_EQ(Text(image.get()), L"<null>");
    LocalString folder(GetDriverStoreDirectory(kInterface));
    EXPECT_EQ(Text(folder.get()), L"<null>");
    EXPECT_EQ(store.calls(), 0u);
    EXPECT_EQ(ledger.counts().servicesOpened, 0);
    ledger.ExpectBalanced();
}

// With no match the value is what the last platform calls left: a destroy call that leaves
// a value of its own proves that no step after it changes anything.
DWORD g_errorAfterDestroy = 0;
decltype(&::SetupDiDestroyDeviceInfoList) g_destroyBeforeMarking;
BOOL WINAPI DestroyLeavingMark(HDEVINFO set) {
    BOOL result = g_destroyBeforeMarking(set);
    SetLastError(g_errorAfterDestroy);
    return result;
}

TEST_F(NoVendorDevice, LastErrorIsWhatTheFinalDestroyLeft) {
    SavedBindings saved;
    BindAll();
    g_destroyBeforeMarking = g_setupapi.destroyDeviceInfoList.load();
    g_setupapi.destroyDeviceInfoList.store(&DestroyLeavingMark);
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA device = {};

    g_errorAfterDestroy = kSentinel;
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(FindNvidiaDisplayInterface(kInterface, &set, &device), 0);
    EXPECT_EQ(GetLastError(), kSentinel);

    // The class-key lookup passes the failure on as it is.
    g_errorAfterDestroy = ERROR_NO_MORE_ITEMS;
    LocalString classKey(GetDisplayDriverClassKeyPath(kInterface));
    EXPECT_EQ(classKey.get(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));

    // What Wine's own calls leave: the enumeration ends with ERROR_NO_MORE_ITEMS, and
    // Wine's SetupDiDestroyDeviceInfoList then clears the value (Windows leaves it).
    g_setupapi.destroyDeviceInfoList.store(g_destroyBeforeMarking);
    SetLastError(kSentinel);
    EXPECT_EQ(FindNvidiaDisplayInterface(kInterface, &set, &device), 0);
    EXPECT_TRUE(GetLastError() == ERROR_SUCCESS || GetLastError() == ERROR_NO_MORE_ITEMS)
        << GetLastError();
}

// ---------------------------------------------------------------------------------------
// Picking the device

using DeviceSelection = DriverLookupsTest;

TEST_F(DeviceSelection, MarkerInLowerCaseMatches) {
    SimulatedDisplayDevice nvidia;
    ASSERT_TRUE(nvidia.ok());
    // Wine reports device paths in lower case, so the marker is met as "ven_10de".
    EXPECT_TRUE(Contains(nvidia.devicePath(), L"ven_10de")) << Printable(nvidia.devicePath());
    EXPECT_FALSE(Contains(nvidia.devicePath(), L"VEN_10DE"));
    HandleLedger ledger;

    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA device = {};
    ASSERT_EQ(FindNvidiaDisplayInterface(kInterface, &set, &device), 1);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    EXPECT_EQ(device.cbSize, sizeof(SP_DEVINFO_DATA));
    EXPECT_EQ(Lower(DeviceInstanceId(set, &device)), Lower(kNvidiaInstanceId));
    // The one set handed over is the caller's to destroy.
    EXPECT_EQ(ledger.counts().setsOpened, 1);
    EXPECT_EQ(ledger.counts().setsDestroyed, 0);
    DestroySet(set);
    ledger.ExpectBalanced();
}

TEST_F(DeviceSelection, MarkerAtTheEndOfThePathMatches) {
    // The reference string ends the path, after the interface class.
    SimulatedDisplayDevice device(Device(kMarkerlessInstanceId, 3, L"Sim_VEN_10DE"));
    ASSERT_TRUE(device.ok());
    ASSERT_EQ(Lower(device.devicePath()).rfind(L"ven_10de"), device.devicePath().size() - 8)
        << Printable(device.devicePath());

    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA record = {};
    ASSERT_EQ(FindNvidiaDisplayInterface(kInterface, &set, &record), 1);
    EXPECT_EQ(Lower(DeviceInstanceId(set, &record)), Lower(kMarkerlessInstanceId));
    DestroySet(set);
}

TEST_F(DeviceSelection, MarkerInsideTheInstancePartMatches) {
    SimulatedDisplayDevice device(Device(L"ROOT\\SIMDISPSET\\XVEN_10DEX", 3));
    ASSERT_TRUE(device.ok());
    LocalString classKey(GetDisplayDriverClassKeyPath(kInterface));
    EXPECT_EQ(Text(classKey.get()), device.driverKeyPath());
}

TEST_F(DeviceSelection, BrokenMarkerDoesNotMatch) {
    SimulatedDisplayDevice device(Device(L"ROOT\\SIMDISPSET\\VEN_10D_E", 3, L"VEN10DE"));
    ASSERT_TRUE(device.ok());
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA record = {};
    EXPECT_EQ(FindNvidiaDisplayInterface(kInterface, &set, &record), 0);
}

TEST_F(DeviceSelection, InterfaceThatIsNotPresentIsNotFound) {
    SimulatedDeviceOptions options;
    options.present = false;
    SimulatedDisplayDevice nvidia(options);
    ASSERT_TRUE(nvidia.ok());
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA record = {};
    EXPECT_EQ(FindNvidiaDisplayInterface(kInterface, &set, &record), 0);

    ASSERT_TRUE(nvidia.SetPresent(true));
    ASSERT_EQ(FindNvidiaDisplayInterface(kInterface, &set, &record), 1);
    DestroySet(set);
}

TEST_F(DeviceSelection, TwoAdaptersGiveTheFirstEnumerated) {
    // Created in the opposite of Wine's enumeration order (sorted by key name).
    SimulatedDisplayDevice second(Device(kSecondNvidiaInstanceId, 11));
    ASSERT_TRUE(second.ok());
    SimulatedDisplayDevice first(Device(kNvidiaInstanceId, 10));
    ASSERT_TRUE(first.ok());
    std::wstring firstNvidiaPath;
    for (const std::wstring& path : PresentDisplayInterfacePaths()) {
        if (Contains(Lower(path), L"ven_10de")) {
            firstNvidiaPath = path;
            break;
        }
    }
    ASSERT_EQ(Printable(Lower(firstNvidiaPath)), Printable(Lower(first.devicePath())));

    LocalString classKey(GetDisplayDriverClassKeyPath(kInterface));
    EXPECT_EQ(Text(classKey.get()), first.driverKeyPath());
}

TEST_F(DeviceSelection, OtherVendorEnumeratedFirstIsPassedOver) {
    SimulatedDisplayDevice other(Device(kOtherVendorInstanceId, 12));
    ASSERT_TRUE(other.ok());
    SimulatedDisplayDevice nvidia(Device(kNvidiaInstanceId, 13));
    ASSERT_TRUE(nvidia.ok());
    const std::vector<std::wstring> paths = PresentDisplayInterfacePaths();
    size_t otherIndex = paths.size();
    size_t nvidiaIndex = paths.size();
    for (size_t i = 0; i < paths.size(); ++i) {
        if (Lower(paths[i]) == Lower(other.devicePath())) {
            otherIndex = i;
        }
        if (Lower(paths[i]) == Lower(nvidia.devicePath())) {
            nvidiaIndex = i;
        }
    }
    ASSERT_LT(otherIndex, nvidiaIndex);

    LocalString classKey(GetDisplayDriverClassKeyPath(kInterface));
    EXPECT_EQ(Text(classKey.get()), nvidia.driverKeyPath());
}

// An interface whose detail cannot be had is skipped, and the enumeration goes on. The
// fake asks Wine for the detail and fails the calls that concern the first NVIDIA device.
decltype(&::SetupDiGetDeviceInterfaceDetailW) g_realGetDetail;
bool g_failSizeQuery = false;
int g_failedDetailCalls = 0;

bool IsFirstNvidiaInterface(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData) {
    DWORD required = 0;
    g_realGetDetail(set, interfaceData, nullptr, 0, &required, nullptr);
    std::vector<BYTE> buffer(required + sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W));
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(*detail);
    return g_realGetDetail(set, interfaceData, detail, required, nullptr, nullptr) &&
           Contains(Lower(detail->DevicePath), L"#simdispset0#");
}

BOOL WINAPI FirstNvidiaFailingDetail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                     PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size,
                                     PDWORD required, PSP_DEVINFO_DATA device) {
    const bool sizeQuery = detail == nullptr;
    if (sizeQuery == g_failSizeQuery && IsFirstNvidiaInterface(set, interfaceData)) {
        ++g_failedDetailCalls;
        if (required != nullptr) {
            *required = 0;
        }
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    return g_realGetDetail(set, interfaceData, detail, size, required, device);
}

TEST_F(DeviceSelection, InterfaceWhoseDetailFailsIsSkipped) {
    SimulatedDisplayDevice first(Device(kNvidiaInstanceId, 10));
    ASSERT_TRUE(first.ok());
    SimulatedDisplayDevice second(Device(kSecondNvidiaInstanceId, 11));
    ASSERT_TRUE(second.ok());
    for (bool failSizeQuery : {true, false}) {
        HandleLedger ledger;
        g_realGetDetail = g_setupapi.getDeviceInterfaceDetail.load();
        g_setupapi.getDeviceInterfaceDetail.store(&FirstNvidiaFailingDetail);
        g_failSizeQuery = failSizeQuery;
        g_failedDetailCalls = 0;
        LocalString classKey(GetDisplayDriverClassKeyPath(kInterface));
        EXPECT_EQ(Text(classKey.get()), second.driverKeyPath()) << failSizeQuery;
        EXPECT_EQ(g_failedDetailCalls, 1);
        ledger.ExpectBalanced();
    }
}

TEST_F(DeviceSelection, MissingPlacesOpenNothing) {
    SimulatedDisplayDevice nvidia;
    ASSERT_TRUE(nvidia.ok());
    HandleLedger ledger;
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA device = {};
    EXPECT_EQ(FindNvidiaDisplayInterface(kInterface, nullptr, &device), 0);
    EXPECT_EQ(FindNvidiaDisplayInterface(kInterface, &set, nullptr), 0);
    EXPECT_EQ(ledger.counts().setsOpened, 0);
}

HDEVINFO WINAPI FailingGetClassDevs(const GUID*, PCWSTR, HWND, DWORD) {
    SetLastError(ERROR_INVALID_FLAGS);
    return INVALID_HANDLE_VALUE;
}

TEST_F(DeviceSelection, FailedClassQueryGivesZero) {
    SimulatedDisplayDevice nvidia;
    ASSERT_TRUE(nvidia.ok());
    SavedBindings saved;
    BindAll();
    g_setupapi.getClassDevs.store(&FailingGetClassDevs);
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA device = {};
    EXPECT_EQ(FindNvidiaDisplayInterface(kInterface, &set, &device), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
    LocalString classKey(GetDisplayDriverClassKeyPath(kInterface));
    EXPECT_EQ(classKey.get(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
}

// ---------------------------------------------------------------------------------------
// The driver's class key

using ClassKeyPath = DriverLookupsTest;

TEST_F(ClassKeyPath, IsThePrefixFollowedDirectlyByTheDriverKey) {
    SimulatedDisplayDevice nvidia(Device(kNvidiaInstanceId, 7));
    ASSERT_TRUE(nvidia.ok());
    HandleLedger ledger;
    SetLastError(kSentinel);
    LocalString classKey(GetDisplayDriverClassKeyPath(kInterface));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    const std::wstring expected = std::wstring(L"SYSTEM\\CurrentControlSet\\Control\\Class\\") +
                                  kSimulatedDeviceClassText + L"\\0007";
    EXPECT_EQ(Text(classKey.get()), expected);
    EXPECT_FALSE(Contains(Text(classKey.get()), L"\\\\"));
    ledger.ExpectBalanced();
}

TEST_F(ClassKeyPath, NullInterfaceClassIsABadArgument) {
    HandleLedger ledger;
    SetLastError(kSentinel);
    EXPECT_EQ(GetDisplayDriverClassKeyPath(nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_ARGUMENTS));
    EXPECT_EQ(ledger.counts().setsOpened, 0);
}

TEST_F(ClassKeyPath, DeviceWithoutDriverKeyGivesNull) {
    SimulatedDeviceOptions options;
    options.driverKey.clear();
    SimulatedDisplayDevice nvidia(options);
    ASSERT_TRUE(nvidia.ok());
    HandleLedger ledger;
    LocalString classKey(GetDisplayDriverClassKeyPath(kInterface));
    EXPECT_EQ(classKey.get(), nullptr);
    EXPECT_EQ(ledger.counts().setsOpened, 1);
    ledger.ExpectBalanced();
}

TEST_F(ClassKeyPath, DriverKeyStoredWithoutItsNulIsReadExactly) {
    SimulatedDisplayDevice nvidia(Device(kNvidiaInstanceId, 5));
    ASSERT_TRUE(nvidia.ok());
    const std::wstring driverKey = SimulatedDriverKey(6);
    ASSERT_TRUE(nvidia.SetRegistryProperty(SPDRP_DRIVER, REG_SZ, driverKey.data(),
                                           static_cast<DWORD>(driverKey.size() * 2)));
    LocalString classKey(GetDisplayDriverClassKeyPath(kInterface));
    EXPECT_EQ(Text(classKey.get()), DriverClassKeyPath(driverKey));
    // The next call sees the same.
    ExpectNoHeapGrowth([] { LocalString again(GetDisplayDriverClassKeyPath(kInterface)); });
}

// ---------------------------------------------------------------------------------------
// The driver's services

class DriverServices : public DriverLookupsTest {
  protected:
    void SetUp() override {
        DriverLookupsTest::SetUp();
        device_ = std::make_unique<SimulatedDisplayDevice>();
        ASSERT_TRUE(device_->ok());
    }
    void TearDown() override { device_.reset(); }
    SimulatedDisplayDevice& nvidia() { return *device_; }

  private:
    std::unique_ptr<SimulatedDisplayDevice> device_;
};

TEST_F(DriverServices, KernelDriverWithTheImageGivesItsImagePathUnchanged) {
    ScopedService kd(L"DispsetSimKd", SERVICE_KERNEL_DRIVER, kKernelImage);
    ASSERT_TRUE(kd.ok());
    ASSERT_TRUE(nvidia().SetFunctionService(L"DispsetSimKd"));
    HandleLedger ledger;
    LocalString image(FindModuleInDriverServices(kKernelModule, kInterface));
    EXPECT_EQ(Text(image.get()), kKernelImage);
    // Compared by the image's file name, ASCII case ignored.
    LocalString upper(FindModuleInDriverServices(L"NVLDDMKM.SYS", kInterface));
    EXPECT_EQ(Text(upper.get()), kKernelImage);
    LocalString other(FindModuleInDriverServices(L"nvapi64.dll", kInterface));
    EXPECT_EQ(other.get(), nullptr);
    EXPECT_GT(ledger.counts().servicesOpened, 0);
    ledger.ExpectBalanced();
}

TEST_F(DriverServices, ServiceOfAnotherTypeGivesNothing) {
    for (DWORD type : {static_cast<DWORD>(SERVICE_FILE_SYSTEM_DRIVER),
                       static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS)}) {
        ScopedService service(L"DispsetSimKd", type, kKernelImage);
        ASSERT_TRUE(service.ok());
        ASSERT_TRUE(nvidia().SetFunctionService(L"DispsetSimKd"));
        HandleLedger ledger;
        LocalString direct(GetServiceImagePathIfMatches(kKernelModule, L"DispsetSimKd"));
        EXPECT_EQ(direct.get(), nullptr) << type;
        LocalString image(FindModuleInDriverServices(kKernelModule, kInterface));
        EXPECT_EQ(image.get(), nullptr) << type;
        ledger.ExpectBalanced();
    }
}

// Wine's service manager creates only the documented types; a type that merely includes the
// kernel-driver bit is injected into the configuration that Wine returns.
decltype(&::QueryServiceConfigW) g_realQueryConfig;
BOOL WINAPI QueryConfigWithCombinedType(SC_HANDLE service, LPQUERY_SERVICE_CONFIGW config,
                                        DWORD size, LPDWORD needed) {
    BOOL result = g_realQueryConfig(service, config, size, needed);
    if (result && config != nullptr) {
        config->dwServiceType = SERVICE_KERNEL_DRIVER | SERVICE_FILE_SYSTEM_DRIVER;
    }
    return result;
}

TEST_F(DriverServices, TypeMustBeExactlyKernelDriver) {
    ScopedService kd(L"DispsetSimKd", SERVICE_KERNEL_DRIVER, kKernelImage);
    ASSERT_TRUE(kd.ok());
    ASSERT_TRUE(nvidia().SetFunctionService(L"DispsetSimKd"));
    SavedBindings saved;
    BindAll();
    g_realQueryConfig = g_advapi32.queryServiceConfig.load();
    g_advapi32.queryServiceConfig.store(&QueryConfigWithCombinedType);
    LocalString image(FindModuleInDriverServices(kKernelModule, kInterface));
    EXPECT_EQ(image.get(), nullptr);
}

TEST_F(DriverServices, LowerFilterListSecondEntryIsFound) {
    ScopedService other(L"DispsetSimOther", SERVICE_KERNEL_DRIVER,
                        L"\\SystemRoot\\System32\\drivers\\other.sys");
    ScopedService kd(L"DispsetSimKd", SERVICE_KERNEL_DRIVER, kKernelImage);
    ASSERT_TRUE(other.ok() && kd.ok());
    ASSERT_TRUE(nvidia().SetFunctionService(L"DispsetSimOther"));
    ASSERT_TRUE(nvidia().SetLowerFilters({L"DispsetSimOther", L"DispsetSimKd"}));
    LocalString image(FindModuleInDriverServices(kKernelModule, kInterface));
    EXPECT_EQ(Text(image.get()), kKernelImage);
}

TEST_F(DriverServices, FunctionServiceThenUpperThenLowerFilters) {
    const wchar_t functionImage[] = L"C:\\Drivers\\function\\nvlddmkm.sys";
    const wchar_t upperImage[] = L"C:\\Drivers\\upper\\nvlddmkm.sys";
    const wchar_t lowerImage[] = L"C:\\Drivers\\lower\\nvlddmkm.sys";
    ScopedService function(L"DispsetSimFunction", SERVICE_KERNEL_DRIVER, functionImage);
    ScopedService upper(L"DispsetSimUpper", SERVICE_KERNEL_DRIVER, upperImage);
    ScopedService lower(L"DispsetSimLower", SERVICE_KERNEL_DRIVER, lowerImage);
    ASSERT_TRUE(function.ok() && upper.ok() && lower.ok());
    ASSERT_TRUE(nvidia().SetLowerFilters({L"DispsetSimLower"}));
    ASSERT_TRUE(nvidia().SetUpperFilters({L"DispsetSimUpper"}));
    ASSERT_TRUE(nvidia().SetFunctionService(L"DispsetSimFunction"));

    LocalString first(FindModuleInDriverServices(kKernelModule, kInterface));
    EXPECT_EQ(Text(first.get()), functionImage);
    ASSERT_TRUE(nvidia().RemoveRegistryProperty(SPDRP_SERVICE));
    LocalString second(FindModuleInDriverServices(kKernelModule, kInterface));
    EXPECT_EQ(Text(second.get()), upperImage);
    ASSERT_TRUE(nvidia().RemoveRegistryProperty(SPDRP_UPPERFILTERS));
    LocalString third(FindModuleInDriverServices(kKernelModule, kInterface));
    EXPECT_EQ(Text(third.get()), lowerImage);
}

TEST_F(DriverServices, UnterminatedFilterListStillCountsItsLastEntry) {
    ScopedService kd(L"DispsetSimKd", SERVICE_KERNEL_DRIVER, kKernelImage);
    ASSERT_TRUE(kd.ok());
    // Neither the last entry's NUL nor the final empty entry.
    const wchar_t data[] = L"DispsetSimNone\0DispsetSimKd";
    ASSERT_TRUE(nvidia().SetRegistryProperty(SPDRP_UPPERFILTERS, REG_MULTI_SZ, data,
                                             sizeof(data) - sizeof(wchar_t)));
    LocalString image(FindModuleInDriverServices(kKernelModule, kInterface));
    EXPECT_EQ(Text(image.get()), kKernelImage);

    // A function service stored without its NUL is read as stored.
    const wchar_t name[] = L"DispsetSimKd";
    ASSERT_TRUE(nvidia().RemoveRegistryProperty(SPDRP_UPPERFILTERS));
    ASSERT_TRUE(
        nvidia().SetRegistryProperty(SPDRP_SERVICE, REG_SZ, name, sizeof(name) - sizeof(wchar_t)));
    LocalString again(FindModuleInDriverServices(kKernelModule, kInterface));
    EXPECT_EQ(Text(again.get()), kKernelImage);
}

TEST_F(DriverServices, PropertyOfAnotherTypeIsPassedOver) {
    ScopedService kd(L"DispsetSimKd", SERVICE_KERNEL_DRIVER, kKernelImage);
    ASSERT_TRUE(kd.ok());
    const wchar_t name[] = L"DispsetSimKd";
    ASSERT_TRUE(nvidia().SetRegistryProperty(SPDRP_SERVICE, REG_EXPAND_SZ, name, sizeof(name)));
    LocalString image(FindModuleInDriverServices(kKernelModule, kInterface));
    EXPECT_EQ(image.get(), nullptr);
    ASSERT_TRUE(nvidia().SetLowerFilters({L"DispsetSimKd"}));
    LocalString lower(FindModuleInDriverServices(kKernelModule, kInterface));
    EXPECT_EQ(Text(lower.get()), kKernelImage);
}

TEST_F(DriverServices, MissingServiceGivesNothingAndClosesTheManager) {
    ASSERT_FALSE(ServiceExists(L"DispsetSimNone"));
    HandleLedger ledger;
    LocalString image(GetServiceImagePathIfMatches(kKernelModule, L"DispsetSimNone"));
    EXPECT_EQ(image.get(), nullptr);
    EXPECT_EQ(ledger.counts().servicesOpened, 1);
    ledger.ExpectBalanced();
}

SC_HANDLE WINAPI DeniedOpenManager(LPCWSTR, LPCWSTR, DWORD) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}

TEST_F(DriverServices, ServiceManagerRefusalIsPassedOnThroughTheLastError) {
    ScopedService kd(L"DispsetSimKd", SERVICE_KERNEL_DRIVER, kKernelImage);
    ASSERT_TRUE(kd.ok());
    ASSERT_TRUE(nvidia().SetFunctionService(L"DispsetSimKd"));
    HandleLedger ledger;
    g_advapi32.openSCManager.store(&DeniedOpenManager);
    SetLastError(ERROR_SUCCESS);
    LocalString direct(GetServiceImagePathIfMatches(kKernelModule, L"DispsetSimKd"));
    EXPECT_EQ(direct.get(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    // Through the device lookup the refusal only skips the service; what the value is
    // afterwards is up to the platform calls that follow (Wine's destroy call clears it).
    LocalString image(FindModuleInDriverServices(kKernelModule, kInterface));
    EXPECT_EQ(image.get(), nullptr);
    EXPECT_EQ(ledger.counts().servicesClosed, 0);
    ledger.ExpectBalanced();
}

// ---------------------------------------------------------------------------------------
// Module values of a key

class RegistryValues : public DriverLookupsTest {
  protected:
    LocalString Find(std::vector<const wchar_t*> names, const wchar_t* module = L"nvapi64.dll",
                     const wchar_t* key = kTestKey) {
        names.push_back(nullptr);
        return LocalString(
            FindModuleInRegistryValues(names.data(), module, HKEY_LOCAL_MACHINE, key));
    }
};

TEST_F(RegistryValues, MultiStringThirdEntryIsCopiedExactly) {
    ScopedRegistryValue value(HKEY_LOCAL_MACHINE, kTestKey, L"UserModeDriverName");
    const std::wstring wanted =
        L"C:\\Windows\\System32\\DriverStore\\FileRepository\\Nv\\NvApi64.DLL";
    ASSERT_TRUE(value.SetMultiString(
        {L"C:\\a\\nvd3dumx.dll", L"C:\\b\\nvapi.dll", wanted, L"C:\\c\\nvapi64.dll"}));
    HandleLedger ledger;
    SetLastError(kSentinel);
    LocalString found = Find({L"UserModeDriverName"});
    EXPECT_EQ(Text(found.get()), wanted);
    EXPECT_EQ(GetLastError(), kSentinel);
    EXPECT_EQ(ledger.counts().keysOpened, 1);
    ledger.ExpectBalanced();
}

TEST_F(RegistryValues, EmptyMultiStringIsNoMatchAndNoError) {
    ScopedRegistryValue empty(HKEY_LOCAL_MACHINE, kTestKey, L"Empty");
    ASSERT_TRUE(empty.SetMultiString({}));
    ScopedRegistryValue bare(HKEY_LOCAL_MACHINE, kTestKey, L"Bare");
    const wchar_t nul = L'\0';
    ASSERT_TRUE(bare.Set(REG_MULTI_SZ, &nul, sizeof(nul)));
    SetLastError(kSentinel);
    EXPECT_EQ(Find({L"Empty", L"Bare"}).get(), nullptr);
    EXPECT_EQ(GetLastError(), kSentinel);
}

TEST_F(RegistryValues, StringEndsAtItsFirstNul) {
    // What follows the NUL of a REG_SZ is not part of the string.
    const wchar_t data[] = L"C:\\x\\other.dll\0C:\\x\\nvapi64.dll";
    ScopedRegistryValue value(HKEY_LOCAL_MACHINE, kTestKey, L"Single");
    ASSERT_TRUE(value.Set(REG_SZ, data, sizeof(data)));
    EXPECT_EQ(Find({L"Single"}).get(), nullptr);
    EXPECT_EQ(Text(Find({L"Single"}, L"other.dll").get()), L"C:\\x\\other.dll");
}

TEST_F(RegistryValues, ExpandStringFirstAndMatchingStringSecond) {
    ScopedRegistryValue expand(HKEY_LOCAL_MACHINE, kTestKey, L"First");
    ASSERT_TRUE(expand.SetString(L"%SystemRoot%\\System32\\nvapi64.dll", REG_EXPAND_SZ));
    ScopedRegistryValue plain(HKEY_LOCAL_MACHINE, kTestKey, L"Second");
    ASSERT_TRUE(plain.SetString(L"C:\\Windows\\System32\\nvapi64.dll"));
    SetLastError(ERROR_SUCCESS);
    LocalString found = Find({L"First", L"Second"});
    EXPECT_EQ(Text(found.get()), L"C:\\Windows\\System32\\nvapi64.dll");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
}

TEST_F(RegistryValues, ValueWithoutDataOrOfAnotherTypeLeavesInvalidData) {
    ScopedRegistryValue noData(HKEY_LOCAL_MACHINE, kTestKey, L"NoData");
    ASSERT_TRUE(noData.Set(REG_SZ, nullptr, 0));
    ScopedRegistryValue number(HKEY_LOCAL_MACHINE, kTestKey, L"Number");
    ASSERT_TRUE(number.SetDword(1));
    for (const wchar_t* name : {L"NoData", L"Number"}) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(Find({name}).get(), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA)) << Printable(name);
    }
}

TEST_F(RegistryValues, MissingKeyLeavesTheLastErrorAsItWas) {
    HandleLedger ledger;
    SetLastError(kSentinel);
    EXPECT_EQ(Find({L"UserModeDriverName"}, L"nvapi64.dll", L"SOFTWARE\\DispsetNoSuchKey").get(),
              nullptr);
    EXPECT_EQ(GetLastError(), kSentinel);
    EXPECT_EQ(ledger.counts().keysOpened, 0);
    EXPECT_EQ(ledger.counts().keysClosed, 0);
}

TEST_F(RegistryValues, MissingValuesAndNoMatchLeaveTheLastErrorAsItWas) {
    ScopedRegistryValue value(HKEY_LOCAL_MACHINE, kTestKey, L"Present");
    ASSERT_TRUE(value.SetString(L"C:\\x\\nvwgf2umx.dll"));
    SetLastError(kSentinel);
    EXPECT_EQ(Find({L"Missing", L"Present"}).get(), nullptr);
    EXPECT_EQ(GetLastError(), kSentinel);
}

TEST_F(RegistryValues, TextStoredWithoutItsNulIsReadAsStored) {
    const wchar_t path[] = L"C:\\x\\nvapi64.dll";
    ScopedRegistryValue single(HKEY_LOCAL_MACHINE, kTestKey, L"Single");
    ASSERT_TRUE(single.Set(REG_SZ, path, sizeof(path) - sizeof(wchar_t)));
    EXPECT_EQ(Text(Find({L"Single"}).get()), path);

    // No final empty entry and no NUL after the last entry: the last entry still counts.
    const wchar_t list[] = L"C:\\y\\other.dll\0C:\\y\\nvapi64.dll";
    ScopedRegistryValue multi(HKEY_LOCAL_MACHINE, kTestKey, L"Multi");
    ASSERT_TRUE(multi.Set(REG_MULTI_SZ, list, sizeof(list) - sizeof(wchar_t)));
    EXPECT_EQ(Text(Find({L"Multi"}).get()), L"C:\\y\\nvapi64.dll");

    // An odd byte count: the registry reader pads the data with zero bytes to whole
    // characters, so the stray byte is read as a character whose high byte is zero, and the
    // walk still ends inside the buffer.
    std::vector<BYTE> odd(reinterpret_cast<const BYTE*>(list),
                          reinterpret_cast<const BYTE*>(list) + sizeof(list));
    odd.push_back('z');
    ASSERT_TRUE(multi.Set(REG_MULTI_SZ, odd.data(), static_cast<DWORD>(odd.size())));
    EXPECT_EQ(Text(Find({L"Multi"}).get()), L"C:\\y\\nvapi64.dll");
    EXPECT_EQ(Text(Find({L"Multi"}, L"z").get()), L"z");
    ExpectNoHeapGrowth([&] { LocalString again = Find({L"Multi", L"Single"}); });
}

// A candidate whose copy cannot be allocated counts as no match: the next value is tried.
decltype(&::LocalAlloc) g_realLocalAlloc;
SIZE_T g_failedAllocationBytes = 0;
int g_failedAllocations = 0;

HLOCAL WINAPI FailOneAllocationOfSize(UINT flags, SIZE_T bytes) {
    if (bytes == g_failedAllocationBytes && g_failedAllocations == 0) {
        ++g_failedAllocations;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return g_realLocalAlloc(flags, bytes);
}

TEST_F(RegistryValues, CopyThatCannotBeAllocatedMovesOnToTheNextValue) {
    const std::wstring first = L"C:\\one\\nvapi64.dll";
    const std::wstring second = L"C:\\two\\three\\nvapi64.dll";
    ScopedRegistryValue one(HKEY_LOCAL_MACHINE, kTestKey, L"One");
    ASSERT_TRUE(one.SetString(first));
    ScopedRegistryValue two(HKEY_LOCAL_MACHINE, kTestKey, L"Two");
    ASSERT_TRUE(two.SetString(second));
    BindAll();
    g_failedAllocationBytes = (first.size() + 1) * sizeof(wchar_t);
    g_failedAllocations = 0;
    LocalString found;
    {
        ScopedImportPatch patch("LocalAlloc", reinterpret_cast<void*>(&FailOneAllocationOfSize));
        ASSERT_TRUE(patch.ok());
        g_realLocalAlloc = patch.original<decltype(&::LocalAlloc)>();
        found = Find({L"One", L"Two"});
    }
    EXPECT_EQ(g_failedAllocations, 1);
    EXPECT_EQ(Text(found.get()), second);
}

// No list of value names: the key that was opened is closed again and nothing is found;
// no list of keys: nothing is opened at all.
TEST_F(RegistryValues, MissingListsFindNothingAndLeaveNoKeyOpen) {
    ScopedRegistryValue value(HKEY_LOCAL_MACHINE, kTestKey, L"UserModeDriverName");
    ASSERT_TRUE(value.SetString(L"C:\\Windows\\System32\\nvapi64.dll"));
    HandleLedger ledger;
    SetLastError(kSentinel);
    EXPECT_EQ(FindModuleInRegistryValues(nullptr, L"nvapi64.dll", HKEY_LOCAL_MACHINE, kTestKey),
              nullptr);
    EXPECT_EQ(ledger.counts().keysOpened, 1);
    EXPECT_EQ(FindModuleInRegistryValueNames(nullptr, L"nvapi64.dll", HKEY_LOCAL_MACHINE), nullptr);
    EXPECT_EQ(ledger.counts().keysOpened, 1);
    EXPECT_EQ(GetLastError(), kSentinel);
    ledger.ExpectBalanced();
}

// ---------------------------------------------------------------------------------------
// Module value names of a list of keys

class RegistryValueNames : public DriverLookupsTest {
  protected:
    LocalString Find(const wchar_t* module = L"nvoglv64.dll") {
        const wchar_t* const keys[] = {kVulkanKey, kOpenClKey, nullptr};
        return LocalString(FindModuleInRegistryValueNames(keys, module, HKEY_LOCAL_MACHINE));
    }
};

TEST_F(RegistryValueNames, FullPathValueNameMatchesWhateverItsData) {
    const wchar_t name[] = L"C:\\Windows\\System32\\DriverStore\\FileRepository\\nv\\NVOGLV64.DLL";
    ScopedRegistryValue value(HKEY_LOCAL_MACHINE, kVulkanKey, name);
    ASSERT_TRUE(value.SetDword(0));
    ScopedRegistryValue decoy(HKEY_LOCAL_MACHINE, kVulkanKey, L"Decoy");
    ASSERT_TRUE(decoy.SetString(L"C:\\Windows\\System32\\nvapi64.dll"));
    HandleLedger ledger;
    SetLastError(kSentinel);
    EXPECT_EQ(Text(Find().get()), name);
    EXPECT_EQ(GetLastError(), kSentinel);
    // Data is never read: the decoy's data names nvapi64.dll, its name does not.
    SetLastError(kSentinel);
    EXPECT_EQ(Find(L"nvapi64.dll").get(), nullptr);
    EXPECT_EQ(GetLastError(), kSentinel);
    ledger.ExpectBalanced();
}

TEST_F(RegistryValueNames, SecondKeyOnlyWhenTheFirstIsMissingOrHasNoMatch) {
    const wchar_t inSecond[] = L"C:\\OpenCL\\nvoglv64.dll";
    ScopedRegistryValue second(HKEY_LOCAL_MACHINE, kOpenClKey, inSecond);
    ASSERT_TRUE(second.SetDword(0));
    {
        // The first key is missing.
        HandleLedger ledger(true);
        ASSERT_FALSE(KeyExists(kVulkanKey));
        EXPECT_EQ(Text(Find().get()), inSecond);
        EXPECT_TRUE(ledger.Opened(kOpenClKey));
        ledger.ExpectBalanced();
    }
    ScopedRegistryValue other(HKEY_LOCAL_MACHINE, kVulkanKey, L"C:\\Vulkan\\other.json");
    ASSERT_TRUE(other.SetDword(0));
    {
        // The first key holds no match.
        HandleLedger ledger(true);
        EXPECT_EQ(Text(Find().get()), inSecond);
        EXPECT_TRUE(ledger.Opened(kVulkanKey));
        EXPECT_TRUE(ledger.Opened(kOpenClKey));
        ledger.ExpectBalanced();
    }
    const wchar_t inFirst[] = L"C:\\Vulkan\\nvoglv64.dll";
    ScopedRegistryValue first(HKEY_LOCAL_MACHINE, kVulkanKey, inFirst);
    ASSERT_TRUE(first.SetDword(0));
    {
        // The first key matches: the second is never opened.
        HandleLedger ledger(true);
        EXPECT_EQ(Text(Find().get()), inFirst);
        EXPECT_FALSE(ledger.Opened(kOpenClKey));
        ledger.ExpectBalanced();
    }
}

decltype(&::RegEnumValueW) g_realEnumValue;
int g_enumCalls = 0;
LONG g_enumFailure = ERROR_KEY_DELETED;

LSTATUS WINAPI AlwaysFailingEnumValue(HKEY, DWORD, LPWSTR, LPDWORD, LPDWORD, LPDWORD, LPBYTE,
                                      LPDWORD) {
    ++g_enumCalls;
    return g_enumFailure;
}

LSTATUS WINAPI FirstIndexFailingEnumValue(HKEY key, DWORD index, LPWSTR name, LPDWORD length,
                                          LPDWORD reserved, LPDWORD type, LPBYTE data,
                                          LPDWORD dataSize) {
    if (index == 0) {
        return g_enumFailure;
    }
    return g_realEnumValue(key, index, name, length, reserved, type, data, dataSize);
}

TEST_F(RegistryValueNames, EnumerationThatKeepsFailingEnds) {
    ScopedRegistryValue first(HKEY_LOCAL_MACHINE, kVulkanKey, L"C:\\Vulkan\\nvoglv64.dll");
    ASSERT_TRUE(first.SetDword(0));
    ScopedRegistryValue second(HKEY_LOCAL_MACHINE, kOpenClKey, L"C:\\OpenCL\\nvoglv64.dll");
    ASSERT_TRUE(second.SetDword(0));
    HandleLedger ledger;
    g_realEnumValue = g_advapi32.regEnumValue.load();
    g_advapi32.regEnumValue.store(&AlwaysFailingEnumValue);
    g_enumCalls = 0;
    g_enumFailure = ERROR_KEY_DELETED;
    SetLastError(kSentinel);
    EXPECT_EQ(Find().get(), nullptr);
    EXPECT_EQ(GetLastError(), kSentinel);
    // Each of the two keys is given up after the bound.
    EXPECT_EQ(g_enumCalls, static_cast<int>(2 * kMaxConsecutiveEnumerationFailures));
    ledger.ExpectBalanced();

    // A failure at one index passes on to the next. Wine keeps values sorted by name, so
    // the match comes second.
    ScopedRegistryValue before(HKEY_LOCAL_MACHINE, kVulkanKey, L"C:\\Vulkan\\a.json");
    ASSERT_TRUE(before.SetDword(0));
    g_advapi32.regEnumValue.store(&FirstIndexFailingEnumValue);
    g_enumFailure = ERROR_MORE_DATA;
    LocalString found = Find();
    EXPECT_EQ(Text(found.get()), L"C:\\Vulkan\\nvoglv64.dll");
    g_advapi32.regEnumValue.store(g_realEnumValue);
    LocalString plain = Find(L"a.json");
    EXPECT_EQ(Text(plain.get()), L"C:\\Vulkan\\a.json");
    g_advapi32.regEnumValue.store(g_realEnumValue);
}

// A key that gains values as fast as they are read: every index has a name, none of them
// the module's.
LSTATUS WINAPI EndlessEnumValue(HKEY, DWORD index, LPWSTR name, LPDWORD length, LPDWORD, LPDWORD,
                                LPBYTE, LPDWORD) {
    ++g_enumCalls;
    *length = static_cast<DWORD>(
        swprintf(name, *length, L"C:\\Vulkan\\v%lu.json", static_cast<unsigned long>(index)));
    return ERROR_SUCCESS;
}

TEST_F(RegistryValueNames, EnumerationThatNeverEndsIsBounded) {
    ScopedRegistryValue first(HKEY_LOCAL_MACHINE, kVulkanKey, L"C:\\Vulkan\\a.json");
    ASSERT_TRUE(first.SetDword(0));
    ScopedRegistryValue second(HKEY_LOCAL_MACHINE, kOpenClKey, L"C:\\OpenCL\\a.json");
    ASSERT_TRUE(second.SetDword(0));
    HandleLedger ledger;
    g_realEnumValue = g_advapi32.regEnumValue.load();
    g_advapi32.regEnumValue.store(&EndlessEnumValue);
    g_enumCalls = 0;
    SetLastError(kSentinel);
    EXPECT_EQ(Find().get(), nullptr);
    g_advapi32.regEnumValue.store(g_realEnumValue);
    EXPECT_EQ(GetLastError(), kSentinel);
    // Each key is given up after the bound; both keys were tried.
    EXPECT_EQ(g_enumCalls, static_cast<int>(2 * kMaxEnumeratedValues));
    ledger.ExpectBalanced();
}

// Deletes the key that is being walked at the first call, then lets Wine answer.
LSTATUS WINAPI EnumValueDeletingTheKey(HKEY key, DWORD index, LPWSTR name, LPDWORD length,
                                       LPDWORD reserved, LPDWORD type, LPBYTE data,
                                       LPDWORD dataSize) {
    if (g_enumCalls++ == 0) {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kVulkanKey);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kVulkanKey);
    }
    LSTATUS status = g_realEnumValue(key, index, name, length, reserved, type, data, dataSize);
    if (g_enumCalls == 1) {
        g_enumFailure = status;
    }
    return status;
}

TEST_F(RegistryValueNames, KeyDeletedDuringTheWalkEndsIt) {
    ScopedRegistryValue value(HKEY_LOCAL_MACHINE, kVulkanKey, L"C:\\Vulkan\\nvoglv64.dll");
    ASSERT_TRUE(value.SetDword(0));
    HandleLedger ledger;
    g_realEnumValue = g_advapi32.regEnumValue.load();
    g_advapi32.regEnumValue.store(&EnumValueDeletingTheKey);
    g_enumCalls = 0;
    EXPECT_EQ(Find().get(), nullptr);
    // What Wine answers for a key deleted under an open handle; it never says
    // ERROR_NO_MORE_ITEMS, so only the bound ends the walk.
    EXPECT_EQ(g_enumFailure, ERROR_KEY_DELETED);
    EXPECT_EQ(g_enumCalls, static_cast<int>(kMaxConsecutiveEnumerationFailures));
    EXPECT_FALSE(KeyExists(kVulkanKey));
    ledger.ExpectBalanced();
}

// ---------------------------------------------------------------------------------------
// The driver-store folder

class DriverStore : public DriverLookupsTest {};

const wchar_t kInfName[] = L"oem42.inf";
const wchar_t kStoreFolder[] =
    L"C:\\Windows\\System32\\DriverStore\\FileRepository\\nv_dispsim.inf_amd64_0123";

TEST_F(DriverStore, BuildBelow6000IsNotImplementedEvenForANullClass) {
    ScopedBuild build(L"5999");
    HandleLedger ledger;
    SetLastError(kSentinel);
    EXPECT_EQ(GetDriverStoreDirectory(nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
    EXPECT_EQ(GetDriverStoreDirectory(kInterface), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
    EXPECT_EQ(ledger.counts().setsOpened, 0);
}

TEST_F(DriverStore, NullClassIsABadArgument) {
    ScopedBuild build(L"6000");
    SetLastError(kSentinel);
    EXPECT_EQ(GetDriverStoreDirectory(nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_ARGUMENTS));
}

TEST_F(DriverStore, FolderOfTheDriversInf) {
    SimulatedDisplayDevice nvidia;
    ASSERT_TRUE(nvidia.ok());
    ASSERT_TRUE(nvidia.SetDriverInfPath(kInfName));
    ScopedDriverStoreLocation store(L"OEM42.INF", std::wstring(kStoreFolder) + L"\\nv_dispsim.inf");
    HandleLedger ledger;
    SetLastError(kSentinel);
    LocalString folder(GetDriverStoreDirectory(kInterface));
    EXPECT_EQ(Text(folder.get()), kStoreFolder);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(store.calls(), 2u);
    ledger.ExpectBalanced();
    ExpectNoHeapGrowth([] { LocalString again(GetDriverStoreDirectory(kInterface)); });
}

TEST_F(DriverStore, PathWithoutBackslashGivesNull) {
    SimulatedDisplayDevice nvidia;
    ASSERT_TRUE(nvidia.ok());
    ASSERT_TRUE(nvidia.SetDriverInfPath(kInfName));
    ScopedDriverStoreLocation store(kInfName, L"nv_dispsim.inf");
    HandleLedger ledger;
    LocalString folder(GetDriverStoreDirectory(kInterface));
    EXPECT_EQ(folder.get(), nullptr);
    EXPECT_EQ(store.calls(), 2u);
    ledger.ExpectBalanced();
}

TEST_F(DriverStore, DeviceWithoutInfGivesNull) {
    SimulatedDisplayDevice nvidia;
    ASSERT_TRUE(nvidia.ok());
    ScopedDriverStoreLocation store(kInfName, std::wstring(kStoreFolder) + L"\\nv_dispsim.inf");
    HandleLedger ledger;
    LocalString folder(GetDriverStoreDirectory(kInterface));
    EXPECT_EQ(folder.get(), nullptr);
    EXPECT_EQ(store.calls(), 0u);
    ledger.ExpectBalanced();
}

TEST_F(DriverStore, UnknownInfGivesNull) {
    SimulatedDisplayDevice nvidia;
    ASSERT_TRUE(nvidia.ok());
    ASSERT_TRUE(nvidia.SetDriverInfPath(L"oem7.inf"));
    ScopedDriverStoreLocation store(kInfName, std::wstring(kStoreFolder) + L"\\nv_dispsim.inf");
    LocalString folder(GetDriverStoreDirectory(kInterface));
    EXPECT_EQ(folder.get(), nullptr);
    EXPECT_EQ(store.calls(), 1u);
}

// ---------------------------------------------------------------------------------------
// Nothing left behind

TEST_F(DriverLookupsTest, LookupsLeaveNoAllocationOrHandleBehind) {
    SimulatedDisplayDevice nvidia;
    ASSERT_TRUE(nvidia.ok());
    ASSERT_TRUE(nvidia.SetDriverInfPath(kInfName));
    ScopedService kd(L"DispsetSimKd", SERVICE_KERNEL_DRIVER, kKernelImage);
    ASSERT_TRUE(nvidia.SetLowerFilters({L"DispsetSimNone", L"DispsetSimKd"}));
    ASSERT_TRUE(nvidia.SetDriverMultiString(L"UserModeDriverName", {L"C:\\x\\nvapi64.dll"}));
    ASSERT_TRUE(nvidia.SetDriverString(L"OpenGLDriverName", L"%x%", REG_EXPAND_SZ));
    ScopedRegistryValue vulkan(HKEY_LOCAL_MACHINE, kVulkanKey, L"C:\\Vulkan\\nvoglv64.dll");
    ASSERT_TRUE(vulkan.SetDword(0));
    ScopedDriverStoreLocation store(kInfName, std::wstring(kStoreFolder) + L"\\nv_dispsim.inf");
    const std::wstring classKeyPath = nvidia.driverKeyPath();
    const wchar_t* const values[] = {L"OpenGLDriverName", L"UserModeDriverName", nullptr};
    const wchar_t* const keys[] = {kVulkanKey, kOpenClKey, nullptr};

    HandleLedger ledger;
    ExpectNoHeapGrowth([&] {
        HDEVINFO set = INVALID_HANDLE_VALUE;
        SP_DEVINFO_DATA device = {};
        if (FindNvidiaDisplayInterface(kInterface, &set, &device)) {
            DestroySet(set);
        }
        LocalFree(GetDisplayDriverClassKeyPath(kInterface));
        LocalFree(FindModuleInDriverServices(kKernelModule, kInterface));
        LocalFree(FindModuleInDriverServices(L"nomatch.sys", kInterface));
        LocalFree(GetServiceImagePathIfMatches(kKernelModule, L"DispsetSimKd"));
        LocalFree(FindModuleInRegistryValues(values, L"nvapi64.dll", HKEY_LOCAL_MACHINE,
                                             classKeyPath.c_str()));
        LocalFree(FindModuleInRegistryValues(values, L"nomatch.dll", HKEY_LOCAL_MACHINE,
                                             classKeyPath.c_str()));
        LocalFree(FindModuleInRegistryValueNames(keys, L"nvoglv64.dll", HKEY_LOCAL_MACHINE));
        LocalFree(FindModuleInRegistryValueNames(keys, L"nomatch.dll", HKEY_LOCAL_MACHINE));
        LocalFree(GetDriverStoreDirectory(kInterface));
    });
    EXPECT_GT(ledger.counts().setsOpened, 0);
    EXPECT_GT(ledger.counts().keysOpened, 0);
    EXPECT_GT(ledger.counts().servicesOpened, 0);
    ledger.ExpectBalanced();
}

// The simulated device's own promise: the prefix is left as it was found.
TEST_F(DriverLookupsTest, SimulatedDeviceLeavesThePrefixAsFound) {
    const std::wstring enumKey =
        std::wstring(L"SYSTEM\\CurrentControlSet\\Enum\\") + kNvidiaInstanceId;
    const std::wstring classKey =
        std::wstring(L"SYSTEM\\CurrentControlSet\\Control\\Class\\") + kSimulatedDeviceClassText;
    ASSERT_FALSE(KeyExists(enumKey));
    ASSERT_FALSE(KeyExists(classKey));
    {
        SimulatedDisplayDevice nvidia;
        ASSERT_TRUE(nvidia.ok());
        ASSERT_TRUE(nvidia.SetDriverString(L"UserModeDriverName", L"C:\\x\\nvapi64.dll"));
        ASSERT_TRUE(nvidia.SetDriverInfPath(kInfName));
        ScopedService kd(L"DispsetSimKd", SERVICE_KERNEL_DRIVER, kKernelImage);
        EXPECT_TRUE(KeyExists(enumKey));
        EXPECT_TRUE(KeyExists(nvidia.driverKeyPath()));
        EXPECT_TRUE(ServiceExists(L"DispsetSimKd"));
        EXPECT_EQ(PresentDisplayInterfacePaths().size() > 0, true);
    }
    EXPECT_FALSE(KeyExists(enumKey));
    EXPECT_FALSE(KeyExists(classKey));
    EXPECT_FALSE(ServiceExists(L"DispsetSimKd"));
    EXPECT_FALSE(HostHasNvidiaInterface());
    // Wine's removal took the interface keys too.
    HKEY interfaces = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                            L"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\"
                            L"{1CA05180-A699-450A-9A0C-DE4FBE3DDD89}",
                            0, KEY_READ, &interfaces),
              ERROR_SUCCESS);
    wchar_t name[512];
    for (DWORD index = 0;; ++index) {
        DWORD length = 512;
        if (RegEnumKeyExW(interfaces, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        EXPECT_FALSE(Contains(Lower(name), L"simdispset")) << Printable(name);
    }
    RegCloseKey(interfaces);
}

// A child process (the program under test, in the end-to-end tests) shares this process's
// wineserver and so sees the device present: here reg.exe finds the interface's volatile
// Linked value.
TEST_F(DriverLookupsTest, SimulatedDeviceIsPresentForAChildProcess) {
    std::wstring linkedKey;
    {
        SimulatedDisplayDevice nvidia;
        ASSERT_TRUE(nvidia.ok());
        ASSERT_EQ(nvidia.devicePath().compare(0, 4, L"\\\\?\\"), 0);
        linkedKey =
            L"HKLM\\SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\"
            L"{1CA05180-A699-450A-9A0C-DE4FBE3DDD89}\\##?#" +
            nvidia.devicePath().substr(4) + L"\\#\\Control";
        const std::wstring reg = JoinPaths(SystemDirectory(), L"reg.exe");
        EXPECT_EQ(RunProgram(reg, L"query \"" + linkedKey + L"\" /v Linked", std::wstring()), 0u);
    }
    const std::wstring reg = JoinPaths(SystemDirectory(), L"reg.exe");
    EXPECT_NE(RunProgram(reg, L"query \"" + linkedKey + L"\" /v Linked", std::wstring()), 0u);
}

}  // namespace
