// The driver interface client: loads and binds nvapi.dll once, and calls its entry points
// through wrappers that cache each entry point and bracket the call with the driver's hooks.
#pragma once

#include "driver_client/driver_contract.h"

// Makes sure nvapi.dll is loaded from a trusted place and bound. Returns 0, -1, -2, or the
// driver's own failure status from its initialize entry. Safe to call from several threads.
DriverStatus InitializeDriverInterface();

// Wrappers. Each returns the entry point's own status, or the client's -1/-2/-3, or the
// initialize entry's failure status when the library could not be bound.
DriverStatus EnumPhysicalGpus(GpuHandle* gpus, uint32_t* count);
DriverStatus EnumDisplayHandle(uint32_t index, DisplayHandle* display);
DriverStatus QueryDisplayRecord(DisplayHandle display, DisplayRecord* record, uint32_t* companion);
DriverStatus ApplyDisplayRecord(DisplayHandle display, DisplayRecord* record, uint32_t companion);
