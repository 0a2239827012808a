// The Windows build number gate against the prefix's real registry: what counts as a
// number, what is kept for the process, and concurrent first readers.
#include <windows.h>

#include <gtest/gtest.h>

#include <stdint.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "loader/system_bindings.h"
#include "loader/trusted_paths.h"
#include "loader/windows_version.h"
#include "tests/support/loader_fixtures.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

constexpr wchar_t kCurrentVersionKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr wchar_t kBuildNumberValue[] = L"CurrentBuildNumber";

// --- Build number ---------------------------------------------------------------------------

using BuildNumberTest = VersionStateTest;

TEST_F(BuildNumberTest, DecimalTextIsComparedWithTheThreshold) {
    ScopedBuildNumber build(L"19045");
    EXPECT_EQ(IsWindowsBuildAtLeast(kBuildDriverLocatedLoading), 1);
    EXPECT_EQ(IsWindowsBuildAtLeast(kBuildDriverStore), 1);
    EXPECT_EQ(IsWindowsBuildAtLeast(19045), 1);
    EXPECT_EQ(IsWindowsBuildAtLeast(19046), 0);
    EXPECT_EQ(IsWindowsBuildAtLeast(0), 1);
}

TEST_F(BuildNumberTest, LargestThirtyTwoBitNumberIsRead) {
    ScopedBuildNumber build(L"4294967295");
    EXPECT_EQ(IsWindowsBuildAtLeast(UINT32_MAX), 1);
}

// Each unreadable form counts as 0 and is not kept: once the value is fixed, the very next
// call (no reset) reads the registry again and finds the number.
TEST_F(BuildNumberTest, UnreadableValuesCountAsZeroAndAreReadAgain) {
    struct Case {
        const char* label;
        DWORD type;
        std::vector<BYTE> bytes;
    };
    auto text = [](const std::wstring& s) {
        const BYTE* begin = reinterpret_cast<const BYTE*>(s.c_str());
        return std::vector<BYTE>(begin, begin + (s.size() + 1) * sizeof(wchar_t));
    };
    const DWORD dword = 19045;
    const BYTE* dwordBytes = reinterpret_cast<const BYTE*>(&dword);
    const std::vector<Case> cases = {
        {"REG_EXPAND_SZ", REG_EXPAND_SZ, text(L"19045")},
        {"REG_DWORD", REG_DWORD, std::vector<BYTE>(dwordBytes, dwordBytes + sizeof(dword))},
        {"letter inside", REG_SZ, text(L"190a45")},
        {"trailing space", REG_SZ, text(L"19045 ")},
        {"leading space", REG_SZ, text(L" 19045")},
        {"sign", REG_SZ, text(L"+19045")},
        {"fullwidth digit", REG_SZ, text(L"1904\xFF15")},
        {"empty text", REG_SZ, text(L"")},
        {"zero", REG_SZ, text(L"0")},
        {"one above 32 bits", REG_SZ, text(L"4294967296")},
        {"far above 32 bits", REG_SZ, text(L"99999999999999999999")},
        {"no data at all", REG_SZ, std::vector<BYTE>()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ResetWindowsVersionStateForTesting();
        ScopedRegistryValue value(HKEY_LOCAL_MACHINE, kCurrentVersionKey, kBuildNumberValue);
        ASSERT_TRUE(value.Set(c.type, c.bytes.data(), static_cast<DWORD>(c.bytes.size())));
        EXPECT_EQ(IsWindowsBuildAtLeast(1), 0);
        EXPECT_EQ(IsWindowsBuildAtLeast(0), 1);
        EXPECT_EQ(IsWindowsBuildAtLeast(1), 0);
        ASSERT_TRUE(value.SetString(L"19045"));
        EXPECT_EQ(IsWindowsBuildAtLeast(19045), 1);
    }
}

TEST_F(BuildNumberTest, MissingValueCountsAsZeroAndIsReadAgain) {
    ScopedRegistryValue value(HKEY_LOCAL_MACHINE, kCurrentVersionKey, kBuildNumberValue);
    ASSERT_TRUE(value.Delete());
    EXPECT_EQ(IsWindowsBuildAtLeast(1), 0);
    ASSERT_TRUE(value.SetString(L"14308"));
    EXPECT_EQ(IsWindowsBuildAtLeast(kBuildDriverLocatedLoading), 1);
}

// Text stored without its NUL: the reader's spare zeroed character ends it. RegSetValueExW
// adds a NUL itself when the character after the counted ones is one, hence the "X".
TEST_F(BuildNumberTest, TextStoredWithoutTerminatorIsReadWithinItsBytes) {
    ScopedRegistryValue value(HKEY_LOCAL_MACHINE, kCurrentVersionKey, kBuildNumberValue);
    const wchar_t stored[] = L"19045X";
    ASSERT_TRUE(value.Set(REG_SZ, stored, 5 * sizeof(wchar_t)));
    EXPECT_EQ(IsWindowsBuildAtLeast(19045), 1);
    EXPECT_EQ(IsWindowsBuildAtLeast(19046), 0);
}

// Nine bytes: the ninth is the low byte of the fifth digit; rounding up to whole characters
// supplies its zero high byte, and the spare character ends the text.
TEST_F(BuildNumberTest, OddSizedTextIsRoundedUpToWholeCharacters) {
    ScopedRegistryValue value(HKEY_LOCAL_MACHINE, kCurrentVersionKey, kBuildNumberValue);
    const wchar_t stored[] = L"19045X";
    ASSERT_TRUE(value.Set(REG_SZ, stored, 9));
    EXPECT_EQ(IsWindowsBuildAtLeast(19045), 1);
    EXPECT_EQ(IsWindowsBuildAtLeast(19046), 0);
}

TEST_F(BuildNumberTest, ParsedNumberIsKeptForTheProcess) {
    ScopedRegistryValue value(HKEY_LOCAL_MACHINE, kCurrentVersionKey, kBuildNumberValue);
    ASSERT_TRUE(value.SetString(L"19045"));
    EXPECT_EQ(IsWindowsBuildAtLeast(19045), 1);

    ASSERT_TRUE(value.SetString(L"100"));
    EXPECT_EQ(IsWindowsBuildAtLeast(19045), 1);
    ASSERT_TRUE(value.SetString(L"bad"));
    EXPECT_EQ(IsWindowsBuildAtLeast(19045), 1);
    ASSERT_TRUE(value.Delete());
    EXPECT_EQ(IsWindowsBuildAtLeast(19045), 1);

    // Only a process start (here: the test seam) forgets it.
    ASSERT_TRUE(value.SetString(L"100"));
    ResetWindowsVersionStateForTesting();
    EXPECT_EQ(IsWindowsBuildAtLeast(19045), 0);
    EXPECT_EQ(IsWindowsBuildAtLeast(100), 1);
}

// A 32-bit process on 64-bit Windows reads the registry's 32-bit view, as the loader
// intends: it adds no view flag. The two views are given different numbers here.
TEST_F(BuildNumberTest, UnderWow64TheNumberComesFromThe32BitView) {
    if (!RunsUnderWow64()) {
        GTEST_SKIP() << "for the i686 build under WOW64; this is "
                     << ConfigurationName(CurrentConfiguration());
    }
    {
        ScopedBuildNumber native(L"19045", REG_SZ, KEY_WOW64_64KEY);
        ScopedBuildNumber wow(L"7601", REG_SZ, KEY_WOW64_32KEY);
        ResetWindowsVersionStateForTesting();
        EXPECT_EQ(IsWindowsBuildAtLeast(kBuildDriverLocatedLoading), 0);
    }
    ScopedBuildNumber native(L"7601", REG_SZ, KEY_WOW64_64KEY);
    ScopedBuildNumber wow(L"19045", REG_SZ, KEY_WOW64_32KEY);
    ResetWindowsVersionStateForTesting();
    EXPECT_EQ(IsWindowsBuildAtLeast(kBuildDriverLocatedLoading), 1);
    EXPECT_EQ(IsWindowsBuildAtLeast(19046), 0);
}

// Every reader of the build number sees the number, whichever of them parses it first.
TEST_F(BuildNumberTest, ConcurrentFirstCallsAgree) {
    ScopedBuildNumber build(L"19045");
    // Shell32's own first-call binding is tested without threads below
    // (CallerArrivingDuringTheShellBindingFindsTheFolder); here the version state races.
    ASSERT_TRUE(BindFolderLookup());
    const std::wstring windowsPath = JoinPaths(SystemDirectory(), L"nvapi.dll");
    constexpr int kThreads = 8;
    std::atomic<int> ready{0};
    std::atomic<int> builds{0};
    std::atomic<int> trusted{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) {
                std::this_thread::yield();
            }
            builds.fetch_add(IsWindowsBuildAtLeast(19045));
            trusted.fetch_add(IsPathInTrustedFolder(windowsPath.c_str()));
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(builds.load(), kThreads);
    EXPECT_EQ(trusted.load(), kThreads);
    EXPECT_EQ(g_windowsVersion.buildNumber.load(), 19045u);
}
// An unresolvable function makes the build number unreadable, and it is read again later.
TEST_F(BuildNumberTest, IsReadAgainAfterABindingFailure) {
    ResetWindowsVersionStateForTesting();
    ScopedBuildNumber build(L"19045");
    {
        ScopedBindings bindings;
        g_advapi32.module.store(ModuleWithoutExports());
        g_advapi32.regOpenKeyEx.store(nullptr);
        EXPECT_EQ(IsWindowsBuildAtLeast(1), 0);
    }
    EXPECT_EQ(IsWindowsBuildAtLeast(19045), 1);
    ResetWindowsVersionStateForTesting();
}
}  // namespace
