// What the libraries that a process loads may pull in after them. The loader names every
// module it loads by its full path, but Windows resolves that module's own imports (and
// whatever it loads by bare name later) along the process's DLL search order: the program's
// folder first, the system directories, the working folder and PATH. A library dropped into
// the folder of a downloaded program would then run. So each program's first step restricts
// that search to the system directory, before any library beyond kernel32 and msvcrt is
// loaded.
#pragma once

#include <stdint.h>

enum class DllSearchRestriction : uint8_t {
    // RestrictDllSearchToSystemDirectory was not called in this process.
    kNotMade,
    // SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32): a loaded library's imports
    // come from the system directory (SysWOW64 under WOW64) and nowhere else.
    kSystemDirectoryOnly,
    // SetDefaultDllDirectories is missing (Windows 7 and Vista without update KB2533623):
    // SetDllDirectoryW takes the working folder out of the search; the program's own folder
    // and PATH are still searched.
    kWorkingFolderRemoved,
    // Neither call succeeded: the default search order stands.
    kNone,
};

// Restricts the process's default DLL search to the system directory, or, where Windows
// cannot, takes the working folder out of it. Returns what is in force afterwards. Called
// first by every program; a later call makes the same calls again.
DllSearchRestriction RestrictDllSearchToSystemDirectory();

// What the last RestrictDllSearchToSystemDirectory of this process achieved; kNotMade before
// the first.
DllSearchRestriction DllSearchRestrictionInForce();
