#include "loader/system_directory.h"

#include <stdint.h>

#include "base/local_memory.h"
#include "base/system_directory.h"
#include "loader/load_observer.h"
#include "loader/strings/wide_strings.h"

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
