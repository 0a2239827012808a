// Finds a driver module where the installed NVIDIA display driver registered it, and loads
// it from there.
#pragma once

#include <windows.h>

// Full path of the module named name, from the first of the driver's registrations that
// names it; null with the last-error value telling why (ERROR_MOD_NOT_FOUND when the driver
// registers no such module, any other value when a lookup failed).
wchar_t* FindDriverModulePath(const wchar_t* name);

// JoinPath(directory, name) when that names an existing file that is neither a directory
// nor a device; otherwise null (a missing file leaves ERROR_SUCCESS).
wchar_t* JoinPathIfFileExists(const wchar_t* name, const wchar_t* directory);

// Outcome of the driver-located branch of LoadLibrarySecure.
struct DriverLocatedLoad {
    HMODULE module;
    bool useSystemDirectory;  // the driver registers no such module: fall through
};
DriverLocatedLoad LoadDriverLocatedModule(const wchar_t* name, DWORD flags);
