#include "loader/module_loader.h"

#include <stdint.h>

#include "loader/driver_locator.h"
#include "loader/load_observer.h"
#include "loader/strings/wide_strings.h"
#include "loader/system_directory.h"
#include "loader/windows_version.h"

namespace {

// Driver modules are named "nv..." in any ASCII case.
constexpr wchar_t kDriverModulePrefix[] = L"nv";
constexpr uint32_t kDriverModulePrefixLength = 2;

bool NamesDriverModule(const wchar_t* name) {
    return IsEqualIgnoringCaseN(name, kDriverModulePrefix, kDriverModulePrefixLength);
}

HMODULE LoadFromTrustedPlace(const wchar_t* name, DWORD flags) {
    SetLastError(ERROR_SUCCESS);
    // A name is never treated as a path: whoever wants a module names the file only.
    if (name == nullptr || HasPathSeparator(name)) {
        RefuseLoad(LoadRefusal::kBadName, ERROR_BAD_ARGUMENTS, name);
        return nullptr;
    }
    const bool driverLocated =
        IsWindowsBuildAtLeast(kBuildDriverLocatedLoading) && NamesDriverModule(name);
    if (IsLoadObserved()) {
        // The number the gate was judged by: 0 when the registry gave none that could be read.
        ReportLoadStep(
            {.step = LoadStep::kVersionGate,
             .place =
                 driverLocated ? ModulePlace::kDriverRegistration : ModulePlace::kSystemDirectory,
             .buildNumber = g_windowsVersion.buildNumber.load(std::memory_order_acquire)});
    }
    if (driverLocated) {
        DriverLocatedLoad located = LoadDriverLocatedModule(name, flags);
        if (!located.useSystemDirectory) {
            return located.module;
        }
    }
    return LoadLibrarySystemDirectory(name, flags);
}

}  // namespace

HMODULE LoadLibrarySecure(const wchar_t* name, DWORD flags) {
    HMODULE module = LoadFromTrustedPlace(name, flags);
    if (IsLoadObserved()) {
        ReportLoadStep(LoadStep::kResult, nullptr);
    }
    return module;
}
