#include "app/diag/locate_model.h"

#include <wchar.h>

#include "base/local_memory.h"
#include "loader/strings/wide_strings.h"

const EnumNames<LoadSource> kSourceNames[kSourceCount + 1] = {
    {LoadSource::kNone, L"none", nullptr},
    {LoadSource::kDriverServices, L"driver services", L"driverServices"},
    {LoadSource::kClassKeyValues, L"class-key values", L"classKeyValues"},
    {LoadSource::kKhronosLists, L"Khronos lists", L"khronosLists"},
    {LoadSource::kSupportModules, L"support modules", L"supportModules"},
    {LoadSource::kDriverFolder, L"driver folder", L"driverFolder"},
};

const EnumNames<TrustedFolder> kTrustedFolderNames[5] = {
    {TrustedFolder::kNone, L"none", L"none"},
    {TrustedFolder::kWindows, L"Windows", L"windows"},
    {TrustedFolder::kProgramFiles, L"Program Files", L"programFiles"},
    {TrustedFolder::kProgramFilesX86, L"Program Files (x86)", L"programFilesX86"},
    {TrustedFolder::kAnyBeforeWindows7, L"any (before Windows 7)", L"anyBeforeWindows7"},
};

const EnumNames<ModulePlace> kPlaceNames[2] = {
    {ModulePlace::kDriverRegistration, L"where the driver registered it", L"driverRegistration"},
    {ModulePlace::kSystemDirectory, L"from the system directory", L"systemDirectory"},
};

// A refusal the loader did not tell (it failed before deciding, say for want of memory)
// has no reason to show; its JSON name is "other".
const EnumNames<LoadRefusal> kRefusalNames[6] = {
    {LoadRefusal::kNone, nullptr, L"other"},
    {LoadRefusal::kBadName, L"a module is named by its bare file name only", L"nameHasPath"},
    {LoadRefusal::kSearchFailed,
     L"a lookup of the driver's registrations failed, which fails the load", L"searchFailed"},
    {LoadRefusal::kRelativePath,
     L"the registered path is relative, and the working folder is not trusted", L"relativePath"},
    {LoadRefusal::kNotAbsolute, L"only an absolute path is loaded from a trusted folder",
     L"notAbsolute"},
    {LoadRefusal::kUntrustedFolder,
     L"the registered path lies outside the Windows and Program Files folders", L"untrustedFolder"},
};

const EnumNames<DllSearchRestriction> kDllSearchNames[4] = {
    {DllSearchRestriction::kNotMade, L"not restricted in this process", L"notMade"},
    {DllSearchRestriction::kSystemDirectoryOnly,
     L"system directory only (SetDefaultDllDirectories): what a loaded library imports comes "
     L"from the system directory and nowhere else",
     L"systemDirectoryOnly"},
    {DllSearchRestriction::kWorkingFolderRemoved,
     L"working folder removed (SetDllDirectoryW; SetDefaultDllDirectories needs update "
     L"KB2533623 here): what a loaded library imports may still come from the program's "
     L"folder or PATH",
     L"workingFolderRemoved"},
    {DllSearchRestriction::kNone,
     L"not restricted: what a loaded library imports is looked for along the default search "
     L"order",
     L"none"},
};

const EnumNames<LocateOutcome> kOutcomeNames[3] = {
    {LocateOutcome::kLoad, L"would load", L"load"},
    {LocateOutcome::kRefused, L"refused", L"refused"},
    {LocateOutcome::kUnloadable, L"would fail to load", L"unloadable"},
};

void ReportedText::Record(const LoadEvent& event) {
    seen = true;
    text.Set(event.path);
    error = event.error;
}

void LocateTrace::OnLoadStep(const LoadEvent& event) {
    switch (event.step) {
        case LoadStep::kVersionGate:
            gateSeen = true;
            buildNumber = event.buildNumber;
            driverLocated = event.place == ModulePlace::kDriverRegistration;
            break;
        case LoadStep::kDisplayDevice:
            // Each lookup selects the device afresh; the first is the one reported, and a
            // different one later is worth knowing.
            if (!displayDevice.present()) {
                displayDevice.Set(event.path);
            } else if (wcscmp(displayDevice.get(), event.path) != 0) {
                displayDeviceChanged = true;
            }
            break;
        case LoadStep::kClassKey:
            classKey.Record(event);
            break;
        case LoadStep::kSource:
            RecordSource(event);
            break;
        case LoadStep::kDriverFolder:
            driverFolder.Record(event);
            break;
        case LoadStep::kSearchEnd:
            search.Record(event);
            break;
        case LoadStep::kTrustTest:
            trustSeen = true;
            trusted = event.trusted;
            trustPath.Set(event.path);
            trustFolder.Set(event.folder);
            break;
        case LoadStep::kLoadDecision:
            decisionSeen = true;
            decisionPlace = event.place;
            decisionPath.Set(event.path);
            break;
        case LoadStep::kRefusal:
            refusal = event.refusal;
            refusalSource = event.source;
            break;
        case LoadStep::kResult:
            resultSeen = true;
            resultError = event.error;
            break;
    }
}

void LocateTrace::RecordSource(const LoadEvent& event) {
    const unsigned number = SourceNumber(event.source);
    if (number == 0 || number > kSourceCount) {
        return;
    }
    SourceTrace& trace = sources[number - 1];
    trace.tried = true;
    trace.found.Set(event.path);
    trace.error = event.error;
    lastSource = event.source;
}

bool FileLoadLibraryOpens(const wchar_t* path, OptionalText& file) {
    LocalString separated(DuplicateString(path));
    if (!separated) {
        return false;
    }
    // The extension rule splits components at the backslash only; LoadLibraryExW splits
    // them at either separator, and first drops the spaces that end the name.
    wchar_t* end = separated.get();
    for (wchar_t* cursor = separated.get(); *cursor != L'\0'; ++cursor) {
        if (*cursor == L'/') {
            *cursor = L'\\';
        }
        if (*cursor != L' ') {
            end = cursor + 1;
        }
    }
    *end = L'\0';
    LocalString name(EnsureDllExtension(separated.get()));
    if (!name) {
        return false;
    }
    file.Set(name.get());
    return true;
}

LocateDecision Decide(const LocateTrace& trace, const PeImageInfo& file) {
    LocateDecision decision;
    if (!trace.decisionSeen) {
        decision.outcome = LocateOutcome::kRefused;
        decision.error = trace.resultError;
        decision.reason = trace.refusal;
        decision.failedSource = trace.refusalSource;
        return decision;
    }
    decision.error = LoadErrorFromHeaders(file);
    decision.outcome =
        decision.error == ERROR_SUCCESS ? LocateOutcome::kLoad : LocateOutcome::kUnloadable;
    return decision;
}
