#include "app/watch/user_bindings.h"

User32Binding g_user32;
Wtsapi32Binding g_wtsapi32;

namespace {

// A table's rows bound from module into record, a local of that name: every one, in the
// table's order, for a table that the watcher cannot do without (true when all are there);
// or each tried, whatever the others gave, for an optional one.
#define BIND_ROW(slot, function) &&BindFunction(record.slot, module)
#define TRY_ROW(slot, function) BindFunction(record.slot, module);

bool BindWindowFunctions(HMODULE module) {
    User32Binding& record = g_user32;
    return true USER32_WINDOW_FUNCTIONS(BIND_ROW);
}

void BindNotificationFunctions(HMODULE module) {
    User32Binding& record = g_user32;
    USER32_NOTIFICATION_FUNCTIONS(TRY_ROW)
}

void BindSessionFunctions() {
    Wtsapi32Binding& record = g_wtsapi32;
    // Loaded only for a slot that is still empty: a test that filled both needs no library.
    if (record.registerSessionNotification.load() != nullptr &&
        record.unregisterSessionNotification.load() != nullptr) {
        return;
    }
    HMODULE module = BindSystemLibrary(record.module, L"wtsapi32.dll");
    WTSAPI32_FUNCTIONS(TRY_ROW)
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
