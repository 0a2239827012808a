#include "loader/trusted_paths.h"

#include <shlobj.h>

#include "loader/module_loader.h"
#include "loader/strings/local_memory.h"
#include "loader/strings/wide_strings.h"
#include "loader/system_bindings.h"

WindowsVersionState g_windowsVersion;

namespace {

constexpr wchar_t kCurrentVersionKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr wchar_t kBuildNumberValue[] = L"CurrentBuildNumber";

// Every registry text parsed here or by the driver lookups needs a terminator, and the
// registry keeps whatever bytes the writer stored, NUL or not. Each buffer therefore gets
// one zeroed character beyond the stored bytes, after rounding an odd size up to whole
// characters.
constexpr DWORD kCharBytes = sizeof(wchar_t);
// Largest reported size whose padded buffer size still fits a DWORD; a larger report
// would wrap the size computation round to a tiny buffer.
constexpr DWORD kMaxRegistryDataBytes = MAXDWORD - 2 * kCharBytes;

// Windows 7 is the first version on which a full path must lie in a trusted folder.
constexpr DWORD kTrustedFoldersMajorVersion = 6;
constexpr DWORD kTrustedFoldersMinorVersion = 1;
constexpr WORD kTrustedFoldersServicePack = 0;
constexpr DWORD kVersionTypeMask = VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR;
static_assert(sizeof(OSVERSIONINFOEXW) == 284);

// The unexpanded reference: ExpandEnvironmentStringsW hands it back unchanged when the
// variable is not defined, which is how a 32-bit Windows without WOW64 shows itself.
constexpr wchar_t kProgramW6432Reference[] = L"%ProgramW6432%";

// SHGetFolderPathW writes at most MAX_PATH characters, its NUL included; the extra zeroed
// character keeps the text terminated whatever it does.
constexpr uint32_t kFolderPathChars = MAX_PATH + 1;

constexpr wchar_t kBackslash[] = L"\\";
constexpr wchar_t kNoFile[] = L"";

// The error that a failed binding or allocation left, as the readers report it. A failure
// has to read as one: should the step leave no code behind (a slot emptied without a
// lookup), the caller gets the fallback instead of a status that means success.
LONG FailureStatus(LONG fallback) {
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? static_cast<LONG>(error) : fallback;
}

bool IsSlash(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// Bytes to allocate for a value of reportedSize bytes: whole characters plus a zeroed one.
DWORD PaddedRegistrySize(DWORD reportedSize) {
    return (reportedSize + 1) / kCharBytes * kCharBytes + kCharBytes;
}

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
    BYTE* data = nullptr;
    const LONG status = ReadRegistryValueByPath(HKEY_LOCAL_MACHINE, kCurrentVersionKey,
                                                kBuildNumberValue, &type, &data);
    LocalMemory<BYTE> owned(data);
    // Only REG_SZ is the registry's own form of this value; other types are not guessed at.
    if (status != ERROR_SUCCESS || type != REG_SZ || !owned) {
        return 0;
    }
    return ParseBuildNumber(reinterpret_cast<const wchar_t*>(owned.get()));
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

bool IsOlderThanWindows7() {
    if (g_windowsVersion.verdictComputed.load(std::memory_order_acquire) != 0) {
        return g_windowsVersion.olderThanWindows7.load(std::memory_order_relaxed) != 0;
    }
    const uint32_t verdict = ComputeOlderThanWindows7();
    g_windowsVersion.olderThanWindows7.store(verdict, std::memory_order_relaxed);
    g_windowsVersion.verdictComputed.store(1, std::memory_order_release);
    return verdict != 0;
}

// The path as the file system will resolve it: relative parts against the working folder,
// "." and ".." folded, slashes turned into backslashes. Empty on any failure.
LocalString GetFullPathAlloc(const wchar_t* path) {
    LocalString fullPath;
    const DWORD size = GetFullPathNameW(path, 0, nullptr, nullptr);
    if (size == 0 || !fullPath.allocate(size_t{size} * sizeof(wchar_t))) {
        return LocalString();
    }
    if (GetFullPathNameW(path, size, fullPath.get(), nullptr) >= size) {
        return LocalString();
    }
    return fullPath;
}

enum class FolderLookup {
    kFound,     // the folder text, ending in a backslash
    kUnusable,  // no folder to compare with; the next one is tried
    kFailed,    // the test ends untrusted
};

// "%ProgramW6432%" names the native Program Files folder even in a 32-bit process under
// WOW64, where CSIDL_PROGRAM_FILES would give the x86 one.
FolderLookup GetProgramFilesFolder(LocalString& folder) {
    const DWORD size = ExpandEnvironmentStringsW(kProgramW6432Reference, nullptr, 0);
    if (size == 0 || !folder.allocate((size_t{size} + 1) * sizeof(wchar_t))) {
        return FolderLookup::kFailed;
    }
    // A different count means the variable changed between the two calls.
    if (ExpandEnvironmentStringsW(kProgramW6432Reference, folder.get(), size) != size) {
        return FolderLookup::kFailed;
    }
    if (lstrcmpW(folder.get(), kProgramW6432Reference) == 0) {
        folder.reset(GetFolderPathWithFile(CSIDL_PROGRAM_FILES, kNoFile));
        return folder ? FolderLookup::kFound : FolderLookup::kFailed;
    }
    // Defined but empty names no folder; taken as a prefix it would match every path.
    const DWORD length = size - 1;
    if (length == 0) {
        return FolderLookup::kUnusable;
    }
    if (folder.get()[length - 1] != L'\\') {
        StringAppendChars(folder.get(), size + 1, kBackslash);
    }
    return FolderLookup::kFound;
}

FolderLookup GetCsidlFolder(int csidl, LocalString& folder) {
    folder.reset(GetFolderPathWithFile(csidl, kNoFile));
    return folder ? FolderLookup::kFound : FolderLookup::kFailed;
}

// Folder texts end in a backslash, so a folder matches whole path components only:
// C:\Windows\ does not take in C:\WindowsApps\.
bool IsInsideFolder(const wchar_t* fullPath, const wchar_t* folder) {
    uint32_t folderLength = 0;
    if (StringLengthBounded(folder, kMaxStringChars, &folderLength) != kStringOk) {
        return false;
    }
    return IsEqualIgnoringCaseN(fullPath, folder, folderLength) != 0;
}

struct TrustedFolder {
    int csidl;
    bool fromProgramW6432;
};

// Tested in this order: the Windows folder, Program Files, Program Files (x86).
constexpr TrustedFolder kTrustedFolders[] = {
    {CSIDL_WINDOWS, false},
    {CSIDL_PROGRAM_FILES, true},
    {CSIDL_PROGRAM_FILESX86, false},
};

FolderLookup GetTrustedFolder(const TrustedFolder& entry, LocalString& folder) {
    return entry.fromProgramW6432 ? GetProgramFilesFolder(folder)
                                  : GetCsidlFolder(entry.csidl, folder);
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

LONG ReadRegistryValueByPath(HKEY root, const wchar_t* subKey, const wchar_t* valueName,
                             DWORD* type, BYTE** data) {
    if (!BindRegistryOpenClose()) {
        return FailureStatus(ERROR_PROC_NOT_FOUND);
    }
    RegistryKey key;
    const LONG status = Bound(g_advapi32.regOpenKeyEx)(root, subKey, 0, KEY_QUERY_VALUE, key.put());
    if (status != ERROR_SUCCESS) {
        // Whatever a failed open left in the handle is not ours to close.
        *key.put() = nullptr;
        return status;
    }
    return ReadRegistryValueAlloc(key.get(), valueName, type, data);
}

LONG ReadRegistryValueAlloc(HKEY key, const wchar_t* valueName, DWORD* type, BYTE** data) {
    if (data == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (!BindRegistryQuery()) {
        return FailureStatus(ERROR_PROC_NOT_FOUND);
    }
    const auto queryValue = Bound(g_advapi32.regQueryValueEx);
    DWORD size = 0;
    LONG status = queryValue(key, valueName, nullptr, nullptr, nullptr, &size);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (size == 0) {
        return ERROR_SUCCESS;
    }
    if (size > kMaxRegistryDataBytes) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    LocalMemory<BYTE> buffer;
    if (!buffer.allocate(PaddedRegistrySize(size))) {
        *data = nullptr;
        return FailureStatus(ERROR_NOT_ENOUGH_MEMORY);
    }
    // The registry is told the size it reported, so the spare character stays zero. A value
    // that grew since the first call fails here (ERROR_MORE_DATA); there is no retry.
    status = queryValue(key, valueName, nullptr, type, buffer.get(), &size);
    if (status != ERROR_SUCCESS) {
        *data = nullptr;
        return status;
    }
    *data = buffer.release();
    return ERROR_SUCCESS;
}

int IsPathInTrustedFolder(const wchar_t* path) {
    // Windows before 7 is outside the folder rule: every path is accepted there.
    if (IsOlderThanWindows7()) {
        return 1;
    }
    if (path == nullptr) {
        return 0;
    }
    const LocalString fullPath = GetFullPathAlloc(path);
    if (!fullPath) {
        return 0;
    }
    for (const TrustedFolder& entry : kTrustedFolders) {
        LocalString folder;
        const FolderLookup lookup = GetTrustedFolder(entry, folder);
        if (lookup == FolderLookup::kFailed) {
            return 0;
        }
        if (lookup == FolderLookup::kFound && IsInsideFolder(fullPath.get(), folder.get())) {
            return 1;
        }
    }
    return 0;
}

wchar_t* GetFolderPathWithFile(int csidl, const wchar_t* text) {
    if (text == nullptr || !BindFolderLookup()) {
        return nullptr;
    }
    wchar_t folder[kFolderPathChars] = {};
    if (Bound(g_shell32.getFolderPath)(nullptr, csidl, nullptr, 0, folder) != S_OK) {
        return nullptr;
    }
    uint32_t folderLength = 0;
    uint32_t textLength = 0;
    if (StringLengthBounded(folder, kFolderPathChars, &folderLength) != kStringOk ||
        StringLengthBounded(text, kMaxStringChars, &textLength) != kStringOk) {
        return nullptr;
    }
    // Folder, backslash, text, terminator.
    const uint64_t capacity = uint64_t{folderLength} + textLength + 2;
    if (capacity > kMaxStringChars) {
        return nullptr;
    }
    const uint32_t chars = static_cast<uint32_t>(capacity);
    LocalString path;
    if (!path.allocate(size_t{chars} * sizeof(wchar_t))) {
        return nullptr;
    }
    // The capacity holds all three parts, so none of these can truncate.
    StringCopyBounded(path.get(), chars, folder);
    StringAppendChars(path.get(), chars, kBackslash);
    StringAppendChars(path.get(), chars, text);
    return path.release();
}

HMODULE LoadLibraryTrustedPath(const wchar_t* path, DWORD flags) {
    SetLastError(ERROR_SUCCESS);
    if (!IsAbsolutePath(path)) {
        SetLastError(ERROR_BAD_ARGUMENTS);
        return nullptr;
    }
    if (!IsPathInTrustedFolder(path)) {
        SetLastError(ERROR_BAD_PATHNAME);
        return nullptr;
    }
    // The caller's own path is loaded, not the full path that was compared.
    return LoadLibraryExW(path, nullptr, WithoutSearchPathFlags(flags));
}

HMODULE LoadLibraryFullPath(const wchar_t* path, DWORD flags) {
    SetLastError(ERROR_SUCCESS);
    if (IsAbsolutePath(path)) {
        return LoadLibraryTrustedPath(path, flags);
    }
    // A relative path would be resolved against the working folder, which is not trusted.
    if (HasPathSeparator(path)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return LoadLibrarySystemDirectory(path, flags);
}

int IsAbsolutePath(const wchar_t* path) {
    if (path == nullptr) {
        return 0;
    }
    if (IsSlash(path[0])) {
        return 1;
    }
    // Short-circuiting stops at the NUL of a shorter text.
    return IsAsciiLetter(path[0]) && path[1] == L':' && IsSlash(path[2]) ? 1 : 0;
}

void ResetWindowsVersionStateForTesting() {
    g_windowsVersion.buildNumber.store(0, std::memory_order_release);
    g_windowsVersion.olderThanWindows7.store(0, std::memory_order_relaxed);
    g_windowsVersion.verdictComputed.store(0, std::memory_order_release);
}
