#include "app/watch/notifications.h"

#include <dbt.h>
#include <wtsapi32.h>

#include "app/watch/events.h"
#include "base/known_guids.h"
#include "app/watch/user_bindings.h"

namespace {

// The terminal services set this event once they are up; until then a session
// registration fails with RPC_S_INVALID_BINDING.
constexpr wchar_t kTerminalServicesReadyEvent[] = L"Global\\TermSrvReadyEvent";

}  // namespace

void Notifications::Register(HWND window) {
    window_ = window;
    // Windows 8 and later report both settings, Windows 7 only the monitor's; the two reports
    // of one change are one event once the settle time has merged them.
    RegisterPowerSetting(well_known::GUID_CONSOLE_DISPLAY_STATE, power_[0]);
    RegisterPowerSetting(well_known::GUID_MONITOR_POWER_ON, power_[1]);
    RegisterDeviceArrival(well_known::GUID_DEVINTERFACE_MONITOR, devices_[0]);
    RegisterDeviceArrival(well_known::GUID_DISPLAY_DEVICE_ARRIVAL, devices_[1]);
    RegisterSession();
}

void Notifications::RegisterSession() {
    if (session_ || window_ == nullptr ||
        g_wtsapi32.registerSessionNotification.load() == nullptr ||
        g_wtsapi32.unregisterSessionNotification.load() == nullptr) {
        return;
    }
    session_ = g_wtsapi32.registerSessionNotification(window_, NOTIFY_FOR_THIS_SESSION);
    if (session_) {
        servicesReady_.reset();
    } else if (GetLastError() == RPC_S_INVALID_BINDING && !servicesAwaited_) {
        // Once only: an event that is set while the registration still fails must not keep
        // the message loop spinning.
        servicesAwaited_ = true;
        servicesReady_.reset(OpenEventW(SYNCHRONIZE, FALSE, kTerminalServicesReadyEvent));
    }
}

void Notifications::OnServicesReady() {
    servicesReady_.reset();
    RegisterSession();
}

void Notifications::Unregister() {
    servicesReady_.reset();
    if (session_) {
        g_wtsapi32.unregisterSessionNotification(window_);
        session_ = false;
    }
    for (HDEVNOTIFY& device : devices_) {
        if (device != nullptr) {
            g_user32.unregisterDeviceNotification(device);
            device = nullptr;
        }
    }
    for (HPOWERNOTIFY& power : power_) {
        if (power != nullptr) {
            g_user32.unregisterPowerSettingNotification(power);
            power = nullptr;
        }
    }
    window_ = nullptr;
}

void Notifications::RegisterPowerSetting(const GUID& setting, HPOWERNOTIFY& power) {
    if (g_user32.registerPowerSettingNotification.load() == nullptr ||
        g_user32.unregisterPowerSettingNotification.load() == nullptr) {
        return;
    }
    power =
        g_user32.registerPowerSettingNotification(window_, &setting, DEVICE_NOTIFY_WINDOW_HANDLE);
}

void Notifications::RegisterDeviceArrival(const GUID& interfaceClass, HDEVNOTIFY& device) {
    if (g_user32.registerDeviceNotification.load() == nullptr ||
        g_user32.unregisterDeviceNotification.load() == nullptr) {
        return;
    }
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = interfaceClass;
    device = g_user32.registerDeviceNotification(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}
