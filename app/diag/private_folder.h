// The self-test's private folder: a fresh folder under this user's temporary folder that no
// other user can open, plant into or replace anything in, and its removal with everything
// that was put in it.
#pragma once

#include <windows.h>

#include "app/diag/text_buffer.h"

// What could not be removed: the first kMaxLeftovers paths, and how many there were.
constexpr unsigned kMaxLeftovers = 16;
struct Leftovers {
    unsigned count = 0;
    TextBuffer paths[kMaxLeftovers];

    void Add(const wchar_t* path);
};

class PrivateFolder {
  public:
    PrivateFolder() = default;
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;

    // Creates the folder under a name of its own. Its security descriptor is explicit and
    // protected from the temporary folder's: full control for its owner (this user) and the
    // system, nobody else, and the same for everything created in it. A name that exists is
    // never taken over: ERROR_ALREADY_EXISTS. Returns ERROR_SUCCESS or why it failed.
    DWORD Create();
    // A new subfolder of it, whose full path is appended to path.
    DWORD CreateSubfolder(const wchar_t* name, TextBuffer& path) const;

    const wchar_t* path() const { return path_.text(); }
    bool created() const { return created_; }

    // Removes everything in the folder and the folder itself. A file still in use (a
    // process that is being ended may hold it) is tried again for a few seconds; links are
    // removed, never followed. What stays is added to left.
    void Remove(Leftovers& left);

  private:
    TextBuffer path_;
    bool created_ = false;
};

// folder + '\' + name into path (cleared first).
void JoinIntoBuffer(const wchar_t* folder, const wchar_t* name, TextBuffer& path);
