// Which of the window's messages are events after which the display driver may have put
// its own display settings back, and the identities that the notifications are asked for.
#pragma once

#include <windows.h>

#include "app/common/watcher_contract.h"

// The device interface classes whose arrival is an event are a monitor's
// (GUID_DEVINTERFACE_MONITOR: one plugged in) and a display device's
// (GUID_DISPLAY_DEVICE_ARRIVAL: an adapter arrives again when its driver restarts or is
// updated); the display's state is reported by the power settings GUID_CONSOLE_DISPLAY_STATE
// and GUID_MONITOR_POWER_ON (base/known_guids.h).

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
