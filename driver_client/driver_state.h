// The client's process-wide state and the steps that load and bind the driver library.
// Internal to the client; the tests read and reset it.
#pragma once

#include <windows.h>

#include <atomic>

#include "driver_client/driver_contract.h"

// One cache slot per driver interface, at a fixed index: a wrapper finds its entry point
// with one indexed atomic load (no search, no hashing, no lock) and fills it with one store
// that needs no coordination with any other wrapper (two threads that race store the same
// address). The numbers are the client's layout, fixed once for all wrappers: room for 632
// driver interfaces, each with its own position; the four wrappers below use their
// interfaces' positions, and a wrapper for a further entry point takes its own free slot,
// so the cache is never resized or rehashed and no slot ever changes meaning. All zeros at
// start, the cache costs the image nothing (it lives in .bss).
constexpr size_t kEntryPointCacheSlots = 632;

// The slots of the four interfaces the wrappers use: their indexes in the driver's table.
enum EntryPointSlot : size_t {
    kSlotApplyDisplayRecord = 6,
    kSlotEnumPhysicalGpus = 23,
    kSlotEnumDisplayHandle = 184,
    kSlotQueryDisplayRecord = 224,
};

// All fields start null. The module handle is published last (release) by a successful
// bind, so a reader that sees it set (acquire) also sees what the bind stored before it.
struct DriverClientState {
    std::atomic<QueryInterfaceFn> queryInterface;
    std::atomic<EntryHookFn> entryHook;
    std::atomic<ExitHookFn> exitHook;
    std::atomic<HMODULE> module;
    std::atomic<void*> entryPoints[kEntryPointCacheSlots];
};
extern DriverClientState g_driverClient;

// Serialises loading and binding. One per process, made at first need in static storage and
// destroyed at normal process exit. Its destructor is its one virtual operation.
class DriverLock {
  public:
    DriverLock() { InitializeCriticalSection(&section_); }
    virtual ~DriverLock() { DeleteCriticalSection(&section_); }
    DriverLock(const DriverLock&) = delete;
    DriverLock& operator=(const DriverLock&) = delete;

    // A virtual destructor brings a deleting destructor into the vtable, and with it an
    // operator delete. The lock never lives on the heap, so the class names its own, which
    // nothing calls, instead of linking the C++ runtime's allocator into the static program.
    static void operator delete(void*) {}

    void Lock() { EnterCriticalSection(&section_); }
    void Unlock() { LeaveCriticalSection(&section_); }

  private:
    CRITICAL_SECTION section_;
};

// 0 when the library is loaded and bound, loading and binding it first (under DriverLock)
// when it is not.
DriverStatus EnsureDriverLibrary();
DriverStatus LoadDriverLibrary();
DriverStatus BindDriverLibrary(HMODULE module);

// For tests only: release a bound library and return the state to its process-start values.
void ResetDriverClientForTesting();
