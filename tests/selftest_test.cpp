// dispset-diag selftest: the shipped companion as a child under Wine against dispset.exe
// (no canary runs) and against programs with the planting holes it must find (it finds
// them where they are); its private folder gone afterwards, also when the program hangs or
// is missing; what it cannot remove reported. The canary's own imports, and the names
// planted, as pure rules.
#include <windows.h>

#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/diag/canary_names.h"
#include "app/diag/companion.h"
#include "app/diag/pe_image.h"
#include "driver_client/driver_contract.h"
#include "tests/support/journal.h"
#include "tests/support/json_check.h"
#include "tests/support/test_support.h"
#include "tools/simdriver/simdriver.h"

using namespace testing_support;

namespace {

std::wstring ProgramPath(const char* variable) {
    const char* value = getenv(variable);
    return value != nullptr ? WinePathFromUnix(value) : std::wstring();
}

std::wstring SystemDriverPath() {
    return JoinPaths(SystemDirectory(), kDriverLibraryName);
}

// What is left in a folder (names, "." and ".." left out).
std::vector<std::wstring> Contents(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW(JoinPaths(folder, L"*").c_str(), &entry);
    for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &entry)) {
        if (entry.cFileName != std::wstring(L".") && entry.cFileName != std::wstring(L"..")) {
            names.push_back(entry.cFileName);
        }
    }
    if (find != INVALID_HANDLE_VALUE) {
        FindClose(find);
    }
    return names;
}

std::vector<std::string> Lines(const std::string& text, const std::string& part) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        const std::string line = text.substr(start, end - start);
        if (line.find(part) != std::string::npos) {
            lines.push_back(line);
        }
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

// The companion runs with a temporary folder of the test's own, which must be empty again
// afterwards, and a journal for the simulated driver. The prefix's KnownDLLs holds the two
// libraries that every program here imports, as on Windows (Wine has no such key).
class SelftestTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(CreateDirectoryW(temp_.c_str(), nullptr));
        ASSERT_TRUE(kernel32_.SetString(L"kernel32.dll") && msvcrt_.SetString(L"msvcrt.dll"));
    }
    void TearDown() override {
        EXPECT_TRUE(Contents(temp_).empty()) << "the self-test left its folder behind";
    }
    ProgramOutput Selftest(const std::wstring& arguments) {
        return RunProgramWithOutput(DiagPath(), L"selftest " + arguments, std::wstring());
    }

    ScopedDirectory scratch_;
    std::wstring temp_ = scratch_ / L"temp";
    ScopedEnvironment tmp_{L"TMP", temp_.c_str()};
    ScopedEnvironment tempVariable_{L"TEMP", temp_.c_str()};
    std::wstring journalPath_ = scratch_ / L"journal.txt";
    ScopedEnvironment journal_{simdriver::kJournalVariable, journalPath_.c_str()};
    ScopedEnvironment state_{simdriver::kStateVariable, (scratch_ / L"state.bin").c_str()};
    ScopedRegistryValue kernel32_{HKEY_LOCAL_MACHINE, kKnownDllsKey, L"kernel32"};
    ScopedRegistryValue msvcrt_{HKEY_LOCAL_MACHINE, kKnownDllsKey, L"msvcrt"};
};

TEST_F(SelftestTest, TodaysProgramRunsNoCanaryAndTheDriversOwnImportIsPlanted) {
    ScopedFileCopy driver(ImportingDriverPath(), SystemDriverPath());
    ScopedFileCopy helper(SimHelperPath(), JoinPaths(SystemDirectory(), kSimHelperName));
    ASSERT_TRUE(driver.ok() && helper.ok());
    const ProgramOutput run = Selftest(L"--json");
    ASSERT_EQ(run.exitCode, 0u) << run.out << run.err;

    JsonValue report;
    std::string error;
    ASSERT_TRUE(ParseJson(run.out, &report, &error)) << error << run.out;
    std::vector<std::string> names;
    for (const JsonValue& canary : report["canaries"].items) {
        names.push_back(Narrow(canary["name"].text) + " " + Narrow(canary["reason"].text));
    }
    // The driver's imports are KERNEL32.dll, msvcrt.dll (known libraries) and simhelper.dll.
    EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 3),
              (std::vector<std::string>{"nvapi.dll driverLibrary", "simhelper.dll driverImport",
                                        "version.dll usualVictim"}));
    EXPECT_EQ(names.size(), 2 + kUsualVictimCount);
    EXPECT_EQ(Narrow(report["dllSearch"].text), "systemDirectoryOnly");
    ASSERT_EQ(report["runs"].items.size(), 2u);
    for (const JsonValue& each : report["runs"].items) {
        EXPECT_EQ(each["exitCode"].number, "0");
        for (const JsonValue& canary : each["canaries"].items) {
            EXPECT_FALSE(canary["loaded"].boolean) << Narrow(canary["name"].text);
        }
    }
    EXPECT_EQ(report["runs"].items[0]["canaries"].items.size(), 3 * names.size());
    EXPECT_EQ(report["runs"].items[1]["canaries"].items.size(), 2 * names.size());
    // Both runs applied the setting, and the helper came from the system directory.
    const std::vector<std::string> journal = JournalLines(journalPath_);
    EXPECT_EQ(CountLinesStartingWith(journal, "call name=ApplyDisplayRecord "), 2u);
    for (const std::string& line : LinesStartingWith(journal, "helper ")) {
        EXPECT_EQ(LowerAscii(line), LowerAscii("helper path=" + Narrow(helper.path())));
    }
}

std::string Padded(std::string text, size_t width) {
    text.resize(text.size() < width ? width : text.size(), ' ');
    return text;
}

// A report line of a canary that ran: place, name, and the file in the private folder.
std::string LoadedLine(const std::string& report, const std::string& place,
                       const std::string& folder, const std::string& name) {
    const std::string privateFolder = Lines(report, "private folder:").at(0).substr(18);
    return "  " + Padded(place, 16) + Padded(name, 19) + " LOADED: " + privateFolder + "\\" +
           folder + "\\" + name;
}

struct HoleCase {
    const char* name;
    const char* program;  // the environment variable naming it
    bool importingDriver;
    const char* canary;
    // Where the program itself, run from its own folder, finds the canary.
    const char* place;
    const char* folder;
};

class SelftestHoleTest : public SelftestTest, public ::testing::WithParamInterface<HoleCase> {};

TEST_P(SelftestHoleTest, ReportsTheCanaryLoadedWhereTheProgramFoundIt) {
    const HoleCase& c = GetParam();
    std::unique_ptr<ScopedFileCopy> driver;
    if (c.importingDriver) {
        driver = std::make_unique<ScopedFileCopy>(ImportingDriverPath(), SystemDriverPath());
        ASSERT_TRUE(driver->ok());
    }
    const ProgramOutput run = Selftest(L"\"" + ProgramPath(c.program) + L"\"");
    EXPECT_EQ(run.exitCode, 1u) << run.out;
    ASSERT_EQ(Lines(run.out, "private folder:").size(), 1u) << run.out;
    EXPECT_EQ(Lines(run.out, "LOADED"),
              (std::vector<std::string>{LoadedLine(run.out, "program folder", "program", c.canary),
                                        LoadedLine(run.out, c.place, c.folder, c.canary)}))
        << run.out;
    EXPECT_EQ(Lines(run.out, "result:"),
              std::vector<std::string>{"result:           2 canaries ran: a library planted "
                                       "there would have run with the user's rights"});
}

INSTANTIATE_TEST_SUITE_P(
    Holes, SelftestHoleTest,
    ::testing::Values(HoleCase{"BareName", "BARE_NAME_EXE", false, "nvapi.dll", "working folder",
                               "working"},
                      HoleCase{"BareNameWithoutWorkingFolder", "BARE_NAME_NOCWD_EXE", false,
                               "nvapi.dll", "PATH folder", "path"},
                      HoleCase{"UnrestrictedDriverImport", "UNRESTRICTED_EXE", true,
                               "simhelper.dll", "working folder", "working"}),
    [](const ::testing::TestParamInfo<HoleCase>& info) { return std::string(info.param.name); });

TEST_F(SelftestTest, AHangingProgramIsEndedWithWhatItStartedAndAMissingOneIsNoTest) {
    const ProgramOutput hanging = Selftest(L"\"" + ProgramPath("HANGING_EXE") + L"\"");
    EXPECT_EQ(hanging.exitCode, 0u) << hanging.out;
    EXPECT_EQ(
        Lines(hanging.out, "still running after 30 s: ended, with everything it started").size(),
        2u)
        << hanging.out;
    EXPECT_FALSE(ProcessRuns(L"hanging_program.exe"));
    EXPECT_EQ(
        Lines(hanging.out, "cleanup:"),
        std::vector<std::string>{"cleanup:          the folder and everything in it removed"});

    const ProgramOutput missing = Selftest(L"\"" + (scratch_ / L"missing.exe") + L"\"");
    EXPECT_EQ(missing.exitCode, 3u) << missing.out;
    EXPECT_EQ(Lines(missing.out, "result:"),
              std::vector<std::string>{"result:           the test could not be made: the "
                                       "program cannot be copied: error 2 ERROR_FILE_NOT_FOUND: "
                                       "File not found."});
}

// --- In this process, where failures are injected -------------------------------------------

bool EndsWith(const std::wstring& text, const std::wstring& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

ScopedImportPatch* g_deletePatch = nullptr;
unsigned g_pathCanaryRefusals = 0;

// The working folder's version.dll cannot be deleted, as one held by a process that does not
// end; the PATH folder's only at the first two tries, as one held by a process being ended.
BOOL WINAPI DeleteFileRefusingVersion(LPCWSTR path) {
    const std::wstring file = Lower(path);
    const bool working = EndsWith(file, L"\\working\\version.dll");
    const bool inPath = EndsWith(file, L"\\path\\version.dll");
    if (working || (inPath && g_pathCanaryRefusals++ < 2)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    return g_deletePatch->original<decltype(&DeleteFileW)>()(path);
}

// A canary taken away during the run, as a security product's quarantine does.
ScopedImportPatch* g_attributesPatch = nullptr;
DWORD WINAPI AttributesWithoutDwmapi(LPCWSTR path) {
    if (EndsWith(Lower(path), L"\\path\\dwmapi.dll")) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    return g_attributesPatch->original<decltype(&GetFileAttributesW)>()(path);
}

// A library that cannot load at all, as where a policy forbids the temporary folder.
HMODULE WINAPI LoadLibraryRefused(LPCWSTR, HANDLE, DWORD) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}

std::string RunInThisProcess() {
    const std::wstring program = DispsetPath();
    const wchar_t* arguments[] = {L"dispset-diag", L"selftest", program.c_str()};
    CompanionOutput output;
    EXPECT_EQ(RunCompanion(3, arguments, output), 3);
    return Narrow(output.out.text());
}

TEST_F(SelftestTest, WhatCannotBeRemovedIsReportedAndAMissingOrNeverRunningCanaryIsNoTest) {
    std::string report;
    {
        ScopedImportPatch patch("DeleteFileW", reinterpret_cast<void*>(&DeleteFileRefusingVersion));
        ASSERT_TRUE(patch.ok());
        g_deletePatch = &patch;
        report = RunInThisProcess();
    }
    {
        EXPECT_TRUE(Lines(report, "\\path\\version.dll").empty()) << "not tried again";
        ASSERT_EQ(Lines(report, "\\working\\version.dll").size(), 1u) << report;
        EXPECT_EQ(Lines(report, "cleanup:"),
                  std::vector<std::string>{"cleanup:          left behind, remove by hand: 3"})
            << "the file, its folder and the private folder";
        EXPECT_EQ(Lines(report, "result:"),
                  std::vector<std::string>{"result:           the test left files behind"});
        for (const std::string& path : Lines(report, "  C:")) {
            const std::wstring wide(path.begin() + 2, path.end());
            DeleteFileW(wide.c_str());
            RemoveDirectoryW(wide.c_str());
        }
    }
    {
        ScopedImportPatch gone("GetFileAttributesW",
                               reinterpret_cast<void*>(&AttributesWithoutDwmapi));
        ASSERT_TRUE(gone.ok());
        g_attributesPatch = &gone;
        report = RunInThisProcess();
        EXPECT_TRUE(StartsWith(Lines(report, "result:").at(0),
                               "result:           the test could not be made: a planted canary "
                               "was gone after a run"))
            << report;
    }
    ScopedImportPatch refused("LoadLibraryExW", reinterpret_cast<void*>(&LoadLibraryRefused));
    ASSERT_TRUE(refused.ok());
    report = RunInThisProcess();
    EXPECT_TRUE(Lines(report, "run 1:").empty()) << report;
    EXPECT_TRUE(StartsWith(Lines(report, "result:").at(0),
                           "result:           the test could not be made: a canary loaded by "
                           "its full path left no marker"))
        << report;
}

// --- Pure rules -----------------------------------------------------------------------------

TEST(SelftestNames, TheCanaryImportsFromKernel32AloneAndNamesAreListedOnceUnlessKnown) {
    PeImportNames canary;
    ReadPeImportNames(ProgramPath("CANARY_DLL").c_str(), canary);
    ASSERT_EQ(canary.status, PeImportStatus::kOk);
    ASSERT_EQ(canary.count, 1u);
    EXPECT_STREQ(canary.names[0].text(), L"KERNEL32.dll");

    KnownDlls known;
    known.names[0].Append(L"Kernel32.DLL");
    known.count = 1;
    PeImportNames imports;
    const wchar_t* const imported[] = {L"KERNEL32.dll", L"NVAPI.DLL", L"helper.dll", L"Helper.Dll",
                                       L"VERSION.dll"};
    for (const wchar_t* name : imported) {
        imports.names[imports.count++].Append(name);
    }
    CanaryNames names;
    ListCanaryNames(&imports, known, names);
    std::vector<std::wstring> listed;
    for (unsigned i = 0; i < names.count(); ++i) {
        listed.push_back(names[i].name.text());
    }
    std::vector<std::wstring> expected = {L"nvapi.dll", L"helper.dll", L"VERSION.dll"};
    expected.insert(expected.end(), kUsualVictims + 1, kUsualVictims + kUsualVictimCount);
    EXPECT_EQ(listed, expected);

    CanaryNames full;
    for (unsigned i = 0; i <= kMaxCanaryNames; ++i) {
        EXPECT_EQ(full.Add((L"n" + std::to_wstring(i) + L".dll").c_str(),
                           CanaryReason::kDriverImport, KnownDlls()),
                  i < kMaxCanaryNames);
    }
    EXPECT_EQ(full.count(), kMaxCanaryNames);
}

}  // namespace
