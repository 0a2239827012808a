// Paths of this process's modules, however long, and the files that lie beside its
// executable: the programs start each other by their full paths there, never searched for.
#pragma once

#include <windows.h>

#include "base/local_memory.h"

// The longest path Windows hands out, in characters with the terminating NUL.
constexpr DWORD kMaxPathChars = 32768;

// The full path of module (null: this process's executable), as GetModuleFileNameW gives
// it. The buffer starts at MAX_PATH and doubles; its last try is kMaxPathChars itself, so a
// path of up to 32,767 characters is found. Empty when the path cannot be had (the
// last-error value says why).
LocalString GetModuleFileNameAlloc(HMODULE module);

// The folder of this process's executable, with its final backslash, followed by name.
// Empty when it cannot be had.
LocalString GetPathBesideExecutable(const wchar_t* name);
