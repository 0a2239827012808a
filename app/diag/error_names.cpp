#include "app/diag/error_names.h"

#include <setupapi.h>

#include "base/local_memory.h"

namespace {

struct NamedError {
    DWORD code;
    const char* name;
};

// Spelled once: the name is the constant's own.
#define NAMED_ERROR(code) \
    { code, #code }

// The loader's own refusals, what its lookups leave (registry, service manager, setup API,
// file system), and what opening and reading a module file can leave.
constexpr NamedError kNamedErrors[] = {
    NAMED_ERROR(ERROR_SUCCESS),
    NAMED_ERROR(ERROR_INVALID_FUNCTION),
    NAMED_ERROR(ERROR_FILE_NOT_FOUND),
    NAMED_ERROR(ERROR_PATH_NOT_FOUND),
    NAMED_ERROR(ERROR_ACCESS_DENIED),
    NAMED_ERROR(ERROR_INVALID_HANDLE),
    NAMED_ERROR(ERROR_NOT_ENOUGH_MEMORY),
    NAMED_ERROR(ERROR_INVALID_DATA),
    NAMED_ERROR(ERROR_OUTOFMEMORY),
    NAMED_ERROR(ERROR_NOT_READY),
    NAMED_ERROR(ERROR_SHARING_VIOLATION),
    NAMED_ERROR(ERROR_LOCK_VIOLATION),
    NAMED_ERROR(ERROR_HANDLE_EOF),
    NAMED_ERROR(ERROR_NOT_SUPPORTED),
    NAMED_ERROR(ERROR_INVALID_PARAMETER),
    NAMED_ERROR(ERROR_CALL_NOT_IMPLEMENTED),
    NAMED_ERROR(ERROR_INSUFFICIENT_BUFFER),
    NAMED_ERROR(ERROR_INVALID_NAME),
    NAMED_ERROR(ERROR_MOD_NOT_FOUND),
    NAMED_ERROR(ERROR_PROC_NOT_FOUND),
    NAMED_ERROR(ERROR_BAD_ARGUMENTS),
    NAMED_ERROR(ERROR_BAD_PATHNAME),
    NAMED_ERROR(ERROR_BAD_EXE_FORMAT),
    NAMED_ERROR(ERROR_FILENAME_EXCED_RANGE),
    NAMED_ERROR(ERROR_MORE_DATA),
    NAMED_ERROR(ERROR_NO_MORE_ITEMS),
    NAMED_ERROR(ERROR_BADKEY),
    NAMED_ERROR(ERROR_CANTOPEN),
    NAMED_ERROR(ERROR_CANTREAD),
    NAMED_ERROR(ERROR_REGISTRY_CORRUPT),
    NAMED_ERROR(ERROR_REGISTRY_IO_FAILED),
    NAMED_ERROR(ERROR_KEY_DELETED),
    NAMED_ERROR(ERROR_SERVICE_DOES_NOT_EXIST),
    NAMED_ERROR(ERROR_DLL_INIT_FAILED),
    NAMED_ERROR(ERROR_NO_SUCH_DEVINST),
    NAMED_ERROR(ERROR_INVALID_CLASS),
    NAMED_ERROR(ERROR_INVALID_REG_PROPERTY),
    NAMED_ERROR(ERROR_NO_ASSOCIATED_CLASS),
    NAMED_ERROR(ERROR_NO_SUCH_DEVICE_INTERFACE),
};

#undef NAMED_ERROR

bool IsTrailingSpace(wchar_t c) {
    return c == L' ' || c == L'\r' || c == L'\n' || c == L'\t';
}

}  // namespace

const char* ErrorName(DWORD error) {
    for (const NamedError& entry : kNamedErrors) {
        if (entry.code == error) {
            return entry.name;
        }
    }
    return nullptr;
}

bool AppendSystemMessage(TextBuffer& out, DWORD error) {
    LocalString message;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(message.put()), 0, nullptr);
    if (length == 0 || !message) {
        return false;
    }
    DWORD end = length;
    while (end > 0 && IsTrailingSpace(message.get()[end - 1])) {
        --end;
    }
    // System texts are trusted less than they might be: a translation could hold anything.
    message.get()[end] = L'\0';
    out.AppendPrintable(message.get());
    return end > 0;
}

void AppendErrorDescription(TextBuffer& out, DWORD error) {
    out.AppendDecimal(error);
    if (const char* name = ErrorName(error)) {
        out.AppendChar(L' ');
        out.AppendAscii(name);
    }
    TextBuffer message;
    if (AppendSystemMessage(message, error)) {
        out.AppendAscii(": ");
        out.Append(message.text());
    }
}
