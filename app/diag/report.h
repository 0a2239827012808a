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

// A command's report as one JSON document and a line break: the header's members, the
// command's own (members(json)), and the exit code last. False when the writer was misused
// or its buffer failed: the document is then not one.
template <typename Members>
bool WriteJsonReport(TextBuffer& out, const wchar_t* command, int exitCode, Members members) {
    JsonWriter json(out);
    json.BeginObject();
    WriteJsonHeader(json, command);
    members(json);
    json.FieldSigned("exitCode", exitCode);
    json.EndObject();
    out.AppendChar(L'\n');
    return json.complete();
}
// An error as {"code": n, "name": "ERROR_..." or null, "text": "..." or null}, or null for 0.
void WriteJsonError(JsonWriter& json, const char* key, DWORD error);

// This process: its machine and whether it runs under WOW64, as the loader found it.
struct ProcessFacts {
    uint16_t machine;
    bool wow64Known;
    bool wow64;
};
ProcessFacts GetProcessFacts();
