#include "loader/driver_locator.h"

#include "loader/driver_lookups.h"
#include "loader/load_observer.h"
#include "base/local_memory.h"
#include "loader/strings/wide_strings.h"
#include "loader/system_directory.h"
#include "loader/trusted_paths.h"
#include "loader/windows_version.h"

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

// What a source found, told to an installed observer with the last-error value it left.
LocalString Tried(LoadSource source, wchar_t* found) {
    if (IsLoadObserved()) {
        ReportLoadStep({.step = LoadStep::kSource, .source = source, .path = found});
    }
    return LocalString(found);
}

LocalString FindInDriverFolder(const wchar_t* searchName) {
    LocalString directory(IsWindowsBuildAtLeast(kBuildDriverLocatedLoading)
                              ? GetDriverStoreDirectory(&well_known::GUID_DISPLAY_DEVICE_ARRIVAL)
                              : GetSystemDirectoryAlloc());
    if (IsLoadObserved()) {
        ReportLoadStep(LoadStep::kDriverFolder, directory.get());
    }
    if (!directory) {
        return LocalString();
    }
    return LocalString(JoinPathIfFileExists(searchName, directory.get()));
}

// Tries the driver's registrations in order and stops at the first that names the module
// or the first lookup that leaves an error. Empty with ERROR_SUCCESS: named nowhere.
LocalString SearchDriverRegistrations(const wchar_t* name, LoadSource& lastTried) {
    if (!DetermineWow64()) {
        return LocalString();
    }
    LocalString classKeyPath(
        GetDisplayDriverClassKeyPath(&well_known::GUID_DISPLAY_DEVICE_ARRIVAL));
    if (IsLoadObserved()) {
        ReportLoadStep(LoadStep::kClassKey, classKeyPath.get());
    }
    if (!classKeyPath) {
        return LocalString();
    }
    LocalString searchName(EnsureDllExtension(name));
    if (!searchName) {
        return LocalString();
    }
    const wchar_t* extension = FindFileExtension(searchName.get());
    const bool isDll = IsEqualIgnoringCase(extension, kDllExtension);
    const bool isSys = IsEqualIgnoringCase(extension, kSysExtension);
    const wchar_t* const module = searchName.get();
    const bool wow64 = IsWow64();

    // Kernel-mode files are registered as services; a DLL never is.
    if (!isDll && NoErrorSoFar()) {
        lastTried = LoadSource::kDriverServices;
        if (LocalString found = Tried(
                lastTried,
                FindModuleInDriverServices(module, &well_known::GUID_DISPLAY_DEVICE_ARRIVAL))) {
            return found;
        }
    }
    // User-mode lists never name a kernel-mode file.
    if (!isSys) {
        if (!NoErrorSoFar()) {
            return LocalString();
        }
        lastTried = LoadSource::kClassKeyValues;
        if (LocalString found =
                Tried(lastTried, FindModuleInRegistryValues(
                                     wow64 ? kClassKeyModuleValuesWow64 : kClassKeyModuleValues,
                                     module, HKEY_LOCAL_MACHINE, classKeyPath.get()))) {
            return found;
        }
        if (!NoErrorSoFar()) {
            return LocalString();
        }
        lastTried = LoadSource::kKhronosLists;
        if (LocalString found = Tried(
                lastTried,
                FindModuleInRegistryValueNames(kKhronosDriverLists, module, HKEY_LOCAL_MACHINE))) {
            return found;
        }
    }
    if (!NoErrorSoFar()) {
        return LocalString();
    }
    lastTried = LoadSource::kSupportModules;
    if (LocalString found = Tried(
            lastTried,
            FindModuleInRegistryValues(wow64 ? kSupportModuleValuesWow64 : kSupportModuleValues,
                                       module, HKEY_LOCAL_MACHINE, classKeyPath.get()))) {
        return found;
    }
    if (!NoErrorSoFar()) {
        return LocalString();
    }
    lastTried = LoadSource::kDriverFolder;
    LocalString found = FindInDriverFolder(module);
    return Tried(lastTried, found.release());
}

// FindDriverModulePath's search after the name was checked, with the source tried last.
LocalString FindRegisteredPath(const wchar_t* name, LoadSource& lastTried) {
    LocalString found = SearchDriverRegistrations(name, lastTried);
    if (found) {
        SetLastError(ERROR_SUCCESS);
    } else if (NoErrorSoFar()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
    }
    if (IsLoadObserved()) {
        ReportLoadStep(LoadStep::kSearchEnd, found.get());
    }
    return found;
}

}  // namespace

wchar_t* FindDriverModulePath(const wchar_t* name) {
    SetLastError(ERROR_SUCCESS);
    if (name == nullptr || HasPathSeparator(name)) {
        SetLastError(ERROR_BAD_ARGUMENTS);
        return nullptr;
    }
    LoadSource lastTried = LoadSource::kNone;
    return FindRegisteredPath(name, lastTried).release();
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

DriverLocatedLoad LoadDriverLocatedModule(const wchar_t* name, DWORD flags) {
    // The name is LoadLibrarySecure's, already checked to be a bare file name.
    SetLastError(ERROR_SUCCESS);
    LoadSource lastTried = LoadSource::kNone;
    LocalString path = FindRegisteredPath(name, lastTried);
    if (path) {
        // Found where the driver registered it: that place or nothing. LoadLibraryFullPath
        // still refuses a place outside the trusted folders.
        return {LoadLibraryFullPath(path.get(), flags), false};
    }
    // Only a driver that registers no such module sends the name on to the system
    // directory; a failed search fails the load.
    const DWORD searchError = GetLastError();
    if (searchError == ERROR_MOD_NOT_FOUND) {
        return {nullptr, true};
    }
    RefuseLoad(LoadRefusal::kSearchFailed, searchError, name, lastTried);
    return {nullptr, false};
}
