// The loader's two views of the running Windows: the build number, read once from the
// registry, and whether Windows is older than 7, where the trusted-folder rule begins.
#pragma once

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
