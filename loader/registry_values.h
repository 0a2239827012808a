// Reading one registry value into an allocated buffer, through the run-time Advapi32
// binding. The readers return the registry's status instead of setting the last-error value.
#pragma once

#include <windows.h>

// Reads one registry value into a zero-filled LocalAlloc buffer (freed by the caller with
// LocalFree). type and data are left untouched when the value is empty or the read fails
// before allocating, so callers preset them to 0 and null. Returns the registry's status.
// The buffer always carries at least one zeroed character past the stored bytes, so text
// that was stored without its NUL is still terminated.
LONG ReadRegistryValueByPath(HKEY root, const wchar_t* subKey, const wchar_t* valueName,
                             DWORD* type, BYTE** data);
LONG ReadRegistryValueAlloc(HKEY key, const wchar_t* valueName, DWORD* type, BYTE** data);
