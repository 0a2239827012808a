#include "app/diag/selftest_command.h"

#include "app/diag/canary_names.h"
#include "app/diag/canary_resource.h"
#include "app/diag/error_names.h"
#include "app/diag/json_writer.h"
#include "app/diag/locate_command.h"
#include "app/diag/planted_run.h"
#include "app/diag/private_folder.h"
#include "driver_client/driver_contract.h"
#include "loader/search_order.h"
#include "app/common/watcher_contract.h"
#include "base/local_memory.h"
#include "base/module_path.h"
#include "loader/strings/wide_strings.h"

namespace {

constexpr wchar_t kMarkerSuffix[] = L".ran";  // what the canary adds to its own path
constexpr wchar_t kControlName[] = L"control.dll";
constexpr unsigned kPlaceColumn = 16;
constexpr unsigned kNameColumn = 19;

enum class Place : uint8_t { kProgramFolder, kWorkingFolder, kPathFolder };
constexpr unsigned kPlaceCount = 3;
const EnumNames<Place> kCanaryPlaceNames[kPlaceCount] = {
    {Place::kProgramFolder, L"program folder", L"programFolder"},
    {Place::kWorkingFolder, L"working folder", L"workingFolder"},
    {Place::kPathFolder, L"PATH folder", L"pathFolder"},
};
const wchar_t* const kPlaceFolders[kPlaceCount] = {L"program", L"working", L"path"};

// What kept the test from being made.
enum class Setback : uint8_t {
    kNone,
    kProgram,
    kNoCanary,
    kFolder,
    kCopy,
    kPlant,
    kControl,
    kStart,
    kVanished
};
const EnumNames<Setback> kSetbackNames[] = {
    {Setback::kNone, nullptr, nullptr},
    {Setback::kProgram, L"the program's full path cannot be had", L"program"},
    {Setback::kNoCanary, L"the canary is missing from dispset-diag.exe", L"noCanary"},
    {Setback::kFolder, L"the private folder cannot be created", L"folder"},
    {Setback::kCopy, L"the program cannot be copied", L"copy"},
    {Setback::kPlant, L"a canary cannot be planted", L"plant"},
    {Setback::kControl,
     L"a canary loaded by its full path left no marker, so the test cannot see what runs "
     L"here (an application control policy or a security product may keep libraries in the "
     L"temporary folder from loading)",
     L"control"},
    {Setback::kStart, L"the program cannot be started", L"start"},
    {Setback::kVanished,
     L"a planted canary was gone after a run, taken away by something else (a security "
     L"product may have quarantined it): a canary that is not there proves nothing",
     L"vanished"},
};

struct RunReport {
    bool made = false;
    PlantedRun result;
    bool loaded[kPlaceCount][kMaxCanaryNames] = {};
};

struct SelftestReport {
    TextBuffer program;
    TextBuffer copy;
    DllSearchRestriction dllSearch = DllSearchRestriction::kNotMade;
    LocateResult driver;
    PeImportNames imports;
    bool importsRead = false;
    KnownDlls known;
    CanaryNames names;
    TextBuffer folder;
    TextBuffer places[kPlaceCount];
    RunReport runs[2];  // the copy, then the program itself
    Setback setback = Setback::kNone;
    DWORD error = ERROR_SUCCESS;
    Leftovers left;
};

struct CanaryBytes {
    const void* data = nullptr;
    DWORD size = 0;
};

// --- Making the test ------------------------------------------------------------------------

// path made absolute against the working folder, as CreateProcessW would take it.
bool AppendFullPath(const wchar_t* path, TextBuffer& full) {
    const DWORD needed = GetFullPathNameW(path, 0, nullptr, nullptr);
    LocalString buffer;
    if (needed == 0 || !buffer.allocate(needed)) {
        return false;
    }
    const DWORD length = GetFullPathNameW(path, needed, buffer.get(), nullptr);
    if (length == 0 || length >= needed) {
        return false;
    }
    full.Append(buffer.get());
    return !full.failed();
}

// The dispset.exe in the companion's own folder, when no PROGRAM is given.
bool FindProgram(const wchar_t* given, TextBuffer& program) {
    if (given != nullptr) {
        return AppendFullPath(given, program);
    }
    const LocalString beside = GetPathBesideExecutable(kProgramFileName);
    return beside && AppendFullPath(beside.get(), program);
}

bool FindCanary(CanaryBytes& canary) {
    HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(DISPSET_CANARY_RESOURCE), RT_RCDATA);
    HGLOBAL loaded = resource != nullptr ? LoadResource(nullptr, resource) : nullptr;
    canary.data = loaded != nullptr ? LockResource(loaded) : nullptr;
    canary.size = resource != nullptr ? SizeofResource(nullptr, resource) : 0;
    return canary.data != nullptr && canary.size != 0;
}

// The driver library that the program would load (locate's decision), and what it imports.
void ListNames(SelftestReport& report) {
    if (LocateModule(kDriverLibraryName, report.driver) &&
        report.driver.decision.outcome == LocateOutcome::kLoad) {
        ReadPeImportNames(report.driver.file.get(), report.imports);
        report.importsRead = true;
    }
    ReadKnownDlls(report.known);
    ListCanaryNames(report.importsRead ? &report.imports : nullptr, report.known, report.names);
}

DWORD WriteCanary(const wchar_t* path, const CanaryBytes& canary) {
    KernelHandle file(
        CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!file || !WriteFile(file.get(), canary.data, canary.size, &written, nullptr)) {
        return GetLastError();
    }
    return written == canary.size ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}

bool Fail(SelftestReport& report, Setback setback, DWORD error) {
    report.setback = setback;
    report.error = error;
    return false;
}

bool MakeFolders(PrivateFolder& folder, SelftestReport& report) {
    DWORD error = folder.Create();
    if (folder.created()) {
        report.folder.Append(folder.path());
    }
    for (unsigned place = 0; place < kPlaceCount && error == ERROR_SUCCESS; ++place) {
        error = folder.CreateSubfolder(kPlaceFolders[place], report.places[place]);
    }
    return error == ERROR_SUCCESS || Fail(report, Setback::kFolder, error);
}

bool CopyProgram(SelftestReport& report) {
    JoinIntoBuffer(report.places[0].text(), GetFileNamePart(report.program.text()), report.copy);
    if (!CopyFileW(report.program.text(), report.copy.text(), TRUE)) {
        return Fail(report, Setback::kCopy, GetLastError());
    }
    return true;
}

bool PlantCanaries(const CanaryBytes& canary, SelftestReport& report) {
    for (const TextBuffer& place : report.places) {
        for (unsigned i = 0; i < report.names.count(); ++i) {
            TextBuffer path;
            JoinIntoBuffer(place.text(), report.names[i].name.text(), path);
            const DWORD error = WriteCanary(path.text(), canary);
            if (error != ERROR_SUCCESS) {
                return Fail(report, Setback::kPlant, error);
            }
        }
    }
    return true;
}

// Whether the canary at path left its marker; the marker is removed for the next run.
bool TakeMarker(const wchar_t* path) {
    TextBuffer marker;
    marker.Append(path);
    marker.Append(kMarkerSuffix);
    const bool present = GetFileAttributesW(marker.text()) != INVALID_FILE_ATTRIBUTES;
    DeleteFileW(marker.text());
    return present;
}

// A canary loaded by its full path into this process must leave its marker: otherwise a
// canary that did not run would say nothing about the search order.
bool CheckControl(const PrivateFolder& folder, const CanaryBytes& canary, SelftestReport& report) {
    TextBuffer path;
    JoinIntoBuffer(folder.path(), kControlName, path);
    const DWORD error = WriteCanary(path.text(), canary);
    if (error != ERROR_SUCCESS) {
        return Fail(report, Setback::kPlant, error);
    }
    // Holds nothing: the canary refuses its attach.
    const LoadedModule module(LoadLibraryExW(path.text(), nullptr, 0));
    return TakeMarker(path.text()) || Fail(report, Setback::kControl, ERROR_SUCCESS);
}

bool Run(const wchar_t* program, unsigned firstPlace, RunReport& run, SelftestReport& report) {
    run.made = true;
    run.result =
        RunPlanted(program, report.places[static_cast<unsigned>(Place::kWorkingFolder)].text(),
                   report.places[static_cast<unsigned>(Place::kPathFolder)].text());
    if (run.result.startError != ERROR_SUCCESS) {
        return Fail(report, Setback::kStart, run.result.startError);
    }
    bool allThere = true;
    for (unsigned place = firstPlace; place < kPlaceCount; ++place) {
        for (unsigned i = 0; i < report.names.count(); ++i) {
            TextBuffer path;
            JoinIntoBuffer(report.places[place].text(), report.names[i].name.text(), path);
            run.loaded[place][i] = TakeMarker(path.text());
            allThere = allThere && GetFileAttributesW(path.text()) != INVALID_FILE_ATTRIBUTES;
        }
    }
    return allThere || Fail(report, Setback::kVanished, ERROR_SUCCESS);
}

void PlantAndRun(const CanaryBytes& canary, SelftestReport& report) {
    PrivateFolder folder;
    // Each step records its setback; the folder goes whatever happened.
    if (MakeFolders(folder, report) && CopyProgram(report) && PlantCanaries(canary, report) &&
        CheckControl(folder, canary, report) &&
        Run(report.copy.text(), static_cast<unsigned>(Place::kProgramFolder), report.runs[0],
            report)) {
        // The program itself, from its own folder, which is left alone.
        Run(report.program.text(), static_cast<unsigned>(Place::kWorkingFolder), report.runs[1],
            report);
    }
    folder.Remove(report.left);
}

void MakeTest(const wchar_t* program, SelftestReport& report) {
    report.dllSearch = DllSearchRestrictionInForce();
    if (!FindProgram(program, report.program)) {
        Fail(report, Setback::kProgram, GetLastError());
        return;
    }
    ListNames(report);
    if (report.names.failed()) {
        Fail(report, Setback::kPlant, ERROR_NOT_ENOUGH_MEMORY);
        return;
    }
    CanaryBytes canary;
    if (!FindCanary(canary)) {
        Fail(report, Setback::kNoCanary, GetLastError());
        return;
    }
    PlantAndRun(canary, report);
}

unsigned CountLoaded(const SelftestReport& report) {
    unsigned loaded = 0;
    for (const RunReport& run : report.runs) {
        for (unsigned place = 0; place < kPlaceCount; ++place) {
            for (unsigned i = 0; i < report.names.count(); ++i) {
                loaded += run.loaded[place][i] ? 1 : 0;
            }
        }
    }
    return loaded;
}

int ExitCodeOf(const SelftestReport& report) {
    if (report.setback != Setback::kNone || report.left.count != 0) {
        return kExitInternal;
    }
    return CountLoaded(report) == 0 ? kExitSuccess : kExitFailure;
}

// --- The text report ------------------------------------------------------------------------

void TextLine(TextBuffer& out, const char* label, const wchar_t* text) {
    AppendLabel(out, label);
    out.AppendPrintable(text);
    out.AppendChar(L'\n');
}

void TextDriver(TextBuffer& out, const SelftestReport& report) {
    AppendLabel(out, "driver library");
    const LocateResult& driver = report.driver;
    if (!report.importsRead) {
        out.AppendAscii("none that would load (dispset-diag locate: ");
        out.Append(NamesOf(kOutcomeNames, driver.decision.outcome).text);
        if (driver.file.present()) {
            out.AppendChar(L' ');
            out.AppendPrintable(driver.file.get());
        }
        out.AppendAscii("); no imports to plant\n");
        return;
    }
    out.AppendPrintable(driver.file.get());
    out.AppendAscii(", as dispset-diag locate decides; it imports ");
    out.AppendDecimal(report.imports.count);
    out.AppendAscii(" libraries by name");
    if (report.imports.status != PeImportStatus::kOk) {
        out.AppendAscii(" as far as they could be read: ");
        out.Append(DescribePeImportStatus(report.imports.status));
    }
    out.AppendChar(L'\n');
}

void TextKnown(TextBuffer& out, const KnownDlls& known) {
    AppendLabel(out, "known libraries");
    if (known.status != ERROR_SUCCESS) {
        out.AppendAscii("none read from HKLM\\");
        out.Append(kKnownDllsKey);
        out.AppendAscii(": error ");
        AppendErrorDescription(out, static_cast<DWORD>(known.status));
    } else {
        out.AppendDecimal(known.count);
        out.AppendAscii(", which Windows never looks for along the search order: not planted");
    }
    out.AppendChar(L'\n');
}

// The names grouped by why they are planted: "a, b (reason); c (reason)".
void TextNames(TextBuffer& out, const CanaryNames& names) {
    AppendLabel(out, "canaries");
    out.AppendDecimal(names.count());
    out.AppendAscii(" names in each place:");
    for (unsigned i = 0; i < names.count(); ++i) {
        const bool groupStarts = i == 0 || names[i - 1].reason != names[i].reason;
        out.AppendAscii(i == 0 ? " " : groupStarts ? "; " : ", ");
        out.Append(names[i].name.text());
        if (i + 1 == names.count() || names[i + 1].reason != names[i].reason) {
            out.AppendAscii(" (");
            out.Append(NamesOf(kCanaryReasonNames, names[i].reason).text);
            out.AppendChar(L')');
        }
    }
    out.AppendChar(L'\n');
}

void TextRun(TextBuffer& out, const SelftestReport& report, unsigned index) {
    const RunReport& run = report.runs[index];
    if (!run.made) {
        return;
    }
    AppendLabel(out, index == 0 ? "run 1" : "run 2");
    out.AppendAscii(index == 0 ? "a copy in the program folder, " : "the program itself, ");
    out.AppendPrintable(index == 0 ? report.copy.text() : report.program.text());
    out.AppendAscii(": ");
    if (run.result.startError != ERROR_SUCCESS) {
        out.AppendAscii("not started: error ");
        AppendErrorDescription(out, run.result.startError);
        out.AppendChar(L'\n');
        return;
    }
    if (run.result.ended) {
        out.AppendAscii("still running after 30 s: ended, with everything it started\n");
    } else {
        out.AppendAscii("exit code ");
        out.AppendDecimal(run.result.exitCode);
        out.AppendChar(L'\n');
    }
    for (unsigned place = index == 0 ? 0 : 1; place < kPlaceCount; ++place) {
        for (unsigned i = 0; i < report.names.count(); ++i) {
            // Names are plain file names (pe_image checks what it reads).
            const wchar_t* name = report.names[i].name.text();
            out.AppendAscii("  ");
            AppendPadded(out, kCanaryPlaceNames[place].text, kPlaceColumn);
            AppendPadded(out, name, kNameColumn);
            out.AppendChar(L' ');
            if (run.loaded[place][i]) {
                TextBuffer file;
                JoinIntoBuffer(report.places[place].text(), name, file);
                out.AppendAscii("LOADED: ");
                out.AppendPrintable(file.text());
            } else {
                out.AppendAscii("not loaded");
            }
            out.AppendChar(L'\n');
        }
    }
}

void TextCleanup(TextBuffer& out, const SelftestReport& report) {
    if (report.folder.empty()) {
        return;
    }
    AppendLabel(out, "cleanup");
    if (report.left.count == 0) {
        out.AppendAscii("the folder and everything in it removed\n");
        return;
    }
    out.AppendAscii("left behind, remove by hand: ");
    out.AppendDecimal(report.left.count);
    out.AppendChar(L'\n');
    for (unsigned i = 0; i < report.left.count && i < kMaxLeftovers; ++i) {
        out.AppendAscii("  ");
        out.AppendPrintable(report.left.paths[i].text());
        out.AppendChar(L'\n');
    }
}

void TextResult(TextBuffer& out, const SelftestReport& report) {
    AppendLabel(out, "result");
    if (report.setback != Setback::kNone) {
        out.AppendAscii("the test could not be made: ");
        out.Append(NamesOf(kSetbackNames, report.setback).text);
        if (report.error != ERROR_SUCCESS) {
            out.AppendAscii(": error ");
            AppendErrorDescription(out, report.error);
        }
    } else if (report.left.count != 0) {
        out.AppendAscii("the test left files behind");
    } else if (CountLoaded(report) == 0) {
        out.AppendAscii("no canary ran");
    } else {
        out.AppendDecimal(CountLoaded(report));
        out.AppendAscii(
            " canaries ran: a library planted there would have run with the user's rights");
    }
    out.AppendChar(L'\n');
}

void WriteText(TextBuffer& out, const SelftestReport& report) {
    out.Append(kToolName);
    out.AppendChar(L' ');
    out.Append(kToolVersion);
    out.AppendAscii(
        ": harmless canaries planted where an attacker would plant a library, the program run\n");
    TextLine(out, "program", report.program.text());
    TextLine(out, "DLL search", NamesOf(kDllSearchNames, report.dllSearch).text);
    TextDriver(out, report);
    TextKnown(out, report.known);
    TextNames(out, report.names);
    if (!report.folder.empty()) {
        TextLine(out, "private folder", report.folder.text());
    }
    if (report.runs[0].made) {
        AppendLabel(out, "note");
        out.AppendAscii("each run applies the display setting, as the program always does\n");
    }
    TextRun(out, report, 0);
    TextRun(out, report, 1);
    TextCleanup(out, report);
    TextResult(out, report);
}

// --- The JSON report ------------------------------------------------------------------------

void JsonDriver(JsonWriter& json, const SelftestReport& report) {
    json.Key("driverLibrary");
    json.BeginObject();
    json.Field("locate", NamesOf(kOutcomeNames, report.driver.decision.outcome).json);
    json.Field("path", report.driver.file.get());
    json.Key("imports");
    if (!report.importsRead) {
        json.Null();
    } else {
        json.BeginArray();
        for (unsigned i = 0; i < report.imports.count; ++i) {
            json.String(report.imports.names[i].text());
        }
        json.EndArray();
    }
    json.Field("importProblem", report.importsRead && report.imports.status != PeImportStatus::kOk
                                    ? DescribePeImportStatus(report.imports.status)
                                    : nullptr);
    json.EndObject();
}

void JsonCanaries(JsonWriter& json, const SelftestReport& report) {
    json.Key("canaries");
    json.BeginArray();
    for (unsigned i = 0; i < report.names.count(); ++i) {
        json.BeginObject();
        json.Field("name", report.names[i].name.text());
        json.Field("reason", NamesOf(kCanaryReasonNames, report.names[i].reason).json);
        json.EndObject();
    }
    json.EndArray();
    json.Key("places");
    json.BeginArray();
    for (unsigned place = 0; place < kPlaceCount; ++place) {
        json.BeginObject();
        json.Field("place", kCanaryPlaceNames[place].json);
        json.Field("folder", report.places[place].empty() ? nullptr : report.places[place].text());
        json.EndObject();
    }
    json.EndArray();
}

void JsonRun(JsonWriter& json, const SelftestReport& report, unsigned index) {
    const RunReport& run = report.runs[index];
    json.BeginObject();
    json.Field("run", index == 0 ? L"copy" : L"program");
    json.Field("path", index == 0 ? report.copy.text() : report.program.text());
    WriteJsonError(json, "startError", run.result.startError);
    json.FieldBool("ended", run.result.ended);
    json.Key("exitCode");
    if (run.result.startError != ERROR_SUCCESS || run.result.ended) {
        json.Null();
    } else {
        json.Unsigned(run.result.exitCode);
    }
    json.Key("canaries");
    json.BeginArray();
    for (unsigned place = index == 0 ? 0 : 1; place < kPlaceCount; ++place) {
        for (unsigned i = 0; i < report.names.count(); ++i) {
            TextBuffer file;
            JoinIntoBuffer(report.places[place].text(), report.names[i].name.text(), file);
            json.BeginObject();
            json.Field("place", kCanaryPlaceNames[place].json);
            json.Field("name", report.names[i].name.text());
            json.FieldBool("loaded", run.loaded[place][i]);
            json.Field("file", run.loaded[place][i] ? file.text() : nullptr);
            json.EndObject();
        }
    }
    json.EndArray();
    json.EndObject();
}

void JsonMembers(JsonWriter& json, const SelftestReport& report, int exitCode) {
    json.Field("program", report.program.text());
    json.Field("dllSearch", NamesOf(kDllSearchNames, report.dllSearch).json);
    JsonDriver(json, report);
    json.Key("knownDlls");
    json.BeginObject();
    json.FieldUnsigned("count", report.known.count);
    WriteJsonError(json, "error", static_cast<DWORD>(report.known.status));
    json.EndObject();
    JsonCanaries(json, report);
    json.Field("folder", report.folder.empty() ? nullptr : report.folder.text());
    json.Key("runs");
    json.BeginArray();
    for (unsigned index = 0; index < 2; ++index) {
        if (report.runs[index].made) {
            JsonRun(json, report, index);
        }
    }
    json.EndArray();
    json.Key("leftBehind");
    json.BeginArray();
    for (unsigned i = 0; i < report.left.count && i < kMaxLeftovers; ++i) {
        json.String(report.left.paths[i].text());
    }
    json.EndArray();
    json.Key("result");
    json.BeginObject();
    json.Field("outcome", exitCode == kExitSuccess   ? L"noneRan"
                          : exitCode == kExitFailure ? L"ran"
                                                     : L"notMade");
    json.FieldUnsigned("loaded", CountLoaded(report));
    json.Field("setback", NamesOf(kSetbackNames, report.setback).json);
    WriteJsonError(json, "error", report.error);
    json.FieldUnsigned("leftBehind", report.left.count);
    json.EndObject();
}

}  // namespace

int RunSelftest(const wchar_t* program, ReportFormat format, TextBuffer& out) {
    SelftestReport report;
    MakeTest(program, report);
    const int exitCode = ExitCodeOf(report);
    if (format == ReportFormat::kJson) {
        return WriteJsonReport(out, L"selftest", exitCode,
                               [&](JsonWriter& json) { JsonMembers(json, report, exitCode); })
                   ? exitCode
                   : kExitInternal;
    }
    WriteText(out, report);
    return exitCode;
}
