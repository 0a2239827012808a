// The loader's views of the running Windows: the build number, read once from the
// registry; whether Windows is older than 7, where the trusted-folder rule begins; and
// whether this process runs under WOW64, which decides the driver's value names.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <atomic>

// Windows 10 build 14308 on: look where the display driver registered its modules.
constexpr uint32_t kBuildDriverLocatedLoading = 14308;
// Windows Vista on: the driver store exists.
constexpr uint32_t kBuildDriverStore = 6000;

// 1 when the Windows build number (read once from the registry) is at least threshold.
int IsWindowsBuildAtLeast(uint32_t threshold);

// True when the running Windows is older than 6.1 with service pack 0, asked of
// VerifyVersionInfoW once per process.
bool IsOlderThanWindows7();

// Process-wide version state, computed at first use and kept for the process. Concurrent
// first callers each compute the same values and publish them with release stores. The
// version record that VerifyVersionInfoW needs lives on the computing caller's stack: a
// shared record would be written by every concurrent first caller at once, and nothing
// reads it after the verdict is known.
struct WindowsVersionState {
    std::atomic<uint32_t> buildNumber;        // 0 until a number has been parsed
    std::atomic<uint32_t> verdictComputed;    // published after the verdict
    std::atomic<uint32_t> olderThanWindows7;  // 1 when Windows is older than 6.1 SP0
};
extern WindowsVersionState g_windowsVersion;

// For tests only: forget the build number and the version verdict, as at process start.
void ResetWindowsVersionStateForTesting();

// Asks kernel32 once per process whether this is a 32-bit process on 64-bit Windows. True
// when the answer is known (IsWow64 then gives it); false when it cannot be told this time
// (no IsWow64Process, or the call failed), with the last-error value that left.
bool DetermineWow64();
// The answer DetermineWow64 found; false before it found one.
bool IsWow64();

// The WOW64 state: the address of IsWow64Process, published after the answer.
using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE process, BOOL* wow64);
struct Wow64State {
    std::atomic<IsWow64ProcessFn> isWow64Process;
    std::atomic<BOOL> isWow64;
};
extern Wow64State g_wow64;
