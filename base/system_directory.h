// The system directory (SysWOW64 for a 32-bit process on 64-bit Windows), asked for in one
// place: what the loader loads from it and what the programs start their children in.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "base/local_memory.h"

// The system directory in a new zero-filled buffer with room for extraChars more characters
// after it: its length, or 0 when it cannot be had (GetSystemDirectoryW or the allocation
// left the reason). It is asked for twice: once for its size, once for the text.
uint32_t ReadSystemDirectory(LocalString& buffer, uint32_t extraChars);

// The system directory as GetSystemDirectoryW gives it, as an allocated wide string
// (LocalFree); null on failure. Sets the last-error value to ERROR_SUCCESS first.
wchar_t* GetSystemDirectoryAlloc();
