// The watcher's status (app/common/watcher_contract.h), kept by the watcher and published in
// the session's status section for dispset-diag show.
//
// The watcher creates the section itself, read-only for everyone: only its own handle, from
// the creation, may write. When the name exists already the section is not the watcher's
// (anything in the session may have taken the name first), and when its security cannot be
// made a section with the default security would be writable by every program of the user:
// either way the watcher publishes nothing and goes on without a status.
#pragma once

#include <windows.h>

#include "app/common/watcher_contract.h"
#include "base/scoped_owner.h"

class StatusPublisher {
  public:
    StatusPublisher();
    StatusPublisher(const StatusPublisher&) = delete;
    StatusPublisher& operator=(const StatusPublisher&) = delete;

    // Creates the section and publishes the start. Without a section the record is kept all
    // the same, unpublished.
    void Open();
    bool publishing() const { return view_.valid(); }

    // A run (with its cause) or a check began or was tried.
    void ChildStarted(bool check, RunCause cause);
    // It ended, could not be started, or was ended at its limit.
    void ChildEnded(bool check, ChildOutcome outcome, DWORD code);
    void SetBurstsGivenUp(uint32_t bursts);

    const WatcherStatus& status() const { return status_; }

  private:
    void Publish();

    WatcherStatus status_ = {};
    KernelHandle section_;
    MappedView view_;
};
