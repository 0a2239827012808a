// What dispset-diag show tells of the watcher's status section (app/common/watcher_contract.h):
// when the watcher started, its runs by cause, its last run and check, the bursts it gave
// up and the children it ended. The section is hostile input like any other: its name can
// be taken by any program of the session, so a record is shown only when a watcher runs, and
// only when every field of it makes sense. Anything else is "cannot tell", never a guess.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "app/diag/json_writer.h"
#include "app/diag/text_buffer.h"
#include "app/common/watcher_contract.h"

enum class StatusProblem : uint8_t {
    kNone,            // read, and every field makes sense
    kAbsent,          // no watcher and no section: nothing to tell
    kNotPublished,    // a watcher runs and publishes none
    kWithoutWatcher,  // a section, but no watcher that could have made it
    kCannotOpen,      // the section exists but cannot be opened or mapped (error)
    kChanging,        // it kept changing while it was read
    kNotValid,        // not a status this reader knows, or a damaged one
};

struct StatusReading {
    StatusProblem problem = StatusProblem::kAbsent;
    DWORD error = ERROR_SUCCESS;  // why kCannotOpen
    WatcherStatus status = {};    // with kNone
};

// The session's status section, trusted only when watcherRuns (the watcher's mutex exists).
StatusReading ReadSessionStatus(bool watcherRuns);

// The lines under the "watcher:" line; none for kAbsent.
void AppendStatusLines(TextBuffer& out, const StatusReading& reading);
// "status": null for kAbsent, else {"readable": ..., and the record or the problem}.
void WriteJsonStatus(JsonWriter& json, const StatusReading& reading);
