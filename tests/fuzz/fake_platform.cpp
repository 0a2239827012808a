#include "tests/fuzz/fake_platform.h"

#include <devpropdef.h>
#include <initializer_list>
#include <setupapi.h>
#include <shlobj.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <winsvc.h>

#include "loader/driver_locator.h"
#include "loader/driver_lookups.h"
#include "loader/system_bindings.h"
#include "loader/windows_version.h"
#include "tests/support/test_support.h"

namespace fuzz {

namespace {

using testing_support::GuardedPool;
using testing_support::ScopedImportPatch;

// --- Random numbers: xoshiro256** seeded through splitmix64 -------------------------------

struct Rng {
    uint64_t s[4];
    void Seed(uint64_t seed) {
        for (uint64_t& word : s) {
            seed += 0x9E3779B97F4A7C15ull;
            uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            word = z ^ (z >> 31);
        }
    }
    static uint64_t Rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    uint64_t Next() {
        const uint64_t result = Rotl(s[1] * 5, 7) * 9;
        const uint64_t t = s[1] << 17;
        s[2] ^= s[0];
        s[3] ^= s[1];
        s[1] ^= s[2];
        s[0] ^= s[3];
        s[2] ^= t;
        s[3] = Rotl(s[3], 45);
        return result;
    }
    uint32_t Below(uint32_t n) { return n == 0 ? 0 : static_cast<uint32_t>(Next() % n); }
    bool Percent(uint32_t p) { return Below(100) < p; }
};

Rng g_rng;

GuardedPool* g_pool = nullptr;
// Blocks the fake handed out of its own (service image paths), freed at the end of a case.
constexpr size_t kMaxFakeBlocks = 64;
void* g_fakeBlocks[kMaxFakeBlocks];
size_t g_fakeBlockCount = 0;

// --- Per-case text storage: a bump arena, reset at every case -----------------------------

constexpr size_t kArenaChars = size_t{1} << 21;
wchar_t g_arena[kArenaChars];
size_t g_arenaUsed = 0;

struct Text {
    const wchar_t* s = nullptr;
    uint32_t n = 0;
};

wchar_t* ArenaChars(size_t count) {
    if (g_arenaUsed + count > kArenaChars) {
        Violation("harness: text arena exhausted");
        g_arenaUsed = 0;
    }
    wchar_t* chars = g_arena + g_arenaUsed;
    g_arenaUsed += count;
    return chars;
}

Text Store(const wchar_t* s, size_t n) {
    wchar_t* copy = ArenaChars(n + 1);
    memcpy(copy, s, n * sizeof(wchar_t));
    copy[n] = L'\0';
    return {copy, static_cast<uint32_t>(n)};
}

Text Store(const wchar_t* s) {
    return Store(s, wcslen(s));
}

class Builder {
  public:
    Builder& Add(const wchar_t* text) { return Add(text, wcslen(text)); }
    Builder& Add(Text text) { return Add(text.s, text.n); }
    Builder& Add(const wchar_t* text, size_t count) {
        for (size_t i = 0; i < count && n_ < kCapacity; ++i) {
            chars_[n_++] = text[i];
        }
        return *this;
    }
    Builder& Char(wchar_t c) { return Add(&c, 1); }
    Builder& Repeat(wchar_t c, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            Char(c);
        }
        return *this;
    }
    Text Commit() const { return Store(chars_, n_); }
    uint32_t size() const { return n_; }

  private:
    static constexpr uint32_t kCapacity = 8192;
    wchar_t chars_[kCapacity];
    uint32_t n_ = 0;
};

bool SameText(const wchar_t* a, size_t an, const wchar_t* b, size_t bn) {
    return an == bn && memcmp(a, b, an * sizeof(wchar_t)) == 0;
}

bool SameText(Text a, const wchar_t* b) {
    return b != nullptr && SameText(a.s, a.n, b, wcslen(b));
}

wchar_t FoldAscii(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c;
}

bool StartsWithFolded(const wchar_t* text, size_t textLength, Text prefix) {
    if (prefix.n > textLength) {
        return false;
    }
    for (uint32_t i = 0; i < prefix.n; ++i) {
        if (FoldAscii(text[i]) != FoldAscii(prefix.s[i])) {
            return false;
        }
    }
    return true;
}

// --- Books of the case --------------------------------------------------------------------

bool g_inCase = false;
bool g_trace = false;
uint64_t g_calls = 0;
constexpr uint64_t kCallBudget = 400000;  // a loader that keeps asking is stuck in a loop
char g_violation[512];

struct Candidate {
    Text text;
    uint32_t kind;
};
constexpr size_t kMaxCandidates = 2048;
Candidate g_candidates[kMaxCandidates];
size_t g_candidateCount = 0;

void Offer(Text text, uint32_t kind) {
    if (g_candidateCount < kMaxCandidates) {
        g_candidates[g_candidateCount++] = {text, kind};
    }
}

constexpr size_t kMaxErrors = 64;
DWORD g_errorsSet[kMaxErrors];
size_t g_errorCount = 0;
LONG g_statuses[kMaxErrors];
size_t g_statusCount = 0;

void Fail(DWORD error) {
    if (error != ERROR_SUCCESS && g_errorCount < kMaxErrors) {
        g_errorsSet[g_errorCount++] = error;
    }
    SetLastError(error);
}

LONG Status(LONG status) {
    if (status != ERROR_SUCCESS && g_statusCount < kMaxErrors) {
        g_statuses[g_statusCount++] = status;
    }
    return status;
}

// Folder texts the loader was given (the trusted folders as the fake answered them), the
// full-path answers, and the system-directory texts.
struct FolderAnswer {
    Text text;
    bool appendAlways;  // SHGetFolderPathW answers get a backslash even when they end in one
};
constexpr size_t kMaxAnswers = 256;
FolderAnswer g_folders[kMaxAnswers];
size_t g_folderCount = 0;
struct FullPathAnswer {
    Text input;
    Text output;
};
FullPathAnswer g_fullPaths[kMaxAnswers];
size_t g_fullPathCount = 0;
Text g_systemDirectories[kMaxAnswers];
size_t g_systemDirectoryCount = 0;
bool g_systemDirectoryChanged = false;
bool g_olderAnswered = false;

// Build-number answers: the parse the loader must make of the first REG_SZ answer that
// parses, and whether any did.
bool g_buildParsed = false;
uint32_t g_buildValue = 0;

HMODULE g_lastModule = nullptr;
uint32_t g_moduleLoads = 0;

// --- The case's character -----------------------------------------------------------------

constexpr DWORD kErrorPalette[] = {
    ERROR_ACCESS_DENIED,  ERROR_INVALID_DATA, ERROR_GEN_FAILURE,    ERROR_INVALID_PARAMETER,
    ERROR_NO_MORE_ITEMS,  ERROR_NOT_FOUND,    ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND,
    ERROR_INVALID_HANDLE, ERROR_BAD_LENGTH,   0x20001234,
};

DWORD AnyError() {
    return kErrorPalette[g_rng.Below(sizeof(kErrorPalette) / sizeof(kErrorPalette[0]))];
}

struct Character {
    uint32_t failPercent;    // chance that a call fails outright
    uint32_t liePercent;     // chance that a size report lies
    uint32_t changePercent;  // chance that an answer changes between two calls
    uint32_t allocFailAt;    // the n-th allocation fails (0: none)
    uint32_t allocFailPercent;
    uint32_t allocations;
    Text moduleName;
    Text searchName;  // what the locator searches for: the name with ".dll" made explicit
    Text windowsFolder;
    Text programFiles;
    Text programFilesX86;
    HRESULT folderFailures[3];
    uint32_t programW6432Kind;  // 0 defined, 1 undefined, 2 empty, 3 fails, 4 changes
    Text programW6432;
    Text systemDirectory;
    // 0 stable, 1 longer second, 2 shorter second, 3 fails, 4 second call fails, 5 a size
    // beyond any string
    uint32_t systemDirectoryKind;
    bool olderThanWindows7;
    uint32_t wow64Kind;  // 0 native, 1 wow64, 2 no kernel32, 3 no export, 4 call fails
    uint32_t buildKind;
    bool destroyClears;
    bool devicesMade;
    uint32_t enumKind;  // RegEnumValueW: 0 ends, 1 fails forever, 2 succeeds forever
};
Character g_case;

// --- Handles ------------------------------------------------------------------------------

constexpr uintptr_t kKeyBase = 0x6B000000;
constexpr uintptr_t kSetBase = 0x5E000000;
constexpr uintptr_t kServiceBase = 0x5C000000;
constexpr uintptr_t kModuleBase = 0x7A000000;
constexpr size_t kMaxHandles = 64;

struct KeyRecord {
    bool open;
    Text path;
};
KeyRecord g_keys[kMaxHandles];
int g_openKeys = 0;
bool g_setOpen[kMaxHandles];
size_t g_setCount = 0;
int g_openSets = 0;
struct ServiceRecord {
    bool open;
    bool manager;
    Text name;
};
ServiceRecord g_services[kMaxHandles];
size_t g_serviceCount = 0;
int g_openServices = 0;
size_t g_keyCount = 0;

// The fake's system libraries and kernel32, by handle.
enum FakeModule : uintptr_t {
    kFakeAdvapi32 = kModuleBase + 0x10000,
    kFakeSetupapi = kModuleBase + 0x20000,
    kFakeShell32 = kModuleBase + 0x30000,
    kFakeKernel32 = kModuleBase + 0x40000,
    kFakeLoadedModules = kModuleBase + 0x100000,  // modules the loader asked for
};

HMODULE AsModule(uintptr_t value) {
    return reinterpret_cast<HMODULE>(value);
}

// --- Generated texts ----------------------------------------------------------------------

Text Pick(std::initializer_list<const wchar_t*> choices) {
    const uint32_t index = g_rng.Below(static_cast<uint32_t>(choices.size()));
    return Store(choices.begin()[index]);
}

Text LongJunk(uint32_t length, wchar_t fill) {
    Builder b;
    for (uint32_t i = 0; i < length; ++i) {
        b.Char(static_cast<wchar_t>(fill + (i % 7)));
    }
    return b.Commit();
}

Text FolderText(const wchar_t* usual, const wchar_t* lower) {
    switch (g_rng.Below(20)) {
        case 0:
            return Store(L"");
        case 1:
            return LongJunk(MAX_PATH + 5, L'a');  // fills SHGetFolderPathW's buffer, no NUL
        case 2: {
            Builder b;
            return b.Add(usual).Char(L'\\').Commit();
        }
        case 3:
            return Store(lower);
        case 4:
            return Store(L"C:");
        case 5:
            return Store(L"Windows");
        case 6:
            return Store(L"\\\\server\\share");  // a folder on the network
        default:
            return Store(usual);
    }
}

// The file-name part of a candidate: mostly names that do or do not name the module.
Text CandidateFileName() {
    Builder b;
    switch (g_rng.Below(12)) {
        case 0:
        case 1:
        case 2:
        case 3:
            return g_case.searchName;
        case 4: {
            for (uint32_t i = 0; i < g_case.searchName.n; ++i) {
                const wchar_t c = g_case.searchName.s[i];
                b.Char((c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c);
            }
            return b.Commit();
        }
        case 5:
            return g_case.moduleName;
        case 6:
            return Store(L"other.dll");
        case 7:
            return b.Add(g_case.searchName).Add(L".bak").Commit();
        case 8:
            return b.Add(g_case.searchName).Char(L' ').Commit();
        case 9:
            return Store(L"");
        case 10:
            return Store(L"nvlddmkm.sys");
        default:
            return Store(L"nvapi64.dll");
    }
}

Text CandidatePath() {
    Builder b;
    switch (g_rng.Below(24)) {
        case 0:
        case 1:
        case 2:
            b.Add(g_case.windowsFolder).Add(L"\\System32\\");
            break;
        case 3:
            b.Add(g_case.windowsFolder)
                .Add(L"\\System32\\DriverStore\\FileRepository\\nv_disp.inf_amd64_1\\");
            break;
        case 4:
        case 5:
            b.Add(g_case.programFiles).Add(L"\\NVIDIA Corporation\\");
            break;
        case 6:
            b.Add(g_case.programFilesX86).Add(L"\\NVIDIA\\");
            break;
        case 7:
            b.Add(L"C:\\Windows\\..\\Temp\\");
            break;
        case 8:
            b.Add(L"C:\\WindowsApps\\");
            break;
        case 9:
            b.Add(L"D:\\evil\\");
            break;
        case 10:
            b.Add(L"\\\\server\\share\\");
            break;
        case 11:
            break;  // a bare file name
        case 12:
            b.Add(L"sub\\");
            break;
        case 13:
            b.Add(L"C:");
            break;
        case 14:
            b.Add(L"C:/Windows/System32/");
            break;
        case 15:
            b.Add(L"\\SystemRoot\\System32\\drivers\\");
            break;
        case 16:
            b.Add(L"\\??\\C:\\Windows\\System32\\");
            break;
        case 17:
            b.Add(g_case.windowsFolder).Char(L'\\').Add(LongJunk(300, L'd')).Char(L'\\');
            break;
        case 18:
            b.Add(g_case.windowsFolder).Add(L"\\System32\\..\\..\\Users\\");
            break;
        case 19:
            b.Add(g_case.windowsFolder);
            break;
        case 20:
            b.Add(L"%SystemRoot%\\System32\\");
            break;
        case 21:
            b.Add(L"C:\\W\x0130ndows\\");
            break;
        case 22:
            b.Add(L"c:\\windows\\system32\\");
            break;
        default:
            b.Add(g_case.programFiles).Add(L"\\..\\NVIDIA\\");
            break;
    }
    b.Add(CandidateFileName());
    return b.Commit();
}

// Bytes of a registry value or device property as it is stored: any type, any length.
struct Blob {
    DWORD type = REG_NONE;
    BYTE* bytes = nullptr;
    DWORD count = 0;
    bool absent = false;
};

BYTE* ArenaBytes(size_t count) {
    return reinterpret_cast<BYTE*>(ArenaChars((count + 1) / 2 + 1));
}

Blob TextBlob(DWORD type, const Text* entries, uint32_t entryCount) {
    Builder b;
    const bool multi = type == REG_MULTI_SZ;
    for (uint32_t i = 0; i < entryCount; ++i) {
        b.Add(entries[i]);
        if (multi || i + 1 < entryCount) {
            b.Char(L'\0');
        }
    }
    uint32_t chars = b.size();
    const uint32_t ending = g_rng.Below(10);
    if (!multi && ending < 8) {
        b.Char(L'\0');  // REG_SZ with its NUL
    } else if (multi && ending < 6) {
        b.Char(L'\0');  // REG_MULTI_SZ with its final empty entry
    } else if (multi && ending < 8 && chars > 0) {
        // Neither the final empty entry nor the last entry's NUL.
        Text t = b.Commit();
        Blob blob;
        blob.type = type;
        blob.count = (t.n - 1) * 2;
        blob.bytes = ArenaBytes(blob.count);
        memcpy(blob.bytes, t.s, blob.count);
        return blob;
    }
    Text t = b.Commit();
    chars = t.n;
    Blob blob;
    blob.type = type;
    blob.count = chars * 2;
    switch (g_rng.Below(12)) {
        case 0:
            if (blob.count > 0) {
                --blob.count;  // odd: half a character
            }
            break;
        case 1:
            ++blob.count;  // odd: a stray byte after the text
            break;
        case 2:
            blob.count = g_rng.Below(blob.count + 1);
            break;
        default:
            break;
    }
    blob.bytes = ArenaBytes(blob.count + 2);
    memcpy(blob.bytes, t.s, blob.count <= chars * 2 ? blob.count : chars * 2);
    if (blob.count > chars * 2) {
        blob.bytes[chars * 2] = 0x5A;
    }
    return blob;
}

Blob ModuleListBlob() {
    Blob blob;
    const uint32_t shape = g_rng.Below(20);
    if (shape == 0) {
        blob.absent = true;
        return blob;
    }
    if (shape <= 4) {
        // Another type: REG_NONE, REG_BINARY, REG_DWORD, REG_EXPAND_SZ, anything.
        const DWORD types[] = {REG_NONE, REG_BINARY, REG_DWORD, REG_EXPAND_SZ, REG_QWORD, 0x4242};
        blob.type = types[g_rng.Below(6)];
        if (blob.type == REG_EXPAND_SZ && g_rng.Percent(70)) {
            Text entry = CandidatePath();
            Blob text = TextBlob(REG_SZ, &entry, 1);
            text.type = REG_EXPAND_SZ;
            return text;
        }
        blob.count = blob.type == REG_DWORD ? 4 : g_rng.Below(64);
        blob.bytes = ArenaBytes(blob.count + 2);
        for (DWORD i = 0; i < blob.count; ++i) {
            blob.bytes[i] = static_cast<BYTE>(g_rng.Next());
        }
        return blob;
    }
    if (shape == 5) {
        blob.type = g_rng.Percent(50) ? REG_SZ : REG_MULTI_SZ;
        blob.count = 0;  // exists, holds nothing
        blob.bytes = ArenaBytes(2);
        return blob;
    }
    Text entries[8];
    const DWORD type = g_rng.Percent(50) ? REG_SZ : REG_MULTI_SZ;
    const uint32_t count = type == REG_SZ ? 1 : g_rng.Below(7);
    for (uint32_t i = 0; i < count; ++i) {
        entries[i] = g_rng.Percent(10) ? Store(L"") : CandidatePath();
    }
    return TextBlob(type, entries, count);
}

Blob BuildNumberBlob() {
    Text text;
    switch (g_case.buildKind) {
        case 0:
            text = Pick({L"19045", L"22631", L"14308", L"17763"});
            break;
        case 1:
            text = Pick({L"14307", L"7601", L"9600", L"6000", L"5999", L"1"});
            break;
        case 2:
            text = Pick({L"", L"190a45", L"19045 ", L"-19045", L"0x4A65", L"99999999999",
                         L"4294967295", L"4294967296", L"00000019045"});
            break;
        default: {
            Blob blob = ModuleListBlob();
            if (g_rng.Percent(50) && !blob.absent) {
                blob.type = g_rng.Percent(50) ? REG_EXPAND_SZ : REG_DWORD;
            }
            return blob;
        }
    }
    Blob blob = TextBlob(REG_SZ, &text, 1);
    if (g_rng.Percent(10)) {
        blob.type = g_rng.Percent(50) ? REG_EXPAND_SZ : REG_DWORD;
    }
    return blob;
}

// --- Registry values, memorised per key path and value name ------------------------------

struct ValueRecord {
    Text path;
    Text name;
    Blob blob;
    DWORD firstReport;
    uint32_t queries;
    bool changes;
};
constexpr size_t kMaxValues = 128;
ValueRecord g_values[kMaxValues];
size_t g_valueCount = 0;

const wchar_t kCurrentVersionKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

DWORD LiedSize(DWORD truth) {
    if (!g_rng.Percent(g_case.liePercent)) {
        return truth;
    }
    switch (g_rng.Below(7)) {
        case 0:
            return 0;
        case 1:
            return truth > 0 ? truth - 1 : 1;
        case 2:
            return truth + 1;
        case 3:
            return truth + 2 + g_rng.Below(600);
        case 4:
            return truth / 2;
        case 5: {
            const DWORD huge[] = {0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFC, 0xFFFFFFFB,
                                  0x7FFFFFFF, 0x80000000, 0x00100001};
            return huge[g_rng.Below(7)];
        }
        default:
            return 1;
    }
}

ValueRecord& FindValue(Text path, const wchar_t* name) {
    for (size_t i = 0; i < g_valueCount; ++i) {
        if (SameText(g_values[i].path, path.s) && SameText(g_values[i].name, name)) {
            return g_values[i];
        }
    }
    if (g_valueCount == kMaxValues) {
        Violation("harness: too many registry values");
        g_valueCount = 0;
    }
    ValueRecord& value = g_values[g_valueCount++];
    value.path = path;
    value.name = Store(name);
    const bool build =
        SameText(path, kCurrentVersionKey) && wcscmp(name, L"CurrentBuildNumber") == 0;
    value.blob = build ? BuildNumberBlob() : ModuleListBlob();
    value.firstReport = LiedSize(value.blob.count);
    value.queries = 0;
    value.changes = g_rng.Percent(g_case.changePercent);
    return value;
}

// Offers the entries of text that the loader was handed: what it may copy out of it.
void OfferEntries(const BYTE* bytes, DWORD count, uint32_t kind) {
    const size_t chars = (count + 1) / 2;
    wchar_t* text = ArenaChars(chars + 1);
    memset(text, 0, (chars + 1) * sizeof(wchar_t));
    memcpy(text, bytes, count);
    size_t start = 0;
    for (size_t i = 0; i <= chars; ++i) {
        if (i == chars || text[i] == L'\0') {
            if (i > start) {
                Offer({text + start, static_cast<uint32_t>(i - start)}, kind);
            }
            start = i + 1;
        }
    }
}

bool Budget(const char* function) {
    if (++g_calls == kCallBudget) {
        Violation("runaway: the loader made %llu platform calls in one case (last: %s)",
                  static_cast<unsigned long long>(g_calls), function);
    }
    return g_calls < kCallBudget;
}

// Hands back a text for a size-then-data protocol. The answer is written only when it
// fits; a lying platform may also write a truncated answer and claim success.
struct WriteOutcome {
    bool success;
    DWORD written;
};

// --- Advapi32 -----------------------------------------------------------------------------

KeyRecord* FindKey(HKEY key) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(key);
    if (value < kKeyBase || value >= kKeyBase + kMaxHandles) {
        return nullptr;
    }
    KeyRecord& record = g_keys[value - kKeyBase];
    return record.open ? &record : nullptr;
}

LSTATUS WINAPI FakeRegOpenKeyExW(HKEY root, LPCWSTR subKey, DWORD options, REGSAM access,
                                 PHKEY result) {
    Budget("RegOpenKeyExW");
    if (root != HKEY_LOCAL_MACHINE || subKey == nullptr || result == nullptr || options != 0) {
        Violation("RegOpenKeyExW called with root %p, subkey %p, options %lu", root, subKey,
                  options);
        return ERROR_INVALID_PARAMETER;
    }
    if (access != KEY_QUERY_VALUE && access != KEY_READ) {
        Violation("RegOpenKeyExW asked for access 0x%lX", access);
    }
    if (g_rng.Percent(g_case.failPercent) || g_keyCount == kMaxHandles) {
        // What a failed open leaves in the handle is not the caller's to close.
        if (g_rng.Percent(50)) {
            *result = reinterpret_cast<HKEY>(kKeyBase + kMaxHandles + 7);
        }
        const LONG status = g_rng.Percent(70) ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
        Trace("RegOpenKeyExW(%s) -> %ld", Printable(subKey, wcslen(subKey)), status);
        return Status(status);
    }
    KeyRecord& record = g_keys[g_keyCount];
    record.open = true;
    record.path = Store(subKey);
    *result = reinterpret_cast<HKEY>(kKeyBase + g_keyCount);
    ++g_keyCount;
    ++g_openKeys;
    Trace("RegOpenKeyExW(%s) -> key %zu", Printable(subKey, wcslen(subKey)), g_keyCount - 1);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI FakeRegCloseKey(HKEY key) {
    Budget("RegCloseKey");
    KeyRecord* record = FindKey(key);
    if (record == nullptr) {
        Violation("RegCloseKey of a key that is not open: %p", static_cast<void*>(key));
        return ERROR_INVALID_HANDLE;
    }
    record->open = false;
    --g_openKeys;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI FakeRegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type,
                                    LPBYTE data, LPDWORD size) {
    Budget("RegQueryValueExW");
    KeyRecord* record = FindKey(key);
    if (record == nullptr || name == nullptr || reserved != nullptr || size == nullptr) {
        Violation("RegQueryValueExW on key %p, name %p, size %p", key, name, size);
        return ERROR_INVALID_PARAMETER;
    }
    ValueRecord& value = FindValue(record->path, name);
    const char* printableName = Printable(name, wcslen(name));
    if (value.blob.absent) {
        Trace("RegQueryValueExW(%s) -> missing", printableName);
        return Status(ERROR_FILE_NOT_FOUND);
    }
    if (g_rng.Percent(g_case.failPercent / 2 + 1)) {
        Trace("RegQueryValueExW(%s) -> access denied", printableName);
        return Status(ERROR_ACCESS_DENIED);
    }
    ++value.queries;
    if (data == nullptr) {
        *size = value.firstReport;
        if (type != nullptr) {
            *type = value.blob.type;
        }
        Trace("RegQueryValueExW(%s, size query) -> size %lu (stored %lu, type %lu)", printableName,
              value.firstReport, value.blob.count, value.blob.type);
        return ERROR_SUCCESS;
    }
    if (value.changes && value.queries > 1) {
        // The value was rewritten since the size query: longer, shorter, another type.
        const bool build = SameText(record->path, kCurrentVersionKey);
        value.blob = build ? BuildNumberBlob() : ModuleListBlob();
        value.changes = false;
        if (value.blob.absent) {
            Trace("RegQueryValueExW(%s) -> deleted in between", printableName);
            return Status(ERROR_FILE_NOT_FOUND);
        }
    }
    const DWORD capacity = *size;
    if (value.blob.count > capacity) {
        // Too small: the content of the buffer is undefined afterwards.
        memset(data, 0xEE, capacity);
        *size = value.blob.count;
        Trace("RegQueryValueExW(%s, %lu bytes) -> more data (%lu)", printableName, capacity,
              value.blob.count);
        return Status(ERROR_MORE_DATA);
    }
    memcpy(data, value.blob.bytes, value.blob.count);
    *size = value.blob.count;
    if (type != nullptr) {
        *type = value.blob.type;
    }
    OfferEntries(data, value.blob.count, kCandidateRegistryEntry);
    if (SameText(record->path, kCurrentVersionKey) && wcscmp(name, L"CurrentBuildNumber") == 0 &&
        value.blob.type == REG_SZ && !g_buildParsed) {
        // The parse the loader must make: decimal digits up to the NUL, 32 bits, else 0.
        const size_t chars = (value.blob.count + 1) / 2;
        uint64_t number = 0;
        bool good = true;
        for (size_t i = 0; i < chars; ++i) {
            wchar_t c = static_cast<wchar_t>(
                data[2 * i] | (2 * i + 1 < value.blob.count ? data[2 * i + 1] << 8 : 0));
            if (c == L'\0') {
                break;
            }
            if (c < L'0' || c > L'9' || (number = number * 10 + (c - L'0')) > 0xFFFFFFFFull) {
                good = false;
                break;
            }
        }
        if (good && number != 0) {
            g_buildParsed = true;
            g_buildValue = static_cast<uint32_t>(number);
        }
    }
    Trace("RegQueryValueExW(%s, %lu bytes) -> %lu bytes, type %lu: %s", printableName, capacity,
          value.blob.count, value.blob.type,
          Printable(reinterpret_cast<const wchar_t*>(value.blob.bytes), value.blob.count / 2));
    return ERROR_SUCCESS;
}

struct EnumRecord {
    Text path;
    uint32_t count;
    Text names[8];
    uint32_t failAt;  // index that fails once (beyond count: none)
};
EnumRecord g_enums[8];
size_t g_enumCount = 0;

EnumRecord& FindEnum(Text path) {
    for (size_t i = 0; i < g_enumCount; ++i) {
        if (SameText(g_enums[i].path, path.s)) {
            return g_enums[i];
        }
    }
    if (g_enumCount == 8) {
        g_enumCount = 0;
    }
    EnumRecord& record = g_enums[g_enumCount++];
    record.path = path;
    record.count = g_rng.Below(7);
    for (uint32_t i = 0; i < record.count; ++i) {
        switch (g_rng.Below(12)) {
            case 0:
                record.names[i] = LongJunk(16383, L'k');  // the longest a name can be
                break;
            case 1:
                record.names[i] = Store(L"");
                break;
            default:
                record.names[i] = CandidatePath();
                break;
        }
    }
    record.failAt = g_rng.Percent(20) ? g_rng.Below(record.count + 1) : 0xFFFFFFFF;
    return record;
}

LSTATUS WINAPI FakeRegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength,
                                 LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    if (!Budget("RegEnumValueW")) {
        return ERROR_NO_MORE_ITEMS;
    }
    KeyRecord* record = FindKey(key);
    if (record == nullptr || name == nullptr || nameLength == nullptr || *nameLength == 0 ||
        reserved != nullptr) {
        Violation("RegEnumValueW on key %p, name %p", key, name);
        return ERROR_INVALID_PARAMETER;
    }
    (void)type;
    (void)data;
    (void)dataSize;
    EnumRecord& walk = FindEnum(record->path);
    if (index == walk.failAt) {
        const LONG statuses[] = {ERROR_MORE_DATA, ERROR_KEY_DELETED, ERROR_ACCESS_DENIED};
        const LONG status = statuses[g_rng.Below(3)];
        Trace("RegEnumValueW(%lu) -> %ld", index, status);
        return Status(status);
    }
    Text value;
    if (index < walk.count) {
        value = walk.names[index];
    } else if (g_case.enumKind == 1) {
        return Status(ERROR_KEY_DELETED);
    } else if (g_case.enumKind == 2) {
        // The key keeps growing under the walk: names that never name the module.
        wchar_t number[16];
        swprintf(number, 16, L"v%lu", static_cast<unsigned long>(index));
        value = {number, static_cast<uint32_t>(wcslen(number))};
    } else {
        Trace("RegEnumValueW(%lu) -> no more items", index);
        return ERROR_NO_MORE_ITEMS;
    }
    const DWORD capacity = *nameLength;
    if (value.n + 1 > capacity) {
        Trace("RegEnumValueW(%lu) -> more data", index);
        return Status(ERROR_MORE_DATA);
    }
    memcpy(name, value.s, value.n * sizeof(wchar_t));
    name[value.n] = L'\0';
    *nameLength = value.n;
    if (g_rng.Percent(g_case.liePercent / 2)) {
        *nameLength = g_rng.Percent(50) ? 0xFFFFFFFF : capacity;  // a length that lies
    }
    if (index < walk.count) {
        Offer(value, kCandidateValueName);
        Trace("RegEnumValueW(%lu) -> %s", index, Printable(value.s, value.n));
    }
    return ERROR_SUCCESS;
}

// --- Services -----------------------------------------------------------------------------

ServiceRecord* FindService(SC_HANDLE handle, bool manager) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (value < kServiceBase || value >= kServiceBase + kMaxHandles) {
        return nullptr;
    }
    ServiceRecord& record = g_services[value - kServiceBase];
    return record.open && record.manager == manager ? &record : nullptr;
}

SC_HANDLE OpenServiceRecord(bool manager, Text name) {
    if (g_serviceCount == kMaxHandles) {
        Fail(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    ServiceRecord& record = g_services[g_serviceCount];
    record = {true, manager, name};
    ++g_openServices;
    return reinterpret_cast<SC_HANDLE>(kServiceBase + g_serviceCount++);
}

SC_HANDLE WINAPI FakeOpenSCManagerW(LPCWSTR machine, LPCWSTR database, DWORD access) {
    Budget("OpenSCManagerW");
    if (machine != nullptr || database != nullptr || access != GENERIC_READ) {
        Violation("OpenSCManagerW asked for another machine, database or access");
    }
    if (g_rng.Percent(g_case.failPercent)) {
        Fail(ERROR_ACCESS_DENIED);
        Trace("OpenSCManagerW -> access denied");
        return nullptr;
    }
    return OpenServiceRecord(true, Text{});
}

SC_HANDLE WINAPI FakeOpenServiceW(SC_HANDLE manager, LPCWSTR name, DWORD access) {
    Budget("OpenServiceW");
    if (FindService(manager, true) == nullptr || name == nullptr || access != GENERIC_READ) {
        Violation("OpenServiceW on manager %p, name %p, access 0x%lX", manager, name, access);
        Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const Text serviceName = Store(name);
    if (g_rng.Percent(g_case.failPercent + 5)) {
        Fail(g_rng.Percent(50) ? ERROR_SERVICE_DOES_NOT_EXIST : ERROR_INVALID_NAME);
        Trace("OpenServiceW(%s) -> fails", Printable(serviceName.s, serviceName.n));
        return nullptr;
    }
    Trace("OpenServiceW(%s) -> open", Printable(serviceName.s, serviceName.n));
    return OpenServiceRecord(false, serviceName);
}

BOOL WINAPI FakeCloseServiceHandle(SC_HANDLE handle) {
    Budget("CloseServiceHandle");
    ServiceRecord* record = FindService(handle, false);
    if (record == nullptr) {
        record = FindService(handle, true);
    }
    if (record == nullptr) {
        Violation("CloseServiceHandle of a handle that is not open: %p", handle);
        Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    record->open = false;
    --g_openServices;
    return TRUE;
}

struct ServiceConfig {
    Text name;
    DWORD type;
    Text image;
    bool nullImage;
    bool fakeOwnedImage;
    DWORD report;
    bool lieTruncated;
};
ServiceConfig g_configs[16];
size_t g_configCount = 0;

ServiceConfig& FindConfig(Text name) {
    for (size_t i = 0; i < g_configCount; ++i) {
        if (SameText(g_configs[i].name, name.s)) {
            return g_configs[i];
        }
    }
    if (g_configCount == 16) {
        g_configCount = 0;
    }
    ServiceConfig& config = g_configs[g_configCount++];
    config.name = name;
    const DWORD types[] = {SERVICE_KERNEL_DRIVER,
                           SERVICE_KERNEL_DRIVER,
                           SERVICE_KERNEL_DRIVER,
                           SERVICE_FILE_SYSTEM_DRIVER,
                           SERVICE_WIN32_OWN_PROCESS,
                           0x3,
                           0,
                           0xFFFFFFFF};
    config.type = types[g_rng.Below(8)];
    config.nullImage = g_rng.Percent(5);
    config.fakeOwnedImage = g_rng.Percent(20);
    config.image = g_rng.Percent(5) ? Store(L"") : CandidatePath();
    const DWORD truth =
        static_cast<DWORD>(sizeof(QUERY_SERVICE_CONFIGW) + (config.image.n + 1) * 2 + 16);
    config.report = LiedSize(truth);
    if (config.report > 0x100000) {
        config.report = truth + 3;
    }
    config.lieTruncated = g_rng.Percent(g_case.liePercent / 2);
    return config;
}

BOOL WINAPI FakeQueryServiceConfigW(SC_HANDLE handle, LPQUERY_SERVICE_CONFIGW config, DWORD size,
                                    LPDWORD needed) {
    Budget("QueryServiceConfigW");
    ServiceRecord* record = FindService(handle, false);
    if (record == nullptr || needed == nullptr) {
        Violation("QueryServiceConfigW on %p", handle);
        Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ServiceConfig& service = FindConfig(record->name);
    const DWORD imageBytes = (service.image.n + 1) * 2;
    const DWORD truth = static_cast<DWORD>(sizeof(QUERY_SERVICE_CONFIGW)) + imageBytes + 16;
    if (config == nullptr) {
        *needed = service.report;
        Fail(ERROR_INSUFFICIENT_BUFFER);
        Trace("QueryServiceConfigW(size query) -> %lu (truth %lu)", service.report, truth);
        return FALSE;
    }
    if (g_rng.Percent(g_case.failPercent)) {
        Fail(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (size < sizeof(QUERY_SERVICE_CONFIGW) || (size < truth && !service.lieTruncated)) {
        *needed = truth;
        Fail(ERROR_INSUFFICIENT_BUFFER);
        Trace("QueryServiceConfigW(%lu bytes) -> insufficient (%lu)", size, truth);
        return FALSE;
    }
    memset(config, 0, sizeof(QUERY_SERVICE_CONFIGW));
    config->dwServiceType = service.type;
    config->dwStartType = SERVICE_SYSTEM_START;
    if (service.nullImage) {
        config->lpBinaryPathName = nullptr;
    } else if (service.fakeOwnedImage) {
        // The fake's own copy, ending at a guard page like every buffer it hands back.
        void* copy = g_pool->Allocate(imageBytes, true);
        if (copy != nullptr) {
            memcpy(copy, service.image.s, imageBytes);
            if (g_fakeBlockCount < kMaxFakeBlocks) {
                g_fakeBlocks[g_fakeBlockCount++] = copy;
            }
        }
        config->lpBinaryPathName = static_cast<wchar_t*>(copy);
    } else {
        // The image path ends at the end of the bytes the caller said it has (an odd size
        // loses the stray byte), so that a read past its NUL reaches the caller's guard.
        DWORD end = size & ~DWORD{1};
        if (end - sizeof(QUERY_SERVICE_CONFIGW) < imageBytes) {
            // A truncated answer from a lying platform: as much of the path as fits, NUL kept.
            const DWORD room = (end - static_cast<DWORD>(sizeof(QUERY_SERVICE_CONFIGW))) / 2;
            if (room == 0) {
                config->lpBinaryPathName = nullptr;
            } else {
                wchar_t* text =
                    reinterpret_cast<wchar_t*>(reinterpret_cast<BYTE*>(config) + end) - room;
                memcpy(text, service.image.s, (room - 1) * 2);
                text[room - 1] = L'\0';
                config->lpBinaryPathName = text;
                Offer(Store(text), kCandidateImagePath);
            }
        } else {
            wchar_t* text =
                reinterpret_cast<wchar_t*>(reinterpret_cast<BYTE*>(config) + end - imageBytes);
            memcpy(text, service.image.s, imageBytes);
            config->lpBinaryPathName = text;
        }
    }
    Offer(service.image, kCandidateImagePath);
    *needed = truth;
    Trace("QueryServiceConfigW(%s, %lu bytes) -> type 0x%lX image %s%s",
          Printable(record->name.s, record->name.n), size, service.type,
          service.nullImage ? "(null)" : Printable(service.image.s, service.image.n),
          service.fakeOwnedImage ? " (fake-owned)" : "");
    return TRUE;
}

// --- Setupapi -----------------------------------------------------------------------------

struct Interface {
    Text path;
    uint32_t
        detailKind;  // 0 honest, 1 size 0, 2 lying size, 3 detail call fails, 4 writes truncated
    DWORD report;
};
Interface g_interfaces[6];
uint32_t g_interfaceCount = 0;
uint32_t g_enumEndKind = 0;

Text DevicePath() {
    Builder b;
    const Text vendor = Pick({L"ven_10de", L"ven_10de", L"VEN_10DE", L"Ven_10De", L"ven_8086",
                              L"ven_10d", L"ven_1002", L"ven_10de"});
    switch (g_rng.Below(10)) {
        case 0:
            return Store(L"");
        case 1:
            return b.Add(L"\\\\?\\pci#").Add(LongJunk(2000, L'p')).Add(vendor).Commit();
        case 2:
            return vendor;
        case 3:
            return b.Add(L"\\\\?\\display#").Add(vendor).Commit();  // the marker at the end
        default:
            return b.Add(L"\\\\?\\pci#")
                .Add(vendor)
                .Add(
                    L"&dev_1b80&subsys_119e10de&rev_a1#4&2f1e4b7&0&0008#"
                    L"{1ca05180-a699-450a-9a0c-de4fbe3ddd89}")
                .Commit();
    }
}

void MakeDevices() {
    if (g_case.devicesMade) {
        return;
    }
    g_case.devicesMade = true;
    g_interfaceCount = g_rng.Below(5);
    if (g_rng.Percent(60) && g_interfaceCount == 0) {
        g_interfaceCount = 1;
    }
    for (uint32_t i = 0; i < g_interfaceCount; ++i) {
        Interface& device = g_interfaces[i];
        device.path = DevicePath();
        const uint32_t kind = g_rng.Below(100);
        device.detailKind = kind < 100 - g_case.liePercent ? 0 : 1 + g_rng.Below(4);
        const DWORD truth = static_cast<DWORD>(
            offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (device.path.n + 1) * 2);
        device.report = truth;
        if (device.detailKind == 1) {
            device.report = 0;
        } else if (device.detailKind == 2 || device.detailKind == 4) {
            device.report = LiedSize(truth);
            if (device.report > 0x100000) {
                device.report = g_rng.Below(9);
            }
        }
    }
    g_enumEndKind = g_rng.Below(4);
}

bool IsSetOpen(HDEVINFO set) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(set);
    return value >= kSetBase && value < kSetBase + kMaxHandles && g_setOpen[value - kSetBase];
}

HDEVINFO WINAPI FakeGetClassDevsW(const GUID* interfaceClass, PCWSTR enumerator, HWND window,
                                  DWORD flags) {
    Budget("SetupDiGetClassDevsW");
    if (interfaceClass == nullptr ||
        memcmp(interfaceClass, &well_known::GUID_DISPLAY_DEVICE_ARRIVAL, sizeof(GUID)) != 0 ||
        enumerator != nullptr || window != nullptr ||
        flags != (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {
        Violation("SetupDiGetClassDevsW asked for another class or flags 0x%lX", flags);
    }
    if (g_rng.Percent(g_case.failPercent) || g_setCount == kMaxHandles) {
        Fail(AnyError());
        Trace("SetupDiGetClassDevsW -> fails");
        return INVALID_HANDLE_VALUE;
    }
    MakeDevices();
    g_setOpen[g_setCount] = true;
    ++g_openSets;
    Trace("SetupDiGetClassDevsW -> set %zu with %u interfaces", g_setCount,
          static_cast<unsigned>(g_interfaceCount));
    return reinterpret_cast<HDEVINFO>(kSetBase + g_setCount++);
}

BOOL WINAPI FakeEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA device,
                                     const GUID* interfaceClass, DWORD index,
                                     PSP_DEVICE_INTERFACE_DATA data) {
    Budget("SetupDiEnumDeviceInterfaces");
    if (!IsSetOpen(set) || device != nullptr || interfaceClass == nullptr || data == nullptr ||
        data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        Violation("SetupDiEnumDeviceInterfaces on set %p with a bad record", set);
        Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (index >= g_interfaceCount || g_rng.Percent(g_case.failPercent / 3)) {
        const DWORD error = g_enumEndKind == 0 ? ERROR_INVALID_DATA : ERROR_NO_MORE_ITEMS;
        Fail(error);
        Trace("SetupDiEnumDeviceInterfaces(%lu) -> end, error %lu", index, error);
        return FALSE;
    }
    data->InterfaceClassGuid = *interfaceClass;
    data->Flags = SPINT_ACTIVE;
    data->Reserved = index + 1;
    return TRUE;
}

Interface* InterfaceOf(PSP_DEVICE_INTERFACE_DATA data) {
    if (data == nullptr || data->Reserved == 0 || data->Reserved > g_interfaceCount) {
        return nullptr;
    }
    return &g_interfaces[data->Reserved - 1];
}

BOOL WINAPI FakeGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                          PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size,
                                          PDWORD required, PSP_DEVINFO_DATA device) {
    Budget("SetupDiGetDeviceInterfaceDetailW");
    Interface* iface = InterfaceOf(data);
    if (!IsSetOpen(set) || iface == nullptr) {
        Violation(
            "SetupDiGetDeviceInterfaceDetailW on set %p for an interface it did not enumerate",
            set);
        Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD header = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
    const DWORD truth = header + (iface->path.n + 1) * 2;
    if (detail == nullptr) {
        if (size != 0) {
            Violation("SetupDiGetDeviceInterfaceDetailW: no buffer but size %lu", size);
        }
        if (required != nullptr) {
            *required = iface->report;
        }
        Fail(ERROR_INSUFFICIENT_BUFFER);
        Trace("SetupDiGetDeviceInterfaceDetailW(size query) -> %lu (truth %lu)", iface->report,
              truth);
        return FALSE;
    }
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        Violation("SetupDiGetDeviceInterfaceDetailW: cbSize %lu", detail->cbSize);
    }
    if (device != nullptr && device->cbSize != sizeof(SP_DEVINFO_DATA)) {
        Violation("SetupDiGetDeviceInterfaceDetailW: device cbSize %lu", device->cbSize);
    }
    if (iface->detailKind == 3 || (size < truth && iface->detailKind != 4)) {
        if (required != nullptr) {
            *required = truth;
        }
        Fail(iface->detailKind == 3 ? AnyError() : ERROR_INSUFFICIENT_BUFFER);
        Trace("SetupDiGetDeviceInterfaceDetailW(%lu bytes) -> fails", size);
        return FALSE;
    }
    // Never more than the caller said it has; a lying platform cuts the path (no NUL) and
    // still claims success.
    const DWORD bytes = size < truth ? size : truth;
    if (bytes > header) {
        memcpy(detail->DevicePath, iface->path.s, bytes - header - (bytes == truth ? 2 : 0));
        if (bytes == truth) {
            detail->DevicePath[iface->path.n] = L'\0';
        }
    }
    if (device != nullptr) {
        device->ClassGuid = well_known::GUID_DISPLAY_DEVICE_ARRIVAL;
        device->DevInst = 1000 + static_cast<DWORD>(iface - g_interfaces);
        device->Reserved = 0x5EED;
    }
    Trace("SetupDiGetDeviceInterfaceDetailW(%lu bytes) -> %lu bytes: %s", size, bytes,
          Printable(iface->path.s, bytes > header ? (bytes - header) / 2 : 0));
    return TRUE;
}

BOOL WINAPI FakeDestroyDeviceInfoList(HDEVINFO set) {
    Budget("SetupDiDestroyDeviceInfoList");
    if (!IsSetOpen(set)) {
        Violation("SetupDiDestroyDeviceInfoList of a set that is not open: %p", set);
        Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    g_setOpen[reinterpret_cast<uintptr_t>(set) - kSetBase] = false;
    --g_openSets;
    if (g_case.destroyClears) {
        SetLastError(ERROR_SUCCESS);  // as Wine 8 does
    }
    return TRUE;
}

bool IsKnownDevice(HDEVINFO set, PSP_DEVINFO_DATA device) {
    return IsSetOpen(set) && device != nullptr && device->cbSize == sizeof(SP_DEVINFO_DATA) &&
           device->Reserved == 0x5EED && device->DevInst >= 1000 &&
           device->DevInst < 1000 + g_interfaceCount;
}

struct PropertyRecord {
    DWORD devInst;
    DWORD property;
    Blob blob;
    DWORD report;
    uint32_t reads;
    bool changes;
    bool lieTruncated;
};
PropertyRecord g_properties[32];
size_t g_propertyCount = 0;

Text DriverKeyText() {
    switch (g_rng.Below(12)) {
        case 0:
            return Store(L"");
        case 1:
            return LongJunk(400, L'g');
        case 2:
            return Store(L"..\\..\\Software\\Evil");
        case 3:
            return Store(L"\\{4d36e968-e325-11ce-bfc1-08002be10318}\\0000");
        default:
            return Store(L"{4d36e968-e325-11ce-bfc1-08002be10318}\\0001");
    }
}

Text ServiceNameText() {
    switch (g_rng.Below(8)) {
        case 0:
            return Store(L"");
        case 1:
            return LongJunk(300, L's');
        case 2:
            return Store(L"nvfilter");
        default:
            return Store(L"nvlddmkm");
    }
}

PropertyRecord& FindProperty(DWORD devInst, DWORD property) {
    for (size_t i = 0; i < g_propertyCount; ++i) {
        if (g_properties[i].devInst == devInst && g_properties[i].property == property) {
            return g_properties[i];
        }
    }
    if (g_propertyCount == 32) {
        g_propertyCount = 0;
    }
    PropertyRecord& record = g_properties[g_propertyCount++];
    record.devInst = devInst;
    record.property = property;
    record.reads = 0;
    record.changes = g_rng.Percent(g_case.changePercent);
    record.lieTruncated = g_rng.Percent(g_case.liePercent / 2);
    Text entries[6];
    uint32_t count = 1;
    DWORD type = REG_SZ;
    if (g_rng.Percent(8)) {
        record.blob.absent = true;
        record.report = 0;
        return record;
    }
    if (property == SPDRP_DRIVER) {
        entries[0] = DriverKeyText();
    } else if (property == SPDRP_SERVICE) {
        entries[0] = ServiceNameText();
    } else if (property == SPDRP_UPPERFILTERS || property == SPDRP_LOWERFILTERS) {
        type = REG_MULTI_SZ;
        count = g_rng.Below(5);
        for (uint32_t i = 0; i < count; ++i) {
            entries[i] = ServiceNameText();
        }
    } else {
        // DEVPKEY_Device_DriverInfPath, read through SetupDiGetDevicePropertyW.
        type = DEVPROP_TYPE_STRING;
        entries[0] = Pick({L"oem12.inf", L"oem12.inf", L"", L"nv_disp.inf", L"C:\\evil\\x.inf"});
    }
    if (g_rng.Percent(10)) {
        type = g_rng.Percent(50) ? REG_BINARY : (type == REG_SZ ? REG_MULTI_SZ : REG_SZ);
    }
    record.blob = TextBlob(type == DEVPROP_TYPE_STRING ? REG_SZ : type, entries, count);
    record.blob.type = type;
    record.report = LiedSize(record.blob.count);
    if (record.report > 0x100000) {
        record.report = record.blob.count + 7;
    }
    return record;
}

// The shared size-then-data protocol of both property calls.
BOOL AnswerProperty(PropertyRecord& record, DWORD* type, BYTE* buffer, DWORD size, DWORD* required,
                    const char* function) {
    if (record.blob.absent) {
        if (required != nullptr && g_rng.Percent(50)) {
            *required = 0;
        }
        Fail(ERROR_INVALID_DATA);
        Trace("%s(property %lu) -> absent", function, record.property);
        return FALSE;
    }
    if (buffer == nullptr) {
        if (required != nullptr) {
            *required = record.report;
        }
        if (type != nullptr) {
            *type = record.blob.type;
        }
        Fail(ERROR_INSUFFICIENT_BUFFER);
        Trace("%s(property %lu, size query) -> %lu (stored %lu)", function, record.property,
              record.report, record.blob.count);
        return FALSE;
    }
    ++record.reads;
    if (record.changes && record.reads > 1) {
        const DWORD property = record.property;
        const DWORD devInst = record.devInst;
        record.devInst = 0;
        PropertyRecord& fresh = FindProperty(devInst, property);
        record = fresh;
        fresh.devInst = 0;
        record.changes = false;
        if (record.blob.absent) {
            Fail(ERROR_INVALID_DATA);
            return FALSE;
        }
    }
    if (g_rng.Percent(g_case.failPercent / 2)) {
        Fail(AnyError());
        return FALSE;
    }
    DWORD bytes = record.blob.count;
    if (bytes > size) {
        if (!record.lieTruncated) {
            if (required != nullptr) {
                *required = bytes;
            }
            Fail(ERROR_INSUFFICIENT_BUFFER);
            Trace("%s(property %lu, %lu bytes) -> insufficient (%lu)", function, record.property,
                  size, bytes);
            return FALSE;
        }
        bytes = size;
    }
    memcpy(buffer, record.blob.bytes, bytes);
    if (type != nullptr) {
        *type = record.blob.type;
    }
    if (record.property == SPDRP_DRIVER) {
        // The class key path the loader may build from it: the prefix and the first entry.
        const size_t chars = (bytes + 1) / 2;
        wchar_t* text = ArenaChars(chars + 1);
        memset(text, 0, (chars + 1) * sizeof(wchar_t));
        memcpy(text, buffer, bytes);
        Builder b;
        Offer(b.Add(kDriverClassKeyPrefix).Add(text).Commit(), kCandidateClassKey);
    }
    Trace("%s(property %lu, %lu bytes) -> %lu bytes, type %lu: %s", function, record.property, size,
          bytes, record.blob.type,
          Printable(reinterpret_cast<const wchar_t*>(record.blob.bytes), bytes / 2));
    return TRUE;
}

BOOL WINAPI FakeGetDeviceRegistryPropertyW(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD property,
                                           PDWORD type, PBYTE buffer, DWORD size, PDWORD required) {
    Budget("SetupDiGetDeviceRegistryPropertyW");
    if (!IsKnownDevice(set, device)) {
        Violation("SetupDiGetDeviceRegistryPropertyW on set %p for a device it did not hand out",
                  set);
        Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (buffer == nullptr && size != 0) {
        Violation("SetupDiGetDeviceRegistryPropertyW: no buffer but size %lu", size);
    }
    if (g_rng.Percent(g_case.failPercent / 2)) {
        Fail(AnyError());
        return FALSE;
    }
    return AnswerProperty(FindProperty(device->DevInst, property), type, buffer, size, required,
                          "SetupDiGetDeviceRegistryPropertyW");
}

constexpr DWORD kInfPathProperty = 0x1000;

BOOL WINAPI FakeGetDevicePropertyW(HDEVINFO set, PSP_DEVINFO_DATA device, const DEVPROPKEY* key,
                                   DEVPROPTYPE* type, PBYTE buffer, DWORD size, PDWORD required,
                                   DWORD flags) {
    Budget("SetupDiGetDevicePropertyW");
    const DEVPROPKEY infPath = {
        {0xA8B865DD, 0x2E3D, 0x4094, {0xAD, 0x97, 0xE5, 0x93, 0xA7, 0x0C, 0x75, 0xD6}}, 5};
    if (!IsKnownDevice(set, device) || key == nullptr ||
        memcmp(key, &infPath, sizeof(infPath)) != 0 || type == nullptr || flags != 0) {
        Violation("SetupDiGetDevicePropertyW asked for another property, device or flags");
        Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (g_rng.Percent(g_case.failPercent / 2)) {
        Fail(AnyError());
        return FALSE;
    }
    DWORD propertyType = 0;
    const BOOL result =
        AnswerProperty(FindProperty(device->DevInst, kInfPathProperty), &propertyType, buffer, size,
                       required, "SetupDiGetDevicePropertyW");
    *type = propertyType;
    return result;
}

struct StoreAnswer {
    Text inf;
    Text location;
    DWORD report;
    bool lieFills;
};
StoreAnswer g_store[8];
size_t g_storeCount = 0;

StoreAnswer& FindStore(const wchar_t* inf) {
    for (size_t i = 0; i < g_storeCount; ++i) {
        if (SameText(g_store[i].inf, inf)) {
            return g_store[i];
        }
    }
    if (g_storeCount == 8) {
        g_storeCount = 0;
    }
    StoreAnswer& answer = g_store[g_storeCount++];
    answer.inf = Store(inf);
    Builder b;
    switch (g_rng.Below(10)) {
        case 0:
            answer.location = Store(L"oem12.inf");  // no folder
            break;
        case 1:
            answer.location = Store(L"\\oem12.inf");
            break;
        case 2:
            answer.location =
                b.Add(L"C:\\").Add(LongJunk(600, L'f')).Add(L"\\nv_disp.inf").Commit();
            break;
        case 3:
            answer.location = Store(L"D:\\evil\\nv_disp.inf");
            break;
        case 4:
            answer.location = b.Add(g_case.windowsFolder)
                                  .Add(L"\\System32\\DriverStore\\FileRepository\\")
                                  .Commit();
            break;
        default:
            answer.location = b.Add(g_case.windowsFolder)
                                  .Add(
                                      L"\\System32\\DriverStore\\FileRepository\\nv_disp.inf_amd64_"
                                      L"1\\nv_disp.inf")
                                  .Commit();
            break;
    }
    answer.report = LiedSize(answer.location.n + 1);
    if (answer.report > 0x100000) {
        answer.report = answer.location.n + 1;
    }
    answer.lieFills = g_rng.Percent(g_case.liePercent);
    return answer;
}

void OfferStoreFolder(const wchar_t* path, size_t chars) {
    size_t last = chars;
    for (size_t i = 0; i < chars; ++i) {
        if (path[i] == L'\\') {
            last = i;
        }
    }
    if (last < chars) {
        Offer(Store(path, last), kCandidateStoreFolder);
    }
}

BOOL WINAPI FakeGetInfDriverStoreLocationW(PCWSTR fileName, PSP_ALTPLATFORM_INFO platform,
                                           PCWSTR locale, PWSTR buffer, DWORD size,
                                           PDWORD required) {
    Budget("SetupGetInfDriverStoreLocationW");
    if (fileName == nullptr || platform != nullptr || locale != nullptr) {
        Violation("SetupGetInfDriverStoreLocationW with another platform or locale");
        Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    StoreAnswer& answer = FindStore(fileName);
    const DWORD truth = answer.location.n + 1;
    if (buffer == nullptr) {
        if (required != nullptr) {
            *required = answer.report;
        }
        Fail(ERROR_INSUFFICIENT_BUFFER);
        Trace("SetupGetInfDriverStoreLocationW(%s, size query) -> %lu chars",
              Printable(fileName, wcslen(fileName)), answer.report);
        return FALSE;
    }
    if (g_rng.Percent(g_case.failPercent / 2)) {
        Fail(AnyError());
        return FALSE;
    }
    if (size < truth && !answer.lieFills) {
        if (required != nullptr) {
            *required = truth;
        }
        Fail(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    // An answer that fills the buffer keeps no NUL.
    const DWORD chars = size < truth ? size : truth;
    const DWORD textChars = chars == truth ? answer.location.n : chars;
    memcpy(buffer, answer.location.s, textChars * sizeof(wchar_t));
    if (chars == truth) {
        buffer[answer.location.n] = L'\0';
    }
    OfferStoreFolder(answer.location.s, textChars);
    Trace("SetupGetInfDriverStoreLocationW(%lu chars) -> %s", size,
          Printable(answer.location.s, textChars));
    return TRUE;
}

// --- Shell32 ------------------------------------------------------------------------------

HRESULT WINAPI FakeSHGetFolderPathW(HWND window, int csidl, HANDLE token, DWORD flags,
                                    LPWSTR path) {
    Budget("SHGetFolderPathW");
    if (path == nullptr || window != nullptr || token != nullptr || flags != 0) {
        Violation("SHGetFolderPathW called with a window, token, flags or no buffer");
        return E_INVALIDARG;
    }
    int index = 0;
    Text answer;
    switch (csidl) {
        case CSIDL_WINDOWS:
            index = 0;
            answer = g_case.windowsFolder;
            break;
        case CSIDL_PROGRAM_FILES:
            index = 1;
            answer = g_case.programFiles;
            break;
        case CSIDL_PROGRAM_FILESX86:
            index = 2;
            answer = g_case.programFilesX86;
            break;
        default:
            Violation("SHGetFolderPathW asked for CSIDL 0x%X", csidl);
            return E_INVALIDARG;
    }
    if (g_case.folderFailures[index] != S_OK) {
        Trace("SHGetFolderPathW(0x%X) -> 0x%lX", csidl, g_case.folderFailures[index]);
        return g_case.folderFailures[index];
    }
    // At most MAX_PATH characters, NUL included when it fits; a longer folder fills the
    // buffer without one.
    const uint32_t chars = answer.n < MAX_PATH ? answer.n : MAX_PATH;
    memcpy(path, answer.s, chars * sizeof(wchar_t));
    if (chars < MAX_PATH) {
        path[chars] = L'\0';
    }
    if (chars > 0 && g_folderCount < kMaxAnswers) {
        g_folders[g_folderCount++] = {Store(answer.s, chars), true};
    }
    Trace("SHGetFolderPathW(0x%X) -> %s", csidl, Printable(answer.s, chars));
    return S_OK;
}

// --- kernel32 -----------------------------------------------------------------------------

ScopedImportPatch* g_patches[16];
size_t g_patchCount = 0;

template <typename Fn>
Fn Original(size_t index) {
    return g_patches[index]->original<Fn>();
}

enum PatchIndex : size_t {
    kPatchLocalAlloc,
    kPatchLocalFree,
    kPatchLocalSize,
    kPatchGetFullPathNameW,
    kPatchExpandEnvironmentStringsW,
    kPatchGetSystemDirectoryW,
    kPatchGetFileAttributesW,
    kPatchLoadLibraryExW,
    kPatchGetProcAddress,
    kPatchGetModuleHandleA,
    kPatchVerifyVersionInfoW,
};

HLOCAL WINAPI FakeLocalAlloc(UINT flags, SIZE_T bytes) {
    if (!g_inCase) {
        return Original<decltype(&LocalAlloc)>(kPatchLocalAlloc)(flags, bytes);
    }
    Budget("LocalAlloc");
    ++g_case.allocations;
    if ((flags & LMEM_MOVEABLE) != 0) {
        Violation("LocalAlloc with LMEM_MOVEABLE");
    }
    if ((g_case.allocFailAt != 0 && g_case.allocations == g_case.allocFailAt) ||
        g_rng.Percent(g_case.allocFailPercent)) {
        Fail(ERROR_NOT_ENOUGH_MEMORY);
        Trace("LocalAlloc(%zu) -> fails", static_cast<size_t>(bytes));
        return nullptr;
    }
    void* block = g_pool->Allocate(bytes, (flags & LMEM_ZEROINIT) != 0);
    if (block == nullptr) {
        Fail(ERROR_NOT_ENOUGH_MEMORY);
        if (bytes <= GuardedPool::kMaxBlockBytes) {
            Violation("harness: the guarded pool has no free block of %zu bytes",
                      static_cast<size_t>(bytes));
        }
    }
    return block;
}

HLOCAL WINAPI FakeLocalFree(HLOCAL block) {
    if (block == nullptr) {
        return nullptr;
    }
    if (!g_pool->Contains(block)) {
        if (g_inCase) {
            Violation("LocalFree of %p, which the loader did not allocate", block);
            return block;
        }
        return Original<decltype(&LocalFree)>(kPatchLocalFree)(block);
    }
    if (!g_pool->Free(block)) {
        Violation("LocalFree of %p, which is not a live block (freed twice, or not its start)",
                  block);
        SetLastError(ERROR_INVALID_HANDLE);
        return block;
    }
    return nullptr;
}

SIZE_T WINAPI FakeLocalSize(HLOCAL block) {
    if (!g_pool->Contains(block)) {
        if (g_inCase) {
            Violation("LocalSize of %p, which the loader did not allocate", block);
            return 0;
        }
        return Original<decltype(&LocalSize)>(kPatchLocalSize)(block);
    }
    size_t bytes = 0;
    if (!g_pool->Size(block, &bytes)) {
        Violation("LocalSize of %p, which is not a live block", block);
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return bytes;
}

// The path as a file system would resolve it: slashes turned, "." and ".." folded,
// relative paths taken against C:\work.
Text ResolvePath(const wchar_t* path) {
    Builder b;
    const size_t length = wcslen(path);
    wchar_t text[4096];
    if (length >= 4000) {
        return Store(path);
    }
    for (size_t i = 0; i <= length; ++i) {
        text[i] = path[i] == L'/' ? L'\\' : path[i];
    }
    size_t root = 0;
    if (text[0] == L'\\' && text[1] == L'\\') {
        root = 2;
        b.Add(L"\\\\");
    } else if (text[0] != L'\0' && text[1] == L':' && text[2] == L'\\') {
        root = 3;
        b.Add(text, 3);
    } else if (text[0] == L'\\') {
        root = 1;
        b.Add(L"C:\\");
    } else if (text[0] != L'\0' && text[1] == L':') {
        root = 2;
        b.Add(text, 2).Add(L"\\work\\");
    } else {
        b.Add(L"C:\\work\\");
    }
    // Components after the root, "." dropped and ".." popped (never above the root).
    size_t starts[512];
    size_t depth = 0;
    const size_t base = b.size();
    wchar_t resolved[8192];
    size_t n = base;
    const Text prefix = b.Commit();
    memcpy(resolved, prefix.s, base * sizeof(wchar_t));
    size_t i = root;
    while (i <= length) {
        size_t end = i;
        while (end < length && text[end] != L'\\') {
            ++end;
        }
        const size_t count = end - i;
        if (count == 1 && text[i] == L'.') {
        } else if (count == 2 && text[i] == L'.' && text[i + 1] == L'.') {
            if (depth > 0) {
                n = starts[--depth];
            }
        } else if (count > 0 || end == length) {
            if (depth < 512) {
                starts[depth++] = n;
            }
            memcpy(resolved + n, text + i, count * sizeof(wchar_t));
            n += count;
            if (end < length) {
                resolved[n++] = L'\\';
            }
        }
        i = end + 1;
    }
    return Store(resolved, n);
}

DWORD WINAPI FakeGetFullPathNameW(LPCWSTR path, DWORD size, LPWSTR buffer, LPWSTR* filePart) {
    Budget("GetFullPathNameW");
    if (path == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (filePart != nullptr) {
        *filePart = nullptr;
    }
    if (g_rng.Percent(g_case.failPercent / 2)) {
        Fail(ERROR_INVALID_NAME);
        return 0;
    }
    Text answer = ResolvePath(path);
    if (buffer != nullptr && g_rng.Percent(g_case.changePercent)) {
        // The working folder or a drive mapping changed between the two calls.
        Builder b;
        answer = g_rng.Percent(50) ? b.Add(answer).Add(L"\\longer").Commit()
                                   : b.Add(g_case.windowsFolder).Add(L"\\x.dll").Commit();
    }
    if (buffer == nullptr || size <= answer.n) {
        return answer.n + 1;
    }
    memcpy(buffer, answer.s, (answer.n + 1) * sizeof(wchar_t));
    if (g_fullPathCount < kMaxAnswers) {
        g_fullPaths[g_fullPathCount++] = {Store(path), answer};
    }
    Trace("GetFullPathNameW(%s) -> %s", Printable(path, wcslen(path)),
          Printable(answer.s, answer.n));
    return answer.n;
}

const wchar_t kProgramW6432Reference[] = L"%ProgramW6432%";

DWORD WINAPI FakeExpandEnvironmentStringsW(LPCWSTR source, LPWSTR destination, DWORD size) {
    Budget("ExpandEnvironmentStringsW");
    if (source == nullptr || wcscmp(source, kProgramW6432Reference) != 0) {
        Violation("ExpandEnvironmentStringsW of another text");
    }
    Text answer;
    switch (g_case.programW6432Kind) {
        case 1:
            answer = Store(kProgramW6432Reference);
            break;
        case 2:
            answer = Store(L"");
            break;
        case 3:
            Fail(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        case 4:
            if (destination != nullptr) {
                answer = Pick({L"C:\\Program Filez", L"C:\\", L"D:\\Program Files\\",
                               L"C:\\Program Files (x86)"});
                break;
            }
            answer = g_case.programW6432;
            break;
        default:
            answer = g_case.programW6432;
            break;
    }
    const DWORD needed = answer.n + 1;
    if (destination == nullptr || size < needed) {
        return needed;
    }
    memcpy(destination, answer.s, needed * sizeof(wchar_t));
    if (!SameText(answer, kProgramW6432Reference) && answer.n > 0 && g_folderCount < kMaxAnswers) {
        g_folders[g_folderCount++] = {answer, false};
    }
    Trace("ExpandEnvironmentStringsW -> %s", Printable(answer.s, answer.n));
    return needed;
}

UINT WINAPI FakeGetSystemDirectoryW(LPWSTR buffer, UINT size) {
    Budget("GetSystemDirectoryW");
    Text answer = g_case.systemDirectory;
    if (g_case.systemDirectoryKind == 3 || answer.n == 0 ||
        (buffer != nullptr && g_case.systemDirectoryKind == 4)) {
        Fail(ERROR_INVALID_FUNCTION);
        return 0;
    }
    if (buffer == nullptr && g_case.systemDirectoryKind == 5) {
        g_systemDirectoryChanged = true;  // no path can be built on it
        return 0xFFFFFFF0u;
    }
    if (buffer != nullptr && g_case.systemDirectoryKind == 1) {
        Builder b;
        answer = b.Add(answer).Add(L"\\moved").Commit();
    } else if (buffer != nullptr && g_case.systemDirectoryKind == 2) {
        answer = Store(L"C:\\Windows");
    }
    if (buffer == nullptr || size <= answer.n) {
        // A second answer that no longer fits: the caller has no directory to build on.
        g_systemDirectoryChanged = g_systemDirectoryChanged || buffer != nullptr;
        return answer.n + 1;
    }
    memcpy(buffer, answer.s, (answer.n + 1) * sizeof(wchar_t));
    if (g_systemDirectoryCount < kMaxAnswers) {
        g_systemDirectories[g_systemDirectoryCount++] = answer;
    }
    return answer.n;
}

DWORD WINAPI FakeGetFileAttributesW(LPCWSTR path) {
    Budget("GetFileAttributesW");
    if (path == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_FILE_ATTRIBUTES;
    }
    const uint32_t roll = g_rng.Below(100);
    DWORD answer = INVALID_FILE_ATTRIBUTES;
    if (roll < 35) {
        answer = g_rng.Percent(50) ? FILE_ATTRIBUTE_NORMAL
                                   : FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY;
        Offer(Store(path), kCandidateFile);
    } else if (roll < 45) {
        answer = FILE_ATTRIBUTE_DIRECTORY;
    } else if (roll < 50) {
        answer = FILE_ATTRIBUTE_DEVICE;
    } else if (roll < 80) {
        Fail(ERROR_FILE_NOT_FOUND);
    } else if (roll < 92) {
        Fail(ERROR_PATH_NOT_FOUND);
    } else {
        Fail(ERROR_ACCESS_DENIED);
    }
    Trace("GetFileAttributesW(%s) -> 0x%lX", Printable(path, wcslen(path)), answer);
    return answer;
}

bool HasSeparator(const wchar_t* text) {
    for (; *text != L'\0'; ++text) {
        if (*text == L'\\' || *text == L'/') {
            return true;
        }
    }
    return false;
}

// A system-directory path: a directory text the fake gave, a backslash unless it ends in
// one, and a bare name.
bool IsSystemDirectoryPath(const wchar_t* path, const wchar_t** name) {
    const size_t length = wcslen(path);
    for (size_t i = 0; i < g_systemDirectoryCount; ++i) {
        const Text directory = g_systemDirectories[i];
        if (length < directory.n || memcmp(path, directory.s, directory.n * sizeof(wchar_t)) != 0) {
            continue;
        }
        const wchar_t* rest = path + directory.n;
        if (directory.s[directory.n - 1] != L'\\') {
            if (*rest != L'\\') {
                continue;
            }
            ++rest;
        }
        // An empty rest is the directory itself (an empty name), which loads nothing.
        if (!HasSeparator(rest)) {
            *name = rest;
            return true;
        }
    }
    return false;
}

bool IsAbsolute(const wchar_t* path) {
    const bool letter =
        (path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z');
    return path[0] == L'\\' || path[0] == L'/' ||
           (letter && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/'));
}

constexpr DWORD kSearchPathBits = 0x1F08;
DWORD g_expectedModuleFlags = 0;

HMODULE WINAPI FakeLoadLibraryExW(LPCWSTR path, HANDLE file, DWORD flags) {
    if (!g_inCase) {
        return Original<decltype(&LoadLibraryExW)>(kPatchLoadLibraryExW)(path, file, flags);
    }
    Budget("LoadLibraryExW");
    if (path == nullptr || file != nullptr) {
        Violation("LoadLibraryExW with a null path or a file handle");
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const char* printable = Describe(path, wcslen(path));
    if ((flags & kSearchPathBits) != 0) {
        Violation("LoadLibraryExW(%s) with search-path flags 0x%lX", printable, flags);
    }
    const wchar_t* name = nullptr;
    bool systemLibrary = false;
    if (IsSystemDirectoryPath(path, &name)) {
        systemLibrary =
            flags == 0 && (wcscmp(name, L"Advapi32.dll") == 0 ||
                           wcscmp(name, L"Setupapi.dll") == 0 || wcscmp(name, L"Shell32.dll") == 0);
        if (!systemLibrary && flags != g_expectedModuleFlags) {
            Violation(
                "LoadLibraryExW(%s) with flags 0x%lX, not the caller's 0x%lX less search bits",
                printable, flags, g_expectedModuleFlags);
        }
    } else if (!IsCandidate(path, kCandidateLocated)) {
        Violation("LoadLibraryExW of %s, a path the platform never offered", printable);
    } else if (!IsAbsolute(path)) {
        Violation("LoadLibraryExW of %s, which is not absolute", printable);
    } else if (!g_olderAnswered && !TrustedByAnswers(path)) {
        Violation("LoadLibraryExW of %s, which lies in no trusted folder the platform named",
                  printable);
    } else if (flags != g_expectedModuleFlags) {
        Violation("LoadLibraryExW(%s) with flags 0x%lX, not the caller's 0x%lX less search bits",
                  printable, flags, g_expectedModuleFlags);
    }
    if (g_rng.Percent(g_case.failPercent)) {
        Fail(g_rng.Percent(50) ? ERROR_MOD_NOT_FOUND : ERROR_BAD_EXE_FORMAT);
        Trace("LoadLibraryExW(%s, 0x%lX) -> fails", printable, flags);
        return nullptr;
    }
    HMODULE module;
    if (systemLibrary && wcscmp(name, L"Advapi32.dll") == 0) {
        module = AsModule(kFakeAdvapi32);
    } else if (systemLibrary && wcscmp(name, L"Setupapi.dll") == 0) {
        module = AsModule(kFakeSetupapi);
    } else if (systemLibrary) {
        module = AsModule(kFakeShell32);
    } else {
        module = AsModule(kFakeLoadedModules + 0x10000 * (++g_moduleLoads));
        g_lastModule = module;
    }
    Trace("LoadLibraryExW(%s, 0x%lX) -> %p", printable, flags, module);
    return module;
}

BOOL WINAPI FakeIsWow64Process(HANDLE process, BOOL* wow64) {
    Budget("IsWow64Process");
    if (process != GetCurrentProcess() || wow64 == nullptr) {
        Violation("IsWow64Process for another process or without a place");
    }
    if (g_case.wow64Kind == 4) {
        Fail(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    *wow64 = g_case.wow64Kind == 1 ? TRUE : FALSE;
    return TRUE;
}

struct Export {
    uintptr_t module;
    const char* name;
    void* address;
};
const Export kExports[] = {
    {kFakeAdvapi32, "RegOpenKeyExW", reinterpret_cast<void*>(&FakeRegOpenKeyExW)},
    {kFakeAdvapi32, "RegQueryValueExW", reinterpret_cast<void*>(&FakeRegQueryValueExW)},
    {kFakeAdvapi32, "RegEnumValueW", reinterpret_cast<void*>(&FakeRegEnumValueW)},
    {kFakeAdvapi32, "RegCloseKey", reinterpret_cast<void*>(&FakeRegCloseKey)},
    {kFakeAdvapi32, "OpenSCManagerW", reinterpret_cast<void*>(&FakeOpenSCManagerW)},
    {kFakeAdvapi32, "OpenServiceW", reinterpret_cast<void*>(&FakeOpenServiceW)},
    {kFakeAdvapi32, "QueryServiceConfigW", reinterpret_cast<void*>(&FakeQueryServiceConfigW)},
    {kFakeAdvapi32, "CloseServiceHandle", reinterpret_cast<void*>(&FakeCloseServiceHandle)},
    {kFakeSetupapi, "SetupDiGetClassDevsW", reinterpret_cast<void*>(&FakeGetClassDevsW)},
    {kFakeSetupapi, "SetupDiEnumDeviceInterfaces",
     reinterpret_cast<void*>(&FakeEnumDeviceInterfaces)},
    {kFakeSetupapi, "SetupDiGetDeviceInterfaceDetailW",
     reinterpret_cast<void*>(&FakeGetDeviceInterfaceDetailW)},
    {kFakeSetupapi, "SetupDiGetDeviceRegistryPropertyW",
     reinterpret_cast<void*>(&FakeGetDeviceRegistryPropertyW)},
    {kFakeSetupapi, "SetupDiGetDevicePropertyW", reinterpret_cast<void*>(&FakeGetDevicePropertyW)},
    {kFakeSetupapi, "SetupGetInfDriverStoreLocationW",
     reinterpret_cast<void*>(&FakeGetInfDriverStoreLocationW)},
    {kFakeSetupapi, "SetupDiDestroyDeviceInfoList",
     reinterpret_cast<void*>(&FakeDestroyDeviceInfoList)},
    {kFakeShell32, "SHGetFolderPathW", reinterpret_cast<void*>(&FakeSHGetFolderPathW)},
    {kFakeKernel32, "IsWow64Process", reinterpret_cast<void*>(&FakeIsWow64Process)},
};

uint32_t g_missingExportPercent = 0;

FARPROC WINAPI FakeGetProcAddress(HMODULE module, LPCSTR name) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(module);
    if (!g_inCase || value < kModuleBase || value >= kFakeLoadedModules) {
        return Original<decltype(&GetProcAddress)>(kPatchGetProcAddress)(module, name);
    }
    Budget("GetProcAddress");
    for (const Export& entry : kExports) {
        if (entry.module == value && strcmp(entry.name, name) == 0) {
            if (g_rng.Percent(g_missingExportPercent) ||
                (value == kFakeKernel32 && g_case.wow64Kind == 3)) {
                Fail(ERROR_PROC_NOT_FOUND);
                Trace("GetProcAddress(%s) -> missing", name);
                return nullptr;
            }
            return reinterpret_cast<FARPROC>(entry.address);
        }
    }
    Violation("GetProcAddress(%p, %s): the loader asked for a function it does not bind", module,
              name);
    Fail(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

HMODULE WINAPI FakeGetModuleHandleA(LPCSTR name) {
    if (!g_inCase || name == nullptr || lstrcmpiA(name, "kernel32") != 0) {
        return Original<decltype(&GetModuleHandleA)>(kPatchGetModuleHandleA)(name);
    }
    Budget("GetModuleHandleA");
    if (g_case.wow64Kind == 2) {
        Fail(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return AsModule(kFakeKernel32);
}

BOOL WINAPI FakeVerifyVersionInfoW(LPOSVERSIONINFOEXW record, DWORD typeMask,
                                   DWORDLONG conditions) {
    if (!g_inCase) {
        return Original<decltype(&VerifyVersionInfoW)>(kPatchVerifyVersionInfoW)(record, typeMask,
                                                                                 conditions);
    }
    Budget("VerifyVersionInfoW");
    if (record == nullptr || record->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXW) ||
        record->dwMajorVersion != 6 || record->dwMinorVersion != 1 ||
        typeMask != (VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR)) {
        Violation("VerifyVersionInfoW asked about another version");
    }
    if (g_case.olderThanWindows7) {
        g_olderAnswered = true;
        Fail(ERROR_OLD_WIN_VERSION);
        return FALSE;
    }
    return TRUE;
}

// --- Binding records --------------------------------------------------------------------

template <typename Fn, ExportName Name>
void Place(BoundFunction<Fn, Name>& slot, Fn fake) {
    slot.store(g_rng.Percent(3) ? nullptr : fake);
}

void PlaceModule(std::atomic<HMODULE>& slot, uintptr_t fake) {
    slot.store(g_rng.Percent(3) ? nullptr : AsModule(fake));
}

void PlaceBindings() {
    const bool disturb = g_rng.Percent(15);
    if (!disturb) {
        g_advapi32.module.store(AsModule(kFakeAdvapi32));
        g_advapi32.regOpenKeyEx.store(&FakeRegOpenKeyExW);
        g_advapi32.regQueryValueEx.store(&FakeRegQueryValueExW);
        g_advapi32.regEnumValue.store(&FakeRegEnumValueW);
        g_advapi32.regCloseKey.store(&FakeRegCloseKey);
        g_advapi32.openSCManager.store(&FakeOpenSCManagerW);
        g_advapi32.openService.store(&FakeOpenServiceW);
        g_advapi32.queryServiceConfig.store(&FakeQueryServiceConfigW);
        g_advapi32.closeServiceHandle.store(&FakeCloseServiceHandle);
        g_setupapi.module.store(AsModule(kFakeSetupapi));
        g_setupapi.getClassDevs.store(&FakeGetClassDevsW);
        g_setupapi.enumDeviceInterfaces.store(&FakeEnumDeviceInterfaces);
        g_setupapi.getDeviceInterfaceDetail.store(&FakeGetDeviceInterfaceDetailW);
        g_setupapi.getDeviceRegistryProperty.store(&FakeGetDeviceRegistryPropertyW);
        g_setupapi.getDeviceProperty.store(&FakeGetDevicePropertyW);
        g_setupapi.getInfDriverStoreLocation.store(&FakeGetInfDriverStoreLocationW);
        g_setupapi.destroyDeviceInfoList.store(&FakeDestroyDeviceInfoList);
        g_shell32.module.store(AsModule(kFakeShell32));
        g_shell32.getFolderPath.store(&FakeSHGetFolderPathW);
        g_missingExportPercent = 0;
        return;
    }
    // Some slots empty: the bindings load the libraries and resolve the functions through
    // the fake's LoadLibraryExW and GetProcAddress.
    PlaceModule(g_advapi32.module, kFakeAdvapi32);
    Place(g_advapi32.regOpenKeyEx, &FakeRegOpenKeyExW);
    Place(g_advapi32.regQueryValueEx, &FakeRegQueryValueExW);
    Place(g_advapi32.regEnumValue, &FakeRegEnumValueW);
    Place(g_advapi32.regCloseKey, &FakeRegCloseKey);
    Place(g_advapi32.openSCManager, &FakeOpenSCManagerW);
    Place(g_advapi32.openService, &FakeOpenServiceW);
    Place(g_advapi32.queryServiceConfig, &FakeQueryServiceConfigW);
    Place(g_advapi32.closeServiceHandle, &FakeCloseServiceHandle);
    PlaceModule(g_setupapi.module, kFakeSetupapi);
    Place(g_setupapi.getClassDevs, &FakeGetClassDevsW);
    Place(g_setupapi.enumDeviceInterfaces, &FakeEnumDeviceInterfaces);
    Place(g_setupapi.getDeviceInterfaceDetail, &FakeGetDeviceInterfaceDetailW);
    Place(g_setupapi.getDeviceRegistryProperty, &FakeGetDeviceRegistryPropertyW);
    Place(g_setupapi.getDeviceProperty, &FakeGetDevicePropertyW);
    Place(g_setupapi.getInfDriverStoreLocation, &FakeGetInfDriverStoreLocationW);
    Place(g_setupapi.destroyDeviceInfoList, &FakeDestroyDeviceInfoList);
    if (g_rng.Percent(30)) {
        g_shell32.module.store(nullptr);
        g_shell32.getFolderPath.store(nullptr);
    } else {
        g_shell32.module.store(AsModule(kFakeShell32));
        g_shell32.getFolderPath.store(&FakeSHGetFolderPathW);
    }
    g_missingExportPercent = g_rng.Percent(50) ? 0 : 10;
}

// The search name the locator derives: ".dll" added without an extension, a lone final
// dot dropped.
Text SearchNameOf(Text name) {
    size_t dot = name.n;
    for (size_t i = 0; i < name.n; ++i) {
        if (name.s[i] == L'.') {
            dot = i;
        } else if (name.s[i] == L'\\') {
            dot = name.n;
        }
    }
    Builder b;
    if (dot == name.n) {
        return b.Add(name).Add(L".dll").Commit();
    }
    if (dot == name.n - 1) {
        return Store(name.s, name.n - 1);
    }
    return name;
}

void DrawCharacter() {
    Character& c = g_case;
    c = Character{};
    const uint32_t hostility[] = {0, 0, 2, 5, 10, 25, 50};
    c.failPercent = hostility[g_rng.Below(7)];
    c.liePercent = hostility[g_rng.Below(7)];
    c.changePercent = hostility[g_rng.Below(7)];
    c.allocFailAt = g_rng.Percent(25) ? 1 + g_rng.Below(24) : 0;
    c.allocFailPercent = g_rng.Percent(5) ? 5 : 0;
    c.moduleName = Pick({L"nvapi.dll", L"nvapi.dll", L"nvapi.dll", L"nvapi.dll", L"nvapi",
                         L"nvapi.", L"NVAPI64.DLL", L"nvlddmkm.sys", L"nvwgf2umx.dll", L"Nv_x.dll",
                         L"nv", L"nvapi.dll.", L"nvopencl.dll", L"xnvapi.dll", L"n",
                         L"nv\x00e9.dll", L"C:nvapi.dll", L"nvapi.dll.sys"});
    c.searchName = SearchNameOf(c.moduleName);
    c.windowsFolder = FolderText(L"C:\\Windows", L"c:\\windows");
    c.programFiles = FolderText(L"C:\\Program Files", L"c:\\program files");
    c.programFilesX86 = FolderText(L"C:\\Program Files (x86)", L"c:\\program files (x86)");
    for (HRESULT& failure : c.folderFailures) {
        failure = g_rng.Percent(c.failPercent / 2) ? (g_rng.Percent(50) ? E_FAIL : S_FALSE) : S_OK;
    }
    const uint32_t pw = g_rng.Below(10);
    c.programW6432Kind = pw < 5 ? 0 : pw - 4 > 4 ? 0 : pw - 4;
    c.programW6432 = g_rng.Percent(20) ? Store(L"C:\\Program Files\\") : c.programFiles;
    switch (g_rng.Below(10)) {
        case 0:
            c.systemDirectory = Store(L"C:\\");
            break;
        case 1:
            c.systemDirectory = Store(L"C:\\Windows\\system32\\");
            break;
        case 2:
            c.systemDirectory = LongJunk(300, L'y');
            break;
        default: {
            Builder b;
            c.systemDirectory =
                b.Add(c.windowsFolder.n > 0 ? c.windowsFolder : Store(L"C:\\Windows"))
                    .Add(L"\\system32")
                    .Commit();
            break;
        }
    }
    c.systemDirectoryKind =
        g_rng.Percent(c.changePercent + c.failPercent / 2) ? 1 + g_rng.Below(5) : 0;
    c.olderThanWindows7 = g_rng.Percent(5);
    const uint32_t wow = g_rng.Below(20);
    c.wow64Kind = wow < 14 ? 0 : wow < 17 ? 1 : wow - 15;
    const uint32_t build = g_rng.Below(20);
    c.buildKind = build < 14 ? 0 : build < 16 ? 1 : build < 18 ? 2 : 3;
    c.destroyClears = g_rng.Percent(50);
    const uint32_t walk = g_rng.Below(40);
    c.enumKind = walk == 0 ? 2 : walk < 3 ? 1 : 0;
}

void ResetBooks() {
    g_arenaUsed = 0;
    g_calls = 0;
    g_violation[0] = '\0';
    g_candidateCount = 0;
    g_errorCount = 0;
    g_statusCount = 0;
    g_folderCount = 0;
    g_fullPathCount = 0;
    g_systemDirectoryCount = 0;
    g_systemDirectoryChanged = false;
    g_olderAnswered = false;
    g_buildParsed = false;
    g_buildValue = 0;
    g_lastModule = nullptr;
    g_moduleLoads = 0;
    for (KeyRecord& key : g_keys) {
        key = KeyRecord{};
    }
    g_keyCount = 0;
    g_openKeys = 0;
    memset(g_setOpen, 0, sizeof(g_setOpen));
    g_setCount = 0;
    g_openSets = 0;
    for (ServiceRecord& service : g_services) {
        service = ServiceRecord{};
    }
    g_serviceCount = 0;
    g_openServices = 0;
    g_valueCount = 0;
    g_enumCount = 0;
    g_configCount = 0;
    g_interfaceCount = 0;
    g_propertyCount = 0;
    g_storeCount = 0;
}

char g_printable[4][8192];
unsigned g_printableNext = 0;

}  // namespace

FakePlatform::FakePlatform(GuardedPool& pool) {
    g_pool = &pool;
    struct Patch {
        const char* name;
        void* fake;
    };
    const Patch patches[] = {
        {"LocalAlloc", reinterpret_cast<void*>(&FakeLocalAlloc)},
        {"LocalFree", reinterpret_cast<void*>(&FakeLocalFree)},
        {"LocalSize", reinterpret_cast<void*>(&FakeLocalSize)},
        {"GetFullPathNameW", reinterpret_cast<void*>(&FakeGetFullPathNameW)},
        {"ExpandEnvironmentStringsW", reinterpret_cast<void*>(&FakeExpandEnvironmentStringsW)},
        {"GetSystemDirectoryW", reinterpret_cast<void*>(&FakeGetSystemDirectoryW)},
        {"GetFileAttributesW", reinterpret_cast<void*>(&FakeGetFileAttributesW)},
        {"LoadLibraryExW", reinterpret_cast<void*>(&FakeLoadLibraryExW)},
        {"GetProcAddress", reinterpret_cast<void*>(&FakeGetProcAddress)},
        {"GetModuleHandleA", reinterpret_cast<void*>(&FakeGetModuleHandleA)},
        {"VerifyVersionInfoW", reinterpret_cast<void*>(&FakeVerifyVersionInfoW)},
    };
    for (const Patch& patch : patches) {
        g_patches[g_patchCount++] = new ScopedImportPatch(patch.name, patch.fake);
    }
}

FakePlatform::~FakePlatform() {
    while (g_patchCount > 0) {
        delete g_patches[--g_patchCount];
    }
}

bool FakePlatform::ok() const {
    for (size_t i = 0; i < g_patchCount; ++i) {
        if (!g_patches[i]->ok()) {
            return false;
        }
    }
    return g_patchCount > 0 && g_pool->ok();
}

void BeginCase(uint64_t seed, bool trace) {
    g_rng.Seed(seed);
    g_trace = trace;
    ResetBooks();
    DrawCharacter();
    PlaceBindings();
    ResetWindowsVersionStateForTesting();
    g_wow64.isWow64Process.store(nullptr);
    g_wow64.isWow64.store(FALSE);
    if (trace) {
        Trace("case %llu: fail %u%%, lie %u%%, change %u%%, allocation %u fails, module %s",
              static_cast<unsigned long long>(seed), g_case.failPercent, g_case.liePercent,
              g_case.changePercent, g_case.allocFailAt,
              Printable(g_case.moduleName.s, g_case.moduleName.n));
        Trace("  Windows %s, Program Files %s, x86 %s, ProgramW6432 kind %u %s",
              Printable(g_case.windowsFolder.s, g_case.windowsFolder.n),
              Printable(g_case.programFiles.s, g_case.programFiles.n),
              Printable(g_case.programFilesX86.s, g_case.programFilesX86.n),
              g_case.programW6432Kind, Printable(g_case.programW6432.s, g_case.programW6432.n));
        Trace(
            "  system directory %s (kind %u), older than 7: %d, wow64 kind %u, build kind %u, enum "
            "kind %u",
            Printable(g_case.systemDirectory.s, g_case.systemDirectory.n),
            g_case.systemDirectoryKind, g_case.olderThanWindows7, g_case.wow64Kind,
            g_case.buildKind, g_case.enumKind);
    }
    g_inCase = true;
}

void EndCase() {
    g_inCase = false;
    while (g_fakeBlockCount > 0) {
        g_pool->Free(g_fakeBlocks[--g_fakeBlockCount]);
    }
}

CaseChoice DrawCaseChoice(uint32_t operationCount) {
    CaseChoice choice;
    choice.operation = g_rng.Below(operationCount);
    choice.moduleName = g_case.moduleName.s;
    const DWORD flags[] = {0,
                           0,
                           0,
                           LOAD_WITH_ALTERED_SEARCH_PATH,
                           LOAD_LIBRARY_SEARCH_DEFAULT_DIRS,
                           DONT_RESOLVE_DLL_REFERENCES,
                           0x1F08 | LOAD_LIBRARY_AS_DATAFILE};
    choice.flags = flags[g_rng.Below(7)];
    g_expectedModuleFlags = choice.flags & ~kSearchPathBits;
    const uint32_t thresholds[] = {0, 1, 6000, 14308, 14307, 19045, 19046, 0xFFFFFFFF};
    choice.threshold = thresholds[g_rng.Below(8)];
    choice.path = CandidatePath().s;
    Offer(Store(choice.path), kCandidateRegistryEntry);
    return choice;
}

bool IsCandidate(const wchar_t* text, uint32_t kinds) {
    if (text == nullptr) {
        return false;
    }
    const size_t length = wcslen(text);
    for (size_t i = 0; i < g_candidateCount; ++i) {
        if ((g_candidates[i].kind & kinds) != 0 &&
            SameText(g_candidates[i].text.s, g_candidates[i].text.n, text, length)) {
            return true;
        }
    }
    return false;
}

bool WasErrorSet(DWORD error) {
    for (size_t i = 0; i < g_errorCount; ++i) {
        if (g_errorsSet[i] == error) {
            return true;
        }
    }
    return false;
}

bool WasStatusReturned(LONG status) {
    for (size_t i = 0; i < g_statusCount; ++i) {
        if (g_statuses[i] == status) {
            return true;
        }
    }
    return false;
}

bool OlderThanWindows7Answered() {
    return g_olderAnswered;
}

bool TrustedByAnswers(const wchar_t* path) {
    for (size_t p = 0; p < g_fullPathCount; ++p) {
        if (!SameText(g_fullPaths[p].input, path)) {
            continue;
        }
        const Text full = g_fullPaths[p].output;
        for (size_t f = 0; f < g_folderCount; ++f) {
            const FolderAnswer& folder = g_folders[f];
            Builder b;
            b.Add(folder.text);
            if (folder.appendAlways || folder.text.s[folder.text.n - 1] != L'\\') {
                b.Char(L'\\');
            }
            if (StartsWithFolded(full.s, full.n, b.Commit())) {
                return true;
            }
        }
    }
    return false;
}

int OpenKeys() {
    return g_openKeys;
}
int OpenSets() {
    return g_openSets;
}
int OpenServiceHandles() {
    return g_openServices;
}
HMODULE LastLoadedModule() {
    return g_lastModule;
}
bool SystemDirectoryChanged() {
    return g_systemDirectoryChanged;
}

bool BuildAnswer(uint32_t* build) {
    *build = g_buildValue;
    return g_buildParsed;
}

void DestroyHandedOverSet(HDEVINFO set) {
    const bool wasInCase = g_inCase;
    g_inCase = true;
    FakeDestroyDeviceInfoList(set);
    g_inCase = wasInCase;
}

const char* FirstViolation() {
    return g_violation[0] != '\0' ? g_violation : nullptr;
}

void Violation(const char* format, ...) {
    if (g_violation[0] != '\0') {
        return;
    }
    va_list args;
    va_start(args, format);
    vsnprintf(g_violation, sizeof(g_violation), format, args);
    va_end(args);
    Trace("VIOLATION: %s", g_violation);
}

bool Tracing() {
    return g_trace;
}

void Trace(const char* format, ...) {
    if (!g_trace) {
        return;
    }
    va_list args;
    va_start(args, format);
    fputs("  | ", stdout);
    vfprintf(stdout, format, args);
    fputc('\n', stdout);
    va_end(args);
    fflush(stdout);
}

const char* Describe(const wchar_t* text, size_t count) {
    char* out = g_printable[g_printableNext++ % 4];
    const size_t capacity = sizeof(g_printable[0]);
    size_t n = 0;
    out[n++] = '"';
    for (size_t i = 0; i < count && n + 12 < capacity; ++i) {
        const wchar_t c = text[i];
        if (c >= 0x20 && c < 0x7F && c != L'"') {
            out[n++] = static_cast<char>(c);
        } else {
            n += static_cast<size_t>(snprintf(out + n, 8, "\\u%04X", static_cast<unsigned>(c)));
        }
    }
    out[n++] = '"';
    out[n] = '\0';
    return out;
}

const char* Printable(const wchar_t* text, size_t count) {
    return g_trace ? Describe(text, count) : "";
}

}  // namespace fuzz
