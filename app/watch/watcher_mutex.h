// The name of the watcher's mutex, the one thing that dispset-watch and dispset-diag share:
// the watcher holds it for as long as it runs, so that a second start in the same session
// ends at once, and the companion asks for it to tell whether a watcher runs.
#pragma once

// In the session's own namespace: every logged-on user's session has a watcher of its own,
// and a watcher in one session never keeps another session's from starting.
constexpr wchar_t kWatcherMutexName[] = L"Local\\dispset-watch";
