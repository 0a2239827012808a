// The trusted-folder rule and loading by full path: a path is loaded only when it lies
// inside the Windows folder or a Program Files folder.
#pragma once

#include <windows.h>

// 1 when path lies inside the Windows folder or a Program Files folder (judged on its full
// path). Before Windows 7 every path counts as trusted.
int IsPathInTrustedFolder(const wchar_t* path);

// Folder of csidl + "\" + text as an allocated wide string; null on any failure.
wchar_t* GetFolderPathWithFile(int csidl, const wchar_t* text);

// Loads an absolute path only when it lies in a trusted folder. ERROR_BAD_ARGUMENTS for a
// null or non-absolute path, ERROR_BAD_PATHNAME for an untrusted one.
HMODULE LoadLibraryTrustedPath(const wchar_t* path, DWORD flags);

// Absolute path: LoadLibraryTrustedPath. Relative path with a separator: ERROR_MOD_NOT_FOUND.
// Bare file name: the system directory.
HMODULE LoadLibraryFullPath(const wchar_t* path, DWORD flags);

// Whether path is absolute: a leading slash or backslash, or a drive letter, a colon and a
// slash or backslash.
bool IsAbsolutePath(const wchar_t* path);
