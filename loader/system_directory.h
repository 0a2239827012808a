// The bottom of the loader above its strings: loading a module by its full path in the
// system directory, and the two tests on names that every load makes first.
#pragma once

#include <windows.h>

#include "base/system_directory.h"

// LoadLibraryExW flags that would let Windows search for the file; cleared from every
// caller's flags before a load.
constexpr DWORD kSearchPathFlags = LOAD_WITH_ALTERED_SEARCH_PATH |        // 0x0008
                                   LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR |     // 0x0100
                                   LOAD_LIBRARY_SEARCH_APPLICATION_DIR |  // 0x0200
                                   LOAD_LIBRARY_SEARCH_USER_DIRS |        // 0x0400
                                   LOAD_LIBRARY_SEARCH_SYSTEM32 |         // 0x0800
                                   LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;      // 0x1000

constexpr DWORD WithoutSearchPathFlags(DWORD flags) {
    return flags & ~kSearchPathFlags;
}

// The two characters that separate path components wherever the loader judges a name or a
// path: the backslash and the forward slash.
constexpr bool IsPathSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// 1 when text holds a backslash or a forward slash; 0 otherwise, and for null.
int HasPathSeparator(const wchar_t* text);

// System directory + (a backslash unless it already ends in one) + name, as an allocated
// wide string (LocalFree); null for a null name or on failure.
wchar_t* BuildSystemDirectoryPath(const wchar_t* name);

// Loads the module name by its full path in the system directory, search-path bits cleared,
// through LoadDecidedModule (an observer's dry run stops it there). A null name loads
// nothing and gives ERROR_BAD_ARGUMENTS. The loader's own system libraries are bound by
// system_bindings, which never goes through here.
HMODULE LoadLibrarySystemDirectory(const wchar_t* name, DWORD flags);
