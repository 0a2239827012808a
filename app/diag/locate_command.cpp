#include "app/diag/locate_command.h"

#include "app/diag/error_names.h"
#include "app/diag/json_writer.h"
#include "app/diag/pe_image.h"
#include "loader/load_observer.h"
#include "loader/module_loader.h"
#include "loader/windows_version.h"

namespace {

constexpr unsigned kSourceCount = 5;

struct SourceDescription {
    LoadSource source;
    const char* label;     // for the text report
    const char* jsonName;  // for the JSON report
};

constexpr SourceDescription kSources[kSourceCount] = {
    {LoadSource::kDriverServices, "driver services", "driverServices"},
    {LoadSource::kClassKeyValues, "class-key values", "classKeyValues"},
    {LoadSource::kKhronosLists, "Khronos lists", "khronosLists"},
    {LoadSource::kSupportModules, "support modules", "supportModules"},
    {LoadSource::kDriverFolder, "driver folder", "driverFolder"},
};

// The longest source label and two spaces.
constexpr unsigned kSourceNameWidth = 18;

void AppendPadded(TextBuffer& out, const char* text, unsigned width) {
    unsigned length = 0;
    for (; text[length] != '\0'; ++length) {
    }
    out.AppendAscii(text);
    for (; length < width; ++length) {
        out.AppendChar(L' ');
    }
}

// Source numbers are 1 to 5 in search order; 0 is none.
unsigned SourceNumber(LoadSource source) {
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

    void Record(const LoadEvent& event) {
        seen = true;
        text.Set(event.path);
        error = event.error;
    }
};

// Everything the loader told while it decided, copied out of the events (whose texts live
// only as long as the report).
class LocateTrace final : public LoadObserver {
  public:
    LocateTrace() : LoadObserver(/*dryRun=*/true) {}

    void OnLoadStep(const LoadEvent& event) override {
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
                } else if (lstrcmpW(displayDevice.get(), event.path) != 0) {
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
            case LoadStep::kResult:
                resultSeen = true;
                resultError = event.error;
                break;
        }
    }

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
    bool resultSeen = false;
    DWORD resultError = ERROR_SUCCESS;

  private:
    void RecordSource(const LoadEvent& event) {
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
};

enum class LocateOutcome { kLoad, kRefused, kUnloadable };

// Why the loader refused, as far as the steps it reported tell.
enum class RefusalReason {
    kNone,
    kNameHasPath,      // refused before any step: not a bare file name
    kSearchFailed,     // a lookup of the driver's registrations failed
    kUntrustedFolder,  // the registered path lies outside the trusted folders
    kRelativePath,     // the registered path is relative
    kOther,
};

struct LocateReport {
    const wchar_t* name;
    ProcessFacts process;
    const LocateTrace* trace;
    bool fileRead = false;
    PeImageInfo file;
    LocateOutcome outcome = LocateOutcome::kRefused;
    RefusalReason reason = RefusalReason::kNone;
    DWORD error = ERROR_SUCCESS;
};

RefusalReason ExplainRefusal(const LocateTrace& trace, DWORD error) {
    if (!trace.gateSeen && error == ERROR_BAD_ARGUMENTS) {
        return RefusalReason::kNameHasPath;
    }
    if (trace.search.seen && !trace.search.text.present() && trace.search.error == error) {
        return RefusalReason::kSearchFailed;
    }
    if (trace.trustSeen && trace.trusted == TrustedFolder::kNone && error == ERROR_BAD_PATHNAME) {
        return RefusalReason::kUntrustedFolder;
    }
    if (trace.search.text.present() && !trace.trustSeen && error == ERROR_MOD_NOT_FOUND) {
        return RefusalReason::kRelativePath;
    }
    return RefusalReason::kOther;
}

void Decide(LocateReport& report) {
    const LocateTrace& trace = *report.trace;
    if (!trace.decisionSeen) {
        report.outcome = LocateOutcome::kRefused;
        report.error = trace.resultError;
        report.reason = ExplainRefusal(trace, report.error);
        return;
    }
    report.fileRead = true;
    report.file = ReadPeImageInfo(trace.decisionPath.get());
    report.error = LoadErrorFromHeaders(report.file);
    report.outcome =
        report.error == ERROR_SUCCESS ? LocateOutcome::kLoad : LocateOutcome::kUnloadable;
}

const wchar_t* MachineText(uint16_t machine) {
    const wchar_t* name = MachineName(machine);
    return name != nullptr ? name : L"other";
}

const wchar_t* TrustedFolderText(TrustedFolder folder) {
    switch (folder) {
        case TrustedFolder::kNone:
            return L"none";
        case TrustedFolder::kWindows:
            return L"Windows";
        case TrustedFolder::kProgramFiles:
            return L"Program Files";
        case TrustedFolder::kProgramFilesX86:
            return L"Program Files (x86)";
        case TrustedFolder::kAnyBeforeWindows7:
            return L"any (before Windows 7)";
    }
    return L"unknown";
}

const wchar_t* TrustedFolderJson(TrustedFolder folder) {
    switch (folder) {
        case TrustedFolder::kNone:
            return L"none";
        case TrustedFolder::kWindows:
            return L"windows";
        case TrustedFolder::kProgramFiles:
            return L"programFiles";
        case TrustedFolder::kProgramFilesX86:
            return L"programFilesX86";
        case TrustedFolder::kAnyBeforeWindows7:
            return L"anyBeforeWindows7";
    }
    return L"unknown";
}

const wchar_t* PlaceJson(ModulePlace place) {
    return place == ModulePlace::kDriverRegistration ? L"driverRegistration" : L"systemDirectory";
}

const wchar_t* OutcomeJson(LocateOutcome outcome) {
    switch (outcome) {
        case LocateOutcome::kLoad:
            return L"load";
        case LocateOutcome::kRefused:
            return L"refused";
        case LocateOutcome::kUnloadable:
            return L"unloadable";
    }
    return L"unknown";
}

const wchar_t* ReasonText(RefusalReason reason) {
    switch (reason) {
        case RefusalReason::kNone:
            return nullptr;
        case RefusalReason::kNameHasPath:
            return L"a module is named by its bare file name only";
        case RefusalReason::kSearchFailed:
            return L"a lookup of the driver's registrations failed, which fails the load";
        case RefusalReason::kUntrustedFolder:
            return L"the registered path lies outside the Windows and Program Files folders";
        case RefusalReason::kRelativePath:
            return L"the registered path is relative, and the working folder is not trusted";
        case RefusalReason::kOther:
            return nullptr;
    }
    return nullptr;
}

const wchar_t* ReasonJson(RefusalReason reason) {
    switch (reason) {
        case RefusalReason::kNone:
            return nullptr;
        case RefusalReason::kNameHasPath:
            return L"nameHasPath";
        case RefusalReason::kSearchFailed:
            return L"searchFailed";
        case RefusalReason::kUntrustedFolder:
            return L"untrustedFolder";
        case RefusalReason::kRelativePath:
            return L"relativePath";
        case RefusalReason::kOther:
            return L"other";
    }
    return nullptr;
}

// --- The text report ------------------------------------------------------------------------

void AppendError(TextBuffer& out, DWORD error) {
    out.AppendAscii("error ");
    AppendErrorDescription(out, error);
}

void TextProcess(TextBuffer& out, const ProcessFacts& process) {
    AppendLabel(out, "process");
    out.Append(MachineText(process.machine));
    if (process.wow64Known) {
        out.AppendAscii(process.wow64 ? ", under WOW64" : ", not under WOW64");
    }
    out.AppendChar(L'\n');
}

void TextGate(TextBuffer& out, const LocateTrace& trace) {
    if (!trace.gateSeen) {
        return;
    }
    AppendLabel(out, "Windows build");
    if (trace.buildNumber == 0) {
        out.AppendAscii("unreadable");
    } else {
        out.AppendDecimal(trace.buildNumber);
    }
    out.AppendAscii("; driver-located loading (from build ");
    out.AppendDecimal(kBuildDriverLocatedLoading);
    out.AppendAscii(", names beginning with \"nv\") ");
    out.AppendAscii(trace.driverLocated ? "applies\n" : "does not apply\n");
}

void TextReportedPath(TextBuffer& out, const char* label, const ReportedText& reported,
                      const wchar_t* prefix) {
    if (!reported.seen) {
        return;
    }
    AppendLabel(out, label);
    if (reported.text.present()) {
        out.Append(prefix);
        out.AppendPrintable(reported.text.get());
    } else if (reported.error != ERROR_SUCCESS) {
        AppendError(out, reported.error);
    } else {
        out.AppendAscii("none");
    }
    out.AppendChar(L'\n');
}

void TextSources(TextBuffer& out, const LocateTrace& trace) {
    out.AppendAscii("sources, in search order:\n");
    for (unsigned i = 0; i < kSourceCount; ++i) {
        const SourceTrace& source = trace.sources[i];
        out.AppendAscii("  ");
        out.AppendDecimal(i + 1);
        out.AppendChar(L' ');
        AppendPadded(out, kSources[i].label, kSourceNameWidth);
        if (!source.tried) {
            out.AppendAscii("not tried");
        } else if (source.found.present()) {
            out.AppendAscii("found ");
            out.AppendPrintable(source.found.get());
        } else if (source.error != ERROR_SUCCESS) {
            AppendError(out, source.error);
        } else {
            out.AppendAscii("nothing");
        }
        out.AppendChar(L'\n');
        if (kSources[i].source == LoadSource::kDriverFolder && trace.driverFolder.seen &&
            trace.driverFolder.text.present()) {
            out.AppendAscii("    looked in ");
            out.AppendPrintable(trace.driverFolder.text.get());
            out.AppendChar(L'\n');
        }
    }
}

void TextSearchEnd(TextBuffer& out, const LocateTrace& trace) {
    if (!trace.search.seen) {
        return;
    }
    AppendLabel(out, "search");
    const unsigned last = SourceNumber(trace.lastSource);
    if (trace.search.text.present()) {
        out.AppendAscii("stopped at source ");
        out.AppendDecimal(last);
        out.AppendAscii(", which names the module\n");
        return;
    }
    if (last == 0) {
        out.AppendAscii("stopped before the first source: ");
    } else if (trace.sources[last - 1].error != ERROR_SUCCESS) {
        out.AppendAscii("stopped at source ");
        out.AppendDecimal(last);
        out.AppendAscii(": ");
    } else {
        out.AppendAscii("no source names the module: ");
    }
    AppendError(out, trace.search.error);
    if (trace.search.error == ERROR_MOD_NOT_FOUND) {
        out.AppendAscii("; the loader goes on to the system directory");
    }
    out.AppendChar(L'\n');
}

void TextTrust(TextBuffer& out, const LocateTrace& trace) {
    if (!trace.trustSeen) {
        return;
    }
    AppendLabel(out, "trusted folder");
    out.Append(TrustedFolderText(trace.trusted));
    if (trace.trustFolder.present()) {
        out.AppendAscii(" (");
        out.AppendPrintable(trace.trustFolder.get());
        out.AppendChar(L')');
    }
    if (trace.trustPath.present()) {
        out.AppendAscii(trace.trusted == TrustedFolder::kNone ? " does not hold " : " holds ");
        out.AppendPrintable(trace.trustPath.get());
    }
    out.AppendChar(L'\n');
}

void TextDecision(TextBuffer& out, const LocateTrace& trace) {
    if (!trace.decisionSeen) {
        return;
    }
    AppendLabel(out, "decision");
    out.AppendAscii("load ");
    out.AppendPrintable(trace.decisionPath.get());
    out.AppendAscii(trace.decisionPlace == ModulePlace::kDriverRegistration
                        ? ", where the driver registered it\n"
                        : ", from the system directory\n");
}

void TextFile(TextBuffer& out, const LocateReport& report) {
    if (!report.fileRead) {
        return;
    }
    const PeImageInfo& file = report.file;
    AppendLabel(out, "file");
    if (file.status != PeHeaderStatus::kOk) {
        out.Append(DescribePeHeaderStatus(file.status));
        if (file.openError != ERROR_SUCCESS) {
            out.AppendAscii(": ");
            AppendError(out, file.openError);
        }
        out.AppendChar(L'\n');
        return;
    }
    out.Append(MachineText(file.machine));
    if (MachineName(file.machine) == nullptr) {
        out.AppendAscii(" machine ");
        out.AppendHex(file.machine, 4);
    }
    out.AppendAscii(IsDll(file) ? " DLL" : " image, not a DLL");
    out.AppendAscii("; this process (");
    out.Append(MachineText(ThisProcessMachine()));
    out.AppendAscii(CanThisProcessLoad(file) ? ") can load it\n" : ") cannot load it\n");
}

void TextResult(TextBuffer& out, const LocateReport& report) {
    AppendLabel(out, "result");
    switch (report.outcome) {
        case LocateOutcome::kLoad:
            out.AppendAscii("would load ");
            out.AppendPrintable(report.trace->decisionPath.get());
            break;
        case LocateOutcome::kUnloadable:
            out.AppendAscii("would fail to load ");
            out.AppendPrintable(report.trace->decisionPath.get());
            out.AppendAscii(": ");
            AppendError(out, report.error);
            break;
        case LocateOutcome::kRefused:
            out.AppendAscii("refused: ");
            AppendError(out, report.error);
            if (const wchar_t* reason = ReasonText(report.reason)) {
                out.AppendAscii(" (");
                out.Append(reason);
                out.AppendChar(L')');
            }
            break;
    }
    out.AppendChar(L'\n');
}

void WriteText(TextBuffer& out, const LocateReport& report) {
    const LocateTrace& trace = *report.trace;
    out.Append(kToolName);
    out.AppendChar(L' ');
    out.Append(kToolVersion);
    out.AppendAscii(": how dispset.exe's loader decides on ");
    out.AppendPrintable(report.name);
    out.AppendAscii(" (nothing is loaded)\n");
    TextProcess(out, report.process);
    TextGate(out, trace);
    if (trace.displayDevice.present()) {
        AppendLabel(out, "display device");
        out.AppendPrintable(trace.displayDevice.get());
        out.AppendChar(L'\n');
        if (trace.displayDeviceChanged) {
            out.AppendAscii("  (a later lookup selected another device)\n");
        }
    }
    TextReportedPath(out, "class key", trace.classKey, L"HKLM\\");
    if (trace.driverLocated) {
        TextSources(out, trace);
    }
    TextSearchEnd(out, trace);
    TextTrust(out, trace);
    TextDecision(out, trace);
    TextFile(out, report);
    TextResult(out, report);
}

// --- The JSON report ------------------------------------------------------------------------

void JsonReported(JsonWriter& json, const char* key, const ReportedText& reported) {
    json.Key(key);
    if (!reported.seen) {
        json.Null();
        return;
    }
    json.BeginObject();
    json.Field("path", reported.text.get());
    WriteJsonError(json, "error", reported.error);
    json.EndObject();
}

void JsonSources(JsonWriter& json, const LocateTrace& trace) {
    json.Key("sources");
    json.BeginArray();
    for (unsigned i = 0; i < kSourceCount; ++i) {
        const SourceTrace& source = trace.sources[i];
        if (!source.tried) {
            continue;
        }
        json.BeginObject();
        json.FieldUnsigned("number", i + 1);
        TextBuffer name;
        name.AppendAscii(kSources[i].jsonName);
        json.Field("source", name.text());
        json.Field("outcome", source.found.present()          ? L"found"
                              : source.error != ERROR_SUCCESS ? L"error"
                                                              : L"nothing");
        json.Field("path", source.found.get());
        WriteJsonError(json, "error", source.found.present() ? ERROR_SUCCESS : source.error);
        json.EndObject();
    }
    json.EndArray();
}

void JsonSearch(JsonWriter& json, const LocateTrace& trace) {
    json.Key("search");
    if (!trace.search.seen) {
        json.Null();
        return;
    }
    json.BeginObject();
    const unsigned last = SourceNumber(trace.lastSource);
    json.Key("stoppedAt");
    if (last == 0) {
        json.Null();
    } else {
        json.Unsigned(last);
    }
    json.Field("outcome", trace.search.text.present()                 ? L"found"
                          : trace.search.error == ERROR_MOD_NOT_FOUND ? L"notRegistered"
                                                                      : L"failed");
    json.Field("path", trace.search.text.get());
    WriteJsonError(json, "error", trace.search.error);
    json.EndObject();
}

void JsonTrust(JsonWriter& json, const LocateTrace& trace) {
    json.Key("trust");
    if (!trace.trustSeen) {
        json.Null();
        return;
    }
    json.BeginObject();
    json.Field("path", trace.trustPath.get());
    json.Field("folder", trace.trustFolder.get());
    json.Field("match", TrustedFolderJson(trace.trusted));
    json.FieldBool("trusted", trace.trusted != TrustedFolder::kNone);
    json.EndObject();
}

void JsonDecision(JsonWriter& json, const LocateTrace& trace) {
    json.Key("decision");
    if (!trace.decisionSeen) {
        json.Null();
        return;
    }
    json.BeginObject();
    json.Field("place", PlaceJson(trace.decisionPlace));
    json.Field("path", trace.decisionPath.get());
    json.EndObject();
}

void JsonFile(JsonWriter& json, const LocateReport& report) {
    json.Key("file");
    if (!report.fileRead) {
        json.Null();
        return;
    }
    const PeImageInfo& file = report.file;
    json.BeginObject();
    json.Field("path", report.trace->decisionPath.get());
    json.FieldBool("headersRead", file.status == PeHeaderStatus::kOk);
    json.Field("problem",
               file.status == PeHeaderStatus::kOk ? nullptr : DescribePeHeaderStatus(file.status));
    const bool machineRead = file.status == PeHeaderStatus::kOk ||
                             file.status == PeHeaderStatus::kNoOptionalHeader ||
                             file.status == PeHeaderStatus::kUnknownMagic ||
                             file.status == PeHeaderStatus::kMagicDoesNotMatch;
    if (machineRead) {
        json.Field("machine", MachineText(file.machine));
        json.FieldUnsigned("machineCode", file.machine);
        json.FieldBool("dll", IsDll(file));
    } else {
        json.FieldNull("machine");
        json.FieldNull("machineCode");
        json.FieldNull("dll");
    }
    json.FieldBool("loadable", CanThisProcessLoad(file));
    WriteJsonError(json, "error", file.openError);
    json.EndObject();
}

void JsonResult(JsonWriter& json, const LocateReport& report) {
    json.Key("result");
    json.BeginObject();
    json.Field("outcome", OutcomeJson(report.outcome));
    json.Field("path", report.outcome == LocateOutcome::kRefused
                           ? nullptr
                           : report.trace->decisionPath.get());
    json.Field("reason", ReasonJson(report.reason));
    WriteJsonError(json, "error", report.error);
    json.EndObject();
}

void WriteJson(TextBuffer& out, const LocateReport& report, int exitCode) {
    const LocateTrace& trace = *report.trace;
    JsonWriter json(out);
    json.BeginObject();
    WriteJsonHeader(json, L"locate");
    json.Field("name", report.name);
    json.Key("process");
    json.BeginObject();
    json.Field("machine", MachineText(report.process.machine));
    json.Key("wow64");
    if (report.process.wow64Known) {
        json.Bool(report.process.wow64);
    } else {
        json.Null();
    }
    json.EndObject();
    json.Key("windowsBuild");
    if (trace.gateSeen) {
        json.Unsigned(trace.buildNumber);
    } else {
        json.Null();
    }
    json.Key("driverLocated");
    if (trace.gateSeen) {
        json.Bool(trace.driverLocated);
    } else {
        json.Null();
    }
    json.Field("displayDevice", trace.displayDevice.get());
    JsonReported(json, "classKey", trace.classKey);
    JsonSources(json, trace);
    JsonReported(json, "driverFolder", trace.driverFolder);
    JsonSearch(json, trace);
    JsonTrust(json, trace);
    JsonDecision(json, trace);
    JsonFile(json, report);
    JsonResult(json, report);
    json.FieldSigned("exitCode", exitCode);
    json.EndObject();
    out.AppendChar(L'\n');
}

}  // namespace

int RunLocate(const wchar_t* name, ReportFormat format, TextBuffer& out) {
    LocateTrace trace;
    {
        // The program's own call: the name as given, flags 0. In the dry run the result is
        // always null; what the loader decided is in the trace.
        ScopedLoadObserver observing(trace);
        HMODULE module = LoadLibrarySecure(name, 0);
        if (module != nullptr) {
            // Cannot happen: the dry run stops every load of the module. Were it ever to
            // happen, the module would be let go at once.
            FreeLibrary(module);
        }
    }
    LocateReport report;
    report.name = name;
    report.process = GetProcessFacts();
    report.trace = &trace;
    Decide(report);
    const int exitCode = report.outcome == LocateOutcome::kLoad ? kExitSuccess : kExitFailure;
    if (format == ReportFormat::kJson) {
        WriteJson(out, report, exitCode);
    } else {
        WriteText(out, report);
    }
    return exitCode;
}
