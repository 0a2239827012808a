// What "dispset-diag locate" knows and concludes, apart from how it is shown: the loader's
// own account of its decision (the trace, copied out of the observer's events), the file
// that LoadLibraryExW would open for the path decided on, and the outcome. Built from
// events and header facts only, so that it is tested without a platform to ask.
#pragma once

#include <windows.h>

#include <stddef.h>
#include <stdint.h>

#include "app/diag/pe_image.h"
#include "app/diag/text_buffer.h"
#include "loader/load_observer.h"
#include "loader/search_order.h"

constexpr unsigned kSourceCount = 5;

// One enumerator's words: its text for the text report, its name in the JSON report (null
// where the report writes null). Each enum the reports show has one table of these, in the
// order of its values, so that a value indexes its own entry.
template <typename Enum>
struct EnumNames {
    Enum value;
    const wchar_t* text;
    const wchar_t* json;
};

// The tables' entries for value; a value outside the table gets its last entry.
template <typename Enum, size_t N>
const EnumNames<Enum>& NamesOf(const EnumNames<Enum> (&table)[N], Enum value) {
    const size_t index = static_cast<size_t>(value);
    return table[index < N ? index : N - 1];
}

extern const EnumNames<LoadSource> kSourceNames[kSourceCount + 1];
extern const EnumNames<TrustedFolder> kTrustedFolderNames[5];
extern const EnumNames<ModulePlace> kPlaceNames[2];
extern const EnumNames<LoadRefusal> kRefusalNames[6];

// What this process's DLL search is restricted to: the same restriction every program of
// the package makes first, so it is what dispset.exe gets on this machine.
extern const EnumNames<DllSearchRestriction> kDllSearchNames[4];

enum class LocateOutcome : uint8_t { kLoad, kRefused, kUnloadable };
extern const EnumNames<LocateOutcome> kOutcomeNames[3];

// Source numbers are 1 to 5 in search order; 0 is none.
constexpr unsigned SourceNumber(LoadSource source) {
    return static_cast<unsigned>(source);
}

struct SourceTrace {
    bool tried = false;
    OptionalText found;
    DWORD error = ERROR_SUCCESS;
};

// One text the loader reported, with the last-error value it came with.
struct ReportedText {
    bool seen = false;
    OptionalText text;
    DWORD error = ERROR_SUCCESS;

    void Record(const LoadEvent& event);
};

// Everything the loader told while it decided, copied out of the events (whose texts live
// only as long as the report). As an observer it asks for a dry run.
class LocateTrace final : public LoadObserver {
  public:
    LocateTrace() : LoadObserver(/*dryRun=*/true) {}
    void OnLoadStep(const LoadEvent& event) override;

    bool gateSeen = false;
    uint32_t buildNumber = 0;
    bool driverLocated = false;
    OptionalText displayDevice;
    bool displayDeviceChanged = false;
    ReportedText classKey;
    SourceTrace sources[kSourceCount];
    LoadSource lastSource = LoadSource::kNone;
    ReportedText driverFolder;
    ReportedText search;
    bool trustSeen = false;
    TrustedFolder trusted = TrustedFolder::kNone;
    OptionalText trustPath;
    OptionalText trustFolder;
    bool decisionSeen = false;
    ModulePlace decisionPlace = ModulePlace::kSystemDirectory;
    OptionalText decisionPath;
    LoadRefusal refusal = LoadRefusal::kNone;
    LoadSource refusalSource = LoadSource::kNone;
    bool resultSeen = false;
    DWORD resultError = ERROR_SUCCESS;

  private:
    void RecordSource(const LoadEvent& event);
};

// The file that LoadLibraryExW opens for path, by its own rule: ".dll" appended when the
// last path component has no extension, the final dot dropped when the extension is that
// dot alone (a trailing dot means "no extension"); a forward slash separates components as a
// backslash does, and spaces at the end are dropped first. False when it cannot be had (no
// path, or no memory).
bool FileLoadLibraryOpens(const wchar_t* path, OptionalText& file);

struct LocateDecision {
    LocateOutcome outcome = LocateOutcome::kRefused;
    DWORD error = ERROR_SUCCESS;
    LoadRefusal reason = LoadRefusal::kNone;  // as the loader told it; kNone: it told none
    LoadSource failedSource = LoadSource::kNone;
};

// Refused when the loader decided on no file (with the refusal it reported, or only the
// error it returned); otherwise whether LoadLibraryExW could load the file, as its headers
// tell (file is what ReadPeImageInfo gave for the file that FileLoadLibraryOpens named).
LocateDecision Decide(const LocateTrace& trace, const PeImageInfo& file);
