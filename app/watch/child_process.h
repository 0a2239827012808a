// Running dispset.exe: the copy in the watcher's own folder, by its full path and never
// searched for, one run at a time, waited for while the watcher goes on handling messages.
#pragma once

#include <windows.h>

#include "loader/strings/local_memory.h"

// How long a run is waited for. The program's work takes well under a second; one that
// hangs (in the driver, say) is left alone after this, and the next event runs a new one.
constexpr DWORD kRunLimitMilliseconds = 30000;

class ProgramRunner {
  public:
    // Finds the program's path and the working folder. False when either cannot be had.
    bool Prepare();

    // Starts the program and waits for it to end, up to kRunLimitMilliseconds, dispatching
    // the thread's messages meanwhile so that no event sent to the watcher times out and is
    // lost. A program that cannot be started is no error: the next event tries again.
    // False when WM_QUIT came during the wait; it is posted again for the message loop.
    bool Run();

  private:
    LocalString program_;      // dispset.exe beside the watcher, full path
    LocalString commandLine_;  // the same path, quoted; writable, as CreateProcessW needs
    wchar_t workingFolder_[MAX_PATH] = {};
};

// Dispatches every message waiting for this thread. False when it met WM_QUIT, which it
// posts again so that the message loop sees it too.
bool DispatchWaitingMessages();
