#include "loader/registry_values.h"

#include "base/local_memory.h"
#include "loader/system_bindings.h"

namespace {

// Every registry text parsed by the version gate or by the driver lookups needs a
// terminator, and the registry keeps whatever bytes the writer stored, NUL or not. Each
// buffer therefore gets one zeroed character beyond the stored bytes, after rounding an odd
// size up to whole characters.
constexpr DWORD kCharBytes = sizeof(wchar_t);
// Largest reported size whose padded buffer size still fits a DWORD; a larger report
// would wrap the size computation round to a tiny buffer.
constexpr DWORD kMaxRegistryDataBytes = MAXDWORD - 2 * kCharBytes;

// The error that a failed binding or allocation left, as the readers report it. A failure
// has to read as one: should the step leave no code behind (a slot emptied without a
// lookup), the caller gets the fallback instead of a status that means success.
LONG FailureStatus(LONG fallback) {
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? static_cast<LONG>(error) : fallback;
}

// Bytes to allocate for a value of reportedSize bytes: whole characters plus a zeroed one.
DWORD PaddedRegistrySize(DWORD reportedSize) {
    return (reportedSize + 1) / kCharBytes * kCharBytes + kCharBytes;
}

}  // namespace

LONG ReadRegistryValueByPath(HKEY root, const wchar_t* subKey, const wchar_t* valueName,
                             DWORD* type, BYTE** data) {
    if (!BindRegistryOpenClose()) {
        return FailureStatus(ERROR_PROC_NOT_FOUND);
    }
    RegistryKey key;
    const LONG status = OpenRegistryKey(root, subKey, KEY_QUERY_VALUE, key);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    return ReadRegistryValueAlloc(key.get(), valueName, type, data);
}

LONG ReadRegistryValueAlloc(HKEY key, const wchar_t* valueName, DWORD* type, BYTE** data) {
    if (data == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (!BindRegistryQuery()) {
        return FailureStatus(ERROR_PROC_NOT_FOUND);
    }
    const auto queryValue = g_advapi32.regQueryValueEx.load();
    DWORD size = 0;
    LONG status = queryValue(key, valueName, nullptr, nullptr, nullptr, &size);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (size == 0) {
        return ERROR_SUCCESS;
    }
    if (size > kMaxRegistryDataBytes) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    LocalMemory<BYTE> buffer;
    if (!buffer.allocate(PaddedRegistrySize(size))) {
        *data = nullptr;
        return FailureStatus(ERROR_NOT_ENOUGH_MEMORY);
    }
    // The registry is told the size it reported, so the spare character stays zero. A value
    // that grew since the first call fails here (ERROR_MORE_DATA); there is no retry.
    status = queryValue(key, valueName, nullptr, type, buffer.get(), &size);
    if (status != ERROR_SUCCESS) {
        *data = nullptr;
        return status;
    }
    *data = buffer.release();
    return ERROR_SUCCESS;
}
