// Sends the events that dispset-watch follows, the way Windows sends them, for the demo and
// for trying the watcher by hand under Wine (with an X display). A test tool, never shipped.
//   simevent resume           WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, to every top-level
//                             window, as after a resume from sleep
//   simevent display-change   WM_DISPLAYCHANGE to every top-level window
//   simevent close            WM_CLOSE to the watcher's window
// Exit code 0 when the message went out, 1 when it did not, 2 for a usage error.
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#include "app/watch/watcher.h"

namespace {

constexpr UINT kWaitMilliseconds = 10000;

bool Broadcast(UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(HWND_BROADCAST, message, wParam, lParam, SMTO_ABORTIFHUNG,
                               kWaitMilliseconds, &result) != 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const wchar_t* event = argc == 2 ? argv[1] : L"";
    bool sent = false;
    if (wcscmp(event, L"resume") == 0) {
        sent = Broadcast(WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0);
    } else if (wcscmp(event, L"display-change") == 0) {
        sent = Broadcast(WM_DISPLAYCHANGE, 32, MAKELPARAM(1024, 768));
    } else if (wcscmp(event, L"close") == 0) {
        HWND window = FindWindowW(kWatcherWindowClass, nullptr);
        sent = window != nullptr && PostMessageW(window, WM_CLOSE, 0, 0);
    } else {
        fprintf(stderr, "usage: simevent resume|display-change|close\n");
        return 2;
    }
    return sent ? 0 : 1;
}
