#include "loader/windows_version.h"

#include <windows.h>

#include "loader/registry_values.h"
#include "base/local_memory.h"

WindowsVersionState g_windowsVersion;
Wow64State g_wow64;

namespace {

constexpr wchar_t kCurrentVersionKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr wchar_t kBuildNumberValue[] = L"CurrentBuildNumber";

// Windows 7 is the first version on which a full path must lie in a trusted folder.
constexpr DWORD kTrustedFoldersMajorVersion = 6;
constexpr DWORD kTrustedFoldersMinorVersion = 1;
constexpr WORD kTrustedFoldersServicePack = 0;
constexpr DWORD kVersionTypeMask = VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR;

// Decimal digits only, as stored in CurrentBuildNumber. Anything else, including a number
// that does not fit 32 bits, makes the text unreadable: 0.
uint32_t ParseBuildNumber(const wchar_t* text) {
    uint32_t number = 0;
    for (; *text != L'\0'; ++text) {
        if (*text < L'0' || *text > L'9') {
            return 0;
        }
        const uint32_t digit = static_cast<uint32_t>(*text - L'0');
        if (number > (UINT32_MAX - digit) / 10) {
            return 0;
        }
        number = number * 10 + digit;
    }
    return number;
}

uint32_t ReadBuildNumber() {
    DWORD type = 0;
    LocalMemory<BYTE> data;
    const LONG status = ReadRegistryValueByPath(HKEY_LOCAL_MACHINE, kCurrentVersionKey,
                                                kBuildNumberValue, &type, data.put());
    // Only REG_SZ is the registry's own form of this value; other types are not guessed at.
    if (status != ERROR_SUCCESS || type != REG_SZ || !data) {
        return 0;
    }
    return ParseBuildNumber(reinterpret_cast<const wchar_t*>(data.get()));
}

uint32_t ComputeOlderThanWindows7() {
    OSVERSIONINFOEXW record = {};
    record.dwOSVersionInfoSize = sizeof(record);
    record.dwMajorVersion = kTrustedFoldersMajorVersion;
    record.dwMinorVersion = kTrustedFoldersMinorVersion;
    record.wServicePackMajor = kTrustedFoldersServicePack;
    ULONGLONG conditions = 0;
    conditions = VerSetConditionMask(conditions, VER_MAJORVERSION, VER_GREATER_EQUAL);
    conditions = VerSetConditionMask(conditions, VER_MINORVERSION, VER_GREATER_EQUAL);
    conditions = VerSetConditionMask(conditions, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    return VerifyVersionInfoW(&record, kVersionTypeMask, conditions) ? 0 : 1;
}

}  // namespace

int IsWindowsBuildAtLeast(uint32_t threshold) {
    uint32_t build = g_windowsVersion.buildNumber.load(std::memory_order_acquire);
    if (build == 0) {
        // Until a number has been parsed the registry is asked again at every call.
        build = ReadBuildNumber();
        if (build != 0) {
            g_windowsVersion.buildNumber.store(build, std::memory_order_release);
        }
    }
    return build >= threshold ? 1 : 0;
}

bool IsOlderThanWindows7() {
    if (g_windowsVersion.verdictComputed.load(std::memory_order_acquire) != 0) {
        return g_windowsVersion.olderThanWindows7.load(std::memory_order_relaxed) != 0;
    }
    const uint32_t verdict = ComputeOlderThanWindows7();
    g_windowsVersion.olderThanWindows7.store(verdict, std::memory_order_relaxed);
    g_windowsVersion.verdictComputed.store(1, std::memory_order_release);
    return verdict != 0;
}

bool DetermineWow64() {
    if (g_wow64.isWow64Process.load(std::memory_order_acquire) != nullptr) {
        return true;
    }
    HMODULE kernel = GetModuleHandleA("kernel32");
    if (kernel == nullptr) {
        return false;
    }
    auto isWow64Process = reinterpret_cast<IsWow64ProcessFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process")));
    if (isWow64Process == nullptr) {
        return false;
    }
    BOOL wow64 = FALSE;
    BOOL answered = isWow64Process(GetCurrentProcess(), &wow64);
    // Flag first, address last: whoever sees the address sees the flag with it. A failed
    // call is not repeated; the flag then stays 0.
    g_wow64.isWow64.store(answered ? wow64 : FALSE, std::memory_order_relaxed);
    g_wow64.isWow64Process.store(isWow64Process, std::memory_order_release);
    return answered != FALSE;
}

bool IsWow64() {
    return g_wow64.isWow64.load(std::memory_order_relaxed) != FALSE;
}

void ResetWindowsVersionStateForTesting() {
    g_windowsVersion.buildNumber.store(0, std::memory_order_release);
    g_windowsVersion.olderThanWindows7.store(0, std::memory_order_relaxed);
    g_windowsVersion.verdictComputed.store(0, std::memory_order_release);
}
