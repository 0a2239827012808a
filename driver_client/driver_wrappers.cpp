#include "driver_client/driver_client.h"
#include "driver_client/driver_state.h"

namespace {

// The entry point of id, from its cache slot or, the first time after a bind, from the
// driver. A miss is not remembered, so the driver is asked again next time.
void* ObtainEntryPoint(InterfaceId id, size_t slot) {
    std::atomic<void*>& cached = g_driverClient.entryPoints[slot];
    void* entry = cached.load(std::memory_order_acquire);
    if (entry != nullptr) {
        return entry;
    }
    QueryInterfaceFn query = g_driverClient.queryInterface.load(std::memory_order_acquire);
    if (query == nullptr) {
        return nullptr;
    }
    entry = query(id);
    cached.store(entry, std::memory_order_release);
    return entry;
}

// Every wrapper: make sure the library is bound, find the entry point, and call it between
// the driver's entry and exit hooks. The result is always the entry point's own status.
template <typename EntryFn, typename... Args>
DriverStatus CallDriverEntry(InterfaceId id, size_t slot, Args... args) {
    DriverStatus status = EnsureDriverLibrary();
    if (status != kDriverOk) {
        return status;
    }
    void* entry = ObtainEntryPoint(id, slot);
    if (entry == nullptr) {
        return kDriverNoEntryPoint;
    }
    uint32_t scratch[kHookScratchWords] = {0, 0};
    if (EntryHookFn entryHook = g_driverClient.entryHook.load(std::memory_order_acquire)) {
        entryHook(id, scratch);
    }
    status = reinterpret_cast<EntryFn>(entry)(args...);
    if (ExitHookFn exitHook = g_driverClient.exitHook.load(std::memory_order_acquire)) {
        exitHook(id, scratch[0], scratch[1], status);
    }
    return status;
}

}  // namespace

DriverStatus EnumPhysicalGpus(GpuHandle* gpus, uint32_t* count) {
    return CallDriverEntry<EnumPhysicalGpusFn>(kIdEnumPhysicalGpus, kSlotEnumPhysicalGpus, gpus,
                                               count);
}

DriverStatus EnumDisplayHandle(uint32_t index, DisplayHandle* display) {
    return CallDriverEntry<EnumDisplayHandleFn>(kIdEnumDisplayHandle, kSlotEnumDisplayHandle, index,
                                                display);
}

DriverStatus QueryDisplayRecord(DisplayHandle display, DisplayRecord* record, uint32_t* companion) {
    return CallDriverEntry<QueryDisplayRecordFn>(kIdQueryDisplayRecord, kSlotQueryDisplayRecord,
                                                 display, record, companion);
}

DriverStatus ApplyDisplayRecord(DisplayHandle display, DisplayRecord* record, uint32_t companion) {
    return CallDriverEntry<ApplyDisplayRecordFn>(kIdApplyDisplayRecord, kSlotApplyDisplayRecord,
                                                 display, record, companion);
}
