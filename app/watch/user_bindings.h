// The user32 and wtsapi32 functions that the watcher calls, bound at run time like the
// loader's libraries (loader/system_bindings.h: the same slots, the same binder, one table
// a library; advapi32's security functions are in the loader's own record).
//
// A shipped executable imports only kernel32 and msvcrt, which Windows always takes from the
// system; every other library is loaded by its full path in the system directory, never
// along the search order, and each function is looked up by name. The records are filled
// once, at the watcher's start, and the libraries stay loaded. A slot that is not null when
// the watcher binds is kept: that is the tests' seam for a failure that Wine never shows.
#pragma once

#include <windows.h>
#include <wtsapi32.h>

#include <atomic>

#include "loader/system_bindings.h"

// What the hidden window and its message loop need; the watcher cannot work without them.
#define USER32_WINDOW_FUNCTIONS(X)       \
    X(registerClassEx, RegisterClassExW) \
    X(unregisterClass, UnregisterClassW) \
    X(createWindowEx, CreateWindowExW)   \
    X(destroyWindow, DestroyWindow)      \
    X(defWindowProc, DefWindowProcW)     \
    X(getMessage, GetMessageW)           \
    X(peekMessage, PeekMessageW)         \
    X(dispatchMessage, DispatchMessageW) \
    X(postQuitMessage, PostQuitMessage)  \
    X(msgWaitForMultipleObjectsEx, MsgWaitForMultipleObjectsEx)

// Optional: without one, only its kind of event is lost. The power-setting pair is missing
// before Windows Vista.
#define USER32_NOTIFICATION_FUNCTIONS(X)                                  \
    X(registerDeviceNotification, RegisterDeviceNotificationW)            \
    X(unregisterDeviceNotification, UnregisterDeviceNotification)         \
    X(registerPowerSettingNotification, RegisterPowerSettingNotification) \
    X(unregisterPowerSettingNotification, UnregisterPowerSettingNotification)

#define USER32_FUNCTIONS(X) USER32_WINDOW_FUNCTIONS(X) USER32_NOTIFICATION_FUNCTIONS(X)

// Optional as a whole: without it, only the session events are lost.
#define WTSAPI32_FUNCTIONS(X)                                      \
    X(registerSessionNotification, WTSRegisterSessionNotification) \
    X(unregisterSessionNotification, WTSUnRegisterSessionNotification)

struct User32Binding {
    std::atomic<HMODULE> module{nullptr};
    USER32_FUNCTIONS(BINDING_SLOT)
};

struct Wtsapi32Binding {
    std::atomic<HMODULE> module{nullptr};
    WTSAPI32_FUNCTIONS(BINDING_SLOT)
};

extern User32Binding g_user32;
extern Wtsapi32Binding g_wtsapi32;

// Binds every slot that is still null. True when every window function is there; the
// optional ones may stay null.
bool BindWatcherFunctions();
