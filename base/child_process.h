// A child process of one of the programs: dispset.exe and dispset-diag.exe check, which the
// watcher runs, and the program under test, which the companion's self-test runs. The
// program is named by its full path as the application name, so Windows never searches for
// it; its quoted path begins the command line; no handle is inherited; no busy cursor shows
// (the children show no window).
//
// It is created suspended and put into a job object that ends its processes when the job is
// closed, before it runs a single instruction, so that ending it also ends whatever it
// started, and nothing is left behind when its owner goes. Where the job cannot be had
// (Windows 7 cannot nest jobs, and the caller may itself run in one) a caller may accept to
// end the process alone.
#pragma once

#include <windows.h>

#include "base/scoped_owner.h"

struct ChildStart {
    const wchar_t* program = nullptr;        // full path
    const wchar_t* arguments = nullptr;      // after the quoted path, or null
    const wchar_t* workingFolder = nullptr;  // null: the caller's
    const wchar_t* environment = nullptr;    // a UTF-16 environment block, or null: the caller's
    DWORD flags = 0;                         // CREATE_NO_WINDOW, say
    bool jobRequired = true;                 // false: without a job, the process alone is ended
};

class ChildProcess {
  public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // A child still running when its owner goes ends with its job (one without a job runs
    // on).
    ~ChildProcess() = default;

    // Starts it unless one runs. ERROR_SUCCESS, or why it could not be started (nothing of it
    // then runs): ERROR_BUSY while one runs.
    DWORD Start(const ChildStart& start);

    bool running() const { return process_.valid(); }
    // Signalled when it has ended; null when none runs.
    HANDLE process() const { return process_.get(); }

    // It has ended: its exit code (STILL_ACTIVE when it cannot be read). Released.
    DWORD Finish();
    // Ends it and everything in its job, waits up to waitMilliseconds for it to be gone, and
    // releases it.
    void End(DWORD waitMilliseconds);

  private:
    void Release();

    KernelHandle process_;
    KernelHandle thread_;
    KernelHandle job_;  // null when the process could not be put in one
};
