#include "app/watch/events.h"

#include <dbt.h>
#include <string.h>
#include <wtsapi32.h>

#include "base/known_guids.h"

namespace {

constexpr DWORD kDisplayOff = 0;
constexpr DWORD kDisplayOn = 1;

// A resume from sleep or hibernation. A resume that the user started brings both; the
// automatic one comes alone when nobody is there, and the settle time merges the two.
bool IsResume(WPARAM event) {
    return event == PBT_APMRESUMEAUTOMATIC || event == PBT_APMRESUMESUSPEND;
}

bool IsSessionReturn(WPARAM event) {
    return event == WTS_SESSION_UNLOCK || event == WTS_CONSOLE_CONNECT;
}

bool IsWatchedArrival(WPARAM event, LPARAM data) {
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
    if (event != DBT_DEVICEARRIVAL || header == nullptr ||
        header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) {
        return false;
    }
    const GUID& interfaceClass =
        reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(header)->dbcc_classguid;
    return IsEqualGUID(interfaceClass, well_known::GUID_DEVINTERFACE_MONITOR) ||
           IsEqualGUID(interfaceClass, well_known::GUID_DISPLAY_DEVICE_ARRIVAL);
}

}  // namespace

bool EventFilter::IsResetEvent(UINT message, WPARAM wParam, LPARAM lParam, RunCause& cause) {
    switch (message) {
        case WM_DISPLAYCHANGE:
            cause = RunCause::kDisplayChange;
            return true;
        case WM_POWERBROADCAST:
            cause = IsResume(wParam) ? RunCause::kResume : RunCause::kDisplayOn;
            return IsResume(wParam) || (wParam == PBT_POWERSETTINGCHANGE && DisplayTurnsOn(lParam));
        case WM_WTSSESSION_CHANGE:
            cause = RunCause::kSessionReturn;
            return IsSessionReturn(wParam);
        case WM_DEVICECHANGE:
            cause = RunCause::kDeviceArrival;
            return IsWatchedArrival(wParam, lParam);
    }
    return false;
}

// Only a change from off to on is an event: the first report after the registration gives
// the state at that moment, not a change, and a dimmed display was never off.
bool EventFilter::DisplayTurnsOn(LPARAM data) {
    const auto* setting = reinterpret_cast<const POWERBROADCAST_SETTING*>(data);
    if (setting == nullptr || setting->DataLength < sizeof(DWORD) ||
        !(IsEqualGUID(setting->PowerSetting, well_known::GUID_CONSOLE_DISPLAY_STATE) ||
          IsEqualGUID(setting->PowerSetting, well_known::GUID_MONITOR_POWER_ON))) {
        return false;
    }
    DWORD state;
    memcpy(&state, setting->Data, sizeof(state));
    if (state != kDisplayOff && state != kDisplayOn) {
        return false;
    }
    const bool turnsOn = state == kDisplayOn && displayState_ == kDisplayOff;
    displayState_ = state;
    return turnsOn;
}
