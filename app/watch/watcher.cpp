#include "app/watch/watcher.h"

#include <windows.h>

#include "app/watch/events.h"
#include "app/watch/children.h"
#include "app/watch/notifications.h"
#include "app/watch/schedule.h"
#include "app/watch/status_publisher.h"
#include "app/watch/user_bindings.h"
#include "app/common/watcher_contract.h"
#include "base/scoped_owner.h"

namespace {

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

Milliseconds Now() {
    return GetTickCount64();
}

class Watcher {
  public:
    explicit Watcher(ChildLauncher& children) : children_(children) {}
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

    // The status, the notifications, then the first run, due at once; events from then on
    // are followed.
    void Start() {
        status_.Open();
        if (window_ != nullptr) {
            notifications_.Register(window_);
        }
        schedule_.Start(Now());
    }

    // Does whatever is due; returns how long the loop may wait before something else is.
    DWORD Act() {
        const Milliseconds now = Now();
        if (closing_) {
            return INFINITE;
        }
        for (Step step; (step = schedule_.Poll(now)).kind != Step::Kind::kNothing;) {
            Perform(step, now);
        }
        const Milliseconds deadline = schedule_.NextDeadline();
        if (deadline == kNever) {
            return INFINITE;
        }
        return deadline <= now ? 0 : static_cast<DWORD>(deadline - now);
    }

    HANDLE child() const { return children_.process(); }
    void OnChildEnded() {
        const DWORD code = children_.Finish();
        status_.ChildEnded(runningCheck_, ChildOutcome::kExited, code);
        const bool dropped = runningCheck_ && code == kCheckSettingDropped;
        schedule_.OnChildEnded(Now(), dropped ? ChildResult::kSettingDropped : ChildResult::kDone);
        status_.SetBurstsGivenUp(schedule_.burstsGivenUp());
    }

    HANDLE servicesReady() const { return notifications_.servicesReady(); }
    void OnServicesReady() { notifications_.OnServicesReady(); }

    LRESULT Handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        RunCause cause;
        if (filter_.IsResetEvent(message, wParam, lParam, cause) && !closing_) {
            schedule_.OnEvent(Now(), cause);
        }
        switch (message) {
            case WM_DISPLAYCHANGE:
            case WM_WTSSESSION_CHANGE:
                return 0;
            case WM_POWERBROADCAST:
            case WM_DEVICECHANGE:
                // Every request these carry is granted: the watcher never objects.
                return TRUE;
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
    void Perform(Step step, Milliseconds now) {
        switch (step.kind) {
            case Step::Kind::kRun:
                notifications_.RegisterSession();
                StartChild(ChildProgram::kRun, step.cause, now);
                break;
            case Step::Kind::kCheck:
                StartChild(ChildProgram::kCheck, RunCause::kStart, now);
                break;
            case Step::Kind::kEndChild:
                children_.End();
                status_.ChildEnded(runningCheck_, ChildOutcome::kEndedAtLimit, 0);
                break;
            case Step::Kind::kNothing:
                break;
        }
    }

    void StartChild(ChildProgram program, RunCause cause, Milliseconds now) {
        runningCheck_ = program == ChildProgram::kCheck;
        status_.ChildStarted(runningCheck_, cause);
        if (!children_.Start(program)) {
            status_.ChildEnded(runningCheck_, ChildOutcome::kNotStarted, children_.startError());
            schedule_.OnChildEnded(now, ChildResult::kNotStarted);
        }
    }

    // Everything unregistered and the window destroyed, whose WM_DESTROY ends the message
    // loop. Nothing starts after this; a child still running ends with the watcher (its
    // job is closed).
    void Close() {
        if (closing_ || window_ == nullptr) {
            return;
        }
        closing_ = true;
        notifications_.Unregister();
        HWND window = window_;
        window_ = nullptr;
        g_user32.destroyWindow(window);
    }

    ChildLauncher& children_;
    HWND window_ = nullptr;
    Schedule schedule_;
    EventFilter filter_;
    Notifications notifications_;
    StatusPublisher status_;
    bool runningCheck_ = false;
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

// Dispatches every message waiting for this thread but WM_TIMER. False when it met WM_QUIT.
//
// The watcher arms no timer, so every WM_TIMER comes from someone else: any program on the
// desktop may post one. Dispatched, one with an lParam would even have that address called
// as a timer procedure. None is dispatched.
bool DispatchWaitingMessages() {
    MSG message;
    while (g_user32.peekMessage(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            return false;
        }
        if (message.message != WM_TIMER) {
            g_user32.dispatchMessage(&message);
        }
    }
    return true;
}

// The watcher's one wait: its messages, the running child's end, the terminal services'
// readiness while the session registration waits for it, and the schedule's next deadline,
// all together. Idle there is neither a child nor a deadline, and it waits for messages
// alone. Without a window no event can come: it returns once nothing more is due.
void RunLoop(Watcher& watcher, bool windowed) {
    for (;;) {
        const DWORD timeout = watcher.Act();
        HANDLE handles[2];
        DWORD count = 0;
        const HANDLE child = watcher.child();
        if (child != nullptr) {
            handles[count++] = child;
        }
        const HANDLE servicesReady = watcher.servicesReady();
        if (servicesReady != nullptr) {
            handles[count++] = servicesReady;
        }
        if (!windowed && count == 0 && timeout == INFINITE) {
            return;
        }
        const DWORD woken = g_user32.msgWaitForMultipleObjectsEx(count, handles, timeout,
                                                                 QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (woken == WAIT_OBJECT_0 + count) {
            if (!DispatchWaitingMessages()) {
                return;
            }
        } else if (woken < WAIT_OBJECT_0 + count) {
            if (handles[woken - WAIT_OBJECT_0] == child) {
                watcher.OnChildEnded();
            } else {
                watcher.OnServicesReady();
            }
        } else if (woken == WAIT_FAILED) {
            // The services' event is the one handle that is not the watcher's own: a wait
            // that fails drops it (one more try at the registration, then no more waiting).
            // Without it, a watcher that cannot wait cannot work.
            if (servicesReady == nullptr) {
                return;
            }
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
    ChildLauncher children;
    if (!children.Prepare()) {
        return kWatcherExitCode;
    }
    WindowClass windowClass;
    Watcher watcher(children);
    g_watcher = &watcher;
    // Without a window no event can reach the watcher; the run at the start and its checks
    // are still made.
    const bool windowed = windowClass.registered() && watcher.CreateHiddenWindow();
    watcher.Start();
    RunLoop(watcher, windowed);
    g_watcher = nullptr;
    return kWatcherExitCode;
}
