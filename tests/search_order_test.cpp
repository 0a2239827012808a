// The restriction of the process's DLL search, in this process: a library loaded by bare
// name (as a loaded library loads its helpers), whose only copy is one planted in the
// working folder, which the default search order takes. Where SetDefaultDllDirectories is
// missing (injected through this executable's imports), the working folder still has to be
// taken out of the search. The cases run in this order because the last one cannot be
// undone in a process. What a driver library imports is tested end to end (app_test).
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "loader/search_order.h"
#include "tests/support/journal.h"
#include "tests/support/test_support.h"
#include "tools/simdriver/simdriver.h"

using namespace testing_support;

namespace {

ScopedImportPatch* g_procAddress = nullptr;
bool g_failSetDllDirectory = false;
ScopedImportPatch* g_setDllDirectory = nullptr;

FARPROC WINAPI WithoutSetDefaultDllDirectories(HMODULE module, LPCSTR name) {
    if (HIWORD(name) != 0 && lstrcmpA(name, "SetDefaultDllDirectories") == 0) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return g_procAddress->original<decltype(&GetProcAddress)>()(module, name);
}

BOOL WINAPI FailingSetDllDirectory(LPCWSTR path) {
    if (g_failSetDllDirectory) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return g_setDllDirectory->original<decltype(&SetDllDirectoryW)>()(path);
}

struct RestrictionCase {
    const char* name;
    bool setDefaultMissing;
    bool setDllDirectoryFails;
    DllSearchRestriction expected;
    bool plantedLoads;
};

TEST(SearchOrderTest, TheWorkingFoldersCopyOfAnImportLoadsOnlyWithoutAnyRestriction) {
    ScopedDirectory scratch, working;
    const std::wstring journal = scratch / L"journal.txt";
    ScopedEnvironment journalVariable(simdriver::kJournalVariable, journal.c_str());
    ScopedFileCopy planted(SimHelperPath(), working / kSimHelperName);
    ASSERT_TRUE(planted.ok());
    ScopedCurrentDirectory inWorkingFolder(working.path());
    EXPECT_EQ(DllSearchRestrictionInForce(), DllSearchRestriction::kNotMade);

    const RestrictionCase kCases[] = {
        {"neither call works", true, true, DllSearchRestriction::kNone, true},
        {"SetDefaultDllDirectories missing", true, false,
         DllSearchRestriction::kWorkingFolderRemoved, false},
        {"both there", false, false, DllSearchRestriction::kSystemDirectoryOnly, false},
    };
    for (const RestrictionCase& test : kCases) {
        SCOPED_TRACE(test.name);
        DeleteFileW(journal.c_str());
        {
            std::optional<ScopedImportPatch> procAddress;
            if (test.setDefaultMissing) {
                g_procAddress = &procAddress.emplace(
                    "GetProcAddress", reinterpret_cast<void*>(&WithoutSetDefaultDllDirectories));
            }
            ScopedImportPatch setDllDirectory("SetDllDirectoryW",
                                              reinterpret_cast<void*>(&FailingSetDllDirectory));
            g_setDllDirectory = &setDllDirectory;
            g_failSetDllDirectory = test.setDllDirectoryFails;
            EXPECT_EQ(RestrictDllSearchToSystemDirectory(), test.expected);
        }
        EXPECT_EQ(DllSearchRestrictionInForce(), test.expected);
        HMODULE module = LoadLibraryExW(kSimHelperName, nullptr, 0);
        EXPECT_EQ(module != nullptr, test.plantedLoads);
        if (module != nullptr) {
            FreeLibrary(module);
        }
        std::vector<std::string> lines = LinesStartingWith(JournalLines(journal), "helper ");
        for (std::string& line : lines) {
            line = LowerAscii(line);
        }
        EXPECT_EQ(lines, test.plantedLoads ? std::vector<std::string>{LowerAscii(
                                                 "helper path=" + Narrow(planted.path()))}
                                           : std::vector<std::string>{});
        SetDllDirectoryW(nullptr);
    }
}

}  // namespace
