// Windows version gates, registry readers, the trusted-folder rule and full-path loading.
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

// Reads one registry value into a zero-filled LocalAlloc buffer (freed by the caller with
// LocalFree). type and data are left untouched when the value is empty or the read fails
// before allocating, so callers preset them to 0 and null. Returns the registry's status.
// The buffer always carries at least one zeroed character past the stored bytes, so text
// that was stored without its NUL is still terminated.
LONG ReadRegistryValueByPath(HKEY root, const wchar_t* subKey, const wchar_t* valueName,
                             DWORD* type, BYTE** data);
LONG ReadRegistryValueAlloc(HKEY key, const wchar_t* valueName, DWORD* type, BYTE** data);

// 1 when path lies inside the Windows folder or a Program Files folder (judged on its full
// path). Before Windows 7 every path counts as trusted.
int IsPathInTrustedFolder(const wchar_t* path);

// Folder of csidl + "\" + text as an allocated wide string; null on any failure.
wchar_t* GetFolderPathWithFile(int csidl, const wchar_t* text);

// Loads an absolute path only when it lies in a trusted folder. ERROR_BAD_ARGUMENTS for a
// null or non-absolute path, ERROR_BAD_PATHNAME for an untrusted one.
HMODULE LoadLibraryTrustedPath(const wchar_t* path, DWORD flags);

// Absolute path: LoadLibraryTrustedPath. Relative path with a separator: ERROR_MOD_NOT_FOUND.
// Bare file name: the system directory.
HMODULE LoadLibraryFullPath(const wchar_t* path, DWORD flags);

// 1 when path is absolute: a leading slash or backslash, or a drive letter, a colon and a
// slash or backslash.
int IsAbsolutePath(const wchar_t* path);

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
