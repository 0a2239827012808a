// Names and system texts of the Win32 errors that the loader, its lookups and the companion
// itself can leave, for reports that a person reads and a script compares.
#pragma once

#include <windows.h>

#include "app/diag/text_buffer.h"

// The symbolic name ("ERROR_BAD_PATHNAME"), or null for an error outside the table.
const char* ErrorName(DWORD error);

// The system's text for error (FormatMessageW, without its line break), appended to out;
// false when the system has none.
bool AppendSystemMessage(TextBuffer& out, DWORD error);

// "161 ERROR_BAD_PATHNAME: The specified path is invalid." (name and text as available).
void AppendErrorDescription(TextBuffer& out, DWORD error);
