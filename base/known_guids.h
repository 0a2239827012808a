// The well-known GUIDs that the programs use, each defined once, under its name in the
// Windows SDK. They live in a namespace of their own: some SDK headers declare the same
// names as external objects that only a GUID library defines.
#pragma once

#include <windows.h>

namespace well_known {

// The display-device interface class: the NVIDIA display device is found through it, and
// its arrival tells that a display adapter (re)started.
inline constexpr GUID GUID_DISPLAY_DEVICE_ARRIVAL = {
    0x1CA05180, 0xA699, 0x450A, {0x9A, 0x0C, 0xDE, 0x4F, 0xBE, 0x3D, 0xDD, 0x89}};
// The monitor device interface class: its arrival is a monitor plugged in.
inline constexpr GUID GUID_DEVINTERFACE_MONITOR = {
    0xE6F07B5F, 0xEE97, 0x4A90, {0xB0, 0x76, 0x33, 0xF5, 0x7B, 0xF4, 0xEA, 0xA7}};
// Power settings that report the display's state: from Windows 8 on (0 off, 1 on, 2 dimmed)
// and the only one that Windows 7 has (0 off, 1 on).
inline constexpr GUID GUID_CONSOLE_DISPLAY_STATE = {
    0x6FE69556, 0x704A, 0x47A0, {0x8F, 0x24, 0xC2, 0x8D, 0x93, 0x6F, 0xDA, 0x47}};
inline constexpr GUID GUID_MONITOR_POWER_ON = {
    0x02731015, 0x4510, 0x4526, {0x99, 0xE6, 0xE5, 0xA1, 0x7E, 0xBD, 0x1A, 0xEA}};

}  // namespace well_known
