// The user32, wtsapi32 and advapi32 functions that the watcher calls, bound at run time.
//
// A shipped executable imports only kernel32 and msvcrt, which Windows always takes from the
// system; every other library is loaded by its full path in the system directory, never
// along the search order, and each function is looked up by name. The records are filled
// once, at the watcher's start, and the libraries stay loaded. A slot that is not null when
// the watcher binds is kept: that is the tests' seam for a failure that Wine never shows.
#pragma once

#include <windows.h>
#include <sddl.h>
#include <wtsapi32.h>

#include <atomic>

struct User32Functions {
    std::atomic<HMODULE> module;
    // What the hidden window and its message loop need; the watcher cannot work without them.
    decltype(&::RegisterClassExW) registerClassEx;
    decltype(&::UnregisterClassW) unregisterClass;
    decltype(&::CreateWindowExW) createWindowEx;
    decltype(&::DestroyWindow) destroyWindow;
    decltype(&::DefWindowProcW) defWindowProc;
    decltype(&::GetMessageW) getMessage;
    decltype(&::PeekMessageW) peekMessage;
    decltype(&::DispatchMessageW) dispatchMessage;
    decltype(&::PostQuitMessage) postQuitMessage;
    decltype(&::MsgWaitForMultipleObjectsEx) msgWaitForMultipleObjectsEx;
    // Optional: without one, only its kind of event is lost. The power-setting pair is
    // missing before Windows Vista.
    decltype(&::RegisterDeviceNotificationW) registerDeviceNotification;
    decltype(&::UnregisterDeviceNotification) unregisterDeviceNotification;
    decltype(&::RegisterPowerSettingNotification) registerPowerSettingNotification;
    decltype(&::UnregisterPowerSettingNotification) unregisterPowerSettingNotification;
};

// Optional as a whole: without it, only the session events are lost.
struct Wtsapi32Functions {
    std::atomic<HMODULE> module;
    decltype(&::WTSRegisterSessionNotification) registerSessionNotification;
    decltype(&::WTSUnRegisterSessionNotification) unregisterSessionNotification;
};

// What the status section's security is made of (status_publisher.h). Optional as a whole:
// without it the watcher publishes no status. Advapi32 is the loader's own library, loaded
// into the loader's slot.
struct SecurityFunctions {
    decltype(&::OpenProcessToken) openProcessToken;
    decltype(&::GetTokenInformation) getTokenInformation;
    decltype(&::ConvertSidToStringSidW) convertSidToStringSid;
    decltype(&::ConvertStringSecurityDescriptorToSecurityDescriptorW)
        convertStringSecurityDescriptor;
};

extern User32Functions g_user32;
extern Wtsapi32Functions g_wtsapi32;
extern SecurityFunctions g_security;

// Binds every slot that is still null. True when every function of the first group is
// there; the optional ones may stay null.
bool BindWatcherFunctions();

// Binds the security functions' slots that are still null. True when all four are there.
bool BindSecurityFunctions();
