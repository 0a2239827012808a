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

#include <sddl.h>

#include <stddef.h>

#include <atomic>

#include "base/scoped_owner.h"

// An export's name as a template argument: it is part of its slot's type, so the name stands
// in the image only where a binder resolves that slot.
template <size_t N>
struct ExportName {
    char text[N];
    constexpr ExportName(const char (&name)[N]) {  // NOLINT: implicit, for "Name" arguments
        for (size_t i = 0; i < N; ++i) {
            text[i] = name[i];
        }
    }
};

// The untyped slot of a bound function: the address as GetProcAddress gives it. Every
// slot's binding goes through the one BindExport below.
using ExportSlot = std::atomic<void*>;

// A function of a system library bound at run time: its export name, written once in its
// library's table below, and its address, null until bound (and null again when the library
// lacks it). The address is atomic: callers on several threads may bind at once, each
// storing the same value. Called like the function itself, once bound.
template <typename Fn, ExportName Name>
class BoundFunction {
  public:
    BoundFunction() = default;
    BoundFunction(const BoundFunction&) = delete;
    BoundFunction& operator=(const BoundFunction&) = delete;

    static constexpr const char* exportName() { return Name.text; }
    Fn load() const { return reinterpret_cast<Fn>(address_.load(std::memory_order_acquire)); }
    void store(Fn address) {
        address_.store(reinterpret_cast<void*>(address), std::memory_order_release);
    }
    Fn exchange(Fn address) {
        return reinterpret_cast<Fn>(
            address_.exchange(reinterpret_cast<void*>(address), std::memory_order_acq_rel));
    }
    ExportSlot& slot() { return address_; }

    // Only after a successful BindFunction (or a test's store). Always inlined: the call is
    // the bound function's, with no wrapper of its own in the image.
    template <typename... Args>
    [[gnu::always_inline]] auto operator()(Args... args) const {
        return load()(args...);
    }

  private:
    ExportSlot address_{nullptr};
};

// Not declared by the MinGW headers; the signature is the setup API's own. Declared, never
// linked, so that its slot is named like every other one.
extern "C" BOOL WINAPI SetupGetInfDriverStoreLocationW(PCWSTR fileName,
                                                       PSP_ALTPLATFORM_INFO alternatePlatform,
                                                       PCWSTR localeName, PWSTR returnBuffer,
                                                       DWORD returnBufferSize, PDWORD requiredSize);
using SetupGetInfDriverStoreLocationFn = decltype(&::SetupGetInfDriverStoreLocationW);

// One table per library, a row a function: its slot and its export. The record, its binder
// and the tests' saver (tests/support) all follow from the table, so a new function is one
// new row.
//
// Advapi32: the registry and service lookups of the loader; the security functions with
// which the watcher and the companion protect what they create.
#define ADVAPI32_FUNCTIONS(X)                        \
    X(regOpenKeyEx, RegOpenKeyExW)                   \
    X(regQueryValueEx, RegQueryValueExW)             \
    X(regEnumValue, RegEnumValueW)                   \
    X(regCloseKey, RegCloseKey)                      \
    X(openSCManager, OpenSCManagerW)                 \
    X(openService, OpenServiceW)                     \
    X(queryServiceConfig, QueryServiceConfigW)       \
    X(closeServiceHandle, CloseServiceHandle)        \
    X(openProcessToken, OpenProcessToken)            \
    X(getTokenInformation, GetTokenInformation)      \
    X(convertSidToStringSid, ConvertSidToStringSidW) \
    X(convertStringSecurityDescriptor, ConvertStringSecurityDescriptorToSecurityDescriptorW)

#define SETUPAPI_FUNCTIONS(X)                                       \
    X(getClassDevs, SetupDiGetClassDevsW)                           \
    X(enumDeviceInterfaces, SetupDiEnumDeviceInterfaces)            \
    X(getDeviceInterfaceDetail, SetupDiGetDeviceInterfaceDetailW)   \
    X(getDeviceRegistryProperty, SetupDiGetDeviceRegistryPropertyW) \
    X(getDeviceProperty, SetupDiGetDevicePropertyW)                 \
    X(getInfDriverStoreLocation, SetupGetInfDriverStoreLocationW)   \
    X(destroyDeviceInfoList, SetupDiDestroyDeviceInfoList)

#define SHELL32_FUNCTIONS(X) X(getFolderPath, SHGetFolderPathW)

// A record's slot for a table row.
#define BINDING_SLOT(slot, function) BoundFunction<decltype(&::function), #function> slot;

struct Advapi32Binding {
    std::atomic<HMODULE> module{nullptr};
    ADVAPI32_FUNCTIONS(BINDING_SLOT)
};

struct SetupapiBinding {
    std::atomic<HMODULE> module{nullptr};
    SETUPAPI_FUNCTIONS(BINDING_SLOT)
};

struct Shell32Binding {
    std::atomic<HMODULE> module{nullptr};
    SHELL32_FUNCTIONS(BINDING_SLOT)
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

// Resolves exportName into slot when the slot is still null, and stores what it got, null
// included. Returns true when the slot now holds an address; false leaves the last-error
// value that GetProcAddress set. Without a module it resolves nothing: a slot that a test
// filled counts as bound all the same. One function for every slot.
bool BindExport(ExportSlot& slot, HMODULE module, const char* exportName);

template <typename Fn, ExportName Name>
bool BindFunction(BoundFunction<Fn, Name>& function, HMODULE module) {
    return BindExport(function.slot(), module, Name.text);
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
// For the watcher's and the companion's own objects, never for the loader's lookups.
bool BindSecurityDescriptorParsing();  // ConvertStringSecurityDescriptorToSecurityDescriptorW
bool BindTokenUserLookup();  // OpenProcessToken, GetTokenInformation, ConvertSidToStringSidW

// Owners of the handles the lookups open; each closes through its bound function.

struct RegistryKeyTraits {
    using Handle = HKEY;
    static HKEY Invalid() { return nullptr; }
    static void Close(HKEY key) { g_advapi32.regCloseKey(key); }
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
    static void Close(HDEVINFO set) { g_setupapi.destroyDeviceInfoList(set); }
    static constexpr bool kKeepsLastError = false;
};
using DeviceInfoSet = ScopedOwner<DeviceInfoSetTraits>;

struct ServiceHandleTraits {
    using Handle = SC_HANDLE;
    static SC_HANDLE Invalid() { return nullptr; }
    static void Close(SC_HANDLE handle) { g_advapi32.closeServiceHandle(handle); }
    static constexpr bool kKeepsLastError = true;
};
using ServiceHandle = ScopedOwner<ServiceHandleTraits>;
