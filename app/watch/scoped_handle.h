// Owner of a kernel handle (process, mutex, event), closed at destruction.
#pragma once

#include <windows.h>

class ScopedHandle {
  public:
    explicit ScopedHandle(HANDLE handle = nullptr) : handle_(handle) {}
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    ~ScopedHandle() { reset(); }

    HANDLE get() const { return handle_; }
    void reset(HANDLE handle = nullptr) {
        if (handle_ != nullptr) {
            CloseHandle(handle_);
        }
        handle_ = handle;
    }

  private:
    HANDLE handle_;
};
