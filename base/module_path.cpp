#include "base/module_path.h"

#include <wchar.h>

namespace {

DWORD NextCapacity(DWORD capacity) {
    return capacity >= kMaxPathChars / 2 ? kMaxPathChars : capacity * 2;
}

}  // namespace

LocalString GetModuleFileNameAlloc(HMODULE module) {
    LocalString path;
    for (DWORD capacity = MAX_PATH;; capacity = NextCapacity(capacity)) {
        if (!path.allocate(capacity)) {
            return LocalString();
        }
        const DWORD length = GetModuleFileNameW(module, path.get(), capacity);
        if (length == 0) {
            return LocalString();
        }
        // A path that fills the buffer was cut short.
        if (length < capacity) {
            return path;
        }
        if (capacity == kMaxPathChars) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return LocalString();
        }
    }
}

LocalString GetPathBesideExecutable(const wchar_t* name) {
    const LocalString executable = GetModuleFileNameAlloc(nullptr);
    if (!executable) {
        return LocalString();
    }
    const wchar_t* lastSeparator = wcsrchr(executable.get(), L'\\');
    if (lastSeparator == nullptr) {
        SetLastError(ERROR_BAD_PATHNAME);
        return LocalString();
    }
    const size_t folderLength = static_cast<size_t>(lastSeparator - executable.get()) + 1;
    const size_t nameLength = wcslen(name);
    LocalString path;
    if (!path.allocate(folderLength + nameLength + 1)) {
        return LocalString();
    }
    wmemcpy(path.get(), executable.get(), folderLength);
    wmemcpy(path.get() + folderLength, name, nameLength + 1);
    return path;
}
