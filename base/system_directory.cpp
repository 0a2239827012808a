#include "base/system_directory.h"

uint32_t ReadSystemDirectory(LocalString& buffer, uint32_t extraChars) {
    // Size including the terminator; 0 when the system cannot tell us the directory.
    const UINT size = GetSystemDirectoryW(nullptr, 0);
    if (size == 0) {
        return 0;
    }
    const uint64_t capacity = uint64_t{size} + extraChars;
    if (capacity > SIZE_MAX || !buffer.allocate(static_cast<size_t>(capacity))) {
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

wchar_t* GetSystemDirectoryAlloc() {
    SetLastError(ERROR_SUCCESS);
    LocalString directory;
    if (ReadSystemDirectory(directory, 0) == 0) {
        return nullptr;
    }
    return directory.release();
}
