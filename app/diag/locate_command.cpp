#include "app/diag/locate_command.h"

#include <wchar.h>

#include "app/diag/error_names.h"
#include "app/diag/json_writer.h"
#include "app/diag/locate_model.h"
#include "app/diag/pe_image.h"
#include "base/scoped_owner.h"
#include "loader/load_observer.h"
#include "loader/module_loader.h"
#include "loader/windows_version.h"

namespace {

// The longest source label and two spaces.
constexpr unsigned kSourceNameWidth = 18;

// Everything a report shows: the trace, the file looked at and the decision.
struct LocateReport {
    const wchar_t* name;
    ProcessFacts process;
    DllSearchRestriction dllSearch;
    const LocateTrace* trace;
    const OptionalText& file;  // what LoadLibraryExW would open; absent when no path was decided
    PeImageInfo headers;
    LocateDecision decision;
};

const wchar_t* MachineText(uint16_t machine) {
    const wchar_t* name = MachineName(machine);
    return name != nullptr ? name : L"other";
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

void TextDllSearch(TextBuffer& out, DllSearchRestriction restriction) {
    AppendLabel(out, "DLL search");
    out.Append(NamesOf(kDllSearchNames, restriction).text);
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
        AppendPadded(out, kSourceNames[i + 1].text, kSourceNameWidth);
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
        if (kSourceNames[i + 1].value == LoadSource::kDriverFolder && trace.driverFolder.seen &&
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
    out.Append(NamesOf(kTrustedFolderNames, trace.trusted).text);
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
    out.AppendAscii(", ");
    out.Append(NamesOf(kPlaceNames, trace.decisionPlace).text);
    out.AppendChar(L'\n');
}

// The file's name, when LoadLibraryExW's extension rule makes it differ from the path.
void TextFileName(TextBuffer& out, const LocateReport& report) {
    const wchar_t* path = report.trace->decisionPath.get();
    if (!report.file.present() || wcscmp(report.file.get(), path) == 0) {
        return;
    }
    AppendLabel(out, "file name");
    out.AppendPrintable(report.file.get());
    const ptrdiff_t grown =
        static_cast<ptrdiff_t>(wcslen(report.file.get())) - static_cast<ptrdiff_t>(wcslen(path));
    out.AppendAscii(grown > 0   ? " (LoadLibraryExW adds .dll to a name without an extension)\n"
                    : grown < 0 ? " (LoadLibraryExW's name: a trailing dot means no extension)\n"
                                : " (the name LoadLibraryExW opens)\n");
}

void TextFile(TextBuffer& out, const LocateReport& report) {
    if (!report.file.present()) {
        return;
    }
    TextFileName(out, report);
    const PeImageInfo& file = report.headers;
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

// Why the loader refused, as it told it; a failed search names the source that failed.
void TextRefusalReason(TextBuffer& out, const LocateDecision& decision) {
    const wchar_t* reason = NamesOf(kRefusalNames, decision.reason).text;
    if (reason == nullptr) {
        return;
    }
    out.AppendAscii(" (");
    out.Append(reason);
    if (decision.reason == LoadRefusal::kSearchFailed) {
        if (decision.failedSource == LoadSource::kNone) {
            out.AppendAscii("; it failed before the first source");
        } else {
            out.AppendAscii("; it failed at source ");
            out.AppendDecimal(SourceNumber(decision.failedSource));
            out.AppendAscii(", ");
            out.Append(NamesOf(kSourceNames, decision.failedSource).text);
        }
    }
    out.AppendChar(L')');
}

void TextResult(TextBuffer& out, const LocateReport& report) {
    const LocateDecision& decision = report.decision;
    AppendLabel(out, "result");
    out.Append(NamesOf(kOutcomeNames, decision.outcome).text);
    if (decision.outcome == LocateOutcome::kRefused) {
        out.AppendAscii(": ");
        AppendError(out, decision.error);
        TextRefusalReason(out, decision);
    } else {
        out.AppendChar(L' ');
        out.AppendPrintable(report.file.get());
        if (decision.outcome == LocateOutcome::kUnloadable) {
            out.AppendAscii(": ");
            AppendError(out, decision.error);
        }
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
    TextDllSearch(out, report.dllSearch);
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
        json.Field("source", kSourceNames[i + 1].json);
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
    json.Field("match", NamesOf(kTrustedFolderNames, trace.trusted).json);
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
    json.Field("place", NamesOf(kPlaceNames, trace.decisionPlace).json);
    json.Field("path", trace.decisionPath.get());
    json.EndObject();
}

void JsonFile(JsonWriter& json, const LocateReport& report) {
    json.Key("file");
    if (!report.file.present()) {
        json.Null();
        return;
    }
    const PeImageInfo& file = report.headers;
    json.BeginObject();
    json.Field("path", report.file.get());
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
    const LocateDecision& decision = report.decision;
    const bool refused = decision.outcome == LocateOutcome::kRefused;
    json.Key("result");
    json.BeginObject();
    json.Field("outcome", NamesOf(kOutcomeNames, decision.outcome).json);
    json.Field("path", refused ? nullptr : report.file.get());
    json.Field("reason", refused ? NamesOf(kRefusalNames, decision.reason).json : nullptr);
    json.Key("failedSource");
    if (decision.reason == LoadRefusal::kSearchFailed &&
        decision.failedSource != LoadSource::kNone) {
        json.Unsigned(SourceNumber(decision.failedSource));
    } else {
        json.Null();
    }
    WriteJsonError(json, "error", decision.error);
    json.EndObject();
}

// The report's own JSON members (WriteJsonReport writes the rest).
void JsonMembers(JsonWriter& json, const LocateReport& report) {
    const LocateTrace& trace = *report.trace;
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
    json.Field("dllSearch", NamesOf(kDllSearchNames, report.dllSearch).json);
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
}

}  // namespace

bool LocateModule(const wchar_t* name, LocateResult& result) {
    {
        // The program's own call: the name as given, flags 0. In the dry run the result is
        // always null; what the loader decided is in the trace.
        ScopedLoadObserver observing(result.trace);
        // Cannot hold a module: the dry run stops every load of the module. Were it ever to
        // hold one, the module would be let go at once.
        const LoadedModule module(LoadLibrarySecure(name, 0));
    }
    if (result.trace.decisionSeen) {
        // The file is looked at by the name that LoadLibraryExW would open.
        if (!FileLoadLibraryOpens(result.trace.decisionPath.get(), result.file)) {
            return false;
        }
        result.headers = ReadPeImageInfo(result.file.get());
    }
    result.decision = Decide(result.trace, result.headers);
    return true;
}

int RunLocate(const wchar_t* name, ReportFormat format, TextBuffer& out) {
    LocateResult located;
    if (!LocateModule(name, located)) {
        return kExitInternal;
    }
    const LocateReport report{name,
                              GetProcessFacts(),
                              DllSearchRestrictionInForce(),
                              &located.trace,
                              located.file,
                              located.headers,
                              located.decision};
    const int exitCode =
        report.decision.outcome == LocateOutcome::kLoad ? kExitSuccess : kExitFailure;
    if (format == ReportFormat::kJson) {
        return WriteJsonReport(out, L"locate", exitCode,
                               [&](JsonWriter& json) { JsonMembers(json, report); })
                   ? exitCode
                   : kExitInternal;
    }
    WriteText(out, report);
    return exitCode;
}
