#include "app/watch/notifications.h"

#include <dbt.h>
#include <wtsapi32.h>

#include "app/watch/events.h"
#include "app/watch/user_bindings.h"

namespace {

// The terminal services set this event once they are up; until then a session
// registration fails with RPC_S_INVALID_BINDING.
constexpr wchar_t kTerminalServicesReadyEvent[] = L"Global\\TermSrvReadyEvent";

bool IsWindows8OrLater() {
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    version.dwMajorVersion = 6;
    version.dwMinorVersion = 2;
    const ULONGLONG condition =
        VerSetConditionMask(VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL),
                            VER_MINORVERSION, VER_GREATER_EQUAL);
    return VerifyVersionInfoW(&version, VER_MAJORVERSION | VER_MINORVERSION, condition) != FALSE;
}

}  // namespace

void Notifications::Register(HWND window) {
    window_ = window;
    RegisterPowerSetting();
    RegisterDeviceArrival(kMonitorInterfaceClass, devices_[0]);
    RegisterDeviceArrival(kDisplayAdapterInterfaceClass, devices_[1]);
    RegisterSession();
}

void Notifications::RegisterSession() {
    if (session_ || window_ == nullptr || g_wtsapi32.registerSessionNotification == nullptr ||
        g_wtsapi32.unregisterSessionNotification == nullptr) {
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
    if (power_ != nullptr) {
        g_user32.unregisterPowerSettingNotification(power_);
        power_ = nullptr;
    }
    window_ = nullptr;
}

void Notifications::RegisterPowerSetting() {
    if (g_user32.registerPowerSettingNotification == nullptr ||
        g_user32.unregisterPowerSettingNotification == nullptr) {
        return;
    }
    const GUID& setting = IsWindows8OrLater() ? kConsoleDisplayState : kMonitorPowerOn;
    power_ =
        g_user32.registerPowerSettingNotification(window_, &setting, DEVICE_NOTIFY_WINDOW_HANDLE);
}

void Notifications::RegisterDeviceArrival(const GUID& interfaceClass, HDEVNOTIFY& device) {
    if (g_user32.registerDeviceNotification == nullptr ||
        g_user32.unregisterDeviceNotification == nullptr) {
        return;
    }
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = interfaceClass;
    device = g_user32.registerDeviceNotification(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}
