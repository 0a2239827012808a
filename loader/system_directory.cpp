#include "loader/system_directory.h"

#include <stdint.h>

#include "loader/load_observer.h"
#include "loader/strings/local_memory.h"
#include "loader/strings/wide_strings.h"

namespace {

// The system directory in a new zero-filled buffer with room for extraChars more characters
// after it: its length, or 0 when it cannot be had (GetSystemDirectoryW or the allocation
// left the reason). The one place where the directory is asked for, twice: once for its
// size, once for the text.
uint32_t ReadSystemDirectory(LocalString& buffer, uint32_t extraChars) {
    // Size including the terminator; 0 when the system cannot tell us the directory.
    const UINT size = GetSystemDirectoryW(nullptr, 0);
    if (size == 0) {
        return 0;
    }
    const uint64_t capacity = uint64_t{size} + extraChars;
    if (capacity > kMaxStringChars ||
        !buffer.allocate(static_cast<size_t>(capacity) * sizeof(wchar_t))) {
        return 0;
    }
    const UINT length = GetSystemDirectoryW(buffer.get(), size);
    // 0 is a failure; a count that does not fit means the answer changed between the calls.
    // Either way there is no directory text to build on.
    if (length == 0 || length >= size) {
        return 0;
    }
    return length;
}

}  // namespace

int HasPathSeparator(const wchar_t* text) {
    if (text == nullptr) {
        return 0;
    }
    for (; *text != L'\0'; ++text) {
        if (IsPathSeparator(*text)) {
            return 1;
        }
    }
    return 0;
}

wchar_t* GetSystemDirectoryAlloc() {
    SetLastError(ERROR_SUCCESS);
    LocalString directory;
    if (ReadSystemDirectory(directory, 0) == 0) {
        return nullptr;
    }
    return directory.release();
}

wchar_t* BuildSystemDirectoryPath(const wchar_t* name) {
    if (name == nullptr) {
        return nullptr;
    }
    uint32_t nameLength = 0;
    if (StringLengthBounded(name, kMaxStringChars, &nameLength) != kStringOk) {
        return nullptr;
    }
    // Room for one backslash and the name after the directory.
    LocalString path;
    uint32_t length = ReadSystemDirectory(path, nameLength + 1);
    if (length == 0) {
        return nullptr;
    }
    const uint32_t capacity = length + 1 + nameLength + 1;
    if (path.get()[length - 1] != L'\\') {
        path.get()[length++] = L'\\';
    }
    if (StringCopyBounded(path.get() + length, capacity - length, name) != kStringOk) {
        return nullptr;
    }
    return path.release();
}

HMODULE LoadLibrarySystemDirectory(const wchar_t* name, DWORD flags) {
    if (name == nullptr) {
        RefuseLoad(LoadRefusal::kBadName, ERROR_BAD_ARGUMENTS, name);
        return nullptr;
    }
    LocalString path(BuildSystemDirectoryPath(name));
    if (!path) {
        return nullptr;
    }
    return LoadDecidedModule(ModulePlace::kSystemDirectory, path.get(),
                             WithoutSearchPathFlags(flags));
}
