// Run-time bindings of the system libraries that the loader needs besides kernel32.
//
// A library is loaded at first need by its full path in the system directory (never along
// the search order) and each function is resolved by name. Handles and addresses are kept
// for the life of the process, null included, so a failed load or lookup is tried again at
// the next call. The records are also the test seam: a test may place its own function in
// a slot, which is then used as if it had been resolved.
#pragma once

#include <windows.h>
#include <setupapi.h>
#include <shlobj.h>
#include <winsvc.h>

#include <atomic>

template <typename Fn>
using BoundFunction = std::atomic<Fn>;

struct Advapi32Binding {
    std::atomic<HMODULE> module;
    BoundFunction<decltype(&::RegOpenKeyExW)> regOpenKeyEx;
    BoundFunction<decltype(&::RegQueryValueExW)> regQueryValueEx;
    BoundFunction<decltype(&::RegEnumValueW)> regEnumValue;
    BoundFunction<decltype(&::RegCloseKey)> regCloseKey;
    BoundFunction<decltype(&::OpenSCManagerW)> openSCManager;
    BoundFunction<decltype(&::OpenServiceW)> openService;
    BoundFunction<decltype(&::QueryServiceConfigW)> queryServiceConfig;
    BoundFunction<decltype(&::CloseServiceHandle)> closeServiceHandle;
};

// Not declared by the MinGW headers; the signature is the setup API's own.
using SetupGetInfDriverStoreLocationFn = BOOL(WINAPI*)(PCWSTR fileName,
                                                       PSP_ALTPLATFORM_INFO alternatePlatform,
                                                       PCWSTR localeName, PWSTR returnBuffer,
                                                       DWORD returnBufferSize, PDWORD requiredSize);

struct SetupapiBinding {
    std::atomic<HMODULE> module;
    BoundFunction<decltype(&::SetupDiGetClassDevsW)> getClassDevs;
    BoundFunction<decltype(&::SetupDiEnumDeviceInterfaces)> enumDeviceInterfaces;
    BoundFunction<decltype(&::SetupDiGetDeviceInterfaceDetailW)> getDeviceInterfaceDetail;
    BoundFunction<decltype(&::SetupDiGetDeviceRegistryPropertyW)> getDeviceRegistryProperty;
    BoundFunction<decltype(&::SetupDiGetDevicePropertyW)> getDeviceProperty;
    BoundFunction<SetupGetInfDriverStoreLocationFn> getInfDriverStoreLocation;
    BoundFunction<decltype(&::SetupDiDestroyDeviceInfoList)> destroyDeviceInfoList;
};

struct Shell32Binding {
    std::atomic<HMODULE> module;
    BoundFunction<decltype(&::SHGetFolderPathW)> getFolderPath;
};

extern Advapi32Binding g_advapi32;
extern SetupapiBinding g_setupapi;
extern Shell32Binding g_shell32;

constexpr wchar_t kAdvapi32Name[] = L"Advapi32.dll";
constexpr wchar_t kSetupapiName[] = L"Setupapi.dll";
constexpr wchar_t kShell32Name[] = L"Shell32.dll";

// Loads the library into its slot when the slot is still null, by BuildSystemDirectoryPath
// and LoadLibraryExW with flags 0. Returns the handle, null when the load failed (the
// last-error value is what the load left).
HMODULE BindSystemLibrary(std::atomic<HMODULE>& module, const wchar_t* name);

// Resolves exportName into slot when the slot is still null. Returns true when the slot
// now holds an address; false leaves the last-error value that GetProcAddress set.
template <typename Fn>
bool BindFunction(BoundFunction<Fn>& slot, HMODULE module, const char* exportName) {
    if (slot.load(std::memory_order_acquire) != nullptr) {
        return true;
    }
    Fn address = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, exportName)));
    slot.store(address, std::memory_order_release);
    return address != nullptr;
}

// Reads a bound function for a call. Only valid after a successful BindFunction.
template <typename Fn>
Fn Bound(const BoundFunction<Fn>& slot) {
    return slot.load(std::memory_order_acquire);
}

// The binding steps of each lookup, in the order in which the lookup needs its functions.
// Each returns false at the first library or function that cannot be had.
bool BindRegistryQuery();          // RegQueryValueExW
bool BindRegistryOpenClose();      // RegOpenKeyExW, RegCloseKey
bool BindRegistryEnumeration();    // RegOpenKeyExW, RegEnumValueW, RegCloseKey
bool BindServiceConfiguration();   // OpenSCManagerW, OpenServiceW, QueryServiceConfigW,
                                   // CloseServiceHandle
bool BindDeviceInterfaceSearch();  // SetupDiGetClassDevsW, SetupDiEnumDeviceInterfaces,
                                   // SetupDiGetDeviceInterfaceDetailW, SetupDiDestroyDeviceInfoList
bool BindDeviceRegistryProperty();  // SetupDiGetDeviceRegistryPropertyW,
                                    // SetupDiDestroyDeviceInfoList
bool BindDriverStoreLookup();       // SetupDiGetDevicePropertyW, SetupGetInfDriverStoreLocationW,
                                    // SetupDiDestroyDeviceInfoList
bool BindFolderLookup();            // SHGetFolderPathW, looked up only when Shell32 is loaded

// Owners of the handles the lookups open; each closes through the bound function.
class RegistryKey {
  public:
    RegistryKey() = default;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    ~RegistryKey();
    HKEY* put() { return &key_; }
    HKEY get() const { return key_; }

  private:
    HKEY key_ = nullptr;
};

class DeviceInfoSet {
  public:
    DeviceInfoSet() = default;
    explicit DeviceInfoSet(HDEVINFO set) : set_(set) {}
    DeviceInfoSet(const DeviceInfoSet&) = delete;
    DeviceInfoSet& operator=(const DeviceInfoSet&) = delete;
    ~DeviceInfoSet();
    HDEVINFO* put() { return &set_; }
    HDEVINFO get() const { return set_; }
    HDEVINFO release() {
        HDEVINFO set = set_;
        set_ = INVALID_HANDLE_VALUE;
        return set;
    }

  private:
    HDEVINFO set_ = INVALID_HANDLE_VALUE;
};

class ServiceHandle {
  public:
    ServiceHandle() = default;
    explicit ServiceHandle(SC_HANDLE handle) : handle_(handle) {}
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;
    ~ServiceHandle();
    SC_HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

  private:
    SC_HANDLE handle_ = nullptr;
};
