#include "app/watch/watcher.h"

#include <windows.h>
#include <dbt.h>
#include <string.h>
#include <wtsapi32.h>

#include "app/watch/program_runner.h"
#include "app/watch/scoped_handle.h"
#include "app/watch/settle_rule.h"
#include "app/watch/user_bindings.h"
#include "app/watch/watcher_mutex.h"

namespace {

constexpr UINT_PTR kSettleTimerId = 1;

// Device interface classes whose arrival is an event: a monitor plugged in, and a display
// adapter, which arrives again when its driver restarts or is updated.
constexpr GUID kMonitorInterfaceClass = {
    0xE6F07B5F, 0xEE97, 0x4A90, {0xB0, 0x76, 0x33, 0xF5, 0x7B, 0xF4, 0xEA, 0xA7}};
constexpr GUID kDisplayAdapterInterfaceClass = {
    0x1CA05180, 0xA699, 0x450A, {0x9A, 0x0C, 0xDE, 0x4F, 0xBE, 0x3D, 0xDD, 0x89}};

// Power settings that report the display's state: GUID_CONSOLE_DISPLAY_STATE from Windows 8
// on (0 off, 1 on, 2 dimmed), GUID_MONITOR_POWER_ON on Windows 7, which lacks the other
// (0 off, 1 on).
constexpr GUID kConsoleDisplayState = {
    0x6FE69556, 0x704A, 0x47A0, {0x8F, 0x24, 0xC2, 0x8D, 0x93, 0x6F, 0xDA, 0x47}};
constexpr GUID kMonitorPowerOn = {
    0x02731015, 0x4510, 0x4526, {0x99, 0xE6, 0xE5, 0xA1, 0x7E, 0xBD, 0x1A, 0xEA}};
constexpr DWORD kDisplayOff = 0;
constexpr DWORD kDisplayOn = 1;
constexpr DWORD kDisplayUnknown = 0xFFFFFFFF;

// The terminal services set this event once they are up; until then, a session
// registration at logon fails with RPC_S_INVALID_BINDING.
constexpr wchar_t kTerminalServicesReadyEvent[] = L"Global\\TermSrvReadyEvent";

bool SameGuid(const GUID& a, const GUID& b) {
    return memcmp(&a, &b, sizeof(GUID)) == 0;
}

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

// A resume from sleep or hibernation. Both come on a resume the user started; the
// automatic one alone when nobody is there, and the settle time merges the two.
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
    return SameGuid(interfaceClass, kMonitorInterfaceClass) ||
           SameGuid(interfaceClass, kDisplayAdapterInterfaceClass);
}

// The display's power state as the power-setting notifications report it. Only a change
// from off to on is an event: the first report after the registration gives the state at
// that moment, not a change, and a dimmed display was never off.
class DisplayPower {
  public:
    bool TurnsOn(LPARAM data) {
        const auto* setting = reinterpret_cast<const POWERBROADCAST_SETTING*>(data);
        if (setting == nullptr || setting->DataLength < sizeof(DWORD) ||
            !(SameGuid(setting->PowerSetting, kConsoleDisplayState) ||
              SameGuid(setting->PowerSetting, kMonitorPowerOn))) {
            return false;
        }
        DWORD state;
        memcpy(&state, setting->Data, sizeof(state));
        if (state != kDisplayOff && state != kDisplayOn) {
            return false;
        }
        const bool turnsOn = state == kDisplayOn && last_ == kDisplayOff;
        last_ = state;
        return turnsOn;
    }

  private:
    DWORD last_ = kDisplayUnknown;
};

// The notifications that are not broadcast, registered for the window and unregistered
// before it goes. Each is optional: one that cannot be had loses only its kind of event.
class Notifications {
  public:
    Notifications() = default;
    Notifications(const Notifications&) = delete;
    Notifications& operator=(const Notifications&) = delete;
    ~Notifications() { Unregister(); }

    void Register(HWND window) {
        window_ = window;
        RegisterPowerSetting();
        RegisterDeviceArrival(kMonitorInterfaceClass, devices_[0]);
        RegisterDeviceArrival(kDisplayAdapterInterfaceClass, devices_[1]);
        RegisterSession();
    }

    // Tries the session registration again when it failed; each run does, in case the
    // terminal services came up without their event.
    void RegisterSession() {
        if (session_ || window_ == nullptr || g_wtsapi32.registerSessionNotification == nullptr) {
            return;
        }
        session_ = g_wtsapi32.registerSessionNotification(window_, NOTIFY_FOR_THIS_SESSION);
        if (session_) {
            servicesReady_.reset();
        } else if (GetLastError() == RPC_S_INVALID_BINDING && servicesReady_.get() == nullptr) {
            servicesReady_.reset(OpenEventW(SYNCHRONIZE, FALSE, kTerminalServicesReadyEvent));
        }
    }

    // Signalled when the session registration is worth another try; null when it is not.
    HANDLE servicesReady() const { return servicesReady_.get(); }
    void OnServicesReady() {
        servicesReady_.reset();
        RegisterSession();
    }

    void Unregister() {
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

  private:
    void RegisterPowerSetting() {
        if (g_user32.registerPowerSettingNotification == nullptr ||
            g_user32.unregisterPowerSettingNotification == nullptr) {
            return;
        }
        const GUID& setting = IsWindows8OrLater() ? kConsoleDisplayState : kMonitorPowerOn;
        power_ = g_user32.registerPowerSettingNotification(window_, &setting,
                                                           DEVICE_NOTIFY_WINDOW_HANDLE);
    }

    void RegisterDeviceArrival(const GUID& interfaceClass, HDEVNOTIFY& device) {
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

    HWND window_ = nullptr;
    HPOWERNOTIFY power_ = nullptr;
    HDEVNOTIFY devices_[2] = {};
    bool session_ = false;
    ScopedHandle servicesReady_;
};

LRESULT CALLBACK WatcherWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The window's class, registered for the watcher's life.
class WindowClass {
  public:
    WindowClass() {
        WNDCLASSEXW windowClass = {};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.lpfnWndProc = WatcherWindowProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kWatcherWindowClass;
        registered_ = g_user32.registerClassEx(&windowClass) != 0;
    }
    WindowClass(const WindowClass&) = delete;
    WindowClass& operator=(const WindowClass&) = delete;
    ~WindowClass() {
        if (registered_) {
            g_user32.unregisterClass(kWatcherWindowClass, GetModuleHandleW(nullptr));
        }
    }
    bool registered() const { return registered_; }

  private:
    bool registered_ = false;
};

class Watcher {
  public:
    explicit Watcher(const ProgramRunner& runner) : runner_(runner) {}
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;
    ~Watcher() { Close(); }

    // The hidden window. A tool window is never given a taskbar button, and the window is
    // never shown.
    bool CreateHiddenWindow() {
        window_ = g_user32.createWindowEx(WS_EX_TOOLWINDOW, kWatcherWindowClass,
                                          kWatcherWindowClass, WS_POPUP, 0, 0, 0, 0, nullptr,
                                          nullptr, GetModuleHandleW(nullptr), nullptr);
        return window_ != nullptr;
    }

    // The notifications, then the first run; events from then on are followed.
    void Start() {
        notifications_.Register(window_);
        rule_.OnStartRun();
        RunProgram();
    }

    HANDLE servicesReady() const { return notifications_.servicesReady(); }
    void OnServicesReady() { notifications_.OnServicesReady(); }

    LRESULT Handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        switch (message) {
            case WM_DISPLAYCHANGE:
                OnEvent();
                return 0;
            case WM_POWERBROADCAST:
                if (IsResume(wParam) ||
                    (wParam == PBT_POWERSETTINGCHANGE && displayPower_.TurnsOn(lParam))) {
                    OnEvent();
                }
                return TRUE;
            case WM_WTSSESSION_CHANGE:
                if (IsSessionReturn(wParam)) {
                    OnEvent();
                }
                return 0;
            case WM_DEVICECHANGE:
                if (IsWatchedArrival(wParam, lParam)) {
                    OnEvent();
                }
                return TRUE;
            case WM_TIMER:
                if (wParam != kSettleTimerId) {
                    break;
                }
                g_user32.killTimer(window_, kSettleTimerId);
                Act(rule_.OnSettled());
                return 0;
            case WM_QUERYENDSESSION:
                // Nothing to save: the session may end whenever it likes.
                return TRUE;
            case WM_ENDSESSION:
                if (wParam != FALSE) {
                    Close();
                }
                return 0;
            case WM_CLOSE:
                Close();
                return 0;
            case WM_DESTROY:
                g_user32.postQuitMessage(kWatcherExitCode);
                return 0;
        }
        return g_user32.defWindowProc(window, message, wParam, lParam);
    }

  private:
    void OnEvent() { Act(rule_.OnEvent()); }

    void Act(SettleAction action) {
        if (closing_) {
            return;
        }
        if (action == SettleAction::kStartTimer) {
            g_user32.setTimer(window_, kSettleTimerId, kSettleMilliseconds, nullptr);
        } else if (action == SettleAction::kRun) {
            RunProgram();
        }
    }

    void RunProgram() {
        notifications_.RegisterSession();
        // Messages are handled during the run: an event then counts towards this run, and
        // a WM_CLOSE or the session's end closes the watcher, with no run after it.
        if (!runner_.Run() || closing_) {
            return;
        }
        Act(rule_.OnRunEnded());
    }

    // Everything unregistered and the window destroyed, whose WM_DESTROY ends the message
    // loop. Nothing runs after this.
    void Close() {
        if (closing_ || window_ == nullptr) {
            return;
        }
        closing_ = true;
        g_user32.killTimer(window_, kSettleTimerId);
        notifications_.Unregister();
        HWND window = window_;
        window_ = nullptr;
        g_user32.destroyWindow(window);
    }

    const ProgramRunner& runner_;
    HWND window_ = nullptr;
    SettleRule rule_;
    DisplayPower displayPower_;
    Notifications notifications_;
    bool closing_ = false;
};

// The one watcher of this thread, for its window procedure.
Watcher* g_watcher = nullptr;

LRESULT CALLBACK WatcherWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (g_watcher == nullptr) {
        return g_user32.defWindowProc(window, message, wParam, lParam);
    }
    return g_watcher->Handle(window, message, wParam, lParam);
}

// Blocks in GetMessageW. Until the terminal services are up (when they were not at the
// start), their readiness is waited for beside the messages.
void RunMessageLoop(Watcher& watcher) {
    for (;;) {
        HANDLE servicesReady = watcher.servicesReady();
        if (servicesReady == nullptr) {
            MSG message;
            const BOOL got = g_user32.getMessage(&message, nullptr, 0, 0);
            if (got == 0 || got == -1) {
                return;
            }
            g_user32.dispatchMessage(&message);
            continue;
        }
        const DWORD woken =
            g_user32.msgWaitForMultipleObjects(1, &servicesReady, FALSE, INFINITE, QS_ALLINPUT);
        if (woken == WAIT_OBJECT_0 + 1) {
            if (!DispatchWaitingMessages()) {
                return;
            }
        } else {
            // Ready, or a wait that failed: either way, one more try, then no more waiting.
            watcher.OnServicesReady();
        }
    }
}

// The session's watcher mutex, held for the watcher's life. ownedFirst() is false when
// another watcher of the session holds it, or when it cannot be had at all: then this
// watcher cannot know that it is alone.
class SessionMutex {
  public:
    SessionMutex() {
        // CreateMutexW leaves the last-error value alone when it creates the mutex.
        SetLastError(ERROR_SUCCESS);
        handle_.reset(CreateMutexW(nullptr, FALSE, kWatcherMutexName));
        ownedFirst_ = handle_.get() != nullptr && GetLastError() != ERROR_ALREADY_EXISTS;
    }
    bool ownedFirst() const { return ownedFirst_; }

  private:
    ScopedHandle handle_;
    bool ownedFirst_ = false;
};

}  // namespace

int RunWatcher() {
    SessionMutex mutex;
    if (!mutex.ownedFirst() || !BindWatcherFunctions()) {
        return kWatcherExitCode;
    }
    ProgramRunner runner;
    if (!runner.Prepare()) {
        return kWatcherExitCode;
    }
    WindowClass windowClass;
    Watcher watcher(runner);
    g_watcher = &watcher;
    if (windowClass.registered() && watcher.CreateHiddenWindow()) {
        watcher.Start();
        RunMessageLoop(watcher);
    } else {
        // Without a window no event can reach the watcher; the one run at the start is
        // still made.
        runner.Run();
    }
    g_watcher = nullptr;
    return kWatcherExitCode;
}
