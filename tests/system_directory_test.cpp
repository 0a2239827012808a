// Loading by full path in the system directory: the separator test, the path that is
// built (one backslash, an exact allocation) and what happens when the directory cannot be
// had. kernel32 failures come through the executable's import of GetSystemDirectoryW.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "loader/system_directory.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

TEST(HasPathSeparator, FindsEitherSlashAnywhere) {
    EXPECT_EQ(HasPathSeparator(nullptr), 0);
    EXPECT_EQ(HasPathSeparator(L""), 0);
    EXPECT_EQ(HasPathSeparator(L"nvapi.dll"), 0);
    EXPECT_EQ(HasPathSeparator(L"C:nvapi.dll"), 0);
    EXPECT_EQ(HasPathSeparator(L"\\nvapi.dll"), 1);
    EXPECT_EQ(HasPathSeparator(L"sub/nvapi.dll"), 1);
    EXPECT_EQ(HasPathSeparator(L"nvapi.dll\\"), 1);
}

TEST(BuildSystemDirectoryPath, JoinsWithOneBackslashInAnExactAllocation) {
    EXPECT_EQ(BuildSystemDirectoryPath(nullptr), nullptr);

    const std::wstring directory = SystemDirectory();
    wchar_t* path = BuildSystemDirectoryPath(L"nvapi.dll");
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(std::wstring(path), directory + L"\\nvapi.dll");
    // Room for the directory's terminator as GetSystemDirectoryW counts it, the backslash,
    // the name and the terminator.
    const size_t s = directory.size() + 1;
    EXPECT_EQ(LocalSize(path), 2 * (s + 9) + 2);
    LocalFree(path);
}

// A system directory at a drive root already ends in its backslash.
UINT WINAPI DriveRootSystemDirectory(LPWSTR buffer, UINT size) {
    const wchar_t root[] = L"D:\\";
    if (size < 4) {
        return 4;
    }
    lstrcpyW(buffer, root);
    return 3;
}

UINT WINAPI FailingSystemDirectory(LPWSTR, UINT) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
}

// A directory that grows between the size query and the copy.
UINT g_growCalls = 0;
UINT WINAPI GrowingSystemDirectory(LPWSTR buffer, UINT size) {
    if (g_growCalls++ == 0) {
        return 4;  // "C:\x" and its terminator
    }
    if (buffer != nullptr && size > 0) {
        buffer[0] = L'\0';
    }
    return 40;
}

TEST(BuildSystemDirectoryPath, DriveRootGetsNoSecondBackslash) {
    ScopedImportPatch patch("GetSystemDirectoryW",
                            reinterpret_cast<void*>(&DriveRootSystemDirectory));
    ASSERT_TRUE(patch.ok());
    wchar_t* path = BuildSystemDirectoryPath(L"nvapi.dll");
    ASSERT_NE(path, nullptr);
    EXPECT_STREQ(path, L"D:\\nvapi.dll");
    LocalFree(path);
}

TEST(BuildSystemDirectoryPath, FailsWhenTheDirectoryCannotBeHad) {
    const size_t before = CountBusyHeapBlocks();
    {
        ScopedImportPatch patch("GetSystemDirectoryW",
                                reinterpret_cast<void*>(&FailingSystemDirectory));
        EXPECT_EQ(BuildSystemDirectoryPath(L"nvapi.dll"), nullptr);
    }
    {
        g_growCalls = 0;
        ScopedImportPatch patch("GetSystemDirectoryW",
                                reinterpret_cast<void*>(&GrowingSystemDirectory));
        EXPECT_EQ(BuildSystemDirectoryPath(L"nvapi.dll"), nullptr);
    }
    {
        RecordedLoads recorded;
        ScopedImportPatch patch("GetSystemDirectoryW",
                                reinterpret_cast<void*>(&FailingSystemDirectory));
        EXPECT_EQ(LoadLibrarySystemDirectory(L"nvapi.dll", 0), nullptr);
        EXPECT_TRUE(recorded.loads().empty()) << "nothing may be loaded without a full path";
    }
    EXPECT_EQ(CountBusyHeapBlocks(), before);
}

}  // namespace
