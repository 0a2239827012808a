#include "app/diag/show_command.h"

#include <string.h>

#include "app/diag/json_writer.h"
#include "app/diag/watcher_presence.h"
#include "app/watch/watcher_status.h"
#include "driver_client/driver_client.h"

namespace {

// Long enough for any module path Windows can hand out.
constexpr DWORD kMaxModulePathChars = 32768;

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

DWORD NextModulePathCapacity(DWORD capacity) {
    return capacity >= kMaxModulePathChars / 2 ? kMaxModulePathChars : capacity * 2;
}

// The full path of the loaded nvapi.dll. GetModuleHandleW only looks among the modules that
// are loaded already; it never loads one.
void FindLoadedLibrary(OptionalText& library) {
    HMODULE module = GetModuleHandleW(kDriverLibraryName);
    if (module == nullptr) {
        return;
    }
    // Doubling from MAX_PATH passes 32768 at 33280: the last try is the limit itself, so
    // that a path of up to 32767 characters is still found.
    for (DWORD capacity = MAX_PATH;; capacity = NextModulePathCapacity(capacity)) {
        wchar_t* path = static_cast<wchar_t*>(
            HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, capacity * sizeof(wchar_t)));
        if (path == nullptr) {
            return;
        }
        const DWORD length = GetModuleFileNameW(module, path, capacity);
        const bool fits = length != 0 && length < capacity;
        if (fits) {
            library.Set(path);
        }
        HeapFree(GetProcessHeap(), 0, path);
        if (fits || length == 0 || capacity == kMaxModulePathChars) {
            return;
        }
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

// False when the writer was misused or its buffer failed: the document is then not one.
bool WriteJson(TextBuffer& out, const ShowReport& report, int exitCode) {
    JsonWriter json(out);
    json.BeginObject();
    WriteJsonHeader(json, L"show");
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
    json.FieldSigned("exitCode", exitCode);
    json.EndObject();
    out.AppendChar(L'\n');
    return json.complete();
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

bool WriteCheckJson(TextBuffer& out, const ShowReport& report, DWORD exitCode) {
    static const wchar_t* const kOutcomes[] = {L"held", L"dropped", L"notRead"};
    JsonWriter json(out);
    json.BeginObject();
    WriteJsonHeader(json, L"check");
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
    json.FieldUnsigned("exitCode", exitCode);
    json.EndObject();
    out.AppendChar(L'\n');
    return json.complete();
}

}  // namespace

int RunShow(ReportFormat format, TextBuffer& out) {
    ShowReport report;
    ReadDisplayRecord(report);
    report.watcher = FindSessionWatcher();
    const int exitCode = RecordRead(report) ? kExitSuccess : kExitFailure;
    if (format == ReportFormat::kJson) {
        return WriteJson(out, report, exitCode) ? exitCode : kExitInternal;
    }
    WriteText(out, report);
    return exitCode;
}

int RunCheck(ReportFormat format, TextBuffer& out) {
    ShowReport report;
    ReadDisplayRecord(report);
    const DWORD exitCode = CheckExitCode(report);
    if (format == ReportFormat::kJson) {
        return WriteCheckJson(out, report, exitCode) ? static_cast<int>(exitCode) : kExitInternal;
    }
    WriteCheckText(out, report, exitCode);
    return static_cast<int>(exitCode);
}
