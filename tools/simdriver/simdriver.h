// The simulated display driver library's fixed values, shared with the tests that check
// what it journals. Everything it hands out is a constant, so a journal line or a record
// byte can be traced back to the step that produced it.
#pragma once

#include <stdint.h>

#include "driver_client/driver_contract.h"

namespace simdriver {

// Environment variables, read at every call so that a test in the same process can change
// them between calls (unless SIMDRIVER_SNAPSHOT was set at load).
constexpr wchar_t kJournalVariable[] = L"SIMDRIVER_JOURNAL";  // file that events append to
constexpr wchar_t kStateVariable[] = L"SIMDRIVER_STATE";      // file of display 0's record
constexpr wchar_t kFailVariable[] = L"SIMDRIVER_FAIL";        // failures to simulate
// Set at load: the three above are read once, then, and never again.
constexpr wchar_t kSnapshotVariable[] = L"SIMDRIVER_SNAPSHOT";

constexpr GpuHandle kGpuHandle = 0x00C0FFEE;
constexpr DisplayHandle kDisplayHandle = 0x00D15000;
constexpr uint32_t kCompanion = 0x0000C0DE;

// The entry hook overwrites the two scratch words with these, so the exit hook's journal
// line shows that the words travelled from one hook to the other within the same call.
constexpr uint32_t kEntryHookWord0Mask = 0xE0E0E0E0;  // word 0 = interface ID ^ this mask
constexpr uint32_t kEntryHookWord1 = 0x1BADB002;
constexpr uint32_t EntryHookWord0(InterfaceId id) {
    return id ^ kEntryHookWord0Mask;
}

// What the hooks return. The client must ignore both, so they are nonzero and unlike any
// status an entry point gives.
constexpr DriverStatus kEntryHookResult = 0x7E57E417;
constexpr DriverStatus kExitHookResult = -0x7E57E417;

// The driver's own failure statuses: negative and away from the client's -1, -2 and -3.
constexpr DriverStatus kStatusInvalidArgument = -101;   // a null pointer argument
constexpr DriverStatus kStatusEndOfEnumeration = -102;  // no display at that index
constexpr DriverStatus kStatusUnknownDisplay = -103;    // display handle not ours
constexpr DriverStatus kStatusWrongVersion = -104;      // record version word not 0x000500D8
constexpr DriverStatus kStatusWrongCompanion = -105;    // companion not the one handed out
constexpr DriverStatus kStatusStateFile = -106;         // state file unreadable or unwritable
constexpr DriverStatus kStatusNotInitialized = -107;    // DriverInitialize not run yet

// The record of a display that nothing has been applied to yet: the version word, setting
// 0, and every other byte equal to the low byte of its own offset, so a shifted or partly
// copied record is easy to spot.
constexpr uint32_t kDefaultSetting = 0;
constexpr uint8_t DefaultRecordByte(uint32_t offset) {
    return static_cast<uint8_t>(offset);
}

}  // namespace simdriver
