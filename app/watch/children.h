// The watcher's children: dispset.exe runs and dispset-diag.exe check checks, the copies in
// the watcher's own folder, one at a time, each started as base/child_process.h says, with
// the system directory as working folder (the watcher's own working folder, wherever it was
// started, stays out of their runs). The watcher's loop waits on the running child's process
// handle beside its messages; the child is never waited for anywhere else.
//
// A child that cannot be put in a job is run all the same and ended alone at its limit: the
// setting matters more than a grandchild that dispset.exe never starts.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "base/child_process.h"
#include "base/local_memory.h"

enum class ChildProgram : uint8_t { kRun, kCheck };

class ChildLauncher {
  public:
    // Finds the programs' paths and the working folder. False when any cannot be had.
    bool Prepare();

    // Starts the program when no child runs. False when it could not be started; startError()
    // then says why. A program that cannot be started is no error for the watcher: the next
    // event or check tries again.
    bool Start(ChildProgram program);
    DWORD startError() const { return startError_; }

    // The running child's process handle, signalled when it ends; null when none runs.
    HANDLE process() const { return child_.process(); }
    // The running child has ended: its exit code. It is released.
    DWORD Finish() { return child_.Finish(); }
    // Ends the running child and everything it started, and releases it.
    void End() { child_.End(0); }

  private:
    LocalString programs_[2];  // dispset.exe, dispset-diag.exe: full paths beside the watcher
    LocalString workingFolder_;
    ChildProcess child_;
    DWORD startError_ = ERROR_SUCCESS;
};
