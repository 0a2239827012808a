// The registry readers against the prefix's real registry, with fakes in the Advapi32
// binding record only where a value must change between two queries or a call must fail.
#include <windows.h>

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "loader/registry_values.h"
#include "loader/system_bindings.h"
#include "tests/support/loader_fixtures.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

constexpr wchar_t kTestKey[] = L"Software\\dispset-tests\\registry-values";

// --- Registry readers -----------------------------------------------------------------------

class RegistryReaderTest : public ::testing::Test {
  protected:
    // Presets that the readers must leave alone when they deliver nothing.
    static constexpr DWORD kTypePreset = 0xA5A5;
    BYTE presetTarget_ = 0;
    BYTE* dataPreset() { return &presetTarget_; }
};

TEST_F(RegistryReaderTest, TextArrivesWithTypeAndASpareZeroCharacter) {
    ScopedRegistryValue value(HKEY_CURRENT_USER, kTestKey, L"Text");
    ASSERT_TRUE(value.SetString(L"abc"));
    DWORD type = 0;
    BYTE* data = nullptr;
    ASSERT_EQ(ReadRegistryValueByPath(HKEY_CURRENT_USER, kTestKey, L"Text", &type, &data),
              ERROR_SUCCESS);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_STREQ(reinterpret_cast<const wchar_t*>(data), L"abc");
    // Stored: 4 characters with the NUL; allocated: one more, zeroed.
    EXPECT_GE(LocalSize(data), 5 * sizeof(wchar_t));
    EXPECT_EQ(reinterpret_cast<const wchar_t*>(data)[4], L'\0');
    LocalFree(data);
}

TEST_F(RegistryReaderTest, UnterminatedAndOddSizedTextIsFollowedByZeros) {
    ScopedRegistryValue value(HKEY_CURRENT_USER, kTestKey, L"Raw");
    const wchar_t stored[] = L"abcX";
    for (DWORD size : {DWORD{6}, DWORD{5}}) {
        SCOPED_TRACE(size);
        ASSERT_TRUE(value.Set(REG_SZ, stored, size));
        DWORD type = 0;
        BYTE* data = nullptr;
        ASSERT_EQ(ReadRegistryValueByPath(HKEY_CURRENT_USER, kTestKey, L"Raw", &type, &data),
                  ERROR_SUCCESS);
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        ASSERT_GE(LocalSize(data), size_t{8});
        EXPECT_EQ(memcmp(data, stored, size), 0);
        for (size_t i = size; i < 8; ++i) {
            EXPECT_EQ(data[i], 0) << "byte " << i;
        }
        LocalFree(data);
    }
}

TEST_F(RegistryReaderTest, NumberAndOpenKeyReads) {
    ScopedRegistryValue value(HKEY_CURRENT_USER, kTestKey, L"Number");
    ASSERT_TRUE(value.SetDword(0x12345678));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kTestKey, 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
    DWORD type = 0;
    BYTE* data = nullptr;
    EXPECT_EQ(ReadRegistryValueAlloc(key, L"Number", &type, &data), ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(*reinterpret_cast<const DWORD*>(data), 0x12345678u);
    LocalFree(data);
}

TEST_F(RegistryReaderTest, MissingKeyOrValueLeavesTheOutputsAlone) {
    ScopedRegistryValue value(HKEY_CURRENT_USER, kTestKey, L"Present");
    ASSERT_TRUE(value.SetString(L"x"));
    DWORD type = kTypePreset;
    BYTE* data = dataPreset();
    EXPECT_EQ(ReadRegistryValueByPath(HKEY_CURRENT_USER, L"Software\\dispset-tests\\no-such-key",
                                      L"Present", &type, &data),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ReadRegistryValueByPath(HKEY_CURRENT_USER, kTestKey, L"Absent", &type, &data),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(type, kTypePreset);
    EXPECT_EQ(data, dataPreset());
}

// Without a place for the buffer the value is not even asked for: nothing could be handed
// over, and a buffer read for nobody would be lost.
TEST_F(RegistryReaderTest, NoPlaceForTheBufferIsAnInvalidParameter) {
    ScopedRegistryValue value(HKEY_CURRENT_USER, kTestKey, L"Present");
    ASSERT_TRUE(value.SetString(L"x"));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kTestKey, 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
    const size_t before = CountBusyHeapBlocks();
    DWORD type = kTypePreset;
    EXPECT_EQ(ReadRegistryValueAlloc(key, L"Present", &type, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(type, kTypePreset);
    EXPECT_EQ(CountBusyHeapBlocks(), before);
    RegCloseKey(key);
}

TEST_F(RegistryReaderTest, ValueOfSizeZeroSucceedsWithoutBufferOrType) {
    ScopedRegistryValue value(HKEY_CURRENT_USER, kTestKey, L"Empty");
    for (DWORD storedType : {DWORD{REG_SZ}, DWORD{REG_BINARY}}) {
        SCOPED_TRACE(storedType);
        ASSERT_TRUE(value.Set(storedType, nullptr, 0));
        DWORD type = kTypePreset;
        BYTE* data = nullptr;
        EXPECT_EQ(ReadRegistryValueByPath(HKEY_CURRENT_USER, kTestKey, L"Empty", &type, &data),
                  ERROR_SUCCESS);
        EXPECT_EQ(type, kTypePreset);
        EXPECT_EQ(data, nullptr);
    }
}

TEST_F(RegistryReaderTest, ReadsLeaveNothingAllocatedButTheCallersBuffer) {
    ScopedRegistryValue text(HKEY_CURRENT_USER, kTestKey, L"Text");
    ScopedRegistryValue empty(HKEY_CURRENT_USER, kTestKey, L"Empty");
    ASSERT_TRUE(text.SetString(L"some text"));
    ASSERT_TRUE(empty.Set(REG_BINARY, nullptr, 0));
    auto readAll = [] {
        for (const wchar_t* name : {L"Text", L"Empty", L"Absent"}) {
            DWORD type = 0;
            BYTE* data = nullptr;
            ReadRegistryValueByPath(HKEY_CURRENT_USER, kTestKey, name, &type, &data);
            LocalFree(data);
        }
        DWORD type = 0;
        BYTE* data = nullptr;
        ReadRegistryValueByPath(HKEY_CURRENT_USER, L"Software\\dispset-tests\\no-such-key", L"x",
                                &type, &data);
    };
    readAll();
    const size_t before = CountBusyHeapBlocks();
    for (int i = 0; i < 20; ++i) {
        readAll();
    }
    EXPECT_EQ(CountBusyHeapBlocks(), before);
}

// Fakes placed in the Advapi32 binding record.
decltype(&RegQueryValueExW) g_realQuery = nullptr;
decltype(&RegCloseKey) g_realClose = nullptr;
int g_queryCalls = 0;
int g_closeCalls = 0;
DWORD g_reportedSize = 0;
std::vector<DWORD> g_sizesOffered;

// Reports a size at the first call and finds the value grown at the second.
LONG WINAPI GrowingValueQuery(HKEY, LPCWSTR, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
    ++g_queryCalls;
    if (data == nullptr) {
        *size = g_reportedSize;
        return ERROR_SUCCESS;
    }
    if (type != nullptr) {
        *type = REG_SZ;
    }
    *size = g_reportedSize + 64;
    return ERROR_MORE_DATA;
}

// Calls through, remembering the size offered with each buffer.
LONG WINAPI RecordingQuery(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                           LPDWORD size) {
    ++g_queryCalls;
    if (data != nullptr) {
        g_sizesOffered.push_back(*size);
    }
    return g_realQuery(key, name, reserved, type, data, size);
}

LONG WINAPI DeniedOpen(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY result) {
    *result = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x1234));  // not a handle to close
    return ERROR_ACCESS_DENIED;
}

LONG WINAPI CountingClose(HKEY key) {
    ++g_closeCalls;
    return g_realClose(key);
}

TEST_F(RegistryReaderTest, ValueThatGrewBetweenTheQueriesFailsWithoutABuffer) {
    ScopedBindings bindings;
    g_advapi32.regQueryValueEx.store(&GrowingValueQuery);
    g_queryCalls = 0;
    g_reportedSize = 8;
    DWORD type = 0;
    BYTE* data = nullptr;
    EXPECT_EQ(ReadRegistryValueByPath(HKEY_CURRENT_USER, L"Software", L"any", &type, &data),
              ERROR_MORE_DATA);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(g_queryCalls, 2);  // no retry

    const size_t before = CountBusyHeapBlocks();
    ReadRegistryValueByPath(HKEY_CURRENT_USER, L"Software", L"any", &type, &data);
    EXPECT_EQ(CountBusyHeapBlocks(), before);
}

// A reported size so large that a padded size would wrap round must not become a small
// buffer that the second query then overruns.
TEST_F(RegistryReaderTest, SizeTooLargeToPadIsRefusedBeforeAllocating) {
    ScopedBindings bindings;
    g_advapi32.regQueryValueEx.store(&GrowingValueQuery);
    for (DWORD size : {DWORD{0xFFFFFFFF}, DWORD{0xFFFFFFFE}, DWORD{0xFFFFFFFC}}) {
        SCOPED_TRACE(size);
        g_queryCalls = 0;
        g_reportedSize = size;
        DWORD type = 0;
        BYTE* data = nullptr;
        EXPECT_EQ(ReadRegistryValueByPath(HKEY_CURRENT_USER, L"Software", L"any", &type, &data),
                  ERROR_NOT_ENOUGH_MEMORY);
        EXPECT_EQ(data, nullptr);
        EXPECT_EQ(g_queryCalls, 1);
    }
}

// The registry is told the size it reported, not the padded one, so it never writes into
// the spare character.
TEST_F(RegistryReaderTest, SecondQueryIsOfferedTheReportedSize) {
    ScopedRegistryValue value(HKEY_CURRENT_USER, kTestKey, L"Raw");
    const wchar_t stored[] = L"abcX";
    ASSERT_TRUE(value.Set(REG_SZ, stored, 5));
    ScopedBindings bindings;
    g_realQuery = bindings.realQuery();
    g_advapi32.regQueryValueEx.store(&RecordingQuery);
    g_sizesOffered.clear();
    DWORD type = 0;
    BYTE* data = nullptr;
    ASSERT_EQ(ReadRegistryValueByPath(HKEY_CURRENT_USER, kTestKey, L"Raw", &type, &data),
              ERROR_SUCCESS);
    LocalFree(data);
    ASSERT_EQ(g_sizesOffered.size(), 1u);
    EXPECT_EQ(g_sizesOffered[0], 5u);
}

TEST_F(RegistryReaderTest, FailedOpenIsReportedAndNothingIsClosed) {
    ScopedBindings bindings;
    g_realClose = bindings.realClose();
    g_advapi32.regOpenKeyEx.store(&DeniedOpen);
    g_advapi32.regCloseKey.store(&CountingClose);
    g_closeCalls = 0;
    DWORD type = kTypePreset;
    BYTE* data = dataPreset();
    EXPECT_EQ(ReadRegistryValueByPath(HKEY_CURRENT_USER, kTestKey, L"x", &type, &data),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(g_closeCalls, 0);
    EXPECT_EQ(type, kTypePreset);
    EXPECT_EQ(data, dataPreset());
}

TEST_F(RegistryReaderTest, OpenedKeyIsClosedOnceWhateverTheRead) {
    ScopedRegistryValue value(HKEY_CURRENT_USER, kTestKey, L"Text");
    ASSERT_TRUE(value.SetString(L"abc"));
    ScopedBindings bindings;
    g_realClose = bindings.realClose();
    g_advapi32.regCloseKey.store(&CountingClose);
    for (const wchar_t* name : {L"Text", L"Absent"}) {
        SCOPED_TRACE(name);
        g_closeCalls = 0;
        DWORD type = 0;
        BYTE* data = nullptr;
        ReadRegistryValueByPath(HKEY_CURRENT_USER, kTestKey, name, &type, &data);
        LocalFree(data);
        EXPECT_EQ(g_closeCalls, 1);
    }
}

// Functions that cannot be resolved fail the readers with GetProcAddress's error; the null
// slots stay null and are looked up again at the next call.
TEST_F(RegistryReaderTest, UnresolvableFunctionsFailAndAreRetried) {
    ScopedBindings bindings;
    ScopedRegistryValue value(HKEY_CURRENT_USER, kTestKey, L"Text");
    ASSERT_TRUE(value.SetString(L"abc"));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kTestKey, 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);

    g_advapi32.module.store(ModuleWithoutExports());
    g_advapi32.regOpenKeyEx.store(nullptr);
    g_advapi32.regQueryValueEx.store(nullptr);
    g_advapi32.regCloseKey.store(nullptr);
    DWORD type = kTypePreset;
    BYTE* data = dataPreset();
    EXPECT_EQ(ReadRegistryValueByPath(HKEY_CURRENT_USER, kTestKey, L"Text", &type, &data),
              ERROR_PROC_NOT_FOUND);
    EXPECT_EQ(ReadRegistryValueAlloc(key, L"Text", &type, &data), ERROR_PROC_NOT_FOUND);
    EXPECT_EQ(type, kTypePreset);
    EXPECT_EQ(data, dataPreset());
    EXPECT_EQ(g_advapi32.regOpenKeyEx.load(), nullptr);
    EXPECT_EQ(g_advapi32.regQueryValueEx.load(), nullptr);

    // A null module slot is loaded again, from the system directory.
    g_advapi32.module.store(nullptr);
    data = nullptr;
    EXPECT_EQ(ReadRegistryValueAlloc(key, L"Text", &type, &data), ERROR_SUCCESS);
    ASSERT_NE(data, nullptr);
    EXPECT_STREQ(reinterpret_cast<const wchar_t*>(data), L"abc");
    LocalFree(data);
    data = nullptr;
    EXPECT_EQ(ReadRegistryValueByPath(HKEY_CURRENT_USER, kTestKey, L"Text", &type, &data),
              ERROR_SUCCESS);
    LocalFree(data);
    RegCloseKey(key);
    EXPECT_EQ(Lower(ModulePath(g_advapi32.module.load())),
              Lower(JoinPaths(SystemDirectory(), L"advapi32.dll")));
}
TEST_F(RegistryReaderTest, FailedAllocationIsReportedWithoutABuffer) {
    ScopedRegistryValue value(HKEY_CURRENT_USER, kTestKey, L"Text");
    ASSERT_TRUE(value.SetString(L"abc"));
    ScopedBindings bindings;  // bound before allocations start failing
    DWORD type = kTypePreset;
    BYTE* data = dataPreset();
    const size_t before = CountBusyHeapBlocks();
    {
        FailingAllocations failing(1);
        EXPECT_EQ(ReadRegistryValueByPath(HKEY_CURRENT_USER, kTestKey, L"Text", &type, &data),
                  ERROR_NOT_ENOUGH_MEMORY);
    }
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(CountBusyHeapBlocks(), before);
}
}  // namespace
