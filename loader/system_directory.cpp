#include "loader/system_directory.h"

#include <stdint.h>

#include "loader/load_observer.h"
#include "loader/strings/local_memory.h"
#include "loader/strings/wide_strings.h"

namespace {

bool IsPathSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
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

wchar_t* BuildSystemDirectoryPath(const wchar_t* name) {
    if (name == nullptr) {
        return nullptr;
    }
    uint32_t nameLength = 0;
    if (StringLengthBounded(name, kMaxStringChars, &nameLength) != kStringOk) {
        return nullptr;
    }
    // Size including the terminator; 0 when the system cannot tell us the directory.
    const UINT directorySize = GetSystemDirectoryW(nullptr, 0);
    if (directorySize == 0) {
        return nullptr;
    }
    // Directory, one backslash, name, terminator.
    const uint64_t capacity = uint64_t{directorySize} + nameLength + 1;
    if (capacity > kMaxStringChars) {
        return nullptr;
    }
    LocalString path;
    if (!path.allocate(static_cast<size_t>(capacity) * sizeof(wchar_t))) {
        return nullptr;
    }
    UINT length = GetSystemDirectoryW(path.get(), directorySize);
    // 0 is a failure; a count that does not fit means the answer changed between the calls.
    // Either way there is no directory text to build on.
    if (length == 0 || length >= directorySize) {
        return nullptr;
    }
    if (path.get()[length - 1] != L'\\') {
        path.get()[length++] = L'\\';
    }
    if (StringCopyBounded(path.get() + length, static_cast<uint32_t>(capacity - length), name) !=
        kStringOk) {
        return nullptr;
    }
    return path.release();
}

HMODULE LoadLibrarySystemDirectory(const wchar_t* name, DWORD flags) {
    if (name == nullptr) {
        SetLastError(ERROR_BAD_ARGUMENTS);
        return nullptr;
    }
    LocalString path(BuildSystemDirectoryPath(name));
    if (!path) {
        return nullptr;
    }
    return LoadDecidedModule(ModulePlace::kSystemDirectory, path.get(),
                             WithoutSearchPathFlags(flags));
}
