// The watcher's schedule on a virtual clock: scripts of events, children that take their
// time, hang or fail to start, and checks that find the setting held or dropped, against
// the runs, checks and ends they give. No windows and no processes.
#include <stdint.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/watch/schedule.h"

namespace {

constexpr Milliseconds kChildTakes = 100;

struct Event {
    Milliseconds at;
    RunCause cause = RunCause::kDisplayChange;
};

std::vector<Event> Every(Milliseconds from, Milliseconds step, int count) {
    std::vector<Event> events;
    for (int i = 0; i < count; ++i) {
        events.push_back({from + step * i});
    }
    return events;
}

struct Script {
    const char* name;
    std::vector<Event> events = {};
    const char* checks = "";      // what successive checks find: 'x' dropped, anything else held
    std::vector<int> hangs = {};  // children, counted from 0 as started, that never end
    Milliseconds checkTakes = kChildTakes;
    bool announce = false;  // every run brings an event while it runs, as a mode set does
    bool runsFail = false;  // no run can be started
    const char* expected;   // what the schedule did, in order: "cause@ms", "check@ms", "end@ms"
    uint32_t givenUp = 0;
};

const char* CauseName(RunCause cause) {
    static const char* const kNames[] = {"start",   "display", "resume", "on",
                                         "session", "device",  "reapply"};
    return kNames[static_cast<uint32_t>(cause)];
}

// Wakes the schedule at each deadline, event and child end up to until, as the watcher's loop
// does, and writes down what it asked for.
std::string Simulate(const Script& script, Schedule& schedule, Milliseconds until) {
    std::vector<Event> events = script.events;
    size_t nextEvent = 0, started = 0, checksDone = 0;
    Milliseconds childEnds = kNever;
    bool childIsCheck = false;
    std::string trace;
    schedule.Start(0);
    for (Milliseconds now = 0;;) {
        for (Step step; (step = schedule.Poll(now)).kind != Step::Kind::kNothing;) {
            trace += (trace.empty() ? "" : " ");
            if (step.kind == Step::Kind::kEndChild) {
                trace += "end@" + std::to_string(now);
                childEnds = kNever;
                continue;
            }
            childIsCheck = step.kind == Step::Kind::kCheck;
            trace += (childIsCheck ? "check" : CauseName(step.cause)) + ("@" + std::to_string(now));
            const bool hangs = std::count(script.hangs.begin(), script.hangs.end(), started++);
            if (!childIsCheck && script.runsFail) {
                schedule.OnChildEnded(now, ChildResult::kNotStarted);
                continue;
            }
            childEnds = hangs ? kNever : now + (childIsCheck ? script.checkTakes : kChildTakes);
            if (!childIsCheck && script.announce) {
                events.insert(events.begin() + nextEvent, {now + kChildTakes / 2});
            }
        }
        const Milliseconds eventAt = nextEvent < events.size() ? events[nextEvent].at : kNever;
        const Milliseconds next = std::min({schedule.NextDeadline(), childEnds, eventAt});
        // A deadline that Poll does not act on would have the watcher's loop spin.
        if (next < now || (next == now && childEnds != now && eventAt != now)) {
            ADD_FAILURE() << "the loop would spin at " << now;
            return trace;
        }
        if (next > until) {
            return trace;
        }
        now = next;
        if (childEnds == now) {
            childEnds = kNever;
            const bool dropped = childIsCheck && script.checks[checksDone] == 'x';
            checksDone += childIsCheck && script.checks[checksDone] != '\0';
            schedule.OnChildEnded(now, dropped ? ChildResult::kSettingDropped : ChildResult::kDone);
        } else if (eventAt == now) {
            schedule.OnEvent(now, events[nextEvent++].cause);
        }
    }
}

void PrintTo(const Script& script, std::ostream* out) {
    *out << script.name;
}

class ScheduleTest : public ::testing::TestWithParam<Script> {};

TEST_P(ScheduleTest, GivesTheRunsChecksAndEndsOfItsRules) {
    const Script& script = GetParam();
    Schedule schedule;
    EXPECT_EQ(Simulate(script, schedule, 200000), script.expected);
    EXPECT_EQ(schedule.burstsGivenUp(), script.givenUp);
    EXPECT_EQ(schedule.NextDeadline(), kNever) << "idle, nothing is pending";
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, ScheduleTest,
    ::testing::Values(
        // The start's run, its two checks, then nothing.
        Script{.name = "Start", .expected = "start@0 check@5100 check@30100"},
        // A burst is one run a settle time after its last event, with the first event's cause.
        Script{.name = "Burst",
               .events = {{40000, RunCause::kResume}, {40500}, {41500}},
               .expected = "start@0 check@5100 check@30100 resume@43500 check@48600 check@73600"},
        // Events during a run: one more run, a settle time after the run ended; the start's
        // checks give way to the next run's.
        Script{.name = "EventDuringTheRun",
               .events = {{50}},
               .expected = "start@0 display@2100 check@7200 check@32200"},
        // A driver that announces a change at every apply: the run and one more, then none.
        Script{.name = "LoopBound",
               .announce = true,
               .expected = "start@0 display@2100 check@7200 check@32200"},
        // Events every second for 24 s: the first run 10 s after the first event, one more
        // 10 s after the first event after it, then none until they stop.
        Script{.name = "MaximumWait",
               .events = Every(40000, 1000, 24),
               .expected = "start@0 check@5100 check@30100 display@50000 display@61000 "
                           "check@66100 check@91100"},
        // A silent reset caught by the first check, then one caught by the late check.
        Script{.name = "ResetCaughtEarly",
               .checks = "x",
               .expected = "start@0 check@5100 reapply@5200 check@10300 check@35300"},
        Script{.name = "ResetCaughtLate",
               .checks = "-x",
               .expected = "start@0 check@5100 check@30100 reapply@30200 check@35300 check@60300"},
        // A driver that ignores the apply: three re-applies, then the burst is given up until
        // the next event, whose burst may re-apply again.
        Script{.name = "ReapplyBound",
               .events = {{100000}},
               .checks = "xxxxx",
               .expected = "start@0 check@5100 reapply@5200 check@10300 reapply@10400 "
                           "check@15500 reapply@15600 check@20700 display@102000 check@107100 "
                           "reapply@107200 check@112300 check@137300",
               .givenUp = 1},
        // One child at a time: a run that falls due during a long check waits for it.
        Script{.name = "OneChildAtATime",
               .events = {{5500}},
               .checkTakes = 3000,
               .expected = "start@0 check@5100 display@8100 check@13200 check@38200"},
        // A hung run is ended at the limit, with no checks; the next event runs again. A hung
        // check is ended too, and the late check still comes. A re-apply replaces the checks
        // still due for the run before it, even one that hangs.
        Script{.name = "HungRun",
               .events = {{40000}},
               .hangs = {0},
               .expected = "start@0 end@30000 display@42000 check@47100 check@72100"},
        Script{.name = "HungCheck",
               .hangs = {1},
               .expected = "start@0 check@5100 end@35100 check@35100"},
        Script{.name = "HungReapply",
               .checks = "x",
               .hangs = {2},
               .expected = "start@0 check@5100 reapply@5200 end@35200"},
        // A run that cannot start brings no checks.
        Script{.name = "NoProgram",
               .events = {{40000}},
               .runsFail = true,
               .expected = "start@0 display@42000"}),
    [](const ::testing::TestParamInfo<Script>& info) { return std::string(info.param.name); });

}  // namespace
