// Ownership of LocalAlloc memory. The loader's public operations still hand out raw allocated
// strings (freed with LocalFree); this keeps every internal path leak-free.
#pragma once

#include <windows.h>

#include <stddef.h>
#include <stdint.h>

#include "base/scoped_owner.h"

template <typename T>
struct LocalMemoryTraits {
    using Handle = T*;
    static T* Invalid() { return nullptr; }
    static void Close(T* block) { LocalFree(block); }
    // LocalFree can reset the last-error value; the caller's protocol has placed it there.
    static constexpr bool kKeepsLastError = true;
};

template <typename T>
class LocalMemory : public ScopedOwner<LocalMemoryTraits<T>> {
  public:
    using ScopedOwner<LocalMemoryTraits<T>>::ScopedOwner;

    // Zero-filled room for count elements; false (and empty) on failure, and when the size
    // cannot be represented (ERROR_NOT_ENOUGH_MEMORY, as a failed LocalAlloc leaves).
    bool allocate(size_t count) {
        if (count > SIZE_MAX / sizeof(T)) {
            this->reset();
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
        return allocateBytes(count * sizeof(T));
    }

    // Zero-filled room of byteCount bytes, for a record whose size the platform tells in
    // bytes: a fixed part with variable data behind it.
    bool allocateBytes(size_t byteCount) {
        this->reset(static_cast<T*>(LocalAlloc(LMEM_ZEROINIT, byteCount)));
        return this->valid();
    }
};

using LocalString = LocalMemory<wchar_t>;
