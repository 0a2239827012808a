// When the watcher runs the program: the rule that turns a stream of events into runs,
// apart from the windows and timers that carry it out.
//
// Events come in bursts: one resume brings a power event, several display changes and
// device arrivals within a second or so. A run therefore waits until no event has come for
// the settle time, and a burst gives one run, not one per event. An event that comes while
// the program runs gets one more run after it, so every event is followed by a run that
// started after it.
//
// The program's own change may make the driver announce a display change, which would
// start the next run, and so on for ever. So a burst that begins after a quiet time has two
// runs at most: its own, and one more for events that came during that run or within the
// settle time after it. Events after that are ignored until a settle time has passed
// without any event; then the next event begins a new burst.
#pragma once

#include <stdint.h>

// Events merge into one run when none has come for this long. A resume's power event,
// display changes and device arrivals, and the driver's own mode set after them, all come
// within about a second; two seconds lets the burst end before the program puts the
// setting back, so that the driver's reset does not land after it.
constexpr uint32_t kSettleMilliseconds = 2000;

// What the caller does after telling the rule something.
enum class SettleAction : uint8_t {
    kNone,
    kStartTimer,  // (re)start the settle timer for kSettleMilliseconds
    kRun,         // run the program now, then report OnRunEnded
};

class SettleRule {
  public:
    // The run at the watcher's start, which begins a burst like an event does. Call
    // OnRunEnded after it.
    void OnStartRun();
    // An event after which the driver may have put its settings back.
    SettleAction OnEvent();
    // The settle timer fired: no event has come for the settle time. The caller has
    // stopped the timer.
    SettleAction OnSettled();
    // The run ended; events keep counting towards it for a settle time.
    SettleAction OnRunEnded();

  private:
    enum class Phase : uint8_t { kIdle, kSettling, kRunning };
    // The burst's own run and one more.
    static constexpr uint8_t kRunsPerBurst = 2;

    Phase phase_ = Phase::kIdle;
    uint8_t runsLeft_ = 0;  // runs that the current burst may still start
    bool pending_ = false;  // an event came that no run has followed yet
};
