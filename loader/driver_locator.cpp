#include "loader/driver_locator.h"

#include "loader/driver_lookups.h"
#include "loader/load_observer.h"
#include "loader/strings/local_memory.h"
#include "loader/strings/wide_strings.h"
#include "loader/system_directory.h"
#include "loader/trusted_paths.h"
#include "loader/windows_version.h"

Wow64State g_wow64;

namespace {

constexpr wchar_t kDllExtension[] = L".dll";
constexpr wchar_t kSysExtension[] = L".sys";

// Where the display driver names its user-mode modules, in search order. A 32-bit process
// on 64-bit Windows reads the "Wow" values, which name the 32-bit builds.
const wchar_t* const kClassKeyModuleValues[] = {L"UserModeDriverName", L"OpenGLDriverName",
                                                L"UserModeDListDriverName", nullptr};
const wchar_t* const kClassKeyModuleValuesWow64[] = {
    L"UserModeDriverNameWow", L"OpenGLDriverNameWow", L"UserModeDListDriverNameWow", nullptr};
const wchar_t* const kSupportModuleValues[] = {L"DriverSupportModules", nullptr};
const wchar_t* const kSupportModuleValuesWow64[] = {L"DriverSupportModulesWow", nullptr};
const wchar_t* const kKhronosDriverLists[] = {L"SOFTWARE\\Khronos\\Vulkan\\Drivers",
                                              L"SOFTWARE\\Khronos\\OpenCL\\Vendors", nullptr};

// The search goes on only while no lookup has left an error behind.
bool NoErrorSoFar() {
    return GetLastError() == ERROR_SUCCESS;
}

// Asks kernel32 once per process whether this is a 32-bit process on 64-bit Windows.
// False when it cannot be told this time; the search then ends with that error.
bool DetermineWow64() {
    if (g_wow64.isWow64Process.load(std::memory_order_acquire) != nullptr) {
        return true;
    }
    HMODULE kernel = GetModuleHandleA("kernel32");
    if (kernel == nullptr) {
        return false;
    }
    auto isWow64Process = reinterpret_cast<IsWow64ProcessFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process")));
    if (isWow64Process == nullptr) {
        return false;
    }
    BOOL wow64 = FALSE;
    BOOL answered = isWow64Process(GetCurrentProcess(), &wow64);
    // Flag first, address last: whoever sees the address sees the flag with it. A failed
    // call is not repeated; the flag then stays 0.
    g_wow64.isWow64.store(answered ? wow64 : FALSE, std::memory_order_relaxed);
    g_wow64.isWow64Process.store(isWow64Process, std::memory_order_release);
    return answered != FALSE;
}

bool IsWow64() {
    return g_wow64.isWow64.load(std::memory_order_relaxed) != FALSE;
}

// What a source found, told to an installed observer with the last-error value it left.
wchar_t* Reported(LoadSource source, wchar_t* found) {
    if (IsLoadObserved()) {
        ReportLoadStep({.step = LoadStep::kSource, .source = source, .path = found});
    }
    return found;
}

wchar_t* FindInDriverFolder(const wchar_t* searchName) {
    LocalString directory(IsWindowsBuildAtLeast(kBuildDriverLocatedLoading)
                              ? GetDriverStoreDirectory(&kDisplayDeviceArrivalInterface)
                              : GetSystemDirectoryAlloc());
    if (IsLoadObserved()) {
        ReportLoadStep(LoadStep::kDriverFolder, directory.get());
    }
    if (!directory) {
        return nullptr;
    }
    return JoinPathIfFileExists(searchName, directory.get());
}

// Tries the driver's registrations in order and stops at the first that names the module
// or the first lookup that leaves an error. Null with ERROR_SUCCESS: named nowhere.
wchar_t* SearchDriverRegistrations(const wchar_t* name) {
    if (!DetermineWow64()) {
        return nullptr;
    }
    LocalString classKeyPath(GetDisplayDriverClassKeyPath(&kDisplayDeviceArrivalInterface));
    if (IsLoadObserved()) {
        ReportLoadStep(LoadStep::kClassKey, classKeyPath.get());
    }
    if (!classKeyPath) {
        return nullptr;
    }
    LocalString searchName(EnsureDllExtension(name));
    if (!searchName) {
        return nullptr;
    }
    const wchar_t* extension = FindFileExtension(searchName.get());
    const bool isDll = IsEqualIgnoringCase(extension, kDllExtension) != 0;
    const bool isSys = IsEqualIgnoringCase(extension, kSysExtension) != 0;

    // Kernel-mode files are registered as services; a DLL never is.
    if (!isDll && NoErrorSoFar()) {
        if (wchar_t* found = Reported(
                LoadSource::kDriverServices,
                FindModuleInDriverServices(searchName.get(), &kDisplayDeviceArrivalInterface))) {
            return found;
        }
    }
    // User-mode lists never name a kernel-mode file.
    if (!isSys) {
        if (!NoErrorSoFar()) {
            return nullptr;
        }
        if (wchar_t* found =
                Reported(LoadSource::kClassKeyValues,
                         FindModuleInRegistryValues(
                             IsWow64() ? kClassKeyModuleValuesWow64 : kClassKeyModuleValues,
                             searchName.get(), HKEY_LOCAL_MACHINE, classKeyPath.get()))) {
            return found;
        }
        if (!NoErrorSoFar()) {
            return nullptr;
        }
        if (wchar_t* found =
                Reported(LoadSource::kKhronosLists,
                         FindModuleInRegistryValueNames(kKhronosDriverLists, searchName.get(),
                                                        HKEY_LOCAL_MACHINE))) {
            return found;
        }
    }
    if (!NoErrorSoFar()) {
        return nullptr;
    }
    if (wchar_t* found = Reported(
            LoadSource::kSupportModules,
            FindModuleInRegistryValues(IsWow64() ? kSupportModuleValuesWow64 : kSupportModuleValues,
                                       searchName.get(), HKEY_LOCAL_MACHINE, classKeyPath.get()))) {
        return found;
    }
    if (!NoErrorSoFar()) {
        return nullptr;
    }
    return Reported(LoadSource::kDriverFolder, FindInDriverFolder(searchName.get()));
}

}  // namespace

wchar_t* FindDriverModulePath(const wchar_t* name) {
    SetLastError(ERROR_SUCCESS);
    if (name == nullptr || HasPathSeparator(name)) {
        SetLastError(ERROR_BAD_ARGUMENTS);
        return nullptr;
    }
    LocalString found(SearchDriverRegistrations(name));
    if (found) {
        SetLastError(ERROR_SUCCESS);
    } else if (NoErrorSoFar()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
    }
    if (IsLoadObserved()) {
        ReportLoadStep(LoadStep::kSearchEnd, found.get());
    }
    return found.release();
}

wchar_t* JoinPathIfFileExists(const wchar_t* name, const wchar_t* directory) {
    LocalString path(JoinPath(directory, name));
    if (!path) {
        return nullptr;
    }
    const DWORD attributes = GetFileAttributesW(path.get());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0) {
        return path.release();
    }
    // A missing file only means the module is not there; any other error (a missing
    // folder, say) is a failure that the search must report.
    if (GetLastError() == ERROR_FILE_NOT_FOUND) {
        SetLastError(ERROR_SUCCESS);
    }
    return nullptr;
}

wchar_t* GetSystemDirectoryAlloc() {
    SetLastError(ERROR_SUCCESS);
    const UINT size = GetSystemDirectoryW(nullptr, 0);
    if (size == 0) {
        return nullptr;
    }
    LocalString directory;
    if (!directory.allocate(size_t{size} * sizeof(wchar_t))) {
        return nullptr;
    }
    const UINT length = GetSystemDirectoryW(directory.get(), size);
    // A count of size or more would leave no terminator in the buffer.
    if (length == 0 || length >= size) {
        return nullptr;
    }
    return directory.release();
}

DriverLocatedLoad LoadDriverLocatedModule(const wchar_t* name, DWORD flags) {
    LocalString path(FindDriverModulePath(name));
    const DWORD searchError = GetLastError();
    if (path) {
        // Found where the driver registered it: that place or nothing. LoadLibraryFullPath
        // still refuses a place outside the trusted folders.
        return {LoadLibraryFullPath(path.get(), flags), false};
    }
    // Only a driver that registers no such module sends the name on to the system
    // directory; a failed search fails the load.
    return {nullptr, searchError == ERROR_MOD_NOT_FOUND};
}
