#include "tests/support/simulated_device.h"

#include <devpropdef.h>
#include <wchar.h>

#include <gtest/gtest.h>

#include "base/known_guids.h"
#include "tests/support/test_support.h"

namespace testing_support {

namespace {

// The setup API is resolved at run time, as the loader does, so that the test executables
// need no import library for it.
HMODULE SetupapiModule() {
    static HMODULE module = LoadLibraryW(L"setupapi.dll");
    return module;
}

template <typename Fn>
Fn Resolve(const char* name) {
    HMODULE module = SetupapiModule();
    void* address =
        module != nullptr ? reinterpret_cast<void*>(GetProcAddress(module, name)) : nullptr;
    if (address == nullptr) {
        ADD_FAILURE() << "setupapi.dll lacks " << name;
    }
    return reinterpret_cast<Fn>(address);
}

#define SETUP_FUNCTION(name) (*Resolve<decltype(&::name)>(#name))

// Declared by the Windows SDK but not by the MinGW headers; exported by Wine's setupapi.dll.
using SetDevicePropertyFn = BOOL(WINAPI*)(HDEVINFO set, PSP_DEVINFO_DATA device,
                                          const DEVPROPKEY* key, DEVPROPTYPE type,
                                          const BYTE* buffer, DWORD size, DWORD flags);

}  // namespace

const GUID kSimulatedDeviceClass = {
    0x8D0C1F6E, 0x5B2A, 0x4C8E, {0x9D, 0x31, 0x6A, 0x2F, 0x11, 0x47, 0x52, 0x10}};
const wchar_t kSimulatedDeviceClassText[] = L"{8d0c1f6e-5b2a-4c8e-9d31-6a2f11475210}";

const wchar_t kNvidiaInstanceId[] = L"PCI\\VEN_10DE&DEV_2684&SUBSYS_00000000&REV_A1\\SIMDISPSET0";
const wchar_t kSecondNvidiaInstanceId[] =
    L"PCI\\VEN_10DE&DEV_2684&SUBSYS_00000000&REV_A1\\SIMDISPSET1";
const wchar_t kOtherVendorInstanceId[] =
    L"PCI\\VEN_1002&DEV_744C&SUBSYS_00000000&REV_C8\\SIMDISPSET2";
const wchar_t kMarkerlessInstanceId[] = L"ROOT\\SIMDISPSET\\0000";

namespace {

constexpr const GUID& kDisplayInterfaceClass = well_known::GUID_DISPLAY_DEVICE_ARRIVAL;
const wchar_t kDisplayInterfaceClassKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{1CA05180-A699-450A-9A0C-DE4FBE3DDD89}";
// DEVPKEY_Device_DriverInfPath.
const DEVPROPKEY kDriverInfPathProperty = {
    {0xA8B865DD, 0x2E3D, 0x4094, {0xAD, 0x97, 0xE5, 0x93, 0xA7, 0x0C, 0x75, 0xD6}}, 5};

std::wstring MultiStringData(const std::vector<std::wstring>& entries) {
    std::wstring data;
    for (const std::wstring& entry : entries) {
        data += entry;
        data += L'\0';
    }
    data += L'\0';
    return data;
}

// Opens the device of instanceId into a fresh set; false (and no set) when there is none.
bool OpenDeviceById(const std::wstring& instanceId, HDEVINFO* set, SP_DEVINFO_DATA* device) {
    HDEVINFO list = SETUP_FUNCTION(SetupDiCreateDeviceInfoList)(nullptr, nullptr);
    if (list == INVALID_HANDLE_VALUE) {
        return false;
    }
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof(data);
    if (!SETUP_FUNCTION(SetupDiOpenDeviceInfoW)(list, instanceId.c_str(), nullptr, 0, &data)) {
        SETUP_FUNCTION(SetupDiDestroyDeviceInfoList)(list);
        return false;
    }
    *set = list;
    *device = data;
    return true;
}

// Marks (or unmarks) every interface of the device as present: the volatile Control key
// with "Linked" below each reference-string key ("#..."), as the Plug and Play manager
// keeps it. The interface keys are found by their "DeviceInstance" value rather than by
// rebuilding Wine's key names.
bool SetInterfacesLinked(const std::wstring& instanceId, bool linked) {
    HKEY classKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDisplayInterfaceClassKey, 0, KEY_READ, &classKey) !=
        ERROR_SUCCESS) {
        return false;
    }
    unsigned marked = 0;
    wchar_t name[512];
    for (DWORD index = 0;; ++index) {
        DWORD length = 512;
        if (RegEnumKeyExW(classKey, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        HKEY interfaceKey = nullptr;
        if (RegOpenKeyExW(classKey, name, 0, KEY_READ | KEY_WRITE, &interfaceKey) !=
            ERROR_SUCCESS) {
            continue;
        }
        wchar_t instance[512] = {};
        DWORD size = sizeof(instance) - sizeof(wchar_t);
        DWORD type = 0;
        if (RegQueryValueExW(interfaceKey, L"DeviceInstance", nullptr, &type,
                             reinterpret_cast<BYTE*>(instance), &size) == ERROR_SUCCESS &&
            type == REG_SZ && _wcsicmp(instance, instanceId.c_str()) == 0) {
            wchar_t reference[512];
            for (DWORD child = 0;; ++child) {
                DWORD referenceLength = 512;
                if (RegEnumKeyExW(interfaceKey, child, reference, &referenceLength, nullptr,
                                  nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
                    break;
                }
                if (reference[0] != L'#') {
                    continue;
                }
                const std::wstring control = std::wstring(reference) + L"\\Control";
                if (linked) {
                    HKEY controlKey = nullptr;
                    if (RegCreateKeyExW(interfaceKey, control.c_str(), 0, nullptr,
                                        REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr, &controlKey,
                                        nullptr) == ERROR_SUCCESS) {
                        const DWORD one = 1;
                        if (RegSetValueExW(controlKey, L"Linked", 0, REG_DWORD,
                                           reinterpret_cast<const BYTE*>(&one),
                                           sizeof(one)) == ERROR_SUCCESS) {
                            ++marked;
                        }
                        RegCloseKey(controlKey);
                    }
                } else {
                    RegDeleteTreeW(interfaceKey, control.c_str());
                    RegDeleteKeyW(interfaceKey, control.c_str());
                    ++marked;
                }
            }
        }
        RegCloseKey(interfaceKey);
    }
    RegCloseKey(classKey);
    return marked > 0;
}

}  // namespace

std::wstring DriverClassKeyPath(const std::wstring& driverKey) {
    return L"SYSTEM\\CurrentControlSet\\Control\\Class\\" + driverKey;
}

std::wstring SimulatedDriverKey(unsigned index) {
    wchar_t number[8];
    swprintf(number, 8, L"%04u", index % 10000);
    return std::wstring(kSimulatedDeviceClassText) + L"\\" + number;
}

namespace {

// The device path of one interface of the set, asked for its size first. False when the
// setup API does not give it.
bool InterfaceDevicePath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interfaceData,
                         std::wstring* path) {
    DWORD required = 0;
    SETUP_FUNCTION(SetupDiGetDeviceInterfaceDetailW)
    (set, interfaceData, nullptr, 0, &required, nullptr);
    if (required == 0) {
        return false;
    }
    std::vector<BYTE> buffer(required + sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W));
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(*detail);
    if (!SETUP_FUNCTION(SetupDiGetDeviceInterfaceDetailW)(set, interfaceData, detail, required,
                                                          nullptr, nullptr)) {
        return false;
    }
    *path = detail->DevicePath;
    return true;
}

}  // namespace

std::vector<std::wstring> PresentDisplayInterfacePaths() {
    std::vector<std::wstring> paths;
    HDEVINFO set = SETUP_FUNCTION(SetupDiGetClassDevsW)(&kDisplayInterfaceClass, nullptr, nullptr,
                                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        return paths;
    }
    SP_DEVICE_INTERFACE_DATA interfaceData = {};
    interfaceData.cbSize = sizeof(interfaceData);
    for (DWORD index = 0; SETUP_FUNCTION(SetupDiEnumDeviceInterfaces)(
             set, nullptr, &kDisplayInterfaceClass, index, &interfaceData);
         ++index) {
        std::wstring path;
        if (InterfaceDevicePath(set, &interfaceData, &path)) {
            paths.push_back(path);
        }
    }
    SETUP_FUNCTION(SetupDiDestroyDeviceInfoList)(set);
    return paths;
}

std::wstring DeviceInstanceId(HDEVINFO set, SP_DEVINFO_DATA* device) {
    wchar_t id[512] = {};
    if (!SETUP_FUNCTION(SetupDiGetDeviceInstanceIdW)(set, device, id, 512, nullptr)) {
        return std::wstring();
    }
    return id;
}

void RemoveDeviceIfPresent(const std::wstring& instanceId) {
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA device = {};
    if (!OpenDeviceById(instanceId, &set, &device)) {
        return;
    }
    // Wine's removal also deletes the key that the Driver property names; that key is not
    // the device's to delete.
    SETUP_FUNCTION(SetupDiSetDeviceRegistryPropertyW)(set, &device, SPDRP_DRIVER, nullptr, 0);
    SETUP_FUNCTION(SetupDiRemoveDevice)(set, &device);
    SETUP_FUNCTION(SetupDiDestroyDeviceInfoList)(set);
}

SimulatedDisplayDevice::SimulatedDisplayDevice(const SimulatedDeviceOptions& options)
    : instanceId_(options.instanceId) {
    ok_ = Create(options);
    if (!ok_) {
        ADD_FAILURE() << "cannot create the simulated display device: error " << GetLastError();
    }
}

bool SimulatedDisplayDevice::Create(const SimulatedDeviceOptions& options) {
    RemoveDeviceIfPresent(instanceId_);
    HDEVINFO set = SETUP_FUNCTION(SetupDiCreateDeviceInfoList)(&kSimulatedDeviceClass, nullptr);
    if (set == INVALID_HANDLE_VALUE) {
        return false;
    }
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    bool done = false;
    if (SETUP_FUNCTION(SetupDiCreateDeviceInfoW)(set, instanceId_.c_str(), &kSimulatedDeviceClass,
                                                 L"Simulated NVIDIA display", nullptr, 0,
                                                 &device)) {
        if (SETUP_FUNCTION(SetupDiRegisterDeviceInfo)(set, &device, 0, nullptr, nullptr, nullptr)) {
            created_ = true;
            SP_DEVICE_INTERFACE_DATA interfaceData = {};
            interfaceData.cbSize = sizeof(interfaceData);
            const wchar_t* reference =
                options.referenceString.empty() ? nullptr : options.referenceString.c_str();
            if (SETUP_FUNCTION(SetupDiCreateDeviceInterfaceW)(set, &device, &kDisplayInterfaceClass,
                                                              reference, 0, &interfaceData)) {
                done = InterfaceDevicePath(set, &interfaceData, &devicePath_);
            }
        }
    }
    SETUP_FUNCTION(SetupDiDestroyDeviceInfoList)(set);
    if (!done) {
        return false;
    }
    if (!options.driverKey.empty() && !SetDriverKey(options.driverKey)) {
        return false;
    }
    return !options.present || SetPresent(true);
}

SimulatedDisplayDevice::~SimulatedDisplayDevice() {
    if (created_) {
        RemoveDeviceIfPresent(instanceId_);
    }
    while (!driverValues_.empty()) {
        driverValues_.pop_back();
    }
}

bool SimulatedDisplayDevice::OpenDevice(HDEVINFO* set, SP_DEVINFO_DATA* device) const {
    const bool opened = created_ && OpenDeviceById(instanceId_, set, device);
    EXPECT_TRUE(opened) << "the simulated device is gone";
    return opened;
}

bool SimulatedDisplayDevice::SetPresent(bool present) {
    const bool done = created_ && SetInterfacesLinked(instanceId_, present);
    EXPECT_TRUE(done) << "cannot find the simulated device's interface key";
    return done;
}

bool SimulatedDisplayDevice::SetRegistryProperty(DWORD property, DWORD type, const void* data,
                                                 DWORD size) {
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA device = {};
    if (!OpenDevice(&set, &device)) {
        return false;
    }
    // SetupDiSetDeviceRegistryPropertyW takes no type: Wine stores the value with the type
    // that the property is documented to have. A value of another type (for the lookups'
    // type check) is written into the device's Enum key, where the property lives, directly.
    bool done = false;
    const bool naturalType = (property == SPDRP_UPPERFILTERS || property == SPDRP_LOWERFILTERS)
                                 ? type == REG_MULTI_SZ
                                 : type == REG_SZ;
    if (data == nullptr || naturalType) {
        done = SETUP_FUNCTION(SetupDiSetDeviceRegistryPropertyW)(
                   set, &device, property, static_cast<const BYTE*>(data), size) != FALSE;
    } else {
        const wchar_t* valueName = property == SPDRP_SERVICE        ? L"Service"
                                   : property == SPDRP_UPPERFILTERS ? L"UpperFilters"
                                   : property == SPDRP_LOWERFILTERS ? L"LowerFilters"
                                   : property == SPDRP_DRIVER       ? L"Driver"
                                                                    : nullptr;
        HKEY enumKey = nullptr;
        const std::wstring path = L"SYSTEM\\CurrentControlSet\\Enum\\" + instanceId_;
        if (valueName != nullptr && RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0,
                                                  KEY_SET_VALUE, &enumKey) == ERROR_SUCCESS) {
            done = RegSetValueExW(enumKey, valueName, 0, type, static_cast<const BYTE*>(data),
                                  size) == ERROR_SUCCESS;
            RegCloseKey(enumKey);
        }
    }
    SETUP_FUNCTION(SetupDiDestroyDeviceInfoList)(set);
    EXPECT_TRUE(done) << "cannot set device property " << property;
    return done;
}

bool SimulatedDisplayDevice::SetDriverKey(const std::wstring& driverKey) {
    driverKey_ = driverKey;
    return SetRegistryProperty(SPDRP_DRIVER, REG_SZ, driverKey.c_str(),
                               static_cast<DWORD>((driverKey.size() + 1) * sizeof(wchar_t)));
}

bool SimulatedDisplayDevice::SetFunctionService(const std::wstring& service) {
    return SetRegistryProperty(SPDRP_SERVICE, REG_SZ, service.c_str(),
                               static_cast<DWORD>((service.size() + 1) * sizeof(wchar_t)));
}

bool SimulatedDisplayDevice::SetUpperFilters(const std::vector<std::wstring>& services) {
    const std::wstring data = MultiStringData(services);
    return SetRegistryProperty(SPDRP_UPPERFILTERS, REG_MULTI_SZ, data.data(),
                               static_cast<DWORD>(data.size() * sizeof(wchar_t)));
}

bool SimulatedDisplayDevice::SetLowerFilters(const std::vector<std::wstring>& services) {
    const std::wstring data = MultiStringData(services);
    return SetRegistryProperty(SPDRP_LOWERFILTERS, REG_MULTI_SZ, data.data(),
                               static_cast<DWORD>(data.size() * sizeof(wchar_t)));
}

bool SimulatedDisplayDevice::RemoveRegistryProperty(DWORD property) {
    if (property == SPDRP_DRIVER) {
        driverKey_.clear();
    }
    return SetRegistryProperty(property, REG_NONE, nullptr, 0);
}

bool SimulatedDisplayDevice::SetDriverInfPath(const std::wstring& infName) {
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA device = {};
    if (!OpenDevice(&set, &device)) {
        return false;
    }
    const bool done = (*Resolve<SetDevicePropertyFn>("SetupDiSetDevicePropertyW"))(
                          set, &device, &kDriverInfPathProperty, DEVPROP_TYPE_STRING,
                          reinterpret_cast<const BYTE*>(infName.c_str()),
                          static_cast<DWORD>((infName.size() + 1) * sizeof(wchar_t)), 0) != FALSE;
    SETUP_FUNCTION(SetupDiDestroyDeviceInfoList)(set);
    EXPECT_TRUE(done) << "cannot set the INF path property: error " << GetLastError();
    return done;
}

bool SimulatedDisplayDevice::SetDriverValue(const std::wstring& name, DWORD type, const void* data,
                                            DWORD size) {
    if (driverKey_.empty()) {
        ADD_FAILURE() << "the simulated device has no driver key";
        return false;
    }
    driverValues_.push_back(
        std::make_unique<ScopedRegistryValue>(HKEY_LOCAL_MACHINE, driverKeyPath(), name));
    return driverValues_.back()->Set(type, data, size);
}

bool SimulatedDisplayDevice::SetDriverString(const std::wstring& name, const std::wstring& text,
                                             DWORD type) {
    return SetDriverValue(name, type, text.c_str(),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

bool SimulatedDisplayDevice::SetDriverMultiString(const std::wstring& name,
                                                  const std::vector<std::wstring>& entries) {
    const std::wstring data = MultiStringData(entries);
    return SetDriverValue(name, REG_MULTI_SZ, data.data(),
                          static_cast<DWORD>(data.size() * sizeof(wchar_t)));
}

namespace {

void DeleteServiceIfPresent(SC_HANDLE manager, const std::wstring& name) {
    SC_HANDLE service = OpenServiceW(manager, name.c_str(), DELETE);
    if (service != nullptr) {
        DeleteService(service);
        CloseServiceHandle(service);
    }
}

}  // namespace

ScopedService::ScopedService(const std::wstring& name, DWORD serviceType,
                             const std::wstring& imagePath)
    : name_(name) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        ADD_FAILURE() << "cannot open the service control manager: error " << GetLastError();
        return;
    }
    DeleteServiceIfPresent(manager, name_);
    SC_HANDLE service =
        CreateServiceW(manager, name_.c_str(), name_.c_str(), SERVICE_ALL_ACCESS, serviceType,
                       SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, imagePath.c_str(), nullptr,
                       nullptr, nullptr, nullptr, nullptr);
    if (service == nullptr) {
        ADD_FAILURE() << "cannot create service: error " << GetLastError();
    } else {
        ok_ = true;
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
}

ScopedService::~ScopedService() {
    if (!ok_) {
        return;
    }
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager != nullptr) {
        DeleteServiceIfPresent(manager, name_);
        CloseServiceHandle(manager);
    }
}

bool ServiceExists(const std::wstring& name) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, GENERIC_READ);
    if (manager == nullptr) {
        return false;
    }
    SC_HANDLE service = OpenServiceW(manager, name.c_str(), GENERIC_READ);
    const bool exists = service != nullptr;
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return exists;
}

namespace {

struct DriverStoreState {
    std::wstring infName;
    std::wstring infPath;
    unsigned calls = 0;
};
DriverStoreState* g_driverStore = nullptr;

// Behaves as SetupGetInfDriverStoreLocationW: the size in characters, NUL included, through
// requiredSize; ERROR_INSUFFICIENT_BUFFER when the buffer is missing or too small.
BOOL WINAPI FakeGetInfDriverStoreLocation(PCWSTR fileName, PSP_ALTPLATFORM_INFO, PCWSTR,
                                          PWSTR buffer, DWORD bufferSize, PDWORD requiredSize) {
    DriverStoreState* state = g_driverStore;
    if (state == nullptr) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    ++state->calls;
    if (fileName == nullptr || Lower(fileName) != Lower(state->infName)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    const DWORD needed = static_cast<DWORD>(state->infPath.size() + 1);
    if (requiredSize != nullptr) {
        *requiredSize = needed;
    }
    if (buffer == nullptr || bufferSize < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    wmemcpy(buffer, state->infPath.c_str(), needed);
    return TRUE;
}

}  // namespace

ScopedDriverStoreLocation::ScopedDriverStoreLocation(const std::wstring& infName,
                                                     const std::wstring& infPath)
    : previous_(g_setupapi.getInfDriverStoreLocation.load()) {
    EXPECT_EQ(g_driverStore, nullptr) << "one ScopedDriverStoreLocation at a time";
    g_driverStore = new DriverStoreState{infName, infPath, 0};
    g_setupapi.getInfDriverStoreLocation.store(&FakeGetInfDriverStoreLocation);
}

ScopedDriverStoreLocation::~ScopedDriverStoreLocation() {
    g_setupapi.getInfDriverStoreLocation.store(previous_);
    delete g_driverStore;
    g_driverStore = nullptr;
}

unsigned ScopedDriverStoreLocation::calls() const {
    return g_driverStore != nullptr ? g_driverStore->calls : 0;
}

std::wstring SimulatedMachine::InstallDriverFile(const std::wstring& name) {
    copies_.push_back(std::make_unique<ScopedFileCopy>(SimDriverPath(), driverFolder_ / name));
    return copies_.back()->path();
}

}  // namespace testing_support
