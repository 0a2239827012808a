#include "loader/system_bindings.h"

#include "base/local_memory.h"
#include "loader/system_directory.h"

Advapi32Binding g_advapi32;
SetupapiBinding g_setupapi;
Shell32Binding g_shell32;

namespace {

// The library by its full path in the system directory, flags 0; null when that fails.
HMODULE LoadSystemLibrary(const wchar_t* name) {
    LocalString path(BuildSystemDirectoryPath(name));
    if (!path) {
        return nullptr;
    }
    return LoadLibraryExW(path.get(), nullptr, 0);
}

}  // namespace

bool BindExport(ExportSlot& slot, HMODULE module, const char* exportName) {
    if (slot.load(std::memory_order_acquire) != nullptr) {
        return true;
    }
    if (module == nullptr) {
        return false;
    }
    void* address = reinterpret_cast<void*>(GetProcAddress(module, exportName));
    slot.store(address, std::memory_order_release);
    return address != nullptr;
}

HMODULE BindSystemLibrary(std::atomic<HMODULE>& module, const wchar_t* name) {
    HMODULE handle = module.load(std::memory_order_acquire);
    if (handle != nullptr) {
        return handle;
    }
    handle = LoadSystemLibrary(name);
    module.store(handle, std::memory_order_release);
    return handle;
}

namespace {

HMODULE BindAdvapi32() {
    return BindSystemLibrary(g_advapi32.module, kAdvapi32Name);
}
HMODULE BindSetupapi() {
    return BindSystemLibrary(g_setupapi.module, kSetupapiName);
}

}  // namespace

bool BindRegistryQuery() {
    HMODULE module = BindAdvapi32();
    return module != nullptr && BindFunction(g_advapi32.regQueryValueEx, module);
}

bool BindRegistryOpenClose() {
    HMODULE module = BindAdvapi32();
    return module != nullptr && BindFunction(g_advapi32.regOpenKeyEx, module) &&
           BindFunction(g_advapi32.regCloseKey, module);
}

bool BindRegistryEnumeration() {
    HMODULE module = BindAdvapi32();
    return module != nullptr && BindFunction(g_advapi32.regOpenKeyEx, module) &&
           BindFunction(g_advapi32.regEnumValue, module) &&
           BindFunction(g_advapi32.regCloseKey, module);
}

bool BindServiceConfiguration() {
    HMODULE module = BindAdvapi32();
    return module != nullptr && BindFunction(g_advapi32.openSCManager, module) &&
           BindFunction(g_advapi32.openService, module) &&
           BindFunction(g_advapi32.queryServiceConfig, module) &&
           BindFunction(g_advapi32.closeServiceHandle, module);
}

bool BindDeviceInterfaceSearch() {
    HMODULE module = BindSetupapi();
    return module != nullptr && BindFunction(g_setupapi.getClassDevs, module) &&
           BindFunction(g_setupapi.enumDeviceInterfaces, module) &&
           BindFunction(g_setupapi.getDeviceInterfaceDetail, module) &&
           BindFunction(g_setupapi.destroyDeviceInfoList, module);
}

bool BindDeviceRegistryProperty() {
    HMODULE module = BindSetupapi();
    return module != nullptr && BindFunction(g_setupapi.getDeviceRegistryProperty, module) &&
           BindFunction(g_setupapi.destroyDeviceInfoList, module);
}

bool BindDriverStoreLookup() {
    // Bound like every other Setupapi lookup, never through LoadLibrarySystemDirectory:
    // that is the module's load, which an observer's dry run stops, and the dry run must
    // leave the loader's own libraries loading for real.
    HMODULE module = BindSetupapi();
    return module != nullptr && BindFunction(g_setupapi.getDeviceProperty, module) &&
           BindFunction(g_setupapi.getInfDriverStoreLocation, module) &&
           BindFunction(g_setupapi.destroyDeviceInfoList, module);
}

bool BindFolderLookup() {
    // SHGetFolderPathW is looked up only by the call that loads Shell32: once the library
    // is in, a missing export stays missing. The handle is therefore published only after
    // the lookup, so that a concurrent first caller never sees the library without it.
    if (g_shell32.module.load(std::memory_order_acquire) == nullptr) {
        HMODULE module = LoadSystemLibrary(kShell32Name);
        if (module == nullptr) {
            return false;
        }
        BindFunction(g_shell32.getFolderPath, module);
        g_shell32.module.store(module, std::memory_order_release);
    }
    return g_shell32.getFolderPath.load() != nullptr;
}

LONG OpenRegistryKey(HKEY root, const wchar_t* subKey, REGSAM access, RegistryKey& key) {
    HKEY opened = nullptr;
    const LONG status = g_advapi32.regOpenKeyEx(root, subKey, 0, access, &opened);
    key.reset(status == ERROR_SUCCESS ? opened : nullptr);
    return status;
}

bool BindSecurityDescriptorParsing() {
    HMODULE module = BindAdvapi32();
    return module != nullptr && BindFunction(g_advapi32.convertStringSecurityDescriptor, module);
}

bool BindTokenUserLookup() {
    HMODULE module = BindAdvapi32();
    return module != nullptr && BindFunction(g_advapi32.openProcessToken, module) &&
           BindFunction(g_advapi32.getTokenInformation, module) &&
           BindFunction(g_advapi32.convertSidToStringSid, module);
}
