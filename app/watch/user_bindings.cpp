#include "app/watch/user_bindings.h"

#include "loader/system_bindings.h"

User32Functions g_user32;
Wtsapi32Functions g_wtsapi32;
SecurityFunctions g_security;

namespace {

// Fills slot from module when it is still null. True when it holds an address.
template <typename Fn>
bool Bind(Fn& slot, HMODULE module, const char* exportName) {
    if (slot == nullptr && module != nullptr) {
        slot = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, exportName)));
    }
    return slot != nullptr;
}

bool BindWindowFunctions(HMODULE user32) {
    User32Functions& f = g_user32;
    return Bind(f.registerClassEx, user32, "RegisterClassExW") &&
           Bind(f.unregisterClass, user32, "UnregisterClassW") &&
           Bind(f.createWindowEx, user32, "CreateWindowExW") &&
           Bind(f.destroyWindow, user32, "DestroyWindow") &&
           Bind(f.defWindowProc, user32, "DefWindowProcW") &&
           Bind(f.getMessage, user32, "GetMessageW") &&
           Bind(f.peekMessage, user32, "PeekMessageW") &&
           Bind(f.dispatchMessage, user32, "DispatchMessageW") &&
           Bind(f.postQuitMessage, user32, "PostQuitMessage") &&
           Bind(f.msgWaitForMultipleObjectsEx, user32, "MsgWaitForMultipleObjectsEx");
}

void BindNotificationFunctions(HMODULE user32) {
    User32Functions& f = g_user32;
    Bind(f.registerDeviceNotification, user32, "RegisterDeviceNotificationW");
    Bind(f.unregisterDeviceNotification, user32, "UnregisterDeviceNotification");
    Bind(f.registerPowerSettingNotification, user32, "RegisterPowerSettingNotification");
    Bind(f.unregisterPowerSettingNotification, user32, "UnregisterPowerSettingNotification");
}

void BindSessionFunctions() {
    Wtsapi32Functions& f = g_wtsapi32;
    if (f.registerSessionNotification != nullptr && f.unregisterSessionNotification != nullptr) {
        return;
    }
    HMODULE wtsapi32 = BindSystemLibrary(f.module, L"wtsapi32.dll");
    Bind(f.registerSessionNotification, wtsapi32, "WTSRegisterSessionNotification");
    Bind(f.unregisterSessionNotification, wtsapi32, "WTSUnRegisterSessionNotification");
}

}  // namespace

bool BindWatcherFunctions() {
    HMODULE user32 = BindSystemLibrary(g_user32.module, L"user32.dll");
    if (user32 == nullptr) {
        return false;
    }
    BindNotificationFunctions(user32);
    BindSessionFunctions();
    return BindWindowFunctions(user32);
}

bool BindSecurityFunctions() {
    SecurityFunctions& f = g_security;
    HMODULE advapi32 = BindSystemLibrary(g_advapi32.module, kAdvapi32Name);
    return Bind(f.openProcessToken, advapi32, "OpenProcessToken") &&
           Bind(f.getTokenInformation, advapi32, "GetTokenInformation") &&
           Bind(f.convertSidToStringSid, advapi32, "ConvertSidToStringSidW") &&
           Bind(f.convertStringSecurityDescriptor, advapi32,
                "ConvertStringSecurityDescriptorToSecurityDescriptorW");
}
