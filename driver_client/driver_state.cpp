#include "driver_client/driver_state.h"

#include <stdlib.h>

#include <new>

#include "loader/module_loader.h"

DriverClientState g_driverClient;

namespace {

// The one DriverLock, made at first need. A function-local static with thread-safe
// initialisation would pull the C++ runtime's guard, terminate handler and demangler into
// the static program (about eight times its size), so the once-construction is done here
// with an atomic state word and compiler atomics only.
enum LockState : int { kLockAbsent, kLockBeingMade, kLockReady };

constinit std::atomic<int> g_lockState{kLockAbsent};
alignas(DriverLock) unsigned char g_lockStorage[sizeof(DriverLock)];

DriverLock* LockObject() {
    return std::launder(reinterpret_cast<DriverLock*>(g_lockStorage));
}

void DestroyDriverLock() {
    LockObject()->~DriverLock();
    g_lockState.store(kLockAbsent, std::memory_order_release);
}

DriverLock& TheDriverLock() {
    while (g_lockState.load(std::memory_order_acquire) != kLockReady) {
        int expected = kLockAbsent;
        if (g_lockState.compare_exchange_strong(expected, kLockBeingMade,
                                                std::memory_order_acq_rel)) {
            new (g_lockStorage) DriverLock();
            atexit(DestroyDriverLock);
            g_lockState.store(kLockReady, std::memory_order_release);
            break;
        }
        // Another thread is constructing it; construction is a handful of instructions.
        YieldProcessor();
    }
    return *LockObject();
}

class DriverLockGuard {
  public:
    explicit DriverLockGuard(DriverLock& lock) : lock_(lock) { lock_.Lock(); }
    ~DriverLockGuard() { lock_.Unlock(); }
    DriverLockGuard(const DriverLockGuard&) = delete;
    DriverLockGuard& operator=(const DriverLockGuard&) = delete;

  private:
    DriverLock& lock_;
};

bool IsDriverLibraryBound() {
    return g_driverClient.module.load(std::memory_order_acquire) != nullptr;
}

template <typename Fn>
Fn QueryEntryPoint(QueryInterfaceFn query, InterfaceId id) {
    return reinterpret_cast<Fn>(query(id));
}

void ClearEntryPointCache() {
    for (std::atomic<void*>& slot : g_driverClient.entryPoints) {
        slot.store(nullptr, std::memory_order_relaxed);
    }
}

// A failed bind forgets the query-interface entry but keeps hooks and cache as they were.
DriverStatus FailBind(DriverStatus status) {
    g_driverClient.queryInterface.store(nullptr, std::memory_order_release);
    return status;
}

}  // namespace

DriverStatus InitializeDriverInterface() {
    DriverLockGuard guard(TheDriverLock());
    return EnsureDriverLibrary();
}

DriverStatus EnsureDriverLibrary() {
    if (IsDriverLibraryBound()) {
        return kDriverOk;
    }
    // A wrapper may get here before anyone initialised: the load still runs under the
    // lock, so two threads never load or bind at once. The lock is re-entrant, so
    // InitializeDriverInterface, which holds it already, passes straight through.
    DriverLockGuard guard(TheDriverLock());
    return LoadDriverLibrary();
}

DriverStatus LoadDriverLibrary() {
    if (IsDriverLibraryBound()) {
        return kDriverOk;
    }
    HMODULE module = LoadLibrarySecure(kDriverLibraryName, 0);
    if (module == nullptr) {
        return kDriverLibraryNotFound;
    }
    DriverStatus status = BindDriverLibrary(module);
    if (status != kDriverOk) {
        FreeLibrary(module);
        return status;
    }
    // Published last: whoever sees the module also sees everything the bind stored.
    g_driverClient.module.store(module, std::memory_order_release);
    return kDriverOk;
}

DriverStatus BindDriverLibrary(HMODULE module) {
    auto query = reinterpret_cast<QueryInterfaceFn>(
        reinterpret_cast<void*>(GetProcAddress(module, kQueryInterfaceExport)));
    g_driverClient.queryInterface.store(query, std::memory_order_release);
    if (query == nullptr) {
        return kDriverError;
    }
    auto initialize = QueryEntryPoint<DriverInitializeFn>(query, kIdDriverInitialize);
    if (initialize == nullptr) {
        return FailBind(kDriverError);
    }
    DriverStatus status = initialize();
    if (status != kDriverOk) {
        return FailBind(status);
    }
    auto entryHook = QueryEntryPoint<EntryHookFn>(query, kIdEntryHook);
    auto exitHook = QueryEntryPoint<ExitHookFn>(query, kIdExitHook);
    // The hooks bracket a call as a pair; one without the other is not used at all.
    if (entryHook == nullptr || exitHook == nullptr) {
        entryHook = nullptr;
        exitHook = nullptr;
    }
    g_driverClient.entryHook.store(entryHook, std::memory_order_release);
    g_driverClient.exitHook.store(exitHook, std::memory_order_release);
    ClearEntryPointCache();
    return kDriverOk;
}

void ResetDriverClientForTesting() {
    HMODULE module = g_driverClient.module.exchange(nullptr, std::memory_order_acq_rel);
    g_driverClient.queryInterface.store(nullptr);
    g_driverClient.entryHook.store(nullptr);
    g_driverClient.exitHook.store(nullptr);
    ClearEntryPointCache();
    if (module != nullptr) {
        FreeLibrary(module);
    }
}
