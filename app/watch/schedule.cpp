#include "app/watch/schedule.h"

void Schedule::Start(Milliseconds now) {
    BeginBurst();
    quietFrom_ = now;
    runNow_ = true;
    runNowCause_ = RunCause::kStart;
}

void Schedule::OnEvent(Milliseconds now, RunCause cause) {
    if (!inBurst_ || BurstOver(now)) {
        BeginBurst();
    }
    // Every event, an ignored one too, starts the settle time afresh.
    if (now > quietFrom_) {
        quietFrom_ = now;
    }
    if (runsLeft_ == 0 || pending_) {
        return;
    }
    pending_ = true;
    pendingCause_ = cause;
    pendingSince_ = now;
    nextCheck_ = kChecksPerRun;
}

Step Schedule::Poll(Milliseconds now) {
    if (child_ != Child::kNone) {
        return now >= childStarted_ + kChildLimitMilliseconds ? EndChild(now) : Step{};
    }
    if (runNow_ || (pending_ && now >= RunDeadline())) {
        return StartRun(now);
    }
    if (nextCheck_ < kChecksPerRun && now >= checks_[nextCheck_]) {
        return StartCheck(now);
    }
    return Step{};
}

void Schedule::OnChildEnded(Milliseconds now, ChildResult result) {
    const Child ended = child_;
    child_ = Child::kNone;
    if (ended == Child::kRun) {
        OnRunEnded(now, result == ChildResult::kDone);
    } else if (ended == Child::kCheck) {
        OnCheckEnded(result == ChildResult::kSettingDropped);
    }
}

Milliseconds Schedule::NextDeadline() const {
    if (child_ != Child::kNone) {
        return childStarted_ + kChildLimitMilliseconds;
    }
    if (runNow_) {
        return 0;
    }
    if (pending_) {
        return RunDeadline();
    }
    return nextCheck_ < kChecksPerRun ? checks_[nextCheck_] : kNever;
}

// Quiet for a settle time, with no run going on or waiting.
bool Schedule::BurstOver(Milliseconds now) const {
    return !pending_ && !runNow_ && child_ != Child::kRun &&
           now >= quietFrom_ + kSettleMilliseconds;
}

void Schedule::BeginBurst() {
    inBurst_ = true;
    runsLeft_ = kRunsPerBurst;
    reappliesLeft_ = kReappliesPerBurst;
}

Milliseconds Schedule::RunDeadline() const {
    const Milliseconds settled = quietFrom_ + kSettleMilliseconds;
    const Milliseconds latest = pendingSince_ + kMaxWaitMilliseconds;
    return settled < latest ? settled : latest;
}

// The run serves every event before it, and a re-apply that was due; it brings its own
// checks.
Step Schedule::StartRun(Milliseconds now) {
    Step step;
    step.kind = Step::Kind::kRun;
    if (pending_ && now >= RunDeadline()) {
        step.cause = pendingCause_;
        --runsLeft_;
    } else {
        step.cause = runNowCause_;
        if (runNowCause_ == RunCause::kReapply) {
            --reappliesLeft_;
        } else {
            --runsLeft_;
        }
    }
    pending_ = false;
    runNow_ = false;
    nextCheck_ = kChecksPerRun;
    child_ = Child::kRun;
    childStarted_ = now;
    return step;
}

Step Schedule::StartCheck(Milliseconds now) {
    ++nextCheck_;
    child_ = Child::kCheck;
    childStarted_ = now;
    Step step;
    step.kind = Step::Kind::kCheck;
    return step;
}

// A run ended at the limit brings no checks: its driver hangs, and a re-apply would hang
// again. The next event tries again.
Step Schedule::EndChild(Milliseconds now) {
    const Child ended = child_;
    child_ = Child::kNone;
    if (ended == Child::kRun) {
        OnRunEnded(now, false);
    }
    Step step;
    step.kind = Step::Kind::kEndChild;
    return step;
}

void Schedule::ScheduleChecks(Milliseconds runEnded) {
    checks_[0] = runEnded + kFirstCheckMilliseconds;
    checks_[1] = runEnded + kLateCheckMilliseconds;
    nextCheck_ = 0;
}

// Events within a settle time after a run count towards it. A run with events waiting for
// the next one needs no checks: the next brings its own.
void Schedule::OnRunEnded(Milliseconds now, bool checked) {
    if (now > quietFrom_) {
        quietFrom_ = now;
    }
    if (checked && !pending_) {
        ScheduleChecks(now);
    }
}

// A dropped setting with a run pending is that run's to put back.
void Schedule::OnCheckEnded(bool settingDropped) {
    if (!settingDropped || pending_) {
        return;
    }
    if (reappliesLeft_ == 0) {
        ++burstsGivenUp_;
        nextCheck_ = kChecksPerRun;
        return;
    }
    runNow_ = true;
    runNowCause_ = RunCause::kReapply;
}
