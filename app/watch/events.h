// Which of the window's messages are events after which the display driver may have put
// its own display settings back, and the identities that the notifications are asked for.
#pragma once

#include <windows.h>

#include "app/watch/watcher_status.h"

// Device interface classes whose arrival is an event: a monitor plugged in, and a display
// adapter, which arrives again when its driver restarts or is updated.
constexpr GUID kMonitorInterfaceClass = {
    0xE6F07B5F, 0xEE97, 0x4A90, {0xB0, 0x76, 0x33, 0xF5, 0x7B, 0xF4, 0xEA, 0xA7}};
constexpr GUID kDisplayAdapterInterfaceClass = {
    0x1CA05180, 0xA699, 0x450A, {0x9A, 0x0C, 0xDE, 0x4F, 0xBE, 0x3D, 0xDD, 0x89}};

// Power settings that report the display's state: GUID_CONSOLE_DISPLAY_STATE from Windows 8
// on (0 off, 1 on, 2 dimmed), and GUID_MONITOR_POWER_ON (0 off, 1 on), the only one that
// Windows 7 has.
constexpr GUID kConsoleDisplayState = {
    0x6FE69556, 0x704A, 0x47A0, {0x8F, 0x24, 0xC2, 0x8D, 0x93, 0x6F, 0xDA, 0x47}};
constexpr GUID kMonitorPowerOn = {
    0x02731015, 0x4510, 0x4526, {0x99, 0xE6, 0xE5, 0xA1, 0x7E, 0xBD, 0x1A, 0xEA}};

class EventFilter {
  public:
    // True for WM_DISPLAYCHANGE, a resume, the display turning on from off, an unlock or a
    // return to the console, and the arrival of a monitor or a display adapter, with the
    // kind of event in cause. Remembers the display's power state from one report to the
    // next.
    bool IsResetEvent(UINT message, WPARAM wParam, LPARAM lParam, RunCause& cause);

  private:
    bool DisplayTurnsOn(LPARAM data);

    static constexpr DWORD kDisplayUnknown = 0xFFFFFFFF;
    DWORD displayState_ = kDisplayUnknown;
};
