// The trusted module loader's one entry: load a module by bare file name from trusted
// places only, always by full path, never along the Windows DLL search order. Nothing else
// of the loader is for its callers.
#pragma once

#include <windows.h>

// Loads a bare module file name: refuses names with a path separator (ERROR_BAD_ARGUMENTS),
// loads a driver module from where the display driver registered it (Windows 10 build
// 14308 on, names beginning with "nv"), otherwise from the system directory. Returns null
// with the thread's last-error value telling why. A null name loads nothing and gives
// ERROR_BAD_ARGUMENTS.
HMODULE LoadLibrarySecure(const wchar_t* name, DWORD flags);
