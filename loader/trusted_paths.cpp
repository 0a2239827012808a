#include "loader/trusted_paths.h"

#include <shlobj.h>
#include <stdint.h>

#include "loader/load_observer.h"
#include "base/local_memory.h"
#include "loader/strings/wide_strings.h"
#include "loader/system_bindings.h"
#include "loader/system_directory.h"
#include "loader/windows_version.h"

namespace {

// The unexpanded reference: ExpandEnvironmentStringsW hands it back unchanged when the
// variable is not defined, which is how a 32-bit Windows without WOW64 shows itself.
constexpr wchar_t kProgramW6432Reference[] = L"%ProgramW6432%";

// SHGetFolderPathW writes at most MAX_PATH characters, its NUL included; the extra zeroed
// character keeps the text terminated whatever it does.
constexpr uint32_t kFolderPathChars = MAX_PATH + 1;

constexpr wchar_t kBackslash[] = L"\\";
constexpr wchar_t kNoFile[] = L"";

// The path as the file system will resolve it: relative parts against the working folder,
// "." and ".." folded, slashes turned into backslashes. Empty on any failure.
LocalString GetFullPathAlloc(const wchar_t* path) {
    LocalString fullPath;
    const DWORD size = GetFullPathNameW(path, 0, nullptr, nullptr);
    if (size == 0 || !fullPath.allocate(size)) {
        return LocalString();
    }
    if (GetFullPathNameW(path, size, fullPath.get(), nullptr) >= size) {
        return LocalString();
    }
    return fullPath;
}

// A drive letter, a colon, a separator, then something other than separators: a folder
// below the root of a drive, as Program Files always is.
bool NamesFolderBelowDriveRoot(const wchar_t* text) {
    if (!IsAsciiLetter(text[0]) || text[1] != L':' || !IsPathSeparator(text[2])) {
        return false;
    }
    for (const wchar_t* rest = text + 3; *rest != L'\0'; ++rest) {
        if (!IsPathSeparator(*rest)) {
            return true;
        }
    }
    return false;
}

enum class FolderLookup {
    kFound,     // the folder text, ending in a backslash
    kUnusable,  // no folder to compare with; the next one is tried
    kFailed,    // the test ends untrusted
};

// The shell's folder for csidl, ending in a backslash. An empty answer names no folder:
// the lone backslash it would give takes in every rooted path, network paths included.
FolderLookup GetCsidlFolder(int csidl, LocalString& folder) {
    folder.reset(GetFolderPathWithFile(csidl, kNoFile));
    if (!folder) {
        return FolderLookup::kFailed;
    }
    return folder.get()[0] == L'\\' && folder.get()[1] == L'\0' ? FolderLookup::kUnusable
                                                                : FolderLookup::kFound;
}

// "%ProgramW6432%" names the native Program Files folder even in a 32-bit process under
// WOW64, where CSIDL_PROGRAM_FILES would give the x86 one.
FolderLookup GetProgramFilesFolder(LocalString& folder) {
    const DWORD size = ExpandEnvironmentStringsW(kProgramW6432Reference, nullptr, 0);
    if (size == 0 || !folder.allocate(size_t{size} + 1)) {
        return FolderLookup::kFailed;
    }
    // A different count means the variable changed between the two calls.
    if (ExpandEnvironmentStringsW(kProgramW6432Reference, folder.get(), size) != size) {
        return FolderLookup::kFailed;
    }
    // The variable is the user's environment. A value that names no folder below a drive's
    // root (empty, \, \\server\share, C:, C:\) would be a prefix of every path on a drive
    // or the network, and a relative one names no place at all: such values count as not
    // defined.
    // An undefined variable comes back as its reference, unchanged; lstrcmpW is the
    // loader's documented test for that, and the one lstrcmpW of the programs.
    if (lstrcmpW(folder.get(), kProgramW6432Reference) == 0 ||
        !NamesFolderBelowDriveRoot(folder.get())) {
        return GetCsidlFolder(CSIDL_PROGRAM_FILES, folder);
    }
    const DWORD length = size - 1;
    if (folder.get()[length - 1] != L'\\') {
        StringAppendChars(folder.get(), size + 1, kBackslash);
    }
    return FolderLookup::kFound;
}

// Folder texts end in a backslash, so a folder matches whole path components only:
// C:\Windows\ does not take in C:\WindowsApps\.
bool IsInsideFolder(const wchar_t* fullPath, const wchar_t* folder) {
    uint32_t folderLength = 0;
    if (StringLengthBounded(folder, kMaxStringChars, &folderLength) != kStringOk) {
        return false;
    }
    return IsEqualIgnoringCaseN(fullPath, folder, folderLength);
}

struct TrustedFolderSource {
    TrustedFolder name;
    int csidl;
    bool fromProgramW6432;
};

// Tested in this order: the Windows folder, Program Files, Program Files (x86).
constexpr TrustedFolderSource kTrustedFolders[] = {
    {TrustedFolder::kWindows, CSIDL_WINDOWS, false},
    {TrustedFolder::kProgramFiles, CSIDL_PROGRAM_FILES, true},
    {TrustedFolder::kProgramFilesX86, CSIDL_PROGRAM_FILESX86, false},
};

FolderLookup GetTrustedFolder(const TrustedFolderSource& entry, LocalString& folder) {
    return entry.fromProgramW6432 ? GetProgramFilesFolder(folder)
                                  : GetCsidlFolder(entry.csidl, folder);
}

// The trusted folder that fullPath lies in, its text handed to matched; kNone when it lies
// in none or a folder cannot be told. Each folder's text is freed before the next is asked.
TrustedFolder FindTrustedFolder(const wchar_t* fullPath, LocalString& matched) {
    for (const TrustedFolderSource& entry : kTrustedFolders) {
        LocalString folder;
        const FolderLookup lookup = GetTrustedFolder(entry, folder);
        if (lookup == FolderLookup::kFailed) {
            return TrustedFolder::kNone;
        }
        if (lookup == FolderLookup::kFound && IsInsideFolder(fullPath, folder.get())) {
            matched = static_cast<LocalString&&>(folder);
            return entry.name;
        }
    }
    return TrustedFolder::kNone;
}

}  // namespace

int IsPathInTrustedFolder(const wchar_t* path) {
    // Windows before 7 is outside the folder rule: every path is accepted there.
    if (IsOlderThanWindows7()) {
        if (IsLoadObserved()) {
            ReportLoadStep({.step = LoadStep::kTrustTest,
                            .trusted = TrustedFolder::kAnyBeforeWindows7,
                            .path = path});
        }
        return 1;
    }
    // A path that cannot be resolved is refused untested: an observer hears of no test.
    if (path == nullptr) {
        return 0;
    }
    const LocalString fullPath = GetFullPathAlloc(path);
    if (!fullPath) {
        return 0;
    }
    LocalString folder;
    const TrustedFolder trusted = FindTrustedFolder(fullPath.get(), folder);
    const bool inFolder = trusted != TrustedFolder::kNone;
    if (IsLoadObserved()) {
        ReportLoadStep({.step = LoadStep::kTrustTest,
                        .trusted = trusted,
                        .path = fullPath.get(),
                        .folder = folder.get()});
    }
    return inFolder ? 1 : 0;
}

wchar_t* GetFolderPathWithFile(int csidl, const wchar_t* text) {
    if (text == nullptr || !BindFolderLookup()) {
        return nullptr;
    }
    wchar_t folder[kFolderPathChars] = {};
    if (g_shell32.getFolderPath(nullptr, csidl, nullptr, 0, folder) != S_OK) {
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
    if (!path.allocate(chars)) {
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
        RefuseLoad(LoadRefusal::kNotAbsolute, ERROR_BAD_ARGUMENTS, path);
        return nullptr;
    }
    if (!IsPathInTrustedFolder(path)) {
        RefuseLoad(LoadRefusal::kUntrustedFolder, ERROR_BAD_PATHNAME, path);
        return nullptr;
    }
    // The caller's own path is loaded, not the full path that was compared. Its one caller
    // is the driver-located branch, so the path is one the driver registered.
    return LoadDecidedModule(ModulePlace::kDriverRegistration, path, WithoutSearchPathFlags(flags));
}

HMODULE LoadLibraryFullPath(const wchar_t* path, DWORD flags) {
    SetLastError(ERROR_SUCCESS);
    if (IsAbsolutePath(path)) {
        return LoadLibraryTrustedPath(path, flags);
    }
    // A relative path would be resolved against the working folder, which is not trusted.
    if (HasPathSeparator(path)) {
        RefuseLoad(LoadRefusal::kRelativePath, ERROR_MOD_NOT_FOUND, path);
        return nullptr;
    }
    return LoadLibrarySystemDirectory(path, flags);
}

bool IsAbsolutePath(const wchar_t* path) {
    if (path == nullptr) {
        return false;
    }
    if (IsPathSeparator(path[0])) {
        return true;
    }
    // Short-circuiting stops at the NUL of a shorter text.
    return IsAsciiLetter(path[0]) && path[1] == L':' && IsPathSeparator(path[2]);
}
