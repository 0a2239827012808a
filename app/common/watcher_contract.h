// What dispset-watch and dispset-diag agree on, the one header both include:
// - the programs' file names, by which the watcher runs dispset.exe and dispset-diag.exe
//   check beside itself, and the self-test finds dispset.exe beside the companion;
// - the name of the watcher's mutex: the watcher holds it for as long as it runs, so that a
//   second start in the same session ends at once, and the companion asks for it to tell
//   whether a watcher runs;
// - the watcher's status, the record that dispset-watch publishes in a small shared-memory
//   section of its session and that dispset-diag show reads: when the watcher started, how
//   many runs of dispset.exe each cause brought, the last run and the last check, the bursts
//   given up and the children ended at their limit. It tells an administrator whether the
//   setting holds and how often the driver drops it;
// - dispset-diag check's exit codes, on which the watcher acts.
//
// Only the watcher writes the section; everyone else may only read it (its security is the
// watcher's business). A reader takes the record as hostile all the same: the name can be
// taken by any program of the session before the watcher starts.
//
// The layout is versioned: a change of any field's meaning or place takes a new version,
// which an older reader refuses rather than misreads. Every field is a 32-bit word, so the
// layout is the same for 32-bit and 64-bit processes.
#pragma once

#include <windows.h>

#include <stddef.h>
#include <stdint.h>

constexpr wchar_t kProgramFileName[] = L"dispset.exe";
constexpr wchar_t kCompanionFileName[] = L"dispset-diag.exe";

// In the session's own namespace: every logged-on user's session has a watcher of its own,
// and a watcher in one session never keeps another session's from starting.
constexpr wchar_t kWatcherMutexName[] = L"Local\\dispset-watch";

// In the session's own namespace, beside the watcher's mutex.
constexpr wchar_t kWatcherStatusName[] = L"Local\\dispset-watch-status";

constexpr uint32_t kWatcherStatusMagic = 0x57545344;  // "DSTW" in memory order
constexpr uint32_t kWatcherStatusVersion = 1;

// Why a run of dispset.exe was made: the watcher's start, the event kinds that can reset the
// setting, and a check that found the setting dropped.
enum class RunCause : uint32_t {
    kStart,
    kDisplayChange,
    kResume,
    kDisplayOn,
    kSessionReturn,
    kDeviceArrival,
    kReapply,
};
constexpr uint32_t kRunCauseCount = 7;

// dispset-diag check's exit codes, on which the watcher acts: a dropped setting is put back,
// a held one or one that cannot be read is left alone.
constexpr DWORD kCheckSettingHeld = 0;
constexpr DWORD kCheckSettingDropped = 1;
constexpr DWORD kCheckNotRead = 4;

// How a child (a run or a check) ended. kExited carries the exit code, kNotStarted the error
// that CreateProcessW gave.
enum class ChildOutcome : uint32_t {
    kNone,  // no such child yet
    kRunning,
    kExited,
    kNotStarted,
    kEndedAtLimit,
};
constexpr uint32_t kChildOutcomeCount = 5;

struct WatcherChildRecord {
    FILETIME time;     // when it started, UTC
    uint32_t cause;    // a RunCause; 0 for a check
    uint32_t outcome;  // a ChildOutcome
    uint32_t code;     // the exit code, or the error for kNotStarted
};

struct WatcherStatus {
    uint32_t magic;
    uint32_t version;
    uint32_t size;  // sizeof(WatcherStatus)
    // Odd while the watcher writes; a reader takes a copy only between two equal even
    // values.
    LONG sequence;
    FILETIME started;  // UTC
    uint32_t runs[kRunCauseCount];
    uint32_t checks;
    uint32_t burstsGivenUp;  // a check still found the setting dropped after the last re-apply
    uint32_t childrenEnded;  // runs and checks ended at the child limit
    WatcherChildRecord lastRun;
    WatcherChildRecord lastCheck;
};

static_assert(sizeof(WatcherChildRecord) == 20, "the layout is the same in every build");
static_assert(sizeof(WatcherStatus) == 104, "the layout is the same in every build");
static_assert(offsetof(WatcherStatus, lastCheck) == 84, "the layout is the same in every build");
