#include "app/diag/canary_names.h"

#include "driver_client/driver_contract.h"
#include "loader/registry_values.h"
#include "base/local_memory.h"
#include "loader/strings/wide_strings.h"
#include "loader/system_bindings.h"

const EnumNames<CanaryReason> kCanaryReasonNames[3] = {
    {CanaryReason::kDriverLibrary, L"the driver library", L"driverLibrary"},
    {CanaryReason::kDriverImport, L"imported by the driver library", L"driverImport"},
    {CanaryReason::kUsualVictim, L"usual victims of DLL planting", L"usualVictim"},
};

// Each is a system library that is not a known library on current Windows, and that
// Windows' own modules, or the runtime and GUI libraries that programs use, load by bare
// name during start-up or on demand (version information, window themes and composition,
// cryptography, user profiles, terminal sessions): a copy beside a program, in its working
// folder or on PATH is what published DLL-planting attacks on installers and tools have
// used again and again.
const wchar_t* const kUsualVictims[kUsualVictimCount] = {
    L"version.dll", L"dwmapi.dll",  L"uxtheme.dll", L"cryptbase.dll",
    L"userenv.dll", L"profapi.dll", L"winsta.dll",  L"wtsapi32.dll",
};

const wchar_t kKnownDllsKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\KnownDLLs";

namespace {

// A value name of the key is short (a module's stem); longer ones are skipped.
constexpr DWORD kValueNameChars = 256;
// Enumeration gives up after this many failures in a row.
constexpr unsigned kMaxEnumerationFailures = 8;

void ReadKnownDll(HKEY key, const wchar_t* valueName, KnownDlls& known) {
    DWORD type = 0;
    LocalMemory<BYTE> data;
    if (ReadRegistryValueAlloc(key, valueName, &type, data.put()) != ERROR_SUCCESS ||
        type != REG_SZ || !data) {
        return;
    }
    // The reader leaves at least one zeroed character past the stored bytes.
    known.names[known.count].Append(reinterpret_cast<const wchar_t*>(data.get()));
    ++known.count;
}

}  // namespace

bool KnownDlls::Contains(const wchar_t* name) const {
    for (unsigned i = 0; i < count; ++i) {
        if (IsEqualIgnoringCase(names[i].text(), name)) {
            return true;
        }
    }
    return false;
}

void ReadKnownDlls(KnownDlls& known) {
    known.count = 0;
    if (!BindRegistryEnumeration() || !BindRegistryQuery()) {
        known.status = static_cast<LONG>(GetLastError());
        return;
    }
    RegistryKey key;
    known.status = OpenRegistryKey(HKEY_LOCAL_MACHINE, kKnownDllsKey, KEY_READ, key);
    if (known.status != ERROR_SUCCESS) {
        return;
    }
    const auto enumValue = g_advapi32.regEnumValue.load();
    wchar_t name[kValueNameChars + 1];
    unsigned failures = 0;
    for (DWORD index = 0; known.count < kMaxKnownDlls; ++index) {
        DWORD length = kValueNameChars;
        const LONG status =
            enumValue(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS ||
            (status != ERROR_SUCCESS && ++failures >= kMaxEnumerationFailures)) {
            return;
        }
        if (status == ERROR_SUCCESS) {
            failures = 0;
            name[length < kValueNameChars ? length : kValueNameChars] = L'\0';
            ReadKnownDll(key.get(), name, known);
        }
    }
}

bool CanaryNames::Add(const wchar_t* name, CanaryReason reason, const KnownDlls& known) {
    if (count_ == kMaxCanaryNames || known.Contains(name)) {
        return false;
    }
    for (unsigned i = 0; i < count_; ++i) {
        if (IsEqualIgnoringCase(names_[i].name.text(), name)) {
            return false;
        }
    }
    names_[count_].name.Append(name);
    names_[count_].reason = reason;
    ++count_;
    return true;
}

bool CanaryNames::failed() const {
    for (unsigned i = 0; i < count_; ++i) {
        if (names_[i].name.failed()) {
            return true;
        }
    }
    return false;
}

void ListCanaryNames(const PeImportNames* imports, const KnownDlls& known, CanaryNames& names) {
    names.Add(kDriverLibraryName, CanaryReason::kDriverLibrary, known);
    for (unsigned i = 0; imports != nullptr && i < imports->count; ++i) {
        names.Add(imports->names[i].text(), CanaryReason::kDriverImport, known);
    }
    for (const wchar_t* victim : kUsualVictims) {
        names.Add(victim, CanaryReason::kUsualVictim, known);
    }
}
