// When the watcher runs dispset.exe and when it checks the setting: the rule that turns
// events, the ends of its children and the passing of time into runs and checks, apart from
// the windows, processes and clocks that carry it out. The caller tells it what happened,
// with the time of the watcher's monotonic clock, asks it what is due, and sleeps until
// NextDeadline() unless something happens first.
//
// Events come in bursts: one resume brings a power event, several display changes and
// device arrivals within a second or so. A run therefore waits until no event has come for
// the settle time, and a burst gives one run, not one per event; but never longer than the
// maximum wait after the first event it serves, so that events that never stop (a flapping
// cable, a chatty driver) cannot starve the setting. An event that comes while the program
// runs gets one more run after it, so every event is followed by a run that started after
// it.
//
// The program's own change may make the driver announce a display change, which would
// start the next run, and so on for ever. So a burst that begins after a quiet time has two
// event runs at most: its own, and one more for events that came during that run or within
// the settle time after it. Events after that are ignored until a settle time has passed
// without any event and without a run; then the next event begins a new burst.
//
// The driver may also put its own value back a few seconds after it was applied, with no
// event at all, or accept the change and keep its value. So each run that ended by itself is
// followed by two checks (dispset-diag check), and a check that finds another value runs the
// program again (a re-apply), which brings its own two checks. A burst has at most
// kReappliesPerBurst re-applies; a check that still finds the setting dropped after them
// gives the burst up: no more checks or re-applies until the next event. A newer run
// replaces the checks still pending for an older one, and a run that is pending replaces them
// too (it brings its own).
//
// One child runs at a time: a run or a check that falls due while another runs waits for it.
// A child that has run for kChildLimitMilliseconds is ended.
#pragma once

#include <stdint.h>

#include "app/common/watcher_contract.h"

// Times of the watcher's monotonic clock, in milliseconds.
using Milliseconds = uint64_t;
constexpr Milliseconds kNever = UINT64_MAX;

// Events merge into one run when none has come for this long. A resume's power event,
// display changes and device arrivals, and the driver's own mode set after them, all come
// within about a second; two seconds lets the burst end before the program puts the
// setting back, so that the driver's reset does not land after it.
constexpr uint32_t kSettleMilliseconds = 2000;
// The latest a run follows the first event it serves, however long the events go on.
// Several settle times: a burst that would have ended by itself is never cut short.
constexpr uint32_t kMaxWaitMilliseconds = 10000;
// The checks after a run ended. Drivers put their value back a few seconds after a wake
// (two to three, as users report it), which the first check catches; the second catches a
// later reset that comes with no event.
constexpr uint32_t kFirstCheckMilliseconds = 5000;
constexpr uint32_t kLateCheckMilliseconds = 30000;
// How long a run or a check may take. The program's work takes well under a second, a
// check's about as long; one that hangs (in the driver, say) is ended after this.
constexpr uint32_t kChildLimitMilliseconds = 30000;
// Re-applies of one burst. A driver that keeps its own value against three is not going to
// give way to a fourth; the next event tries again.
constexpr uint8_t kReappliesPerBurst = 3;

// What the caller does now. After kRun or kCheck it starts that child and reports its end
// with OnChildEnded (at once when it could not be started); after kEndChild it ends the
// running child and reports nothing.
struct Step {
    enum class Kind : uint8_t { kNothing, kRun, kCheck, kEndChild };
    Kind kind = Kind::kNothing;
    RunCause cause = RunCause::kStart;  // of a run
};

// How a child that the caller started ended.
enum class ChildResult : uint8_t {
    kDone,            // a run that ended; a check that found the setting held or could not tell
    kSettingDropped,  // a check that found another value than the program applies
    kNotStarted,      // it could not be started
};

class Schedule {
  public:
    // The run at the watcher's start, due at once; it begins a burst like an event does.
    void Start(Milliseconds now);
    // An event after which the driver may have put its settings back.
    void OnEvent(Milliseconds now, RunCause cause);
    // What is due at now. Ask again until it says kNothing: an ended child may leave a run
    // due at the same moment.
    Step Poll(Milliseconds now);
    // The child that Poll asked for ended (or never started).
    void OnChildEnded(Milliseconds now, ChildResult result);
    // When Poll has something to do next, provided nothing happens before; kNever when
    // nothing is pending. Idle, the watcher therefore waits for events alone.
    Milliseconds NextDeadline() const;

    uint32_t burstsGivenUp() const { return burstsGivenUp_; }

  private:
    enum class Child : uint8_t { kNone, kRun, kCheck };
    // The burst's own run and one more.
    static constexpr uint8_t kRunsPerBurst = 2;
    static constexpr uint8_t kChecksPerRun = 2;

    bool BurstOver(Milliseconds now) const;
    void BeginBurst();
    Milliseconds RunDeadline() const;
    Step StartRun(Milliseconds now);
    Step StartCheck(Milliseconds now);
    Step EndChild(Milliseconds now);
    void ScheduleChecks(Milliseconds runEnded);
    void OnRunEnded(Milliseconds now, bool checked);
    void OnCheckEnded(bool settingDropped);

    Child child_ = Child::kNone;
    Milliseconds childStarted_ = 0;

    bool inBurst_ = false;
    uint8_t runsLeft_ = 0;       // event runs that the burst may still start
    uint8_t reappliesLeft_ = 0;  // re-applies that the burst may still make
    // Events that no run has followed yet (and that the loop bound lets through).
    bool pending_ = false;
    RunCause pendingCause_ = RunCause::kStart;  // the first of them
    Milliseconds pendingSince_ = 0;
    // The last event, or the end of the last run when that came later: a burst is over, and
    // a pending run due, a settle time after it.
    Milliseconds quietFrom_ = 0;
    // A run due at once: the start's, or a re-apply.
    bool runNow_ = false;
    RunCause runNowCause_ = RunCause::kStart;

    Milliseconds checks_[kChecksPerRun] = {};
    uint8_t nextCheck_ = kChecksPerRun;  // kChecksPerRun: none pending

    uint32_t burstsGivenUp_ = 0;
};
