// What the client passes to the display driver's API library (nvapi.dll) and what it
// relies on from it. Shared by the client and by the simulated driver in tools/.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Every export, entry point and hook of the library uses the C calling convention.
#if defined(__i386__)
#define DRIVER_CALL __cdecl
#else
#define DRIVER_CALL
#endif

using InterfaceId = uint32_t;
using DriverStatus = int32_t;
using GpuHandle = uint32_t;
using DisplayHandle = uint32_t;

// Statuses of the client itself; any other value is the driver's own and passes through.
constexpr DriverStatus kDriverOk = 0;
constexpr DriverStatus kDriverError = -1;
constexpr DriverStatus kDriverLibraryNotFound = -2;
constexpr DriverStatus kDriverNoEntryPoint = -3;

constexpr char kQueryInterfaceExport[] = "nvapi_QueryInterface";
constexpr wchar_t kDriverLibraryName[] = L"nvapi.dll";

// Interface IDs handed to nvapi_QueryInterface.
constexpr InterfaceId kIdDriverInitialize = 0x0150E828;
constexpr InterfaceId kIdEntryHook = 0x33C7358C;
constexpr InterfaceId kIdExitHook = 0x593E8644;
constexpr InterfaceId kIdEnumPhysicalGpus = 0xE5AC921F;
constexpr InterfaceId kIdEnumDisplayHandle = 0x9ABDD40D;
constexpr InterfaceId kIdQueryDisplayRecord = 0xDC27D5D4;
constexpr InterfaceId kIdApplyDisplayRecord = 0xE04F3D86;

constexpr size_t kMaxPhysicalGpus = 64;

// The display record, 216 bytes, little-endian. Only the version word and the setting at
// byte offset 72 mean anything to the client; the rest belongs to the driver.
constexpr uint32_t kDisplayRecordSize = 216;
constexpr uint32_t kDisplayRecordVersion = 5;
constexpr uint32_t kDisplayRecordVersionWord = (kDisplayRecordVersion << 16) | kDisplayRecordSize;
constexpr uint32_t kDisplaySettingValue = 2;

struct DisplayRecord {
    uint32_t version;
    uint8_t driverData1[68];
    uint32_t setting;
    uint8_t driverData2[140];
};
static_assert(sizeof(DisplayRecord) == kDisplayRecordSize);
static_assert(offsetof(DisplayRecord, setting) == 72);

// Each wrapped call has two 32-bit hook words; the entry hook receives the address of the
// first and may write both, the exit hook receives them by value.
constexpr size_t kHookScratchWords = 2;

using QueryInterfaceFn = void*(DRIVER_CALL*)(InterfaceId id);
using DriverInitializeFn = DriverStatus(DRIVER_CALL*)();
using EntryHookFn = DriverStatus(DRIVER_CALL*)(InterfaceId id, uint32_t* scratch);
using ExitHookFn = DriverStatus(DRIVER_CALL*)(InterfaceId id, uint32_t word0, uint32_t word1,
                                              DriverStatus status);
using EnumPhysicalGpusFn = DriverStatus(DRIVER_CALL*)(GpuHandle* gpus, uint32_t* count);
using EnumDisplayHandleFn = DriverStatus(DRIVER_CALL*)(uint32_t index, DisplayHandle* display);
using QueryDisplayRecordFn = DriverStatus(DRIVER_CALL*)(DisplayHandle display,
                                                        DisplayRecord* record, uint32_t* companion);
using ApplyDisplayRecordFn = DriverStatus(DRIVER_CALL*)(DisplayHandle display,
                                                        DisplayRecord* record, uint32_t companion);
