#include "loader/driver_lookups.h"

#include <devpropdef.h>
#include <stddef.h>
#include <stdint.h>

#include "loader/load_observer.h"
#include "loader/registry_values.h"
#include "base/local_memory.h"
#include "loader/strings/wide_strings.h"
#include "loader/system_bindings.h"
#include "loader/windows_version.h"

namespace {

// DEVPKEY_Device_DriverInfPath. Spelled out here: the headers define the DEVPKEY constants
// only in the one unit that includes <initguid.h> first, and the loader has no such unit.
const DEVPROPKEY kDriverInfPathProperty = {
    {0xA8B865DD, 0x2E3D, 0x4094, {0xAD, 0x97, 0xE5, 0x93, 0xA7, 0x0C, 0x75, 0xD6}}, 5};

constexpr DWORD kInterfaceSearchFlags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;

constexpr uint32_t kVendorMarkerLength = sizeof(kNvidiaVendorMarker) / sizeof(wchar_t) - 1;

// The platform checks cbSize against its own layout, which differs between the 32-bit
// program (packed to 1 byte) and the 64-bit one (packed to 8).
#ifdef _WIN64
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 8);
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32);
static_assert(sizeof(SP_DEVINFO_DATA) == 32);
#else
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 6);
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28);
static_assert(sizeof(SP_DEVINFO_DATA) == 28);
#endif

// A value name holds at most 16383 characters; the buffer has room for 32767 and the NUL,
// so a name never comes back truncated.
constexpr DWORD kValueNameChars = 0x7FFF;

constexpr size_t kCharBytes = sizeof(wchar_t);

// Bytes to allocate for text of byteCount bytes read from the platform: whole characters
// plus one zeroed character, so text that came without its NUL (or with an odd byte count)
// is terminated inside the buffer. 0 when the size cannot be represented.
size_t TextAllocationBytes(uint64_t byteCount) {
    const uint64_t bytes = (byteCount + 1) / kCharBytes * kCharBytes + kCharBytes;
    return bytes > SIZE_MAX ? 0 : static_cast<size_t>(bytes);
}

// Allocates zero-filled text room for byteCount bytes; false when that is impossible.
bool AllocateText(LocalMemory<BYTE>& buffer, uint64_t byteCount) {
    const size_t bytes = TextAllocationBytes(byteCount);
    return bytes != 0 && buffer.allocate(bytes);
}

// Size of a LocalAlloc block. LocalSize may touch the last-error value, which is the
// locator's control channel, so it is put back.
size_t AllocationBytes(const void* block) {
    const DWORD error = GetLastError();
    const size_t bytes = LocalSize(const_cast<void*>(block));
    SetLastError(error);
    return bytes;
}

// Walks the entries of REG_SZ or REG_MULTI_SZ text that lies in a buffer of capacity
// characters, never reading past it: the data may lack its NUL or the final empty entry.
// The list ends at an empty entry or at the end of the buffer; an unterminated last entry
// still counts (it is handed out as a bounded copy).
class TextEntries {
  public:
    TextEntries(const wchar_t* text, size_t capacity) : text_(text), capacity_(capacity) {}
    TextEntries(const TextEntries&) = delete;
    TextEntries& operator=(const TextEntries&) = delete;

    // The next entry, NUL-terminated, valid until the next call; null at the end of the
    // list (or when the copy of an unterminated entry cannot be allocated).
    const wchar_t* Next() {
        if (text_ == nullptr || position_ >= capacity_ || text_[position_] == L'\0') {
            return nullptr;
        }
        const wchar_t* entry = text_ + position_;
        for (size_t cursor = position_; cursor < capacity_; ++cursor) {
            if (text_[cursor] == L'\0') {
                position_ = cursor + 1;
                return entry;
            }
        }
        const size_t remaining = capacity_ - position_;
        position_ = capacity_;
        if (remaining > kMaxStringChars) {
            return nullptr;
        }
        copy_.reset(DuplicateStringPrefix(entry, static_cast<uint32_t>(remaining)));
        return copy_.get();
    }

  private:
    const wchar_t* text_;
    size_t capacity_;
    size_t position_ = 0;
    LocalString copy_;
};

const wchar_t* AsText(const BYTE* buffer) {
    return reinterpret_cast<const wchar_t*>(buffer);
}

// Whether text holds the NVIDIA vendor marker at any position, in any ASCII case.
bool HasVendorMarker(const wchar_t* text) {
    for (const wchar_t* cursor = text; *cursor != L'\0'; ++cursor) {
        if (IsEqualIgnoringCaseN(cursor, kNvidiaVendorMarker, kVendorMarkerLength)) {
            return true;
        }
    }
    return false;
}

// Service names of one device property, a REG_SZ or a REG_MULTI_SZ, in order; stops at
// the first service that yields the module's image path. The buffer holds bufferBytes
// zero-filled bytes, with a zeroed character after the data the platform wrote.
wchar_t* FindModuleInServiceList(const wchar_t* moduleName, DWORD type, const BYTE* buffer,
                                 size_t bufferBytes) {
    if (type == REG_SZ) {
        return GetServiceImagePathIfMatches(moduleName, AsText(buffer));
    }
    if (type != REG_MULTI_SZ) {
        return nullptr;
    }
    TextEntries entries(AsText(buffer), bufferBytes / kCharBytes);
    for (const wchar_t* service = entries.Next(); service != nullptr; service = entries.Next()) {
        wchar_t* imagePath = GetServiceImagePathIfMatches(moduleName, service);
        if (imagePath != nullptr) {
            return imagePath;
        }
    }
    return nullptr;
}

// The selected NVIDIA display device: the set that FindNvidiaDisplayInterface hands over,
// owned here so that it is destroyed on every way out, and the device's record in it.
class NvidiaDisplay {
  public:
    // FindNvidiaDisplayInterface stores the set only when it found the device.
    explicit NvidiaDisplay(const GUID* interfaceClass) {
        FindNvidiaDisplayInterface(interfaceClass, set_.put(), &device_);
    }
    bool found() const { return set_.valid(); }
    HDEVINFO set() const { return set_.get(); }
    SP_DEVINFO_DATA* device() { return &device_; }

  private:
    DeviceInfoSet set_;
    SP_DEVINFO_DATA device_ = {};
};

}  // namespace

int FindNvidiaDisplayInterface(const GUID* interfaceClass, HDEVINFO* set, SP_DEVINFO_DATA* device) {
    // Without both places the set could not be handed over and would stay open.
    if (set == nullptr || device == nullptr) {
        return 0;
    }
    if (!BindDeviceInterfaceSearch()) {
        return 0;
    }
    // The set is destroyed on every way out but the hit: when the enumeration ends, the
    // last-error value is what SetupDiEnumDeviceInterfaces and then the destroy call left.
    DeviceInfoSet interfaces(
        g_setupapi.getClassDevs(interfaceClass, nullptr, nullptr, kInterfaceSearchFlags));
    if (interfaces.get() == INVALID_HANDLE_VALUE) {
        return 0;
    }
    const auto enumInterfaces = g_setupapi.enumDeviceInterfaces.load();
    const auto getDetail = g_setupapi.getDeviceInterfaceDetail.load();

    SP_DEVICE_INTERFACE_DATA interfaceData = {};
    interfaceData.cbSize = sizeof(interfaceData);
    for (DWORD index = 0;; ++index) {
        if (!enumInterfaces(interfaces.get(), nullptr, interfaceClass, index, &interfaceData)) {
            return 0;
        }
        DWORD required = 0;
        getDetail(interfaces.get(), &interfaceData, nullptr, 0, &required, nullptr);
        if (required == 0) {
            continue;
        }
        // Never less than the header that is written before the call, and one zeroed
        // character more, so the device path is terminated even when it fills the size.
        const uint64_t room = required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)
                                  ? sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)
                                  : required;
        LocalMemory<BYTE> buffer;
        if (!AllocateText(buffer, room)) {
            continue;
        }
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.get());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SP_DEVINFO_DATA deviceData = {};
        deviceData.cbSize = sizeof(deviceData);
        if (!getDetail(interfaces.get(), &interfaceData, detail, required, nullptr, &deviceData)) {
            continue;
        }
        // Device paths are usually lower case; the marker is compared folding ASCII case,
        // which is what upper-casing the path and searching for "VEN_10DE" comes to.
        const bool hit = HasVendorMarker(detail->DevicePath);
        if (hit && IsLoadObserved()) {
            ReportLoadStep(LoadStep::kDisplayDevice, detail->DevicePath);
        }
        buffer.reset();
        if (hit) {
            *set = interfaces.release();
            *device = deviceData;
            return 1;
        }
    }
}

wchar_t* GetDisplayDriverClassKeyPath(const GUID* interfaceClass) {
    SetLastError(ERROR_SUCCESS);
    if (interfaceClass == nullptr) {
        SetLastError(ERROR_BAD_ARGUMENTS);
        return nullptr;
    }
    if (!BindDeviceRegistryProperty()) {
        return nullptr;
    }
    LocalString result;
    {
        NvidiaDisplay display(interfaceClass);
        if (!display.found()) {
            return nullptr;
        }
        const auto getProperty = g_setupapi.getDeviceRegistryProperty.load();
        DWORD required = 0;
        getProperty(display.set(), display.device(), SPDRP_DRIVER, nullptr, nullptr, 0, &required);
        LocalMemory<BYTE> buffer;
        if (required != 0 && AllocateText(buffer, required) &&
            getProperty(display.set(), display.device(), SPDRP_DRIVER, nullptr, buffer.get(),
                        required, nullptr)) {
            // The prefix ends in a backslash, so JoinPath adds none.
            result.reset(JoinPath(kDriverClassKeyPrefix, AsText(buffer.get())));
        }
        // The buffer is freed, then the set destroyed, before the verdict is written.
    }
    if (result) {
        SetLastError(ERROR_SUCCESS);
    }
    return result.release();
}

wchar_t* FindModuleInDriverServices(const wchar_t* moduleName, const GUID* interfaceClass) {
    if (!BindDeviceRegistryProperty()) {
        return nullptr;
    }
    NvidiaDisplay display(interfaceClass);
    if (!display.found()) {
        return nullptr;
    }
    const auto getProperty = g_setupapi.getDeviceRegistryProperty.load();
    // The function service first, then the filters above it, then those below.
    constexpr DWORD kServiceProperties[] = {SPDRP_SERVICE, SPDRP_UPPERFILTERS, SPDRP_LOWERFILTERS};
    for (DWORD property : kServiceProperties) {
        DWORD type = 0;
        DWORD required = 0;
        getProperty(display.set(), display.device(), property, &type, nullptr, 0, &required);
        if (required == 0) {
            continue;
        }
        LocalMemory<BYTE> buffer;
        if (!AllocateText(buffer, required)) {
            continue;
        }
        if (!getProperty(display.set(), display.device(), property, &type, buffer.get(), required,
                         nullptr)) {
            continue;
        }
        wchar_t* imagePath =
            FindModuleInServiceList(moduleName, type, buffer.get(), TextAllocationBytes(required));
        if (imagePath != nullptr) {
            return imagePath;
        }
    }
    return nullptr;
}

wchar_t* GetServiceImagePathIfMatches(const wchar_t* moduleName, const wchar_t* serviceName) {
    if (!BindServiceConfiguration()) {
        return nullptr;
    }
    // Declared so that the buffer goes first, then the service, then the manager.
    const ServiceHandle manager(g_advapi32.openSCManager(nullptr, nullptr, GENERIC_READ));
    if (!manager) {
        return nullptr;
    }
    const ServiceHandle service(g_advapi32.openService(manager.get(), serviceName, GENERIC_READ));
    if (!service) {
        return nullptr;
    }
    const auto queryConfig = g_advapi32.queryServiceConfig.load();
    DWORD needed = 0;
    queryConfig(service.get(), nullptr, 0, &needed);
    if (needed == 0) {
        return nullptr;
    }
    // At least the fixed record, whose fields are read after the call.
    const DWORD room =
        needed < sizeof(QUERY_SERVICE_CONFIGW) ? sizeof(QUERY_SERVICE_CONFIGW) : needed;
    LocalMemory<QUERY_SERVICE_CONFIGW> config;
    if (!config.allocateBytes(room) || !queryConfig(service.get(), config.get(), needed, &needed)) {
        return nullptr;
    }
    const QUERY_SERVICE_CONFIGW* record = config.get();
    if (record->dwServiceType != SERVICE_KERNEL_DRIVER || record->lpBinaryPathName == nullptr ||
        !IsSameModuleName(record->lpBinaryPathName, moduleName)) {
        return nullptr;
    }
    return DuplicateString(record->lpBinaryPathName);
}

wchar_t* FindModuleInRegistryValues(const wchar_t* const* valueNames, const wchar_t* moduleName,
                                    HKEY root, const wchar_t* subKey) {
    if (!BindRegistryOpenClose()) {
        return nullptr;
    }
    RegistryKey key;
    if (OpenRegistryKey(root, subKey, KEY_QUERY_VALUE, key) != ERROR_SUCCESS) {
        return nullptr;
    }
    if (valueNames == nullptr) {
        return nullptr;
    }
    for (const wchar_t* const* name = valueNames; *name != nullptr; ++name) {
        DWORD type = 0;
        LocalMemory<BYTE> data;
        const LONG status = ReadRegistryValueAlloc(key.get(), *name, &type, data.put());
        if (status != ERROR_SUCCESS) {
            continue;
        }
        if ((type != REG_SZ && type != REG_MULTI_SZ) || !data) {
            // Another type, or a value without data: the driver registered something that
            // is not a module list. The search goes on, but the locator must learn of it.
            SetLastError(ERROR_INVALID_DATA);
            continue;
        }
        TextEntries entries(AsText(data.get()), AllocationBytes(data.get()) / kCharBytes);
        for (const wchar_t* entry = entries.Next(); entry != nullptr; entry = entries.Next()) {
            if (IsSameModuleName(entry, moduleName)) {
                // Only the first entry that names the module counts; a copy that cannot be
                // allocated is no match, and the next value is tried.
                wchar_t* result = DuplicateString(entry);
                if (result != nullptr) {
                    return result;
                }
                break;
            }
            if (type == REG_SZ) {
                break;
            }
        }
    }
    return nullptr;
}

wchar_t* FindModuleInRegistryValueNames(const wchar_t* const* keyPaths, const wchar_t* moduleName,
                                        HKEY root) {
    if (!BindRegistryEnumeration()) {
        return nullptr;
    }
    if (keyPaths == nullptr) {
        return nullptr;
    }
    const auto enumValue = g_advapi32.regEnumValue.load();
    for (const wchar_t* const* path = keyPaths; *path != nullptr; ++path) {
        // Declared so that the name buffer is freed before the key is closed.
        RegistryKey key;
        if (OpenRegistryKey(root, *path, KEY_READ, key) != ERROR_SUCCESS) {
            continue;
        }
        LocalString name;
        if (!name.allocate(kValueNameChars + 1)) {
            continue;
        }
        unsigned failures = 0;
        for (DWORD index = 0; index < kMaxEnumeratedValues; ++index) {
            DWORD length = kValueNameChars;
            const LONG status = enumValue(key.get(), index, name.get(), &length, nullptr, nullptr,
                                          nullptr, nullptr);
            if (status == ERROR_NO_MORE_ITEMS) {
                break;
            }
            if (status != ERROR_SUCCESS) {
                if (++failures >= kMaxConsecutiveEnumerationFailures) {
                    break;
                }
                continue;
            }
            failures = 0;
            // The buffer is reused: end the name where the registry said it ends.
            name.get()[length < kValueNameChars ? length : kValueNameChars] = L'\0';
            if (IsSameModuleName(name.get(), moduleName)) {
                wchar_t* result = DuplicateString(name.get());
                if (result != nullptr) {
                    return result;
                }
            }
        }
    }
    return nullptr;
}

wchar_t* GetDriverStoreDirectory(const GUID* interfaceClass) {
    SetLastError(ERROR_SUCCESS);
    // The build comes before the argument: before Windows Vista there is no driver store
    // to ask about, whatever the caller passed.
    if (!IsWindowsBuildAtLeast(kBuildDriverStore)) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return nullptr;
    }
    if (interfaceClass == nullptr) {
        SetLastError(ERROR_BAD_ARGUMENTS);
        return nullptr;
    }
    if (!BindDriverStoreLookup()) {
        return nullptr;
    }
    LocalString result;
    {
        // Declared so that both buffers are freed before the set is destroyed.
        NvidiaDisplay display(interfaceClass);
        if (!display.found()) {
            return nullptr;
        }
        LocalMemory<BYTE> infName;
        LocalMemory<BYTE> infPath;
        const auto getProperty = g_setupapi.getDeviceProperty.load();
        const auto getStoreLocation = g_setupapi.getInfDriverStoreLocation.load();
        DEVPROPTYPE type = 0;
        DWORD required = 0;
        getProperty(display.set(), display.device(), &kDriverInfPathProperty, &type, nullptr, 0,
                    &required, 0);
        // Twice the reported bytes, so that the name read is always followed by zeros.
        if (required != 0 && AllocateText(infName, 2 * static_cast<uint64_t>(required)) &&
            getProperty(display.set(), display.device(), &kDriverInfPathProperty, &type,
                        infName.get(), required, nullptr, 0)) {
            const wchar_t* inf = AsText(infName.get());
            DWORD size = 0;
            getStoreLocation(inf, nullptr, nullptr, nullptr, 0, &size);
            // size counts characters; one zeroed character more keeps the path terminated
            // even when the platform fills the buffer without its NUL.
            if (size != 0 && AllocateText(infPath, kCharBytes * static_cast<uint64_t>(size))) {
                wchar_t* path = reinterpret_cast<wchar_t*>(infPath.get());
                if (getStoreLocation(inf, nullptr, nullptr, path, size, nullptr)) {
                    // The folder is what comes before the last backslash; a bare file name
                    // names no folder.
                    const wchar_t* fileName = GetFileNamePart(path);
                    if (fileName != nullptr && fileName != path) {
                        const size_t folderLength = static_cast<size_t>(fileName - path) - 1;
                        result.reset(
                            DuplicateStringPrefix(path, static_cast<uint32_t>(folderLength)));
                    }
                }
            }
        }
    }
    if (result) {
        SetLastError(ERROR_SUCCESS);
    }
    return result.release();
}
