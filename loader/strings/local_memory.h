// Ownership of LocalAlloc memory inside the loader. Public operations still hand out raw
// allocated strings (freed with LocalFree); this keeps every internal path leak-free.
#pragma once

#include <windows.h>

#include <stddef.h>

template <typename T>
class LocalMemory {
  public:
    LocalMemory() = default;
    explicit LocalMemory(T* pointer) : pointer_(pointer) {}
    LocalMemory(const LocalMemory&) = delete;
    LocalMemory& operator=(const LocalMemory&) = delete;
    LocalMemory(LocalMemory&& other) : pointer_(other.release()) {}
    LocalMemory& operator=(LocalMemory&& other) {
        reset(other.release());
        return *this;
    }
    ~LocalMemory() { reset(); }

    // Zero-filled allocation of byteCount bytes; false (and empty) on failure.
    bool allocate(size_t byteCount) {
        reset(static_cast<T*>(LocalAlloc(LMEM_ZEROINIT, byteCount)));
        return pointer_ != nullptr;
    }
    T* get() const { return pointer_; }
    explicit operator bool() const { return pointer_ != nullptr; }
    T* release() {
        T* pointer = pointer_;
        pointer_ = nullptr;
        return pointer;
    }
    void reset(T* pointer = nullptr) {
        if (pointer_ != nullptr) {
            // LocalFree can reset the last-error value; keep whatever the caller's
            // protocol has placed there.
            DWORD error = GetLastError();
            LocalFree(pointer_);
            SetLastError(error);
        }
        pointer_ = pointer;
    }

  private:
    T* pointer_ = nullptr;
};

using LocalString = LocalMemory<wchar_t>;
