#include "app/diag/watcher_presence.h"

#include "app/diag/error_names.h"
#include "app/diag/report.h"
#include "app/common/watcher_contract.h"
#include "base/scoped_owner.h"

namespace {

WatcherState FindWatcherMutex() {
    WatcherState state;
    const KernelHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, kWatcherMutexName));
    if (mutex) {
        state.presence = WatcherPresence::kRunning;
        return state;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) {
        state.presence = WatcherPresence::kNotRunning;
        return state;
    }
    // A mutex of that name that this process may not open is not the watcher's: the watcher
    // runs as this session's user, with that user's default security. Anything in the
    // session can create such a name first, so it tells nothing.
    state.error = error;
    return state;
}

}  // namespace

WatcherState FindSessionWatcher() {
    WatcherState state = FindWatcherMutex();
    state.status = ReadSessionStatus(state.presence == WatcherPresence::kRunning);
    return state;
}

void AppendWatcherLine(TextBuffer& out, const WatcherState& state) {
    AppendLabel(out, "watcher");
    switch (state.presence) {
        case WatcherPresence::kRunning:
            out.AppendAscii(
                "running in this session (dispset-watch applies the setting again "
                "after every event that can reset it)");
            break;
        case WatcherPresence::kNotRunning:
            out.AppendAscii("not running in this session");
            break;
        case WatcherPresence::kUnknown:
            out.AppendAscii("cannot tell: error ");
            AppendErrorDescription(out, state.error);
            break;
    }
    out.AppendChar(L'\n');
    AppendStatusLines(out, state.status);
}

void WriteJsonWatcher(JsonWriter& json, const WatcherState& state) {
    json.Key("watcher");
    json.BeginObject();
    if (state.presence == WatcherPresence::kUnknown) {
        json.FieldNull("running");
    } else {
        json.FieldBool("running", state.presence == WatcherPresence::kRunning);
    }
    WriteJsonError(json, "error", state.error);
    WriteJsonStatus(json, state.status);
    json.EndObject();
}
