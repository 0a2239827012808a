// The names under which "dispset-diag selftest" plants its canary: the names an attacker
// would give a library so that the program, or a library it loads, picks it up along the
// DLL search order. nvapi.dll; what the driver library imports by name; a short list of
// system libraries that are planted against programs time and again. A name that Windows
// takes from its known libraries (KnownDLLs) is never looked for, so it is left out.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "app/diag/locate_model.h"
#include "app/diag/pe_image.h"
#include "app/diag/text_buffer.h"

enum class CanaryReason : uint8_t { kDriverLibrary, kDriverImport, kUsualVictim };
extern const EnumNames<CanaryReason> kCanaryReasonNames[3];

// The system libraries outside KnownDLLs that programs and Windows' own components load by
// bare name: the usual victims of DLL planting.
constexpr unsigned kUsualVictimCount = 8;
extern const wchar_t* const kUsualVictims[kUsualVictimCount];

// The known libraries, read from the registry: at most this many values.
constexpr unsigned kMaxKnownDlls = 128;

struct KnownDlls {
    LONG status = ERROR_SUCCESS;  // the registry's status opening the key
    unsigned count = 0;
    TextBuffer names[kMaxKnownDlls];

    bool Contains(const wchar_t* name) const;
};

// HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs, through the loader's
// registry binding: the text of each string value (kernel32 = kernel32.dll).
extern const wchar_t kKnownDllsKey[];
void ReadKnownDlls(KnownDlls& known);

constexpr unsigned kMaxCanaryNames = 1 + kMaxImportNames + kUsualVictimCount;

struct CanaryName {
    TextBuffer name;
    CanaryReason reason = CanaryReason::kDriverLibrary;
};

class CanaryNames {
  public:
    // Adds name unless it is listed already (ASCII case ignored) or a known library; the
    // list holds kMaxCanaryNames at most. False when it was left out for one of these.
    bool Add(const wchar_t* name, CanaryReason reason, const KnownDlls& known);

    unsigned count() const { return count_; }
    const CanaryName& operator[](unsigned index) const { return names_[index]; }
    bool failed() const;

  private:
    CanaryName names_[kMaxCanaryNames];
    unsigned count_ = 0;
};

// nvapi.dll, the driver library's imports (imports may be null: no driver library), the
// usual victims, in that order.
void ListCanaryNames(const PeImportNames* imports, const KnownDlls& known, CanaryNames& names);
