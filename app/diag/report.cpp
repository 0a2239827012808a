#include "app/diag/report.h"

#include "app/diag/error_names.h"
#include "app/diag/pe_image.h"

#ifndef DISPSET_VERSION
#error "DISPSET_VERSION, the project's version, comes from CMake"
#endif

const wchar_t kToolName[] = L"dispset-diag";
const wchar_t kToolVersion[] = L"" DISPSET_VERSION;

namespace {

constexpr unsigned kValueColumn = 18;

using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE process, BOOL* wow64);

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
    ProcessFacts facts = {ThisProcessMachine(), false, false};
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    auto isWow64Process =
        kernel != nullptr ? reinterpret_cast<IsWow64ProcessFn>(
                                reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process")))
                          : nullptr;
    BOOL wow64 = FALSE;
    if (isWow64Process != nullptr && isWow64Process(GetCurrentProcess(), &wow64)) {
        facts.wow64Known = true;
        facts.wow64 = wow64 != FALSE;
    }
    return facts;
}
