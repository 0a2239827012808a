// Whether a dispset-watch runs in this session, and what it says of itself: a watcher holds
// the session's watcher mutex for as long as it runs, so the mutex exists exactly then. Only
// a mutex that this process can open counts; one it cannot is "cannot tell". The status it
// publishes is read only when it runs (watcher_status_report.h).
#pragma once

#include <windows.h>

#include <stdint.h>

#include "app/diag/json_writer.h"
#include "app/diag/text_buffer.h"
#include "app/diag/watcher_status_report.h"

enum class WatcherPresence : uint8_t { kRunning, kNotRunning, kUnknown };

struct WatcherState {
    WatcherPresence presence = WatcherPresence::kUnknown;
    DWORD error = ERROR_SUCCESS;  // why kUnknown
    StatusReading status;
};

WatcherState FindSessionWatcher();

// "watcher:          running in this session", and the like, with its line break, and the
// status's lines under it.
void AppendWatcherLine(TextBuffer& out, const WatcherState& state);
// "watcher": {"running": true|false|null, "error": null or the error, "status": ...}.
void WriteJsonWatcher(JsonWriter& json, const WatcherState& state);
