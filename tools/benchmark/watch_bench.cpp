// What dispset-watch costs (x64, under Wine with an X display, against the simulated
// driver): how long after the settle time an event's run applies the setting, and what the
// watcher takes while nothing happens. Reports, never asserts.
//
//   watch_bench WATCHER SIMULATED_DRIVER [--events N] [--idle-seconds S]
//
// WATCHER is dispset-watch.exe with dispset.exe beside it. The simulated driver is placed in
// the system directory as nvapi.dll for the run (none may be there) and journals to a
// scratch file. The watcher runs as a child; each event is a WM_DISPLAYCHANGE broadcast, and
// its run is seen when the journal gains an ApplyDisplayRecord line (looked for every
// millisecond). A burst may have two runs (settle_rule.h), so the events come in pairs: one
// after a quiet time, the next right after the first's program has ended; then the pair's
// settle time is let pass.
#include <windows.h>
#include <psapi.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/watch/settle_rule.h"
#include "app/watch/watcher.h"
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

double Broadcast() {
    const double sent = NowMilliseconds();
    DWORD_PTR result = 0;
    SendMessageTimeoutW(HWND_BROADCAST, WM_DISPLAYCHANGE, 32, MAKELPARAM(1024, 768),
                        SMTO_ABORTIFHUNG, 10000, &result);
    return sent;
}

uint64_t CpuMilliseconds(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        Fail("GetProcessTimes");
    }
    const auto ticks = [](const FILETIME& time) {
        return (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
    };
    return (ticks(kernel) + ticks(user)) / 10000;
}

Options ParseOptions(int argc, wchar_t** argv) {
    if (argc < 3) {
        fprintf(stderr,
                "usage: watch_bench WATCHER SIMULATED_DRIVER [--events N] [--idle-seconds S]\n");
        exit(2);
    }
    Options options{argv[1], argv[2]};
    for (int i = 3; i + 1 < argc; i += 2) {
        if (wcscmp(argv[i], L"--events") == 0) {
            options.events = std::max(2, _wtoi(argv[i + 1]));
        } else if (wcscmp(argv[i], L"--idle-seconds") == 0) {
            options.idleSeconds = static_cast<DWORD>(std::max(1, _wtoi(argv[i + 1])));
        }
    }
    return options;
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
    GetTempPathW(MAX_PATH, folder);
    const std::wstring journal =
        std::wstring(folder) + L"watch-bench-" + std::to_wstring(GetCurrentProcessId()) + L".txt";
    SetEnvironmentVariableW(L"SIMDRIVER_JOURNAL", journal.c_str());
    SetEnvironmentVariableW(L"SIMDRIVER_STATE", nullptr);
    SetEnvironmentVariableW(L"SIMDRIVER_FAIL", nullptr);

    std::wstring commandLine = L"\"" + std::wstring(options.watcher) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(options.watcher, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
        DeleteFileW(installed.c_str());
        Fail("cannot start the watcher");
    }
    CloseHandle(process.hThread);

    // Its first run, then a settle time without events.
    WaitForApplies(journal, 1);
    WaitUntilNoProgramRuns();
    Sleep(kSettleMilliseconds + kMarginMilliseconds);

    const uint64_t cpuBefore = CpuMilliseconds(process.hProcess);
    Sleep(options.idleSeconds * 1000);
    const uint64_t idleCpu = CpuMilliseconds(process.hProcess) - cpuBefore;
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof(memory);
    if (!K32GetProcessMemoryInfo(process.hProcess,
                                 reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                                 sizeof(memory))) {
        Fail("K32GetProcessMemoryInfo");
    }

    const uint64_t cpuBeforeEvents = CpuMilliseconds(process.hProcess);
    std::vector<double> beyondSettle;
    size_t applies = CountApplies(journal);
    for (int event = 0; event < options.events; ++event) {
        const double sent = Broadcast();
        const double applied = WaitForApplies(journal, ++applies);
        beyondSettle.push_back(applied - sent - kSettleMilliseconds);
        WaitUntilNoProgramRuns();
        if (event % 2 == 1) {
            Sleep(kSettleMilliseconds + kMarginMilliseconds);
        }
    }

    const uint64_t eventsCpu = CpuMilliseconds(process.hProcess) - cpuBeforeEvents;
    PostMessageW(FindWindowW(kWatcherWindowClass, nullptr), WM_CLOSE, 0, 0);
    WaitForSingleObject(process.hProcess, kPatienceMilliseconds);
    CloseHandle(process.hProcess);
    DeleteFileW(installed.c_str());
    DeleteFileW(journal.c_str());

    std::sort(beyondSettle.begin(), beyondSettle.end());
    printf("dispset-watch, %d display changes, settle time %u ms:\n", options.events,
           kSettleMilliseconds);
    printf(
        "  event to apply beyond the settle time: median %.1f ms, max %.1f ms, min %.1f ms "
        "(goal: under 100 ms)\n",
        beyondSettle[beyondSettle.size() / 2], beyondSettle.back(), beyondSettle.front());
    printf("  CPU time over %lu s without events: %llu ms (goal: 0 ms)\n", options.idleSeconds,
           static_cast<unsigned long long>(idleCpu));
    printf("  CPU time per event and its run (the watcher's own): %.1f ms\n",
           static_cast<double>(eventsCpu) / options.events);
    // Windows reports the commit charge as both PagefileUsage and PrivateUsage; Wine 8 fills
    // only the first for another process.
    printf("  private bytes %.1f KiB, working set %.1f KiB (idle)\n",
           std::max(memory.PrivateUsage, memory.PagefileUsage) / 1024.0,
           memory.WorkingSetSize / 1024.0);
    return 0;
}
