#include "app/diag/watcher_status_report.h"

#include <string.h>

#include "app/diag/error_names.h"
#include "app/diag/report.h"
#include "driver_client/driver_contract.h"
#include "base/scoped_owner.h"

namespace {

// The watcher writes its record in microseconds; a reader that finds it mid-write waits a
// moment and tries again, a few times.
constexpr int kCopyTries = 5;
constexpr DWORD kRetryMilliseconds = 10;

struct Names {
    const char* text;
    const char* json;
};

constexpr Names kCauseNames[kRunCauseCount] = {
    {"start", "start"},
    {"display change", "displayChange"},
    {"resume", "resume"},
    {"display on", "displayOn"},
    {"session return", "sessionReturn"},
    {"device arrival", "deviceArrival"},
    {"re-apply", "reapply"},
};

constexpr const char* kOutcomeNames[kChildOutcomeCount] = {
    "none", "running", "exited", "notStarted", "endedAtLimit",
};

constexpr Names kProblemNames[] = {
    {"", "none"},
    {"", "absent"},
    {"the watcher publishes no status (an older watcher, or another program took the "
     "section's name before it started)",
     "notPublished"},
    {"a status section without a watcher is not the watcher's", "withoutWatcher"},
    {"the section cannot be read: error ", "cannotOpen"},
    {"it kept changing while it was read", "changing"},
    {"it is not a status this dispset-diag knows, or it is damaged", "notValid"},
};

// --- Reading ------------------------------------------------------------------------------

LONG ReadSequence(const WatcherStatus* shared) {
    MemoryBarrier();
    const LONG sequence = *static_cast<const volatile LONG*>(&shared->sequence);
    MemoryBarrier();
    return sequence;
}

bool IsReadableTime(const FILETIME& time) {
    SYSTEMTIME parts;
    return (time.dwLowDateTime != 0 || time.dwHighDateTime != 0) &&
           FileTimeToSystemTime(&time, &parts);
}

// A run has a known cause, a check none; an outcome that is known, and a time unless there
// is no such child yet (then every field is 0).
bool IsKnownChild(const WatcherChildRecord& record, bool check) {
    if (record.outcome >= kChildOutcomeCount ||
        (check ? record.cause != 0 : record.cause >= kRunCauseCount)) {
        return false;
    }
    if (record.outcome == static_cast<uint32_t>(ChildOutcome::kNone)) {
        return record.time.dwLowDateTime == 0 && record.time.dwHighDateTime == 0 &&
               record.cause == 0 && record.code == 0;
    }
    return IsReadableTime(record.time);
}

bool IsValid(const WatcherStatus& status) {
    if (status.magic != kWatcherStatusMagic || status.version != kWatcherStatusVersion ||
        status.size != sizeof(WatcherStatus) || !IsReadableTime(status.started) ||
        !IsKnownChild(status.lastRun, false) || !IsKnownChild(status.lastCheck, true)) {
        return false;
    }
    uint64_t runs = 0;
    for (uint32_t count : status.runs) {
        runs += count;
    }
    const bool ran = status.lastRun.outcome != static_cast<uint32_t>(ChildOutcome::kNone);
    const bool checked = status.lastCheck.outcome != static_cast<uint32_t>(ChildOutcome::kNone);
    // The counters agree with the last records and with each other: a burst is given up by
    // a check, and only runs and checks are ended.
    return (runs != 0) == ran && (!ran || status.runs[status.lastRun.cause] != 0) &&
           (status.checks != 0) == checked && status.burstsGivenUp <= status.checks &&
           status.childrenEnded <= runs + status.checks;
}

// A copy taken between two equal even sequence values, then validated.
StatusProblem CopyStatusRecord(const WatcherStatus* shared, WatcherStatus& copy) {
    for (int attempt = 0; attempt < kCopyTries; ++attempt) {
        if (attempt > 0) {
            Sleep(kRetryMilliseconds);
        }
        const LONG before = ReadSequence(shared);
        if ((before & 1) != 0) {
            continue;
        }
        memcpy(&copy, shared, sizeof(copy));
        if (ReadSequence(shared) == before) {
            return copy.sequence == before && IsValid(copy) ? StatusProblem::kNone
                                                            : StatusProblem::kNotValid;
        }
    }
    return StatusProblem::kChanging;
}

// --- Writing ------------------------------------------------------------------------------

void AppendTwoDigits(TextBuffer& out, WORD value) {
    if (value < 10) {
        out.AppendChar(L'0');
    }
    out.AppendDecimal(value);
}

// "2025-01-02 03:04:05 UTC", or in JSON "2025-01-02T03:04:05Z". Validated times only.
void AppendTime(TextBuffer& out, const FILETIME& time, bool json) {
    SYSTEMTIME parts = {};
    FileTimeToSystemTime(&time, &parts);
    out.AppendDecimal(parts.wYear);
    out.AppendChar(L'-');
    AppendTwoDigits(out, parts.wMonth);
    out.AppendChar(L'-');
    AppendTwoDigits(out, parts.wDay);
    out.AppendChar(json ? L'T' : L' ');
    AppendTwoDigits(out, parts.wHour);
    out.AppendChar(L':');
    AppendTwoDigits(out, parts.wMinute);
    out.AppendChar(L':');
    AppendTwoDigits(out, parts.wSecond);
    out.AppendAscii(json ? "Z" : " UTC");
}

const char* CheckMeaning(DWORD code) {
    switch (code) {
        case kCheckSettingHeld:
            return "the setting is ";
        case kCheckSettingDropped:
            return "the driver had another value than ";
        case kCheckNotRead:
            return "the record could not be read";
    }
    return "dispset-diag failed";
}

void AppendChild(TextBuffer& out, const WatcherChildRecord& record, bool check) {
    AppendTime(out, record.time, false);
    if (!check) {
        out.AppendAscii(", ");
        out.AppendAscii(kCauseNames[record.cause].text);
    }
    out.AppendAscii(": ");
    switch (static_cast<ChildOutcome>(record.outcome)) {
        case ChildOutcome::kRunning:
            out.AppendAscii("running");
            break;
        case ChildOutcome::kExited:
            out.AppendAscii("exit code ");
            out.AppendDecimal(record.code);
            if (check) {
                out.AppendAscii(", ");
                out.AppendAscii(CheckMeaning(record.code));
                if (record.code == kCheckSettingHeld || record.code == kCheckSettingDropped) {
                    out.AppendDecimal(kDisplaySettingValue);
                }
            }
            break;
        case ChildOutcome::kNotStarted:
            out.AppendAscii("could not be started: error ");
            AppendErrorDescription(out, record.code);
            break;
        case ChildOutcome::kEndedAtLimit:
            out.AppendAscii("ended at the time limit (it hung)");
            break;
        case ChildOutcome::kNone:
            break;
    }
    out.AppendChar(L'\n');
}

void AppendRuns(TextBuffer& out, const WatcherStatus& status) {
    uint64_t total = 0;
    for (uint32_t count : status.runs) {
        total += count;
    }
    out.AppendDecimal(total);
    const char* separator = " (";
    for (uint32_t cause = 0; cause < kRunCauseCount; ++cause) {
        if (status.runs[cause] != 0) {
            out.AppendAscii(separator);
            out.AppendAscii(kCauseNames[cause].text);
            out.AppendChar(L' ');
            out.AppendDecimal(status.runs[cause]);
            separator = ", ";
        }
    }
    out.AppendAscii(total != 0 ? ")\n" : "\n");
}

void AppendRecordLines(TextBuffer& out, const WatcherStatus& status) {
    AppendLabel(out, "  started");
    AppendTime(out, status.started, false);
    out.AppendChar(L'\n');
    AppendLabel(out, "  runs");
    AppendRuns(out, status);
    if (status.lastRun.outcome != static_cast<uint32_t>(ChildOutcome::kNone)) {
        AppendLabel(out, "  last run");
        AppendChild(out, status.lastRun, false);
    }
    AppendLabel(out, "  checks");
    out.AppendDecimal(status.checks);
    out.AppendChar(L'\n');
    if (status.lastCheck.outcome != static_cast<uint32_t>(ChildOutcome::kNone)) {
        AppendLabel(out, "  last check");
        AppendChild(out, status.lastCheck, true);
    }
    AppendLabel(out, "  given up");
    out.AppendDecimal(status.burstsGivenUp);
    out.AppendAscii(" (bursts whose setting the driver kept against every re-apply)\n");
    AppendLabel(out, "  ended at limit");
    out.AppendDecimal(status.childrenEnded);
    out.AppendAscii(" (runs and checks that hung)\n");
}

void JsonAscii(JsonWriter& json, const char* key, const char* value) {
    TextBuffer text;
    text.AppendAscii(value);
    json.Field(key, text.text());
}

void JsonTime(JsonWriter& json, const char* key, const FILETIME& time) {
    TextBuffer text;
    AppendTime(text, time, true);
    json.Field(key, text.text());
}

void JsonChild(JsonWriter& json, const char* key, const WatcherChildRecord& record, bool check) {
    json.Key(key);
    if (record.outcome == static_cast<uint32_t>(ChildOutcome::kNone)) {
        json.Null();
        return;
    }
    json.BeginObject();
    JsonTime(json, "time", record.time);
    if (!check) {
        JsonAscii(json, "cause", kCauseNames[record.cause].json);
    }
    JsonAscii(json, "outcome", kOutcomeNames[record.outcome]);
    const auto outcome = static_cast<ChildOutcome>(record.outcome);
    if (outcome == ChildOutcome::kExited) {
        json.FieldUnsigned("exitCode", record.code);
    } else {
        json.FieldNull("exitCode");
    }
    WriteJsonError(json, "error", outcome == ChildOutcome::kNotStarted ? record.code : 0);
    json.EndObject();
}

void JsonRecord(JsonWriter& json, const WatcherStatus& status) {
    JsonTime(json, "started", status.started);
    json.Key("runs");
    json.BeginObject();
    for (uint32_t cause = 0; cause < kRunCauseCount; ++cause) {
        json.FieldUnsigned(kCauseNames[cause].json, status.runs[cause]);
    }
    json.EndObject();
    JsonChild(json, "lastRun", status.lastRun, false);
    json.FieldUnsigned("checks", status.checks);
    JsonChild(json, "lastCheck", status.lastCheck, true);
    json.FieldUnsigned("burstsGivenUp", status.burstsGivenUp);
    json.FieldUnsigned("childrenEnded", status.childrenEnded);
}

}  // namespace

StatusReading ReadSessionStatus(bool watcherRuns) {
    StatusReading reading;
    KernelHandle section(OpenFileMappingW(FILE_MAP_READ, FALSE, kWatcherStatusName));
    if (!section) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) {
            reading.problem = watcherRuns ? StatusProblem::kNotPublished : StatusProblem::kAbsent;
        } else {
            reading.problem =
                watcherRuns ? StatusProblem::kCannotOpen : StatusProblem::kWithoutWatcher;
            reading.error = watcherRuns ? error : ERROR_SUCCESS;
        }
        return reading;
    }
    if (!watcherRuns) {
        reading.problem = StatusProblem::kWithoutWatcher;
        return reading;
    }
    // Windows maps no more than the section holds: a smaller one fails here. (Wine maps the
    // rest of its last page, zeros, which are no valid record either.)
    MappedView view(MapViewOfFile(section.get(), FILE_MAP_READ, 0, 0, sizeof(WatcherStatus)));
    if (!view) {
        reading.problem = StatusProblem::kCannotOpen;
        reading.error = GetLastError();
        return reading;
    }
    reading.problem =
        CopyStatusRecord(static_cast<const WatcherStatus*>(view.get()), reading.status);
    return reading;
}

void AppendStatusLines(TextBuffer& out, const StatusReading& reading) {
    if (reading.problem == StatusProblem::kAbsent) {
        return;
    }
    if (reading.problem == StatusProblem::kNone) {
        AppendRecordLines(out, reading.status);
        return;
    }
    AppendLabel(out, "  status");
    out.AppendAscii("cannot tell: ");
    out.AppendAscii(kProblemNames[static_cast<size_t>(reading.problem)].text);
    if (reading.problem == StatusProblem::kCannotOpen) {
        AppendErrorDescription(out, reading.error);
    }
    out.AppendChar(L'\n');
}

void WriteJsonStatus(JsonWriter& json, const StatusReading& reading) {
    json.Key("status");
    if (reading.problem == StatusProblem::kAbsent) {
        json.Null();
        return;
    }
    json.BeginObject();
    json.FieldBool("readable", reading.problem == StatusProblem::kNone);
    if (reading.problem == StatusProblem::kNone) {
        JsonRecord(json, reading.status);
    } else {
        JsonAscii(json, "problem", kProblemNames[static_cast<size_t>(reading.problem)].json);
        WriteJsonError(json, "error", reading.error);
    }
    json.EndObject();
}
