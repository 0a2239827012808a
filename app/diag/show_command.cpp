#include "app/diag/show_command.h"

#include <string.h>

#include "app/diag/json_writer.h"
#include "app/diag/watcher_presence.h"
#include "app/common/watcher_contract.h"
#include "base/module_path.h"
#include "driver_client/driver_client.h"

namespace {

struct CallResult {
    const wchar_t* name;
    bool made = false;
    DriverStatus status = kDriverOk;
};

struct ShowReport {
    CallResult initialize{L"InitializeDriverInterface"};
    CallResult enumGpus{L"EnumPhysicalGpus"};
    CallResult enumDisplay{L"EnumDisplayHandle"};
    CallResult query{L"QueryDisplayRecord"};
    OptionalText library;
    uint32_t gpuCount = 0;
    DisplayHandle display = 0;
    DisplayRecord record = {};
    uint32_t companion = 0;
    WatcherState watcher;
};

// What a status means, for the text report and as its JSON name; any status not listed is
// the driver's own (the last entry).
struct StatusNames {
    DriverStatus status;
    const wchar_t* text;
    const wchar_t* json;
};

constexpr StatusNames kStatusNames[] = {
    {kDriverOk, L"ok", L"ok"},
    {kDriverError,
     L"error: the library lacks nvapi_QueryInterface or the driver's initialize entry", L"error"},
    {kDriverLibraryNotFound,
     L"library not found: the loader loaded no nvapi.dll (dispset-diag locate tells why)",
     L"libraryNotFound"},
    {kDriverNoEntryPoint, L"entry point missing: the driver does not provide this call",
     L"noEntryPoint"},
    {0, L"the driver's own status", L"driverStatus"},
};

const StatusNames& NamesOf(DriverStatus status) {
    constexpr size_t kDriverOwn = sizeof(kStatusNames) / sizeof(kStatusNames[0]) - 1;
    for (size_t i = 0; i < kDriverOwn; ++i) {
        if (kStatusNames[i].status == status) {
            return kStatusNames[i];
        }
    }
    return kStatusNames[kDriverOwn];
}

// The full path of the loaded nvapi.dll. GetModuleHandleW only looks among the modules that
// are loaded already; it never loads one.
void FindLoadedLibrary(OptionalText& library) {
    HMODULE module = GetModuleHandleW(kDriverLibraryName);
    if (module == nullptr) {
        return;
    }
    const LocalString path = GetModuleFileNameAlloc(module);
    if (path) {
        library.Set(path.get());
    }
}

// The program's calls in the program's order, without its last: the record is read and the
// setting left as it is. As in the program, a failed call does not stop the ones after it;
// only a failed initialisation ends the run.
void ReadDisplayRecord(ShowReport& report) {
    report.initialize.made = true;
    report.initialize.status = InitializeDriverInterface();
    if (report.initialize.status != kDriverOk) {
        return;
    }
    FindLoadedLibrary(report.library);
    GpuHandle gpus[kMaxPhysicalGpus];
    memset(gpus, 0, sizeof(gpus));
    report.enumGpus.made = true;
    report.enumGpus.status = EnumPhysicalGpus(gpus, &report.gpuCount);
    report.enumDisplay.made = true;
    report.enumDisplay.status = EnumDisplayHandle(0, &report.display);
    memset(&report.record, 0, sizeof(report.record));
    report.record.version = kDisplayRecordVersionWord;
    report.query.made = true;
    report.query.status = QueryDisplayRecord(report.display, &report.record, &report.companion);
}

bool RecordRead(const ShowReport& report) {
    return report.query.made && report.query.status == kDriverOk;
}

// The call whose status the result reports: the read itself, or the initialisation that
// kept it from being made.
const CallResult& DecidingCall(const ShowReport& report) {
    return report.query.made ? report.query : report.initialize;
}

// --- The text report ------------------------------------------------------------------------

void AppendStatus(TextBuffer& out, DriverStatus status) {
    out.AppendAscii("status ");
    out.AppendSigned(status);
    out.AppendAscii(", ");
    out.Append(NamesOf(status).text);
}

// "not read: CALL status N, meaning": the call that kept the record from being read.
void AppendNotRead(TextBuffer& out, const ShowReport& report) {
    const CallResult& call = DecidingCall(report);
    out.AppendAscii("not read: ");
    out.Append(call.name);
    out.AppendChar(L' ');
    AppendStatus(out, call.status);
}

void WriteText(TextBuffer& out, const ShowReport& report) {
    out.Append(kToolName);
    out.AppendChar(L' ');
    out.Append(kToolVersion);
    out.AppendAscii(
        ": display 0's record through dispset.exe's driver client (nothing is "
        "applied)\n");
    if (report.library.present()) {
        AppendLabel(out, "library");
        out.AppendPrintable(report.library.get());
        out.AppendChar(L'\n');
    }
    AppendLabel(out, "initialize");
    AppendStatus(out, report.initialize.status);
    out.AppendChar(L'\n');
    if (report.enumGpus.made) {
        AppendLabel(out, "GPUs");
        out.AppendDecimal(report.gpuCount);
        out.AppendAscii(" (");
        AppendStatus(out, report.enumGpus.status);
        out.AppendAscii(")\n");
        AppendLabel(out, "display 0");
        out.AppendAscii("handle ");
        out.AppendHex(report.display, 8);
        out.AppendAscii(" (");
        AppendStatus(out, report.enumDisplay.status);
        out.AppendAscii(")\n");
        AppendLabel(out, "record");
        AppendStatus(out, report.query.status);
        out.AppendChar(L'\n');
    }
    if (RecordRead(report)) {
        AppendLabel(out, "setting");
        out.AppendDecimal(report.record.setting);
        out.AppendAscii(" (the 32-bit field at offset 72)\n");
        AppendLabel(out, "companion value");
        out.AppendHex(report.companion, 8);
        out.AppendAscii(" (");
        out.AppendDecimal(report.companion);
        out.AppendAscii(")\n");
    }
    AppendWatcherLine(out, report.watcher);
    AppendLabel(out, "result");
    if (RecordRead(report)) {
        out.AppendAscii("record read; the setting is ");
        out.AppendDecimal(report.record.setting);
    } else {
        AppendNotRead(out, report);
    }
    out.AppendChar(L'\n');
}

// --- The JSON report ------------------------------------------------------------------------

void JsonStatus(JsonWriter& json, const CallResult& call) {
    json.FieldSigned("status", call.status);
    json.Field("meaning", NamesOf(call.status).json);
}

void JsonCalls(JsonWriter& json, const ShowReport& report) {
    json.Key("calls");
    json.BeginArray();
    const CallResult* const calls[] = {&report.initialize, &report.enumGpus, &report.enumDisplay,
                                       &report.query};
    for (const CallResult* call : calls) {
        if (!call->made) {
            continue;
        }
        json.BeginObject();
        json.Field("call", call->name);
        JsonStatus(json, *call);
        json.EndObject();
    }
    json.EndArray();
}

// "result": {"outcome": ..., and the call that decided it with its status}.
void JsonResult(JsonWriter& json, const ShowReport& report, const wchar_t* outcome) {
    json.Key("result");
    json.BeginObject();
    json.Field("outcome", outcome);
    const CallResult& call = DecidingCall(report);
    json.Field("call", call.name);
    JsonStatus(json, call);
    json.EndObject();
}

// The report's own JSON members (WriteJsonReport writes the rest).
void JsonMembers(JsonWriter& json, const ShowReport& report) {
    json.Field("library", report.library.get());
    JsonCalls(json, report);
    if (report.enumGpus.made) {
        json.FieldUnsigned("gpuCount", report.gpuCount);
        json.FieldUnsigned("displayHandle", report.display);
    } else {
        json.FieldNull("gpuCount");
        json.FieldNull("displayHandle");
    }
    if (RecordRead(report)) {
        json.FieldUnsigned("setting", report.record.setting);
        json.FieldUnsigned("companion", report.companion);
    } else {
        json.FieldNull("setting");
        json.FieldNull("companion");
    }
    WriteJsonWatcher(json, report.watcher);
    JsonResult(json, report, RecordRead(report) ? L"read" : L"notRead");
}

// --- The check ------------------------------------------------------------------------------

// Whether the driver reports the setting that dispset.exe applies, as the watcher reads it
// from the exit code.
DWORD CheckExitCode(const ShowReport& report) {
    if (!RecordRead(report)) {
        return kCheckNotRead;
    }
    return report.record.setting == kDisplaySettingValue ? kCheckSettingHeld : kCheckSettingDropped;
}

void WriteCheckText(TextBuffer& out, const ShowReport& report, DWORD exitCode) {
    AppendLabel(out, "result");
    if (exitCode == kCheckNotRead) {
        AppendNotRead(out, report);
    } else {
        out.AppendAscii("the setting is ");
        out.AppendDecimal(report.record.setting);
        out.AppendAscii(exitCode == kCheckSettingHeld ? ", as dispset.exe applies it" : ", not ");
        if (exitCode == kCheckSettingDropped) {
            out.AppendDecimal(kDisplaySettingValue);
            out.AppendAscii(": the driver has a value of its own");
        }
    }
    out.AppendChar(L'\n');
}

void CheckJsonMembers(JsonWriter& json, const ShowReport& report, DWORD exitCode) {
    static const wchar_t* const kOutcomes[] = {L"held", L"dropped", L"notRead"};
    json.Field("library", report.library.get());
    if (RecordRead(report)) {
        json.FieldUnsigned("setting", report.record.setting);
    } else {
        json.FieldNull("setting");
    }
    JsonResult(json, report,
               kOutcomes[exitCode == kCheckSettingHeld ? 0
                         : exitCode == kCheckNotRead   ? 2
                                                       : 1]);
}

}  // namespace

int RunShow(ReportFormat format, TextBuffer& out) {
    ShowReport report;
    ReadDisplayRecord(report);
    report.watcher = FindSessionWatcher();
    const int exitCode = RecordRead(report) ? kExitSuccess : kExitFailure;
    if (format == ReportFormat::kJson) {
        return WriteJsonReport(out, L"show", exitCode,
                               [&](JsonWriter& json) { JsonMembers(json, report); })
                   ? exitCode
                   : kExitInternal;
    }
    WriteText(out, report);
    return exitCode;
}

int RunCheck(ReportFormat format, TextBuffer& out) {
    ShowReport report;
    ReadDisplayRecord(report);
    const DWORD exitCode = CheckExitCode(report);
    if (format == ReportFormat::kJson) {
        const int code = static_cast<int>(exitCode);
        return WriteJsonReport(out, L"check", code,
                               [&](JsonWriter& json) { CheckJsonMembers(json, report, exitCode); })
                   ? code
                   : kExitInternal;
    }
    WriteCheckText(out, report, exitCode);
    return static_cast<int>(exitCode);
}
