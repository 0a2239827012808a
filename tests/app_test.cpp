// The program end to end: the x64 twin runs as a child process under Wine against the
// simulated driver, which it inherits its configuration from through the environment. The
// driver's journal shows what the program did; its state file shows what it changed.
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver_client/driver_contract.h"
#include "tests/support/journal.h"
#include "tests/support/simulated_device.h"
#include "tests/support/test_support.h"
#include "tools/simdriver/simdriver.h"

namespace {

using namespace testing_support;

std::wstring SystemDriverPath() {
    return JoinPaths(SystemDirectory(), kDriverLibraryName);
}

std::string LoadLine(const std::wstring& path) {
    return "load path=" + Narrow(path);
}

// One wrapped call as the driver journals it: the lookup, then the call between the hooks.
// The entry hook gets two zero words; the exit hook gets the words the entry hook left.
void AddWrappedCall(std::vector<std::string>* lines, InterfaceId id, const std::string& call,
                    DriverStatus status) {
    lines->push_back(QueryLine(id, true));
    lines->push_back(EntryHookLine(id));
    lines->push_back(call);
    lines->push_back(ExitHookLine(id, status));
}

std::vector<std::string> BindLines() {
    return {
        LoadLine(SystemDriverPath()),
        "query id=0x0150E828 result=found",
        "call name=DriverInitialize id=0x0150E828 status=0",
        "query id=0x33C7358C result=found",
        "query id=0x593E8644 result=found",
    };
}

// Everything that a run against a willing driver journals.
std::vector<std::string> FullRunLines() {
    std::vector<std::string> lines = BindLines();
    AddWrappedCall(&lines, kIdEnumPhysicalGpus,
                   "call name=EnumPhysicalGpus id=0xE5AC921F count=1 status=0", 0);
    AddWrappedCall(&lines, kIdEnumDisplayHandle,
                   "call name=EnumDisplayHandle id=0x9ABDD40D index=0 display=0x00D15000 status=0",
                   0);
    AddWrappedCall(&lines, kIdQueryDisplayRecord,
                   "call name=QueryDisplayRecord id=0xDC27D5D4 display=0x00D15000 "
                   "version=0x000500D8 setting=0 companion=0x0000C0DE status=0",
                   0);
    AddWrappedCall(&lines, kIdApplyDisplayRecord,
                   "call name=ApplyDisplayRecord id=0xE04F3D86 display=0x00D15000 "
                   "version=0x000500D8 setting=2 companion=0x0000C0DE status=0",
                   0);
    return lines;
}

// Each run gets a fresh journal and state file in a scratch folder and no simulated
// failures; the prefix's build number is pinned below 14308, so the program's loader looks in
// the system directory only.
class AppTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(FileExists(SystemDriverPath())) << "the prefix already has an nvapi.dll";
    }

    void InstallDriver() {
        installed_ = std::make_unique<ScopedFileCopy>(SimDriverPath(), SystemDriverPath());
        ASSERT_TRUE(installed_->ok());
    }

    static void SetFailures(const wchar_t* items) {
        SetEnvironmentVariableW(simdriver::kFailVariable, items);
    }

    DWORD Run(const std::wstring& arguments = std::wstring(),
              const std::wstring& program = std::wstring(),
              const std::wstring& workingDirectory = std::wstring()) {
        return RunProgram(program.empty() ? DispsetPath() : program, arguments, workingDirectory);
    }

    std::vector<std::string> JournalLines() const {
        return testing_support::JournalLines(journalPath_);
    }

    // The journal with the load line's path folded to lower case, since Windows paths are
    // compared without regard to case.
    std::vector<std::string> FoldedJournal() const { return Folded(JournalLines()); }

    static std::vector<std::string> Folded(std::vector<std::string> lines) {
        for (std::string& line : lines) {
            if (StartsWith(line, "load")) {
                line = LowerAscii(line);
            }
        }
        return lines;
    }

    std::vector<std::string> LinesStartingWith(const std::string& prefix) const {
        return testing_support::LinesStartingWith(JournalLines(), prefix);
    }

    // Display 0's record as the driver keeps it; empty when the driver never stored one.
    std::string StoredRecord() const { return ReadFileText(statePath_); }

    ScopedBuildNumber build_{L"7601"};
    ScopedDirectory scratch_;
    std::wstring journalPath_ = scratch_ / L"journal.txt";
    std::wstring statePath_ = scratch_ / L"state.bin";
    ScopedEnvironment journal_{simdriver::kJournalVariable, journalPath_.c_str()};
    ScopedEnvironment state_{simdriver::kStateVariable, statePath_.c_str()};
    ScopedEnvironment failures_{simdriver::kFailVariable, nullptr};
    std::unique_ptr<ScopedFileCopy> installed_;
};

// --- A run against a willing driver ------------------------------------------------------------

TEST_F(AppTest, RunSetsTheFirstDisplaysSettingThroughTheWholeCallSequence) {
    ASSERT_NO_FATAL_FAILURE(InstallDriver());
    EXPECT_EQ(Run(), 0u);

    EXPECT_EQ(FoldedJournal(), Folded(FullRunLines()));

    // Only the setting changed: the rest of the record went back as the driver gave it.
    std::string stored = StoredRecord();
    ASSERT_EQ(stored.size(), kDisplayRecordSize);
    DisplayRecord record;
    memcpy(&record, stored.data(), sizeof(record));
    EXPECT_EQ(record.version, kDisplayRecordVersionWord);
    EXPECT_EQ(record.setting, kDisplaySettingValue);
    size_t changed = 0;
    for (uint32_t offset = 4; offset < kDisplayRecordSize; ++offset) {
        if (offset < 72 || offset >= 76) {
            changed += static_cast<uint8_t>(stored[offset]) != simdriver::DefaultRecordByte(offset);
        }
    }
    EXPECT_EQ(changed, 0u);
}

class ArgumentsTest : public AppTest, public ::testing::WithParamInterface<const wchar_t*> {};

TEST_P(ArgumentsTest, MakeNoDifference) {
    ASSERT_NO_FATAL_FAILURE(InstallDriver());
    EXPECT_EQ(Run(GetParam()), 0u);
    EXPECT_EQ(FoldedJournal(), Folded(FullRunLines()));
    std::string stored = StoredRecord();
    ASSERT_EQ(stored.size(), kDisplayRecordSize);
    EXPECT_EQ(static_cast<uint8_t>(stored[72]), kDisplaySettingValue);
}

INSTANTIATE_TEST_SUITE_P(CommandLines, ArgumentsTest,
                         ::testing::Values(L"/?", L"--setting 5 --display 1",
                                           L"\"C:\\some where\\nvapi.dll\" -x"));

// --- Runs that must make no wrapped call ---------------------------------------------------------

TEST_F(AppTest, WithoutAnyNvapiDllTheRunEndsQuietly) {
    EXPECT_EQ(Run(), 0u);
    EXPECT_FALSE(FileExists(journalPath_)) << ReadFileText(journalPath_);
    EXPECT_FALSE(FileExists(statePath_));
}

struct BindFailureCase {
    const char* name;
    const wchar_t* items;
};

class BindFailureTest : public AppTest, public ::testing::WithParamInterface<BindFailureCase> {};

TEST_P(BindFailureTest, EndsWithExitCodeZeroAndNoWrappedCall) {
    ASSERT_NO_FATAL_FAILURE(InstallDriver());
    SetFailures(GetParam().items);
    EXPECT_EQ(Run(), 0u);

    std::vector<std::string> loads = LinesStartingWith("load");
    ASSERT_EQ(loads.size(), 1u) << "the system directory's copy was tried once";
    EXPECT_EQ(LinesStartingWith("entry-hook ").size(), 0u);
    EXPECT_EQ(LinesStartingWith("exit-hook ").size(), 0u);
    for (const std::string& line : LinesStartingWith("call name=")) {
        EXPECT_TRUE(StartsWith(line, "call name=DriverInitialize ")) << line;
    }
    for (const std::string& line : LinesStartingWith("query ")) {
        EXPECT_TRUE(StartsWith(line, "query id=0x0150E828 ")) << line;
    }
    EXPECT_FALSE(FileExists(statePath_));
}

INSTANTIATE_TEST_SUITE_P(Failures, BindFailureTest,
                         ::testing::Values(BindFailureCase{"InitializeFails", L"init=-5"},
                                           BindFailureCase{"InitializeFailsPositive", L"init=9"},
                                           BindFailureCase{"NoInitializeEntry",
                                                           L"missing=0x0150E828"},
                                           BindFailureCase{"LibraryRefusesToLoad", L"loadfail"}),
                         [](const ::testing::TestParamInfo<BindFailureCase>& info) {
                             return std::string(info.param.name);
                         });

// --- Failed calls do not stop the flow -----------------------------------------------------------

TEST_F(AppTest, FailedDisplayEnumerationStillQueriesAndAppliesWithDisplayZero) {
    ASSERT_NO_FATAL_FAILURE(InstallDriver());
    SetFailures(L"fail=0x9ABDD40D:-7");
    EXPECT_EQ(Run(), 0u);

    EXPECT_EQ(LinesStartingWith("call name=EnumDisplayHandle "),
              std::vector<std::string>{"call name=EnumDisplayHandle id=0x9ABDD40D index=0 "
                                       "display=0x00000000 status=-7"});
    std::vector<std::string> queries = LinesStartingWith("call name=QueryDisplayRecord ");
    ASSERT_EQ(queries.size(), 1u);
    EXPECT_TRUE(StartsWith(queries[0],
                           "call name=QueryDisplayRecord id=0xDC27D5D4 "
                           "display=0x00000000 version=0x000500D8 "))
        << queries[0];
    std::vector<std::string> applies = LinesStartingWith("call name=ApplyDisplayRecord ");
    ASSERT_EQ(applies.size(), 1u);
    EXPECT_TRUE(StartsWith(applies[0],
                           "call name=ApplyDisplayRecord id=0xE04F3D86 "
                           "display=0x00000000 version=0x000500D8 setting=2 "))
        << applies[0];
}

TEST_F(AppTest, FailedQueryStillAppliesTheSettingWithCompanionZero) {
    ASSERT_NO_FATAL_FAILURE(InstallDriver());
    SetFailures(L"fail=0xDC27D5D4:-7");
    EXPECT_EQ(Run(), 0u);

    EXPECT_EQ(LinesStartingWith("call name=ApplyDisplayRecord "),
              std::vector<std::string>{"call name=ApplyDisplayRecord id=0xE04F3D86 "
                                       "display=0x00D15000 version=0x000500D8 setting=2 "
                                       "companion=0x00000000 status=" +
                                       std::to_string(simdriver::kStatusWrongCompanion)});
}

TEST_F(AppTest, FailedGpuEnumerationChangesNothingAfterIt) {
    ASSERT_NO_FATAL_FAILURE(InstallDriver());
    SetFailures(L"fail=0xE5AC921F:-7");
    EXPECT_EQ(Run(), 0u);

    // The program does not set the GPU count beforehand, so the count that the failed call
    // left is whatever was on the program's stack; every other line is a full run's.
    std::vector<std::string> expected = FullRunLines();
    std::vector<std::string> lines = FoldedJournal();
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        if (StartsWith(expected[i], "call name=EnumPhysicalGpus ")) {
            EXPECT_TRUE(StartsWith(lines[i], "call name=EnumPhysicalGpus id=0xE5AC921F count="))
                << lines[i];
            EXPECT_EQ(lines[i].substr(lines[i].rfind(' ')), " status=-7");
        } else if (StartsWith(expected[i], "exit-hook id=0xE5AC921F ")) {
            std::string line = expected[i];
            line.replace(line.find(" status=0"), std::string::npos, " status=-7");
            EXPECT_EQ(lines[i], line);
        } else {
            EXPECT_EQ(lines[i], Folded({expected[i]})[0]);
        }
    }
}

// --- DLL planting -------------------------------------------------------------------------------

// Copies of the simulated driver where the Windows search order would look before or
// instead of the system directory. A planted copy that loaded would journal its own path.
enum Plant : unsigned {
    kPlantBesideProgram = 1,
    kPlantInWorkingFolder = 2,
    kPlantOnPath = 4,
};

struct PlantingCase {
    const char* name;
    unsigned plants;
};

class PlantingTest : public AppTest, public ::testing::WithParamInterface<PlantingCase> {
  protected:
    // Runs a copy of the program from its own folder, with the planted copies in place.
    DWORD RunWithPlants() {
        ScopedDirectory programFolder;
        ScopedDirectory workingFolder;
        ScopedDirectory pathFolder;
        std::wstring program = programFolder / L"dispset.exe";
        ScopedFileCopy programCopy(DispsetPath(), program);
        std::vector<std::unique_ptr<ScopedFileCopy>> plants;
        if (GetParam().plants & kPlantBesideProgram) {
            plants.push_back(std::make_unique<ScopedFileCopy>(SimDriverPath(),
                                                              programFolder / kDriverLibraryName));
        }
        if (GetParam().plants & kPlantInWorkingFolder) {
            plants.push_back(std::make_unique<ScopedFileCopy>(SimDriverPath(),
                                                              workingFolder / kDriverLibraryName));
        }
        if (GetParam().plants & kPlantOnPath) {
            plants.push_back(
                std::make_unique<ScopedFileCopy>(SimDriverPath(), pathFolder / kDriverLibraryName));
        }
        ScopedEnvironment path(L"PATH", PathWithFolderFirst(pathFolder.path()).c_str());
        return Run(std::wstring(), program, workingFolder.path());
    }
};

TEST_P(PlantingTest, OnlyTheSystemDirectoryCopyLoads) {
    ASSERT_NO_FATAL_FAILURE(InstallDriver());
    EXPECT_EQ(RunWithPlants(), 0u);
    EXPECT_EQ(Folded(LinesStartingWith("load")), Folded({LoadLine(SystemDriverPath())}));
    EXPECT_EQ(LinesStartingWith("call name=ApplyDisplayRecord ").size(), 1u);
}

TEST_P(PlantingTest, WithoutASystemDirectoryCopyNothingLoads) {
    EXPECT_EQ(RunWithPlants(), 0u);
    EXPECT_FALSE(FileExists(journalPath_)) << ReadFileText(journalPath_);
}

INSTANTIATE_TEST_SUITE_P(Places, PlantingTest,
                         ::testing::Values(PlantingCase{"BesideProgram", kPlantBesideProgram},
                                           PlantingCase{"InWorkingFolder", kPlantInWorkingFolder},
                                           PlantingCase{"OnPath", kPlantOnPath},
                                           PlantingCase{"Everywhere", kPlantBesideProgram |
                                                                          kPlantInWorkingFolder |
                                                                          kPlantOnPath}),
                         [](const ::testing::TestParamInfo<PlantingCase>& info) {
                             return std::string(info.param.name);
                         });

// --- What the driver library imports ------------------------------------------------------

// A driver library that imports simhelper.dll by bare name, as real ones import their own
// helpers: the good helper in the system directory, planted copies where the default search
// order looks first or instead (beside the program, the working folder, a folder on PATH).
// Each copy journals its own path when it loads. On both of the loader's paths (below build
// 14308 the system directory; on 19045 where the driver registered it, under Program Files)
// only the system directory's helper may load.
class ImportPlantingTest : public AppTest, public ::testing::WithParamInterface<bool> {
  protected:
    struct RegisteredDriver : SimulatedMachine {
        bool Install() {
            const std::wstring path = driverFolder_ / kDriverLibraryName;
            copies_.push_back(std::make_unique<ScopedFileCopy>(ImportingDriverPath(), path));
            return device_.ok() && copies_.back()->ok() &&
                   device_.SetDriverString(ClassKeyModuleValue(), path);
        }
    };
};

TEST_P(ImportPlantingTest, OnlyTheSystemDirectoryCopyOfAnImportLoads) {
    ScopedFileCopy helper(SimHelperPath(), JoinPaths(SystemDirectory(), kSimHelperName));
    ASSERT_TRUE(helper.ok());
    std::unique_ptr<RegisteredDriver> registered;
    std::unique_ptr<ScopedFileCopy> systemCopy;
    if (GetParam()) {
        registered = std::make_unique<RegisteredDriver>();
        ASSERT_TRUE(registered->Install());
    } else {
        systemCopy = std::make_unique<ScopedFileCopy>(ImportingDriverPath(), SystemDriverPath());
        ASSERT_TRUE(systemCopy->ok());
    }
    ScopedDirectory programFolder, workingFolder, pathFolder;
    ScopedFileCopy program(DispsetPath(), programFolder / L"dispset.exe");
    ScopedFileCopy plants[] = {{SimHelperPath(), programFolder / kSimHelperName},
                               {SimHelperPath(), workingFolder / kSimHelperName},
                               {SimHelperPath(), pathFolder / kSimHelperName}};
    ScopedEnvironment path(L"PATH", PathWithFolderFirst(pathFolder.path()).c_str());
    EXPECT_EQ(Run(std::wstring(), program.path(), workingFolder.path()), 0u);

    std::vector<std::string> helpers = LinesStartingWith("helper ");
    for (std::string& line : helpers) {
        line = LowerAscii(line);
    }
    EXPECT_EQ(helpers,
              std::vector<std::string>{LowerAscii("helper path=" + Narrow(helper.path()))});
    EXPECT_EQ(LinesStartingWith("call name=ApplyDisplayRecord ").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(LoadPaths, ImportPlantingTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "DriverRegistered"
                                                           : "SystemDirectory");
                         });

}  // namespace
