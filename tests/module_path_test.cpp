// The module-path lookups at their growth limit: GetModuleFileNameW answers for a path of a
// given length as Windows does (the text cut to the buffer, NUL included, and the buffer's
// size returned), and every buffer the helper allocates ends at a no-access page, so a
// buffer smaller than the size it tells the call faults at once. Both are injected through
// this executable's imports.
#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "base/module_path.h"
#include "tests/support/guarded_pool.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

GuardedPool* g_pool = nullptr;
std::wstring g_path;

HLOCAL WINAPI GuardedLocalAlloc(UINT flags, SIZE_T bytes) {
    return g_pool->Allocate(bytes, (flags & LMEM_ZEROINIT) != 0);
}

HLOCAL WINAPI GuardedLocalFree(HLOCAL block) {
    return g_pool->Free(block) ? nullptr : block;
}

DWORD WINAPI ModuleFileNameOfLength(HMODULE, LPWSTR buffer, DWORD size) {
    if (size == 0) {
        return 0;
    }
    const DWORD copied = g_path.size() < size ? static_cast<DWORD>(g_path.size()) : size - 1;
    g_path.copy(buffer, copied);
    buffer[copied] = L'\0';
    if (copied < g_path.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    return copied;
}

TEST(ModulePathTest, PathsUpToTheLongestAreFoundInBuffersThatEndWhereTheyShould) {
    GuardedPool pool;
    ASSERT_TRUE(pool.ok());
    g_pool = &pool;
    ScopedImportPatch alloc("LocalAlloc", reinterpret_cast<void*>(&GuardedLocalAlloc));
    ScopedImportPatch free("LocalFree", reinterpret_cast<void*>(&GuardedLocalFree));
    ScopedImportPatch name("GetModuleFileNameW", reinterpret_cast<void*>(&ModuleFileNameOfLength));
    const std::wstring folder = L"C:\\" + std::wstring(250, L'f') + L"\\";
    const DWORD kLengths[] = {255, MAX_PATH - 1, MAX_PATH, 16640, kMaxPathChars - 1, kMaxPathChars};
    for (const DWORD length : kLengths) {
        SCOPED_TRACE(length);
        g_path = folder + std::wstring(length - folder.size(), L'x');
        const bool fits = length < kMaxPathChars;
        {
            const LocalString path = GetModuleFileNameAlloc(nullptr);
            EXPECT_EQ(path.valid(), fits);
            if (!fits) {
                EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
            } else if (path) {
                EXPECT_EQ(path.get(), g_path);
            }
            const LocalString beside = GetPathBesideExecutable(L"dispset.exe");
            EXPECT_EQ(beside.valid(), fits);
            if (beside) {
                EXPECT_EQ(beside.get(), folder + L"dispset.exe");
            }
        }
        EXPECT_EQ(pool.liveBlocks(), 0u);
    }
    g_path = L"no-folder.exe";
    EXPECT_FALSE(GetPathBesideExecutable(L"dispset.exe").valid());
    EXPECT_EQ(pool.liveBlocks(), 0u);
}

}  // namespace
