// The one owner of a handle or an allocation: whatever it owns is closed on every way out,
// by the close function its traits name. Every owner class of the loader, the companion and
// the watcher is an instance (LocalMemory, the registry, device-set and service handles,
// kernel handles, mapped views).
//
// A traits type gives:
//   using Handle = ...;                  the handle type, a pointer type
//   static Handle Invalid();             the value that means "nothing owned"
//   static void Close(Handle handle);    the close function
//   static constexpr bool kKeepsLastError;
// A null handle is never closed either, whatever Invalid() is: no close function takes one.
//
// Closing keeps the thread's last-error value when the traits say so, as Chromium's
// ScopedHandle does: the loader's callers, and its driver search, read that value after
// an owner has gone out of scope. The one exception is the device-information set, whose
// destroy call is itself part of what a device lookup leaves (see system_bindings.h).
#pragma once

#include <windows.h>

template <typename Traits>
class ScopedOwner {
  public:
    using Handle = typename Traits::Handle;

    ScopedOwner() = default;
    explicit ScopedOwner(Handle handle) : handle_(handle) {}
    ScopedOwner(const ScopedOwner&) = delete;
    ScopedOwner& operator=(const ScopedOwner&) = delete;
    ScopedOwner(ScopedOwner&& other) noexcept : handle_(other.release()) {}
    ScopedOwner& operator=(ScopedOwner&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~ScopedOwner() { reset(); }

    Handle get() const { return handle_; }
    bool valid() const { return handle_ != Traits::Invalid() && handle_ != nullptr; }
    explicit operator bool() const { return valid(); }

    // Hands the handle over; nothing is owned afterwards.
    Handle release() {
        const Handle handle = handle_;
        handle_ = Traits::Invalid();
        return handle;
    }
    // Closes what is owned, then owns handle.
    void reset(Handle handle = Traits::Invalid()) {
        if (valid()) {
            Close(handle_);
        }
        handle_ = handle;
    }
    // For a call that stores a handle through a pointer: what was owned is closed first, and
    // what the call stores is owned. A call that fails must store nothing or a null or
    // invalid value; one that may leave anything else behind is wrapped (OpenRegistryKey).
    Handle* put() {
        reset();
        return &handle_;
    }

  private:
    static void Close(Handle handle) {
        if constexpr (Traits::kKeepsLastError) {
            const DWORD error = GetLastError();
            Traits::Close(handle);
            SetLastError(error);
        } else {
            Traits::Close(handle);
        }
    }

    Handle handle_ = Traits::Invalid();
};

// A kernel object's handle: a file (INVALID_HANDLE_VALUE when CreateFileW fails), a
// process, an event or a mutex (null when their calls fail); neither is ever closed.
struct KernelHandleTraits {
    using Handle = HANDLE;
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE handle) { CloseHandle(handle); }
    static constexpr bool kKeepsLastError = true;
};
using KernelHandle = ScopedOwner<KernelHandleTraits>;

// A module that the code loaded itself (LoadLibraryExW), null when the load failed.
struct LoadedModuleTraits {
    using Handle = HMODULE;
    static HMODULE Invalid() { return nullptr; }
    static void Close(HMODULE module) { FreeLibrary(module); }
    static constexpr bool kKeepsLastError = true;
};
using LoadedModule = ScopedOwner<LoadedModuleTraits>;

// A view of a file mapping (MapViewOfFile), null when the call fails.
struct MappedViewTraits {
    using Handle = void*;
    static void* Invalid() { return nullptr; }
    static void Close(void* view) { UnmapViewOfFile(view); }
    static constexpr bool kKeepsLastError = true;
};
using MappedView = ScopedOwner<MappedViewTraits>;
