// The events that are not broadcast to every top-level window: each is asked for, for the
// watcher's window, and the requests are withdrawn before the window goes. Each is optional:
// one that cannot be had loses only its kind of event, never the watcher.
#pragma once

#include <windows.h>

#include "base/scoped_owner.h"

class Notifications {
  public:
    Notifications() = default;
    Notifications(const Notifications&) = delete;
    Notifications& operator=(const Notifications&) = delete;
    ~Notifications() { Unregister(); }

    // The display's power state, monitor and display-adapter arrivals, session changes.
    void Register(HWND window);

    // Tries the session registration again when it has failed. At logon the terminal
    // services may not be up yet; the watcher tries again before each run, and when
    // servicesReady() is signalled.
    void RegisterSession();

    // Signalled once the terminal services are up, while the session registration waits for
    // them (once in the watcher's life); null otherwise.
    HANDLE servicesReady() const { return servicesReady_ ? servicesReady_.get() : nullptr; }
    void OnServicesReady();

    void Unregister();

  private:
    void RegisterPowerSetting(const GUID& setting, HPOWERNOTIFY& power);
    void RegisterDeviceArrival(const GUID& interfaceClass, HDEVNOTIFY& device);

    HWND window_ = nullptr;
    HPOWERNOTIFY power_[2] = {};
    HDEVNOTIFY devices_[2] = {};
    bool session_ = false;
    bool servicesAwaited_ = false;
    KernelHandle servicesReady_;
};
