#include "app/watch/watcher.h"

#include <windows.h>

#include "app/watch/events.h"
#include "app/watch/notifications.h"
#include "app/watch/program_runner.h"
#include "app/watch/settle_rule.h"
#include "app/watch/user_bindings.h"
#include "app/watch/watcher_mutex.h"
#include "loader/strings/scoped_owner.h"

namespace {

constexpr UINT_PTR kSettleTimerId = 1;

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
    explicit Watcher(ProgramRunner& runner) : runner_(runner) {}
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
        if (filter_.IsResetEvent(message, wParam, lParam)) {
            Act(rule_.OnEvent());
        }
        switch (message) {
            case WM_DISPLAYCHANGE:
            case WM_WTSSESSION_CHANGE:
                return 0;
            case WM_POWERBROADCAST:
            case WM_DEVICECHANGE:
                // Every request these carry is granted: the watcher never objects.
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

    ProgramRunner& runner_;
    HWND window_ = nullptr;
    SettleRule rule_;
    EventFilter filter_;
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
        ownedFirst_ = handle_.valid() && GetLastError() != ERROR_ALREADY_EXISTS;
    }
    bool ownedFirst() const { return ownedFirst_; }

  private:
    KernelHandle handle_;
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
