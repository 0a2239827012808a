// What dispset-watch costs (x64, under Wine with an X display, against the simulated
// driver): what a check takes, what the watcher takes while nothing happens once its checks
// have ended, and how long after the settle time an event's run applies the setting.
// Reports, never asserts.
//
//   watch_bench WATCHER SIMULATED_DRIVER [--events N] [--idle-seconds S] [--checks N]
//
// WATCHER is dispset-watch.exe with dispset.exe and dispset-diag.exe beside it. The
// simulated driver is placed in the system directory as nvapi.dll for the run (none may be
// there) and journals to a scratch file. The watcher runs as a child:
// 1. from its folder, with the checks: after its start's run and that run's two checks, its
//    CPU time over the idle time and its memory;
// 2. dispset-diag.exe check, run as the watcher runs it, N times: wall and CPU time;
// 3. a copy with dispset.exe alone beside it, so that no check holds a run back: each event
//    is a WM_DISPLAYCHANGE broadcast, and its run is seen when the journal gains an
//    ApplyDisplayRecord line (looked for every millisecond). A burst may have two runs
//    (schedule.h), so the events come in pairs: one after a quiet time, the next right after
//    the first's program has ended; then the pair's settle time is let pass.
#include <windows.h>
#include <psapi.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/watch/schedule.h"
#include "app/watch/watcher.h"
#include "app/common/watcher_contract.h"
#include "tests/support/journal.h"
#include "tests/support/test_support.h"

namespace {

using namespace testing_support;

constexpr DWORD kPatienceMilliseconds = 60000;
constexpr DWORD kMarginMilliseconds = 500;

struct Options {
    const wchar_t* watcher;
    const wchar_t* driver;
    int events = 50;
    DWORD idleSeconds = 60;
    int checks = 20;
};

double g_ticksPerMillisecond = 0;

double NowMilliseconds() {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / g_ticksPerMillisecond;
}

[[noreturn]] void Fail(const char* what) {
    fprintf(stderr, "watch_bench: error: %s (error %lu)\n", what, GetLastError());
    exit(1);
}

size_t CountApplies(const std::wstring& journal) {
    return CountLinesStartingWith(JournalLines(journal), "call name=ApplyDisplayRecord ");
}

// A check reads the record and applies nothing; a run does both.
size_t CountChecks(const std::wstring& journal) {
    const std::vector<std::string> lines = JournalLines(journal);
    return CountLinesStartingWith(lines, "call name=QueryDisplayRecord ") -
           CountLinesStartingWith(lines, "call name=ApplyDisplayRecord ");
}

// Waits until the journal holds count applies; the time it saw them, or a failure.
double WaitForApplies(const std::wstring& journal, size_t count) {
    const double start = NowMilliseconds();
    while (CountApplies(journal) < count) {
        if (NowMilliseconds() - start > kPatienceMilliseconds) {
            Fail("no run came after an event");
        }
        Sleep(1);
    }
    return NowMilliseconds();
}

void WaitUntilNoProgramRuns() {
    while (ProcessRuns(L"dispset.exe")) {
        Sleep(10);
    }
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double Broadcast() {
    const double sent = NowMilliseconds();
    DWORD_PTR result = 0;
    SendMessageTimeoutW(HWND_BROADCAST, WM_DISPLAYCHANGE, 32, MAKELPARAM(1024, 768),
                        SMTO_ABORTIFHUNG, 10000, &result);
    return sent;
}

double CpuMilliseconds(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        Fail("GetProcessTimes");
    }
    const auto ticks = [](const FILETIME& time) {
        return (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
    };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 10000.0;
}

HANDLE Start(const std::wstring& program, const std::wstring& arguments, DWORD flags) {
    std::wstring commandLine = L"\"" + program + L"\"" + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, flags,
                        nullptr, nullptr, &startup, &process)) {
        return nullptr;
    }
    CloseHandle(process.hThread);
    return process.hProcess;
}

void Close(HANDLE watcher) {
    PostMessageW(FindWindowW(kWatcherWindowClass, nullptr), WM_CLOSE, 0, 0);
    WaitForSingleObject(watcher, kPatienceMilliseconds);
    CloseHandle(watcher);
}

struct Figures {
    double idleCpu = 0;
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    std::vector<double> checkWall, checkCpu, beyondSettle;
    double eventsCpu = 0;
};

// The watcher with its checks: its start's run and that run's two checks, then the idle
// time.
void MeasureIdle(const Options& options, const std::wstring& journal, Figures& figures) {
    const HANDLE watcher = Start(options.watcher, L"", 0);
    if (watcher == nullptr) {
        Fail("cannot start the watcher");
    }
    const double start = NowMilliseconds();
    while (CountChecks(journal) < 2 || ProcessRuns(L"dispset-diag.exe")) {
        if (NowMilliseconds() - start > kPatienceMilliseconds) {
            Fail("the start's checks did not come");
        }
        Sleep(10);
    }
    const double cpuBefore = CpuMilliseconds(watcher);
    Sleep(options.idleSeconds * 1000);
    figures.idleCpu = CpuMilliseconds(watcher) - cpuBefore;
    figures.memory.cb = sizeof(figures.memory);
    if (!K32GetProcessMemoryInfo(watcher,
                                 reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&figures.memory),
                                 sizeof(figures.memory))) {
        Fail("K32GetProcessMemoryInfo");
    }
    Close(watcher);
}

// dispset-diag.exe check as the watcher starts it: no console window, its exit code.
void MeasureChecks(const Options& options, Figures& figures) {
    std::wstring diag = options.watcher;
    diag.replace(diag.rfind(L'\\') + 1, std::wstring::npos, L"dispset-diag.exe");
    for (int i = 0; i < options.checks; ++i) {
        const double started = NowMilliseconds();
        const HANDLE check = Start(diag, L" check", CREATE_NO_WINDOW);
        if (check == nullptr || WaitForSingleObject(check, kPatienceMilliseconds) != 0) {
            Fail("a check did not run");
        }
        figures.checkWall.push_back(NowMilliseconds() - started);
        figures.checkCpu.push_back(CpuMilliseconds(check));
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(check, &code);
        CloseHandle(check);
        if (code != kCheckSettingHeld) {
            Fail("a check did not find the setting held");
        }
    }
}

// A copy of the watcher with dispset.exe alone beside it: no check holds a run back.
void MeasureEvents(const Options& options, const std::wstring& journal, Figures& figures) {
    std::wstring folder = options.watcher;
    folder.erase(folder.rfind(L'\\') + 1);
    ScopedDirectory copy;
    ScopedFileCopy watcherCopy(options.watcher, copy / L"dispset-watch.exe");
    ScopedFileCopy programCopy(folder + L"dispset.exe", copy / L"dispset.exe");
    if (!watcherCopy.ok() || !programCopy.ok()) {
        Fail("cannot copy the watcher and the program");
    }
    size_t applies = CountApplies(journal);
    const HANDLE watcher = Start(watcherCopy.path(), L"", 0);
    if (watcher == nullptr) {
        Fail("cannot start the watcher's copy");
    }
    // Its first run, then a settle time without events.
    WaitForApplies(journal, ++applies);
    WaitUntilNoProgramRuns();
    Sleep(kSettleMilliseconds + kMarginMilliseconds);
    const double cpuBefore = CpuMilliseconds(watcher);
    for (int event = 0; event < options.events; ++event) {
        const double sent = Broadcast();
        const double applied = WaitForApplies(journal, ++applies);
        figures.beyondSettle.push_back(applied - sent - kSettleMilliseconds);
        WaitUntilNoProgramRuns();
        if (event % 2 == 1) {
            Sleep(kSettleMilliseconds + kMarginMilliseconds);
        }
    }
    figures.eventsCpu = CpuMilliseconds(watcher) - cpuBefore;
    Close(watcher);
}

Options ParseOptions(int argc, wchar_t** argv) {
    if (argc < 3) {
        fprintf(stderr,
                "usage: watch_bench WATCHER SIMULATED_DRIVER [--events N] [--idle-seconds S] "
                "[--checks N]\n");
        exit(2);
    }
    Options options{argv[1], argv[2]};
    for (int i = 3; i + 1 < argc; i += 2) {
        if (wcscmp(argv[i], L"--events") == 0) {
            options.events = std::max(2, _wtoi(argv[i + 1]));
        } else if (wcscmp(argv[i], L"--idle-seconds") == 0) {
            options.idleSeconds = static_cast<DWORD>(std::max(1, _wtoi(argv[i + 1])));
        } else if (wcscmp(argv[i], L"--checks") == 0) {
            options.checks = std::max(1, _wtoi(argv[i + 1]));
        }
    }
    return options;
}

void Report(const Options& options, const Figures& figures) {
    printf("dispset-watch, settle time %u ms, checks %u ms and %u ms after a run:\n",
           kSettleMilliseconds, kFirstCheckMilliseconds, kLateCheckMilliseconds);
    printf(
        "  a check (dispset-diag check), %d runs: wall time median %.1f ms, max %.1f ms; "
        "CPU time median %.1f ms, max %.1f ms\n",
        options.checks, Median(figures.checkWall),
        *std::max_element(figures.checkWall.begin(), figures.checkWall.end()),
        Median(figures.checkCpu),
        *std::max_element(figures.checkCpu.begin(), figures.checkCpu.end()));
    printf("  CPU time over %lu s without events, after its checks ended: %.0f ms (goal: 0 ms)\n",
           options.idleSeconds, figures.idleCpu);
    // Windows reports the commit charge as both PagefileUsage and PrivateUsage; Wine 8 fills
    // only the first for another process.
    printf("  private bytes %.1f KiB, working set %.1f KiB (idle)\n",
           std::max(figures.memory.PrivateUsage, figures.memory.PagefileUsage) / 1024.0,
           figures.memory.WorkingSetSize / 1024.0);
    printf(
        "  %d display changes, without checks: event to apply beyond the settle time: "
        "median %.1f ms, max %.1f ms, min %.1f ms (goal: under 100 ms)\n",
        options.events, Median(figures.beyondSettle),
        *std::max_element(figures.beyondSettle.begin(), figures.beyondSettle.end()),
        *std::min_element(figures.beyondSettle.begin(), figures.beyondSettle.end()));
    printf("  CPU time per event and its run (the watcher's own): %.1f ms\n",
           figures.eventsCpu / options.events);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const Options options = ParseOptions(argc, argv);
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    g_ticksPerMillisecond = static_cast<double>(frequency.QuadPart) / 1000.0;

    wchar_t folder[MAX_PATH];
    GetSystemDirectoryW(folder, MAX_PATH);
    const std::wstring installed = std::wstring(folder) + L"\\nvapi.dll";
    if (!CopyFileW(options.driver, installed.c_str(), TRUE)) {
        Fail("cannot place the simulated driver in the system directory");
    }
    ScopedDirectory scratch;
    const std::wstring journal = scratch / L"journal.txt";
    SetEnvironmentVariableW(L"SIMDRIVER_JOURNAL", journal.c_str());
    SetEnvironmentVariableW(L"SIMDRIVER_STATE", (scratch / L"state.bin").c_str());
    SetEnvironmentVariableW(L"SIMDRIVER_FAIL", nullptr);

    Figures figures;
    MeasureIdle(options, journal, figures);
    MeasureChecks(options, figures);
    MeasureEvents(options, journal, figures);
    DeleteFileW(installed.c_str());
    Report(options, figures);
    return 0;
}
