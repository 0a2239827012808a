// dispset-watch: keeps the display setting applied. The display driver puts its own display
// settings back after a resume, when a display wakes or is plugged in, when the mode or
// layout changes, after an unlock or a return to the console and when the driver restarts;
// the watcher runs dispset.exe once at its start and again after each such event, then
// checks the setting with dispset-diag.exe check and puts it back when the driver dropped it
// (schedule.h). It publishes what it did in its session's status section
// (app/common/watcher_contract.h).
//
// It owns one hidden top-level window, never shown: the system's broadcasts
// (WM_DISPLAYCHANGE, the resume messages) reach top-level windows only. It arms no timer:
// its one wait takes its messages, the running child's end and the schedule's next deadline
// together, and idle it waits for messages alone. It never loads the driver library: each
// run and each check is a fresh process, which loads the driver library of that moment
// through the trusted loader.
#pragma once

// The class of the watcher's window, by which the tests find it.
constexpr wchar_t kWatcherWindowClass[] = L"dispset-watch";

// The watcher's exit code, whatever happened: nothing reads it, and there is no one to tell.
constexpr int kWatcherExitCode = 0;

// Runs the watcher on the calling thread until its window is closed (WM_CLOSE) or the
// session ends (WM_ENDSESSION); returns at once when another watcher of this session holds
// the mutex. Returns kWatcherExitCode.
int RunWatcher();
