// Ownership of LocalAlloc memory inside the loader. Public operations still hand out raw
// allocated strings (freed with LocalFree); this keeps every internal path leak-free.
#pragma once

#include <windows.h>

#include <stddef.h>

#include "loader/strings/scoped_owner.h"

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

    // Zero-filled allocation of byteCount bytes; false (and empty) on failure.
    bool allocate(size_t byteCount) {
        this->reset(static_cast<T*>(LocalAlloc(LMEM_ZEROINIT, byteCount)));
        return this->valid();
    }
};

using LocalString = LocalMemory<wchar_t>;
