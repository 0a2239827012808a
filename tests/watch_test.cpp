// dispset-watch end to end, under Wine with an X display of its own (DISPSET_TEST_X11, see
// tools/guest.d/with-x11): the watcher runs this build's dispset.exe against the simulated
// driver, whose journal counts the runs. Events come as Windows sends them: WM_DISPLAYCHANGE
// and the resume messages broadcast from this process to a watcher in its own, the session
// messages sent to its window; the power-setting and device-arrival messages, whose pointers
// cannot cross processes, go to a watcher on a thread of this process. What must happen is
// waited for long (the guest emulates its processor); what must not is looked for once the
// program has ended and a settle time and a margin have passed.
#include <windows.h>
#include <dbt.h>
#include <stddef.h>
#include <stdlib.h>
#include <wtsapi32.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/watch/children.h"
#include "app/watch/schedule.h"
#include "app/watch/user_bindings.h"
#include "app/watch/watcher.h"
#include "base/known_guids.h"
#include "tests/support/journal.h"
#include "tests/support/json_check.h"
#include "tests/support/test_support.h"
#include "tools/simdriver/simdriver.h"

namespace {

using namespace testing_support;

constexpr DWORD kPatienceMilliseconds = 120000;
constexpr DWORD kMarginMilliseconds = 1000;
// A timer may fire up to a tick of the system clock early.
constexpr DWORD kTimerSlackMilliseconds = 100;

constexpr const GUID& kMonitorClass = well_known::GUID_DEVINTERFACE_MONITOR;
constexpr const GUID& kDisplayAdapterClass = well_known::GUID_DISPLAY_DEVICE_ARRIVAL;
// GUID_DEVINTERFACE_USB_DEVICE: an arrival the watcher does not follow.
constexpr GUID kUsbDeviceClass = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
enum DisplayState : DWORD { kOff = 0, kOn = 1, kDimmed = 2 };

// POWERBROADCAST_SETTING with its DWORD of data.
struct DisplayStateSetting {
    GUID setting = well_known::GUID_CONSOLE_DISPLAY_STATE;
    DWORD length = sizeof(DWORD);
    DWORD state;
};
static_assert(offsetof(DisplayStateSetting, state) == offsetof(POWERBROADCAST_SETTING, Data));

std::wstring PathFromVariable(const char* name) {
    const char* value = getenv(name);
    return value != nullptr ? WinePathFromUnix(value) : std::wstring();
}

bool WaitFor(const std::function<bool()>& done) {
    for (const DWORD start = GetTickCount(); !done(); Sleep(50)) {
        if (GetTickCount() - start > kPatienceMilliseconds) {
            return false;
        }
    }
    return true;
}

LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam = 0) {
    DWORD_PTR result = 0;
    EXPECT_NE(
        SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, 10000, &result), 0);
    return static_cast<LRESULT>(result);
}

void DisplayChange() {
    Send(HWND_BROADCAST, WM_DISPLAYCHANGE, 32, MAKELPARAM(1024, 768));
}

// 100 display changes within a fraction of a second: sent without waiting for each.
void DisplayChangeBurst() {
    for (int i = 0; i < 100; ++i) {
        SendNotifyMessageW(HWND_BROADCAST, WM_DISPLAYCHANGE, 32, MAKELPARAM(1024, 768));
    }
}

class WatchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(FindWindowW(kWatcherWindowClass, nullptr), nullptr) << "a watcher is left over";
        ASSERT_TRUE(driver_.ok());
    }

    size_t Applies() const {
        return CountLinesStartingWith(JournalLines(journalPath_), "call name=ApplyDisplayRecord ");
    }
    // A check reads the record and applies nothing; a run does both (unless it hangs).
    size_t Checks() const {
        const std::vector<std::string> lines = JournalLines(journalPath_);
        return CountLinesStartingWith(lines, "call name=QueryDisplayRecord ") -
               CountLinesStartingWith(lines, "call name=ApplyDisplayRecord ");
    }
    static bool ChildRuns() {
        return ProcessRuns(L"dispset.exe") || ProcessRuns(L"dispset-diag.exe");
    }

    HWND WatcherWindow() const {
        HWND window = nullptr;
        EXPECT_TRUE(WaitFor(
            [&] { return (window = FindWindowW(kWatcherWindowClass, nullptr)) != nullptr; }));
        return window;
    }

    // Sends the event, waits for its runs (none may begin within the settle time), then
    // checks that no more come once the program has ended: after a settle time and a
    // margin, or two settle times when the event's run could not even start.
    void ExpectRuns(size_t runs, const std::function<void()>& send) {
        const size_t before = Applies();
        const DWORD sent = GetTickCount();
        send();
        ASSERT_TRUE(WaitFor([&] {
            const DWORD looked = GetTickCount() - sent;
            const size_t applies = Applies();
            EXPECT_FALSE(applies > before && looked + kTimerSlackMilliseconds < kSettleMilliseconds)
                << "a run within the settle time";
            return applies >= before + runs;
        }));
        ExpectNoMoreRuns(before + runs, runs == 0 ? 2 : 1);
    }

    void ExpectNoMoreRuns(size_t applies, DWORD settleTimes = 1) {
        ASSERT_TRUE(WaitFor([] { return !ProcessRuns(L"dispset.exe"); }));
        Sleep(settleTimes * kSettleMilliseconds + kMarginMilliseconds);
        EXPECT_EQ(Applies(), applies);
    }

    static std::string Line(const std::string& out, const char* label) {
        const size_t line = out.find(label);
        return line == std::string::npos ? out : out.substr(line, out.find('\n', line) - line);
    }
    std::string DiagWatcherLine() const {
        return Line(RunProgramWithOutput(DiagPath(), L"show", L"").out, "watcher:");
    }
    // The watcher's status as dispset-diag --json show reports it.
    JsonValue DiagStatus() const {
        JsonValue report;
        std::string error;
        EXPECT_TRUE(
            ParseJson(RunProgramWithOutput(DiagPath(), L"--json show", L"").out, &report, &error))
            << error;
        return report["watcher"]["status"];
    }

    ScopedBuildNumber build_{L"7601"};
    ScopedFileCopy driver_{SimDriverPath(), JoinPaths(SystemDirectory(), L"nvapi.dll")};
    ScopedDirectory scratch_;
    std::wstring journalPath_ = scratch_ / L"journal.txt";
    std::wstring statePath_ = scratch_ / L"state.bin";
    ScopedEnvironment journal_{simdriver::kJournalVariable, journalPath_.c_str()};
    ScopedEnvironment state_{simdriver::kStateVariable, statePath_.c_str()};
    ScopedEnvironment failures_{simdriver::kFailVariable, nullptr};
};

class ChildProcess {
  public:
    ChildProcess(const std::wstring& program, const std::wstring& workingFolder) {
        std::wstring commandLine = L"\"" + program + L"\"";
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        EXPECT_TRUE(CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                                   nullptr, workingFolder.c_str(), &startup, &process));
        CloseHandle(process.hThread);
        process_ = process.hProcess;
    }
    ~ChildProcess() {
        if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
            TerminateProcess(process_, 1);
        }
        CloseHandle(process_);
    }
    bool running() const { return WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }
    DWORD ExitCode() const {
        WaitForSingleObject(process_, kPatienceMilliseconds);
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(process_, &code);
        return code;
    }

  private:
    HANDLE process_ = nullptr;
};

TEST_F(WatchTest, WatcherRunsTheProgramBesideItAfterEveryBroadcastAndSessionEvent) {
    // The watcher and the program in a folder of their own, without dispset-diag.exe; planted
    // programs where a search for either would look: the watcher's working folder and a
    // folder on PATH.
    ScopedDirectory programFolder, workingFolder, pathFolder;
    const std::wstring watchExe = programFolder / L"dispset-watch.exe";
    ScopedFileCopy watchCopy(PathFromVariable("WATCH_EXE"), watchExe);
    auto program = std::make_unique<ScopedFileCopy>(DispsetPath(), programFolder / L"dispset.exe");
    ScopedFileCopy plantedHere(PathFromVariable("PLANTED_EXE"), workingFolder / L"dispset.exe");
    ScopedFileCopy plantedOnPath(PathFromVariable("PLANTED_EXE"), pathFolder / L"dispset.exe");
    ScopedFileCopy plantedCheck(PathFromVariable("PLANTED_EXE"),
                                workingFolder / L"dispset-diag.exe");
    ScopedFileCopy plantedCheckOnPath(PathFromVariable("PLANTED_EXE"),
                                      pathFolder / L"dispset-diag.exe");
    ScopedEnvironment path(L"PATH", PathWithFolderFirst(pathFolder.path()).c_str());
    ChildProcess watcher(watchExe, workingFolder.path());

    // The first run, and a burst while it runs (or within its settle time): one more run.
    const HWND window = WatcherWindow();
    DisplayChangeBurst();
    ASSERT_TRUE(WaitFor([&] { return Applies() >= 2; }));
    ExpectNoMoreRuns(2);
    EXPECT_EQ(DiagWatcherLine().substr(0, 41), "watcher:          running in this session");

    // A second watcher ends at once without a run; the first goes on, as the events show.
    EXPECT_EQ(ChildProcess(watchExe, workingFolder.path()).ExitCode(), 0u);
    EXPECT_EQ(Applies(), 2u);

    const struct {
        const char* name;
        HWND target;
        UINT message;
        WPARAM event;
    } kEvents[] = {
        {"display change", HWND_BROADCAST, WM_DISPLAYCHANGE, 32},
        {"resume", HWND_BROADCAST, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC},
        {"resume by the user", HWND_BROADCAST, WM_POWERBROADCAST, PBT_APMRESUMESUSPEND},
        {"unlock", window, WM_WTSSESSION_CHANGE, WTS_SESSION_UNLOCK},
        {"console connect", window, WM_WTSSESSION_CHANGE, WTS_CONSOLE_CONNECT},
    };
    for (const auto& event : kEvents) {
        SCOPED_TRACE(event.name);
        ExpectRuns(1, [&] { Send(event.target, event.message, event.event); });
    }
    ExpectRuns(1, DisplayChangeBurst);

    // Posted WM_TIMERs are not the watcher's: 40 display changes, each followed by one, are
    // one burst and one run.
    ExpectRuns(1, [&] {
        for (int i = 0; i < 40; ++i) {
            DisplayChange();
            PostMessageW(window, WM_TIMER, 1 + i % 2, 0);
        }
    });

    // Without the program an event runs nothing and the watcher goes on; with the program
    // back, the next event applies.
    program.reset();
    ExpectRuns(0, DisplayChange);
    EXPECT_TRUE(watcher.running());
    program = std::make_unique<ScopedFileCopy>(DispsetPath(), programFolder / L"dispset.exe");
    ExpectRuns(1, DisplayChange);

    // The session ends: exit code 0, and no run for the event just before.
    EXPECT_EQ(Send(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), TRUE);
    ExpectRuns(0, [&] {
        DisplayChange();
        Send(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
    });
    EXPECT_EQ(watcher.ExitCode(), 0u);
    EXPECT_EQ(CountLinesStartingWith(JournalLines(journalPath_), "planted "), 0u);
    EXPECT_EQ(Checks(), 1u) << "no dispset-diag.exe beside the watcher: show's read alone";
}

// The session registration fails until the terminal services' event is set, as at logon.
HANDLE g_servicesReady = nullptr;
std::atomic<int> g_sessionTries{0};
BOOL WINAPI RegisterWhenServicesReady(HWND, DWORD) {
    ++g_sessionTries;
    if (WaitForSingleObject(g_servicesReady, 0) == WAIT_OBJECT_0) {
        return TRUE;
    }
    SetLastError(RPC_S_INVALID_BINDING);
    return FALSE;
}

// A timer procedure that no one armed: a WM_TIMER that names it must never call it.
std::atomic<bool> g_timerProcedureCalled{false};
VOID CALLBACK PostedTimerProcedure(HWND, UINT, UINT_PTR, DWORD) {
    g_timerProcedureCalled = true;
}

// The watcher on a thread of this process; closed and joined at the end.
struct WatcherThread {
    int exitCode = -1;
    std::thread thread{[this] { exitCode = RunWatcher(); }};
    ~WatcherThread() {
        if (thread.joinable()) {
            PostMessageW(FindWindowW(kWatcherWindowClass, nullptr), WM_CLOSE, 0, 0);
            thread.join();
        }
    }
};

TEST_F(WatchTest, WatcherFollowsTheDisplaysPowerStateAndDeviceArrivalsAndCannotLoop) {
    g_servicesReady = CreateEventW(nullptr, TRUE, FALSE, L"Global\\TermSrvReadyEvent");
    ASSERT_NE(g_servicesReady, nullptr);
    g_wtsapi32.registerSessionNotification.store(RegisterWhenServicesReady);
    WatcherThread watcher;
    const HWND window = WatcherWindow();
    ASSERT_TRUE(WaitFor([&] { return Applies() >= 1; }));
    ExpectNoMoreRuns(1);
    SetEvent(g_servicesReady);
    EXPECT_TRUE(WaitFor([] { return g_sessionTries == 3; }))
        << "at the start, the first run, ready";

    const auto display = [&](DisplayState state) {
        DisplayStateSetting setting;
        setting.state = state;
        SendMessageW(window, WM_POWERBROADCAST, PBT_POWERSETTINGCHANGE,
                     reinterpret_cast<LPARAM>(&setting));
    };
    const auto device = [&](WPARAM event, const GUID& interfaceClass) {
        DEV_BROADCAST_DEVICEINTERFACE_W arrival = {};
        arrival.dbcc_size = sizeof(arrival);
        arrival.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        arrival.dbcc_classguid = interfaceClass;
        SendMessageW(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&arrival));
    };
    // The first report is the state at that moment; off and dimmed run nothing.
    ExpectRuns(0, [&] {
        display(kOn);
        display(kOff);
        display(kDimmed);
    });
    ExpectRuns(1, [&] { display(kOn); });
    ExpectRuns(1, [&] { device(DBT_DEVICEARRIVAL, kMonitorClass); });
    ExpectRuns(1, [&] { device(DBT_DEVICEARRIVAL, kDisplayAdapterClass); });
    ExpectRuns(0, [&] {
        display(kDimmed);
        display(kOn);
        device(DBT_DEVICEARRIVAL, kUsbDeviceClass);
        device(DBT_DEVICEREMOVECOMPLETE, kMonitorClass);
        SendMessageW(window, WM_WTSSESSION_CHANGE, WTS_SESSION_LOCK, 0);
        SendMessageW(window, WM_POWERBROADCAST, PBT_APMSUSPEND, 0);
        PostMessageW(window, WM_TIMER, 1, reinterpret_cast<LPARAM>(&PostedTimerProcedure));
    });
    EXPECT_FALSE(g_timerProcedureCalled);

    // A driver that announces a display change at every apply: the event's run and one
    // more, then none; the next event is served again.
    {
        ScopedEnvironment announce(simdriver::kFailVariable, L"announce");
        ExpectRuns(2, DisplayChange);
        ExpectRuns(2, DisplayChange);
    }

    // WM_CLOSE: no run for the event just before, exit code 0, the mutex gone.
    ExpectRuns(0, [&] {
        DisplayChange();
        SendMessageW(window, WM_CLOSE, 0, 0);
    });
    watcher.thread.join();
    EXPECT_EQ(watcher.exitCode, 0);
    EXPECT_EQ(DiagWatcherLine(), "watcher:          not running in this session");
    g_wtsapi32.registerSessionNotification.store(nullptr);
    CloseHandle(g_servicesReady);
}

// The driver puts its own value back with no event: 2 s after a run, the first check finds
// it; 12 s after one, the late check. While the setting holds, nothing runs.
TEST_F(WatchTest, ChecksPutBackASettingThatTheDriverResetSilently) {
    WatcherThread watcher;
    ASSERT_TRUE(WaitFor([&] { return Applies() == 1 && !ProcessRuns(L"dispset.exe"); }));
    const DWORD started = GetTickCount();
    Sleep(kSettleMilliseconds);
    ASSERT_TRUE(StoreSimulatedSetting(statePath_, 0));
    ASSERT_TRUE(WaitFor([&] { return Applies() == 2 && !ProcessRuns(L"dispset.exe"); }));
    EXPECT_LT(GetTickCount() - started, kLateCheckMilliseconds) << "the first check put it back";

    const DWORD reapplied = GetTickCount();
    ASSERT_TRUE(WaitFor([&] { return Checks() == 2; }));
    Sleep(12000 - std::min<DWORD>(12000, GetTickCount() - reapplied));
    EXPECT_EQ(Applies(), 2u) << "the setting held at the first check";
    ASSERT_TRUE(StoreSimulatedSetting(statePath_, 0));
    ASSERT_TRUE(WaitFor([&] { return Applies() == 3; }));
    EXPECT_GE(GetTickCount() - reapplied, kLateCheckMilliseconds / 2) << "not the first check";

    ASSERT_TRUE(WaitFor([&] { return Checks() == 4 && !ChildRuns(); }));
    Sleep(kSettleMilliseconds + kMarginMilliseconds);
    EXPECT_EQ(Applies(), 3u);
}

// A driver that accepts the change and keeps its own value: the start's run and three
// re-applies, then the burst is given up; show says so.
TEST_F(WatchTest, ADriverThatIgnoresTheApplyIsGivenUpAfterThreeReappliesAndShowSaysSo) {
    ScopedEnvironment ignores(simdriver::kFailVariable, L"applyignored");
    WatcherThread watcher;
    ASSERT_TRUE(WaitFor([&] { return Checks() == 4 && !ChildRuns(); }));
    Sleep(kSettleMilliseconds + kMarginMilliseconds);
    EXPECT_EQ(Applies(), 4u);
    EXPECT_EQ(Checks(), 4u);

    const std::string text = RunProgramWithOutput(DiagPath(), L"show", L"").out;
    EXPECT_EQ(Line(text, "  runs:"), "  runs:           4 (start 1, re-apply 3)");
    EXPECT_TRUE(StartsWith(Line(text, "  given up:"), "  given up:       1 ")) << text;
    const JsonValue status = DiagStatus();
    int64_t number = -1;
    EXPECT_TRUE(status["burstsGivenUp"].AsInteger(&number) && number == 1);
    EXPECT_TRUE(status["lastCheck"]["exitCode"].AsInteger(&number) && number == 1);
}

// Display changes every second for 24 s: the first run comes 10 s after the first of them,
// long before they stop, and the loop bound still holds. A run that hangs is ended at the
// limit, and the next event runs again.
TEST_F(WatchTest, EndlessEventsCannotStarveTheSettingAndAHungRunIsEnded) {
    WatcherThread watcher;
    ASSERT_TRUE(WaitFor([&] { return Applies() == 1 && !ChildRuns(); }));
    Sleep(kSettleMilliseconds + kMarginMilliseconds);  // the start's burst is over
    const DWORD first = GetTickCount();
    DWORD firstRun = 0;
    for (DWORD event = 0; event < 24; ++event) {
        Sleep(event * 1000 - std::min(event * 1000, GetTickCount() - first));
        DisplayChange();
        if (firstRun == 0 && Applies() > 1) {
            firstRun = GetTickCount() - first;
        }
    }
    EXPECT_NE(firstRun, 0u) << "no run while the events went on";
    EXPECT_GE(firstRun + kTimerSlackMilliseconds, kMaxWaitMilliseconds);
    ExpectNoMoreRuns(3);

    {
        ScopedEnvironment hangs(simdriver::kFailVariable, L"applyhangs");
        DisplayChange();
        ASSERT_TRUE(WaitFor(
            [&] { return CountLinesStartingWith(JournalLines(journalPath_), "hang ") == 1; }));
    }
    ASSERT_TRUE(WaitFor([] { return !ProcessRuns(L"dispset.exe"); }));
    int64_t ended = -1;
    EXPECT_TRUE(DiagStatus()["childrenEnded"].AsInteger(&ended) && ended == 1);
    ExpectRuns(1, DisplayChange);
}

// A hung child is ended with its job, or alone where it could not be put in one (Windows 7
// nests no jobs, and the watcher may run in one): nothing is left behind either way.
BOOL WINAPI RefuseJob(HANDLE, HANDLE) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

TEST_F(WatchTest, AHungChildIsEndedInItsJobOrAlone) {
    ScopedEnvironment hangs(simdriver::kFailVariable, L"applyhangs");
    for (const bool job : {true, false}) {
        SCOPED_TRACE(job ? "in its job" : "alone");
        std::unique_ptr<ScopedImportPatch> refused;
        if (!job) {
            refused = std::make_unique<ScopedImportPatch>("AssignProcessToJobObject",
                                                          reinterpret_cast<void*>(&RefuseJob));
        }
        ChildLauncher children;
        ASSERT_TRUE(children.Prepare());
        ASSERT_TRUE(children.Start(ChildProgram::kRun));
        const size_t hung = job ? 1 : 2;
        ASSERT_TRUE(WaitFor(
            [&] { return CountLinesStartingWith(JournalLines(journalPath_), "hang ") == hung; }));
        children.End();
        EXPECT_TRUE(WaitFor([] { return !ProcessRuns(L"dispset.exe"); }));
    }
}

}  // namespace
