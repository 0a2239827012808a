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

#include "loader/strings/scoped_owner.h"

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

// Owners of the handles the lookups open; each closes through its bound function.

struct RegistryKeyTraits {
    using Handle = HKEY;
    static HKEY Invalid() { return nullptr; }
    static void Close(HKEY key) { Bound(g_advapi32.regCloseKey)(key); }
    static constexpr bool kKeepsLastError = true;
};
using RegistryKey = ScopedOwner<RegistryKeyTraits>;

// Opens root\subKey into key (closing what key held); whatever a failed open leaves in the
// handle is not ours to close, so key then owns nothing. Returns the registry's status.
// Needs BindRegistryOpenClose first.
LONG OpenRegistryKey(HKEY root, const wchar_t* subKey, REGSAM access, RegistryKey& key);

// The destroy call's last-error value is left as it is: a device lookup's result is what
// its platform calls leave, the final destroy included (under Wine the destroy clears it,
// which is how an enumeration that found nothing ends without an error there).
struct DeviceInfoSetTraits {
    using Handle = HDEVINFO;
    static HDEVINFO Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(HDEVINFO set) { Bound(g_setupapi.destroyDeviceInfoList)(set); }
    static constexpr bool kKeepsLastError = false;
};
using DeviceInfoSet = ScopedOwner<DeviceInfoSetTraits>;

struct ServiceHandleTraits {
    using Handle = SC_HANDLE;
    static SC_HANDLE Invalid() { return nullptr; }
    static void Close(SC_HANDLE handle) { Bound(g_advapi32.closeServiceHandle)(handle); }
    static constexpr bool kKeepsLastError = true;
};
using ServiceHandle = ScopedOwner<ServiceHandleTraits>;
