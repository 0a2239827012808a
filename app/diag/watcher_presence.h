// Whether a dispset-watch runs in this session: a watcher holds the session's watcher mutex
// for as long as it runs, so the mutex exists exactly then. Only a mutex that this process
// can open counts; one it cannot is "cannot tell".
#pragma once

#include <windows.h>

#include <stdint.h>

#include "app/diag/json_writer.h"
#include "app/diag/text_buffer.h"

enum class WatcherPresence : uint8_t { kRunning, kNotRunning, kUnknown };

struct WatcherState {
    WatcherPresence presence = WatcherPresence::kUnknown;
    DWORD error = ERROR_SUCCESS;  // why kUnknown
};

WatcherState FindSessionWatcher();

// "watcher:          running in this session", and the like, with its line break.
void AppendWatcherLine(TextBuffer& out, const WatcherState& state);
// "watcher": {"running": true|false|null, "error": null or the error}.
void WriteJsonWatcher(JsonWriter& json, const WatcherState& state);
