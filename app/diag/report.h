// What the companion's commands share: the report formats, the exit codes, and the lines
// and members that every report begins with.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "app/diag/json_writer.h"
#include "app/diag/text_buffer.h"

enum class ReportFormat : uint8_t { kText, kJson };

constexpr int kExitSuccess = 0;   // the module would be loaded; the record was read
constexpr int kExitFailure = 1;   // it would not be; it was not
constexpr int kExitUsage = 2;     // an unknown command or option
constexpr int kExitInternal = 3;  // the companion itself failed: memory, or writing its output

extern const wchar_t kToolName[];
extern const wchar_t kToolVersion[];

// "label:" padded to the value column; the caller appends the value and '\n'.
void AppendLabel(TextBuffer& out, const char* label);
// text, then spaces up to width characters.
void AppendPadded(TextBuffer& out, const wchar_t* text, unsigned width);

// The JSON members every report begins with: tool, version, command.
void WriteJsonHeader(JsonWriter& json, const wchar_t* command);
// An error as {"code": n, "name": "ERROR_..." or null, "text": "..." or null}, or null for 0.
void WriteJsonError(JsonWriter& json, const char* key, DWORD error);

// This process: its machine and whether it runs under WOW64, as the loader found it.
struct ProcessFacts {
    uint16_t machine;
    bool wow64Known;
    bool wow64;
};
ProcessFacts GetProcessFacts();
