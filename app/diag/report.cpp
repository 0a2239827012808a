#include "app/diag/report.h"

#include <wchar.h>

#include "app/diag/error_names.h"
#include "app/diag/pe_image.h"
#include "loader/windows_version.h"

#ifndef DISPSET_VERSION
#error "DISPSET_VERSION, the project's version, comes from CMake"
#endif

const wchar_t kToolName[] = L"dispset-diag";
const wchar_t kToolVersion[] = L"" DISPSET_VERSION;

namespace {

constexpr unsigned kValueColumn = 18;

}  // namespace

void AppendLabel(TextBuffer& out, const char* label) {
    out.AppendAscii(label);
    out.AppendChar(L':');
    unsigned length = 1;
    for (const char* cursor = label; *cursor != '\0'; ++cursor) {
        ++length;
    }
    do {
        out.AppendChar(L' ');
    } while (++length < kValueColumn);
}

void AppendPadded(TextBuffer& out, const wchar_t* text, unsigned width) {
    const unsigned length = static_cast<unsigned>(wcslen(text));
    out.Append(text);
    for (unsigned column = length; column < width; ++column) {
        out.AppendChar(L' ');
    }
}

void WriteJsonHeader(JsonWriter& json, const wchar_t* command) {
    json.Field("tool", kToolName);
    json.Field("version", kToolVersion);
    json.Field("command", command);
}

void WriteJsonError(JsonWriter& json, const char* key, DWORD error) {
    json.Key(key);
    if (error == ERROR_SUCCESS) {
        json.Null();
        return;
    }
    json.BeginObject();
    json.FieldUnsigned("code", error);
    json.Key("name");
    const char* name = ErrorName(error);
    if (name == nullptr) {
        json.Null();
    } else {
        TextBuffer wide;
        wide.AppendAscii(name);
        json.String(wide.text());
    }
    TextBuffer message;
    json.Field("text", AppendSystemMessage(message, error) ? message.text() : nullptr);
    json.EndObject();
}

ProcessFacts GetProcessFacts() {
    // The loader's own answer, so that the report shows the state its value names follow.
    const bool known = DetermineWow64();
    return {ThisProcessMachine(), known, known && IsWow64()};
}
