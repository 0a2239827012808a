// The watcher's children: dispset.exe runs and dispset-diag.exe check checks, the copies in
// the watcher's own folder, by their full paths and never searched for, one at a time. The
// watcher's loop waits on the running child's process handle beside its messages; the child
// is never waited for anywhere else.
//
// Each child starts suspended in a job object that kills its processes when the job is
// closed, so that ending it at its limit, or the watcher's own end, leaves nothing behind.
// Where the job cannot be had (Windows 7 cannot nest jobs, and the watcher may itself run in
// one) the process alone is ended.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "loader/strings/local_memory.h"
#include "loader/strings/scoped_owner.h"

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
    HANDLE process() const { return child_.process.get(); }
    // The running child has ended: its exit code. It is released.
    DWORD Finish();
    // Ends the running child and everything it started, and releases it.
    void End();

  private:
    struct Program {
        LocalString path;         // full path, beside the watcher
        LocalString commandLine;  // quoted path and arguments; writable, as CreateProcessW needs
    };
    // The one owner of a running child's handles.
    struct RunningChild {
        KernelHandle process;
        KernelHandle thread;
        KernelHandle job;  // null when the process could not be put in one
        void Release() {
            job.reset();
            thread.reset();
            process.reset();
        }
    };

    bool Launch(const Program& program, DWORD flags);

    Program programs_[2];
    LocalString workingFolder_;
    RunningChild child_;
    DWORD startError_ = ERROR_SUCCESS;
};
