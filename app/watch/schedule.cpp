#include "app/watch/settle_rule.h"

void SettleRule::OnStartRun() {
    runsLeft_ = kRunsPerBurst - 1;
    pending_ = false;
    phase_ = Phase::kRunning;
}

SettleAction SettleRule::OnEvent() {
    if (phase_ == Phase::kIdle) {
        runsLeft_ = kRunsPerBurst;
        phase_ = Phase::kSettling;
    }
    if (runsLeft_ > 0) {
        pending_ = true;
    }
    // During a run the timer starts when the run ends. Otherwise every event, an ignored
    // one too, starts the settle time afresh.
    return phase_ == Phase::kRunning ? SettleAction::kNone : SettleAction::kStartTimer;
}

SettleAction SettleRule::OnSettled() {
    if (phase_ != Phase::kSettling) {
        return SettleAction::kNone;
    }
    if (!pending_) {
        phase_ = Phase::kIdle;
        return SettleAction::kNone;
    }
    pending_ = false;
    --runsLeft_;
    phase_ = Phase::kRunning;
    return SettleAction::kRun;
}

SettleAction SettleRule::OnRunEnded() {
    phase_ = Phase::kSettling;
    return SettleAction::kStartTimer;
}
