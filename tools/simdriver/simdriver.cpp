// The simulated display driver library: an nvapi.dll that keeps the client's side of the
// driver contract, records every event in a journal file and fails on request. It lets the
// tests and a demonstration run drive the real program and the real loader on a machine
// without the display driver. Never shipped.
//
// Configuration comes from environment variables, read afresh at every call (or once, at
// load, when SIMDRIVER_SNAPSHOT is set then):
//   SIMDRIVER_JOURNAL  file that each event appends one line to; unset: no journal.
//   SIMDRIVER_STATE    file holding display 0's 216-byte record; a missing file means the
//                      default record. Unset: the record lives in this process's memory.
//   SIMDRIVER_FAIL     semicolon-separated failures, for example
//                      "init=-5;nohook=entry;missing=0xE5AC921F;fail=0xDC27D5D4:-7;loadfail":
//                        init=<status>         DriverInitialize returns the status
//                        nohook=entry|exit|both  nvapi_QueryInterface withholds the hook(s)
//                        missing=<id>          nvapi_QueryInterface withholds that entry
//                        fail=<id>:<status>    that entry point returns the status unworked
//                        loadfail              the library refuses to attach to the process
//                        announce              every ApplyDisplayRecord call announces a
//                                              display change, as a driver's mode set does:
//                                              WM_DISPLAYCHANGE to every top-level window
//                        applyignored          ApplyDisplayRecord accepts the record (status
//                                              0) and keeps the stored one, as a driver that
//                                              silently keeps its own value does
//                        applyhangs            ApplyDisplayRecord never returns, as a call
//                                              that hangs in a driver
//                      Numbers are decimal or 0x-hex; statuses may be negative.
//   SIMDRIVER_SNAPSHOT any value: the three variables above are read once, when the
//                      library is loaded, and never again. For benchmarks: reading the
//                      environment takes the process's environment lock, on which calls
//                      from several threads would queue.
//
// Built as simdriver_importing, it also imports simhelper.dll by bare name (simhelper.cpp),
// which journals "helper path=<its path>" when it is loaded.
//
// Journal lines, one event each, hex as 0x%08X:
//   load path=<this DLL's full path>         attached to the process
//   load-refused path=<path>                 attach refused because of loadfail
//   unload path=<path>                       released with FreeLibrary (not at process exit)
//   query id=<id> result=found|missing
//   call name=DriverInitialize id=<id> status=<n>
//   entry-hook id=<id> word0=<w> word1=<w>   the words as the hook received them
//   exit-hook id=<id> word0=<w> word1=<w> status=<n>
//   call name=EnumPhysicalGpus id=<id> count=<n> status=<n>
//   call name=EnumDisplayHandle id=<id> index=<n> display=<h> status=<n>
//   call name=QueryDisplayRecord id=<id> display=<h> version=<v> setting=<n> companion=<c>
//        status=<n>                          (one line; record and companion after the call)
//   call name=ApplyDisplayRecord id=<id> display=<h> version=<v> setting=<n> companion=<c>
//        status=<n>                          (one line)
//   announce message=WM_DISPLAYCHANGE sent=0|1  after an apply, with "announce"
//   hang name=ApplyDisplayRecord             an apply that will never return, with "applyhangs"
//   config-error item=<text>                 an item of SIMDRIVER_FAIL that means nothing
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <type_traits>

#include "driver_client/driver_contract.h"
#include "tools/simdriver/simdriver.h"

using namespace simdriver;

extern "C" {
void* DRIVER_CALL nvapi_QueryInterface(InterfaceId id);
DriverStatus DRIVER_CALL DriverInitialize();
DriverStatus DRIVER_CALL EntryHook(InterfaceId id, uint32_t* scratch);
DriverStatus DRIVER_CALL ExitHook(InterfaceId id, uint32_t word0, uint32_t word1,
                                  DriverStatus status);
DriverStatus DRIVER_CALL EnumPhysicalGpus(GpuHandle* gpus, uint32_t* count);
DriverStatus DRIVER_CALL EnumDisplayHandle(uint32_t index, DisplayHandle* display);
DriverStatus DRIVER_CALL QueryDisplayRecord(DisplayHandle display, DisplayRecord* record,
                                            uint32_t* companion);
DriverStatus DRIVER_CALL ApplyDisplayRecord(DisplayHandle display, DisplayRecord* record,
                                            uint32_t companion);
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
#ifdef SIMDRIVER_IMPORTS_HELPER
// The importing variant (simdriver_importing): a static import by bare name, resolved by
// Windows along the process's DLL search order when the library is loaded.
__declspec(dllimport) int SimHelperMark();
#endif
}

// The exports must be exactly what the client will call them as.
static_assert(std::is_same_v<decltype(&nvapi_QueryInterface), QueryInterfaceFn>);
static_assert(std::is_same_v<decltype(&DriverInitialize), DriverInitializeFn>);
static_assert(std::is_same_v<decltype(&EntryHook), EntryHookFn>);
static_assert(std::is_same_v<decltype(&ExitHook), ExitHookFn>);
static_assert(std::is_same_v<decltype(&EnumPhysicalGpus), EnumPhysicalGpusFn>);
static_assert(std::is_same_v<decltype(&EnumDisplayHandle), EnumDisplayHandleFn>);
static_assert(std::is_same_v<decltype(&QueryDisplayRecord), QueryDisplayRecordFn>);
static_assert(std::is_same_v<decltype(&ApplyDisplayRecord), ApplyDisplayRecordFn>);

namespace {

// Long enough for any path or failure list a test sets; longer values count as unset.
constexpr DWORD kVariableCapacity = 2048;
// A UTF-8 path takes at most three bytes per UTF-16 unit, plus the line's other fields.
constexpr size_t kLineCapacity = 3 * kVariableCapacity + 256;
constexpr size_t kMaxFailureItems = 16;

HMODULE g_self = nullptr;
bool g_attached = false;
// Entry points refuse to work before DriverInitialize has succeeded in this load, so a
// client that skipped initialization shows up as a failed call.
std::atomic<bool> g_initialized{false};

SRWLOCK g_journalLock = SRWLOCK_INIT;

// The record that a test resets silently lives in the SIMDRIVER_STATE file, which the test
// writes itself: the driver keeps it between processes, and journals nothing of a reset.
//
// Display 0's record when SIMDRIVER_STATE is unset.
SRWLOCK g_memoryLock = SRWLOCK_INIT;
DisplayRecord g_memoryRecord;
bool g_memoryRecordSet = false;

bool ReadEnvironment(const wchar_t* name, wchar_t* buffer, DWORD capacity) {
    DWORD length = GetEnvironmentVariableW(name, buffer, capacity);
    return length > 0 && length < capacity;
}

// The variables as they were at load, when SIMDRIVER_SNAPSHOT was set then. Reading the
// environment takes the process's environment lock, so calls from several threads would
// queue on it; a benchmark of the client's call path must not measure that.
struct SnapshotEntry {
    const wchar_t* name;
    bool present;
    wchar_t value[kVariableCapacity];
};
bool g_snapshotTaken = false;
SnapshotEntry g_snapshot[] = {
    {kJournalVariable, false, {}},
    {kStateVariable, false, {}},
    {kFailVariable, false, {}},
};

void TakeSnapshotIfAsked() {
    wchar_t flag[8];
    if (!ReadEnvironment(kSnapshotVariable, flag, 8)) {
        return;
    }
    for (SnapshotEntry& entry : g_snapshot) {
        entry.present = ReadEnvironment(entry.name, entry.value, kVariableCapacity);
    }
    g_snapshotTaken = true;
}

bool ReadVariable(const wchar_t* name, wchar_t* buffer, DWORD capacity) {
    if (!g_snapshotTaken) {
        return ReadEnvironment(name, buffer, capacity);
    }
    for (const SnapshotEntry& entry : g_snapshot) {
        if (entry.name == name) {
            if (!entry.present || wcslen(entry.value) >= capacity) {
                return false;
            }
            wcscpy(buffer, entry.value);
            return true;
        }
    }
    return false;
}

// UTF-16 text (length units, or up to its NUL when length is -1) as NUL-terminated UTF-8.
void ToUtf8(const wchar_t* text, int length, char* out, int capacity) {
    int written =
        WideCharToMultiByte(CP_UTF8, 0, text, length, out, capacity - 1, nullptr, nullptr);
    if (written <= 0) {
        written = 0;
    } else if (length == -1) {
        --written;  // the converted NUL
    }
    out[written] = '\0';
}

__attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2))) void Journal(const char* format, ...) {
    wchar_t path[kVariableCapacity];
    if (!ReadVariable(kJournalVariable, path, kVariableCapacity)) {
        return;
    }
    char line[kLineCapacity];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    if (length < 0) {
        return;
    }
    if (static_cast<size_t>(length) > sizeof(line) - 2) {
        length = static_cast<int>(sizeof(line) - 2);
    }
    line[length++] = '\n';
    // Opened, appended to and closed for every line, so that the events of several
    // processes (one after the other) end up in one file and the test may read or delete it
    // between events. Wine finds the end of file and writes in two steps, so concurrent
    // appends can land on the same offset: this process's threads take turns.
    AcquireSRWLockExclusive(&g_journalLock);
    HANDLE file =
        CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr);
        CloseHandle(file);
    }
    ReleaseSRWLockExclusive(&g_journalLock);
}

void ModulePathUtf8(char* out, int capacity) {
    wchar_t path[kVariableCapacity];
    DWORD length = GetModuleFileNameW(g_self, path, kVariableCapacity);
    if (length == 0 || length >= kVariableCapacity) {
        out[0] = '\0';
        return;
    }
    ToUtf8(path, static_cast<int>(length), out, capacity);
}

// --- SIMDRIVER_FAIL ---------------------------------------------------------------------

struct Failure {
    InterfaceId id;
    DriverStatus status;
};

struct FailureSettings {
    bool loadFails = false;
    bool announces = false;
    bool applyIgnored = false;
    bool applyHangs = false;
    bool noEntryHook = false;
    bool noExitHook = false;
    InterfaceId missing[kMaxFailureItems] = {};
    size_t missingCount = 0;
    Failure failures[kMaxFailureItems] = {};  // init=<status> is kept here as well
    size_t failureCount = 0;
};

// The items without a value, each a flag of the settings.
struct FlagItem {
    const wchar_t* name;
    bool FailureSettings::*flag;
};
constexpr FlagItem kFlagItems[] = {
    {L"loadfail", &FailureSettings::loadFails},
    {L"announce", &FailureSettings::announces},
    {L"applyignored", &FailureSettings::applyIgnored},
    {L"applyhangs", &FailureSettings::applyHangs},
};

bool TextEquals(const wchar_t* begin, const wchar_t* end, const wchar_t* text) {
    size_t length = wcslen(text);
    return static_cast<size_t>(end - begin) == length && wcsncmp(begin, text, length) == 0;
}

// A 32-bit number, decimal or 0x-hex, optionally signed; the whole range must be used.
// Negative numbers come back as their two's complement bits.
bool ParseNumber(const wchar_t* begin, const wchar_t* end, uint32_t* value) {
    bool negative = false;
    if (begin < end && (*begin == L'-' || *begin == L'+')) {
        negative = *begin == L'-';
        ++begin;
    }
    unsigned base = 10;
    if (end - begin > 2 && begin[0] == L'0' && (begin[1] == L'x' || begin[1] == L'X')) {
        base = 16;
        begin += 2;
    }
    if (begin == end) {
        return false;
    }
    uint64_t magnitude = 0;
    for (const wchar_t* p = begin; p < end; ++p) {
        unsigned digit;
        if (*p >= L'0' && *p <= L'9') {
            digit = static_cast<unsigned>(*p - L'0');
        } else if (base == 16 && *p >= L'a' && *p <= L'f') {
            digit = static_cast<unsigned>(*p - L'a' + 10);
        } else if (base == 16 && *p >= L'A' && *p <= L'F') {
            digit = static_cast<unsigned>(*p - L'A' + 10);
        } else {
            return false;
        }
        magnitude = magnitude * base + digit;
        if (magnitude > 0xFFFFFFFFull) {
            return false;
        }
    }
    if (negative && magnitude > 0x80000000ull) {
        return false;
    }
    uint32_t bits = static_cast<uint32_t>(magnitude);
    *value = negative ? 0u - bits : bits;
    return true;
}

bool AddFailure(FailureSettings* settings, InterfaceId id, uint32_t statusBits) {
    if (settings->failureCount == kMaxFailureItems) {
        return false;
    }
    settings->failures[settings->failureCount++] = {id, static_cast<DriverStatus>(statusBits)};
    return true;
}

bool ParseItem(const wchar_t* begin, const wchar_t* end, FailureSettings* settings) {
    const wchar_t* equals = begin;
    while (equals < end && *equals != L'=') {
        ++equals;
    }
    if (equals == end) {
        for (const FlagItem& item : kFlagItems) {
            if (TextEquals(begin, end, item.name)) {
                settings->*item.flag = true;
                return true;
            }
        }
        return false;
    }
    const wchar_t* value = equals + 1;
    uint32_t number = 0;
    if (TextEquals(begin, equals, L"init")) {
        return ParseNumber(value, end, &number) &&
               AddFailure(settings, kIdDriverInitialize, number);
    }
    if (TextEquals(begin, equals, L"nohook")) {
        if (TextEquals(value, end, L"entry")) {
            settings->noEntryHook = true;
        } else if (TextEquals(value, end, L"exit")) {
            settings->noExitHook = true;
        } else if (TextEquals(value, end, L"both")) {
            settings->noEntryHook = settings->noExitHook = true;
        } else {
            return false;
        }
        return true;
    }
    if (TextEquals(begin, equals, L"missing")) {
        if (!ParseNumber(value, end, &number) || settings->missingCount == kMaxFailureItems) {
            return false;
        }
        settings->missing[settings->missingCount++] = number;
        return true;
    }
    if (TextEquals(begin, equals, L"fail")) {
        const wchar_t* colon = value;
        while (colon < end && *colon != L':') {
            ++colon;
        }
        uint32_t status = 0;
        return colon < end && ParseNumber(value, colon, &number) &&
               ParseNumber(colon + 1, end, &status) && AddFailure(settings, number, status);
    }
    return false;
}

FailureSettings ReadFailureSettings() {
    FailureSettings settings;
    wchar_t text[kVariableCapacity];
    if (!ReadVariable(kFailVariable, text, kVariableCapacity)) {
        return settings;
    }
    const wchar_t* item = text;
    for (;;) {
        const wchar_t* end = item;
        while (*end != L'\0' && *end != L';') {
            ++end;
        }
        // Surrounding blanks are forgiven; empty items (";;", a trailing ';') are skipped.
        const wchar_t* first = item;
        const wchar_t* last = end;
        while (first < last && *first == L' ') {
            ++first;
        }
        while (last > first && last[-1] == L' ') {
            --last;
        }
        if (first < last && !ParseItem(first, last, &settings)) {
            // A typo must not pass for a run without failures.
            char utf8[kLineCapacity / 2];
            ToUtf8(first, static_cast<int>(last - first), utf8, sizeof(utf8));
            Journal("config-error item=%s", utf8);
        }
        if (*end == L'\0') {
            break;
        }
        item = end + 1;
    }
    return settings;
}

bool IsWithheld(const FailureSettings& settings, InterfaceId id) {
    if ((id == kIdEntryHook && settings.noEntryHook) ||
        (id == kIdExitHook && settings.noExitHook)) {
        return true;
    }
    for (size_t i = 0; i < settings.missingCount; ++i) {
        if (settings.missing[i] == id) {
            return true;
        }
    }
    return false;
}

// The status an entry point is told to fail with; the first matching item wins.
bool FindFailure(InterfaceId id, DriverStatus* status) {
    FailureSettings settings = ReadFailureSettings();
    for (size_t i = 0; i < settings.failureCount; ++i) {
        if (settings.failures[i].id == id) {
            *status = settings.failures[i].status;
            return true;
        }
    }
    return false;
}

// --- Display 0's record -----------------------------------------------------------------

void MakeDefaultRecord(DisplayRecord* record) {
    uint8_t* bytes = reinterpret_cast<uint8_t*>(record);
    for (uint32_t offset = 0; offset < kDisplayRecordSize; ++offset) {
        bytes[offset] = DefaultRecordByte(offset);
    }
    record->version = kDisplayRecordVersionWord;
    record->setting = kDefaultSetting;
}

DriverStatus ReadRecord(DisplayRecord* record) {
    wchar_t path[kVariableCapacity];
    if (!ReadVariable(kStateVariable, path, kVariableCapacity)) {
        AcquireSRWLockExclusive(&g_memoryLock);
        if (!g_memoryRecordSet) {
            MakeDefaultRecord(&g_memoryRecord);
            g_memoryRecordSet = true;
        }
        *record = g_memoryRecord;
        ReleaseSRWLockExclusive(&g_memoryLock);
        return kDriverOk;
    }
    HANDLE file =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            MakeDefaultRecord(record);
            return kDriverOk;
        }
        return kStatusStateFile;
    }
    // Exactly one record and nothing else, or the file is not ours.
    DisplayRecord stored;
    DWORD read = 0;
    char extra = 0;
    DWORD extraRead = 0;
    bool ok = ReadFile(file, &stored, sizeof(stored), &read, nullptr) && read == sizeof(stored) &&
              ReadFile(file, &extra, 1, &extraRead, nullptr) && extraRead == 0;
    CloseHandle(file);
    if (!ok) {
        return kStatusStateFile;
    }
    *record = stored;
    return kDriverOk;
}

DriverStatus WriteRecord(const DisplayRecord& record) {
    wchar_t path[kVariableCapacity];
    if (!ReadVariable(kStateVariable, path, kVariableCapacity)) {
        AcquireSRWLockExclusive(&g_memoryLock);
        g_memoryRecord = record;
        g_memoryRecordSet = true;
        ReleaseSRWLockExclusive(&g_memoryLock);
        return kDriverOk;
    }
    HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return kStatusStateFile;
    }
    DWORD written = 0;
    bool ok =
        WriteFile(file, &record, sizeof(record), &written, nullptr) && written == sizeof(record);
    CloseHandle(file);
    return ok ? kDriverOk : kStatusStateFile;
}

// --- Announcing a display change ---------------------------------------------------------

using SendMessageTimeoutFn = decltype(&::SendMessageTimeoutW);

// user32's SendMessageTimeoutW, loaded by its full path only when a test asks for
// announcements: the driver's other uses need no window system, and Wine's windows need an
// X display.
SendMessageTimeoutFn BindSendMessageTimeout() {
    static std::atomic<SendMessageTimeoutFn> bound{nullptr};
    SendMessageTimeoutFn function = bound.load();
    if (function != nullptr) {
        return function;
    }
    wchar_t path[MAX_PATH];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length + wcslen(L"\\user32.dll") >= MAX_PATH) {
        return nullptr;
    }
    wcscat(path, L"\\user32.dll");
    HMODULE user32 = LoadLibraryExW(path, nullptr, 0);
    if (user32 == nullptr) {
        return nullptr;
    }
    function = reinterpret_cast<SendMessageTimeoutFn>(
        reinterpret_cast<void*>(GetProcAddress(user32, "SendMessageTimeoutW")));
    bound.store(function);
    return function;
}

// What a driver's mode set makes Windows send: WM_DISPLAYCHANGE with the colour depth and
// the resolution, to every top-level window.
void AnnounceDisplayChange() {
    constexpr WPARAM kBitsPerPixel = 32;
    constexpr LPARAM kResolution = MAKELPARAM(1024, 768);
    constexpr UINT kWaitMilliseconds = 10000;
    SendMessageTimeoutFn send = BindSendMessageTimeout();
    DWORD_PTR result = 0;
    const bool sent =
        send != nullptr && send(HWND_BROADCAST, WM_DISPLAYCHANGE, kBitsPerPixel, kResolution,
                                SMTO_ABORTIFHUNG, kWaitMilliseconds, &result) != 0;
    Journal("announce message=WM_DISPLAYCHANGE sent=%d", sent ? 1 : 0);
}

// --- Entry points -------------------------------------------------------------------------

struct EntryPoint {
    InterfaceId id;
    void* address;
};

const EntryPoint* EntryPoints() {
    static const EntryPoint entries[] = {
        {kIdDriverInitialize, reinterpret_cast<void*>(&DriverInitialize)},
        {kIdEntryHook, reinterpret_cast<void*>(&EntryHook)},
        {kIdExitHook, reinterpret_cast<void*>(&ExitHook)},
        {kIdEnumPhysicalGpus, reinterpret_cast<void*>(&EnumPhysicalGpus)},
        {kIdEnumDisplayHandle, reinterpret_cast<void*>(&EnumDisplayHandle)},
        {kIdQueryDisplayRecord, reinterpret_cast<void*>(&QueryDisplayRecord)},
        {kIdApplyDisplayRecord, reinterpret_cast<void*>(&ApplyDisplayRecord)},
        {0, nullptr},
    };
    return entries;
}

// The checks that both record calls make, in this order; kDriverOk lets the call go on.
// A simulated failure comes first, before any argument is looked at.
DriverStatus CheckRecordCall(InterfaceId id, DisplayHandle display, const DisplayRecord* record,
                             bool otherArgumentsPresent) {
    DriverStatus status = kDriverOk;
    if (FindFailure(id, &status)) {
        return status;
    }
    if (record == nullptr || !otherArgumentsPresent) {
        return kStatusInvalidArgument;
    }
    if (!g_initialized.load()) {
        return kStatusNotInitialized;
    }
    if (display != kDisplayHandle) {
        return kStatusUnknownDisplay;
    }
    if (record->version != kDisplayRecordVersionWord) {
        return kStatusWrongVersion;
    }
    return kDriverOk;
}

}  // namespace

void* DRIVER_CALL nvapi_QueryInterface(InterfaceId id) {
    void* address = nullptr;
    for (const EntryPoint* entry = EntryPoints(); entry->address != nullptr; ++entry) {
        if (entry->id == id) {
            address = entry->address;
            break;
        }
    }
    if (address != nullptr && IsWithheld(ReadFailureSettings(), id)) {
        address = nullptr;
    }
    Journal("query id=0x%08X result=%s", id, address != nullptr ? "found" : "missing");
    return address;
}

DriverStatus DRIVER_CALL DriverInitialize() {
    DriverStatus status = kDriverOk;
    if (!FindFailure(kIdDriverInitialize, &status)) {
        g_initialized.store(true);
    }
    Journal("call name=DriverInitialize id=0x%08X status=%d", kIdDriverInitialize, status);
    return status;
}

DriverStatus DRIVER_CALL EntryHook(InterfaceId id, uint32_t* scratch) {
    uint32_t word0 = scratch != nullptr ? scratch[0] : 0;
    uint32_t word1 = scratch != nullptr ? scratch[1] : 0;
    Journal("entry-hook id=0x%08X word0=0x%08X word1=0x%08X", id, word0, word1);
    if (scratch != nullptr) {
        scratch[0] = EntryHookWord0(id);
        scratch[1] = kEntryHookWord1;
    }
    return kEntryHookResult;
}

DriverStatus DRIVER_CALL ExitHook(InterfaceId id, uint32_t word0, uint32_t word1,
                                  DriverStatus status) {
    Journal("exit-hook id=0x%08X word0=0x%08X word1=0x%08X status=%d", id, word0, word1, status);
    return kExitHookResult;
}

DriverStatus DRIVER_CALL EnumPhysicalGpus(GpuHandle* gpus, uint32_t* count) {
    DriverStatus status = kDriverOk;
    if (FindFailure(kIdEnumPhysicalGpus, &status)) {
    } else if (gpus == nullptr || count == nullptr) {
        status = kStatusInvalidArgument;
    } else if (!g_initialized.load()) {
        status = kStatusNotInitialized;
    } else {
        gpus[0] = kGpuHandle;
        *count = 1;
    }
    Journal("call name=EnumPhysicalGpus id=0x%08X count=%u status=%d", kIdEnumPhysicalGpus,
            count != nullptr ? *count : 0u, status);
    return status;
}

DriverStatus DRIVER_CALL EnumDisplayHandle(uint32_t index, DisplayHandle* display) {
    DriverStatus status = kDriverOk;
    if (FindFailure(kIdEnumDisplayHandle, &status)) {
    } else if (display == nullptr) {
        status = kStatusInvalidArgument;
    } else if (!g_initialized.load()) {
        status = kStatusNotInitialized;
    } else if (index != 0) {
        status = kStatusEndOfEnumeration;
    } else {
        *display = kDisplayHandle;
    }
    Journal("call name=EnumDisplayHandle id=0x%08X index=%u display=0x%08X status=%d",
            kIdEnumDisplayHandle, index, display != nullptr ? *display : 0u, status);
    return status;
}

DriverStatus DRIVER_CALL QueryDisplayRecord(DisplayHandle display, DisplayRecord* record,
                                            uint32_t* companion) {
    DisplayRecord current;
    DriverStatus status =
        CheckRecordCall(kIdQueryDisplayRecord, display, record, companion != nullptr);
    if (status == kDriverOk && (status = ReadRecord(&current)) == kDriverOk) {
        *record = current;
        *companion = kCompanion;
    }
    Journal(
        "call name=QueryDisplayRecord id=0x%08X display=0x%08X version=0x%08X setting=%u "
        "companion=0x%08X status=%d",
        kIdQueryDisplayRecord, display, record != nullptr ? record->version : 0u,
        record != nullptr ? record->setting : 0u, companion != nullptr ? *companion : 0u, status);
    return status;
}

DriverStatus DRIVER_CALL ApplyDisplayRecord(DisplayHandle display, DisplayRecord* record,
                                            uint32_t companion) {
    const FailureSettings settings = ReadFailureSettings();
    if (settings.applyHangs) {
        Journal("hang name=ApplyDisplayRecord");
        Sleep(INFINITE);
    }
    DriverStatus status = CheckRecordCall(kIdApplyDisplayRecord, display, record, true);
    if (status == kDriverOk && companion != kCompanion) {
        status = kStatusWrongCompanion;
    } else if (status == kDriverOk && !settings.applyIgnored) {
        status = WriteRecord(*record);
    }
    Journal(
        "call name=ApplyDisplayRecord id=0x%08X display=0x%08X version=0x%08X setting=%u "
        "companion=0x%08X status=%d",
        kIdApplyDisplayRecord, display, record != nullptr ? record->version : 0u,
        record != nullptr ? record->setting : 0u, companion, status);
    if (settings.announces) {
        AnnounceDisplayChange();
    }
    return status;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    char path[kLineCapacity / 2];
    if (reason == DLL_PROCESS_ATTACH) {
        g_self = instance;
        TakeSnapshotIfAsked();
        ModulePathUtf8(path, sizeof(path));
        if (ReadFailureSettings().loadFails) {
            Journal("load-refused path=%s", path);
            return FALSE;
        }
        g_attached = true;
#ifdef SIMDRIVER_IMPORTS_HELPER
        SimHelperMark();
#endif
        Journal("load path=%s", path);
    } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr && g_attached) {
        // Only a FreeLibrary release is journaled; at process exit the journal has nothing
        // to learn and the test process may already be tearing its files down.
        ModulePathUtf8(path, sizeof(path));
        Journal("unload path=%s", path);
    }
    return TRUE;
}
