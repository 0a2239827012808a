#include "app/diag/private_folder.h"

#include <sddl.h>

#include "base/local_memory.h"
#include "loader/system_bindings.h"

namespace {

// Owner rights (the folder's owner, this user, and no implicit rights beyond these) and the
// system: full control, inherited by every file and folder created below. "P" protects the
// list from the temporary folder's inheritable entries.
constexpr wchar_t kPrivateSecurity[] = L"D:P(A;OICI;FA;;;OW)(A;OICI;FA;;;SY)";
constexpr wchar_t kNamePrefix[] = L"dispset-selftest-";
// How long removal is retried, and the pause between tries.
constexpr DWORD kRemoveRetryMilliseconds = 5000;
constexpr DWORD kRemovePauseMilliseconds = 100;
// Folders below the private folder that are descended into; deeper ones are left.
constexpr unsigned kMaxRemoveDepth = 8;

struct FindHandleTraits {
    using Handle = HANDLE;
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE handle) { FindClose(handle); }
    static constexpr bool kKeepsLastError = true;
};
using FindHandle = ScopedOwner<FindHandleTraits>;

// A name that no one can foresee for long: the process ID and the performance counter.
void AppendUniqueName(TextBuffer& path) {
    LARGE_INTEGER counter = {};
    QueryPerformanceCounter(&counter);
    path.Append(kNamePrefix);
    path.AppendDecimal(GetCurrentProcessId());
    path.AppendChar(L'-');
    path.AppendDecimal(static_cast<uint32_t>(counter.QuadPart ^ (counter.QuadPart >> 32)));
}

bool IsDotEntry(const wchar_t* name) {
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

bool RemoveEntry(const wchar_t* path, bool folder, Leftovers* left) {
    if (folder ? RemoveDirectoryW(path) : DeleteFileW(path)) {
        return true;
    }
    if (left != nullptr) {
        left->Add(path);
    }
    return false;
}

bool RemoveTree(const wchar_t* folder, unsigned depth, Leftovers* left) {
    TextBuffer pattern;
    JoinIntoBuffer(folder, L"*", pattern);
    WIN32_FIND_DATAW entry;
    FindHandle find(FindFirstFileW(pattern.text(), &entry));
    bool removed = !pattern.failed();
    if (find.valid()) {
        do {
            if (IsDotEntry(entry.cFileName)) {
                continue;
            }
            TextBuffer child;
            JoinIntoBuffer(folder, entry.cFileName, child);
            const bool isFolder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            const bool isLink = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            if (isFolder && !isLink && depth < kMaxRemoveDepth) {
                removed = RemoveTree(child.text(), depth + 1, left) && removed;
            } else {
                removed = RemoveEntry(child.text(), isFolder, left) && removed;
            }
        } while (FindNextFileW(find.get(), &entry));
    }
    find.reset();
    return RemoveEntry(folder, true, left) && removed;
}

}  // namespace

void Leftovers::Add(const wchar_t* path) {
    if (count < kMaxLeftovers) {
        paths[count].Append(path);
    }
    ++count;
}

void JoinIntoBuffer(const wchar_t* folder, const wchar_t* name, TextBuffer& path) {
    path.Clear();
    path.Append(folder);
    if (!path.empty() && path.text()[path.length() - 1] != L'\\') {
        path.AppendChar(L'\\');
    }
    path.Append(name);
}

DWORD PrivateFolder::Create() {
    wchar_t temporary[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, temporary);
    if (length == 0 || length > MAX_PATH) {
        return length == 0 ? GetLastError() : ERROR_BUFFER_OVERFLOW;
    }
    if (!BindSecurityDescriptorParsing()) {
        return GetLastError();
    }
    LocalMemory<void> descriptor;
    if (!g_advapi32.convertStringSecurityDescriptor(kPrivateSecurity, SDDL_REVISION_1,
                                                    descriptor.put(), nullptr)) {
        return GetLastError();
    }
    path_.Clear();
    path_.Append(temporary);
    AppendUniqueName(path_);
    if (path_.failed()) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    SECURITY_ATTRIBUTES security = {sizeof(security), descriptor.get(), FALSE};
    if (!CreateDirectoryW(path_.text(), &security)) {
        return GetLastError();
    }
    created_ = true;
    return ERROR_SUCCESS;
}

DWORD PrivateFolder::CreateSubfolder(const wchar_t* name, TextBuffer& path) const {
    JoinIntoBuffer(path_.text(), name, path);
    if (path.failed()) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return CreateDirectoryW(path.text(), nullptr) ? ERROR_SUCCESS : GetLastError();
}

void PrivateFolder::Remove(Leftovers& left) {
    if (!created_) {
        return;
    }
    const DWORD start = GetTickCount();
    while (!RemoveTree(path_.text(), 0, nullptr)) {
        if (GetTickCount() - start >= kRemoveRetryMilliseconds) {
            // One last pass names what stays.
            if (!RemoveTree(path_.text(), 0, &left)) {
                return;
            }
            break;
        }
        Sleep(kRemovePauseMilliseconds);
    }
    created_ = false;
}
