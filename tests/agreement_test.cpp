// The companion agrees with the program: for each place the program's own end-to-end tests
// put a driver library, or take it away, the program runs as a child (in the i686 build the
// shipped dispset.exe) and then dispset-diag locate in the same prefix; locate must name the
// file that the program loaded (the simulated driver's journal says which copy), or foresee
// that it loads none. In a suite of its own: each case starts two Wine processes, which in
// the emulated guest take seconds each.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver_client/driver_contract.h"
#include "tests/support/journal.h"
#include "tests/support/json_check.h"
#include "tests/support/simulated_device.h"
#include "tests/support/test_support.h"
#include "tools/simdriver/simdriver.h"

using namespace testing_support;

namespace {

std::wstring SystemDriverPath() {
    return JoinPaths(SystemDirectory(), kDriverLibraryName);
}

std::string Text(const JsonValue& value) {
    EXPECT_TRUE(value.is(JsonValue::Type::kString));
    return Narrow(value.text);
}

// Each place the program's own tests put a driver library, or take it away: the program
// runs (a copy of this build's dispset.exe, in the i686 build the shipped one, with copies
// of the driver planted beside it, in its working folder and on PATH), then locate in the
// same prefix, from the same folder, with the same working folder and PATH.
class AgreementTest;
struct AgreementCase {
    const char* name;
    void (*arrange)(AgreementTest& test);  // the registrations and files of the case
    bool systemCopy;                       // a copy of the driver in the system directory
    bool early;                            // Windows build 10240, before driver-located loading
    bool loads;                            // what the program does here
};

class AgreementTest : public ::testing::Test,
                      protected SimulatedMachine,
                      public ::testing::WithParamInterface<AgreementCase> {
  public:
    void SetUp() override {
        ASSERT_FALSE(FileExists(SystemDriverPath())) << "the prefix already has an nvapi.dll";
        ASSERT_TRUE(device_.ok());
    }
    void Register(const std::wstring& path, DWORD type = REG_SZ) {
        ASSERT_TRUE(device_.SetDriverString(ClassKeyModuleValue(), path, type));
    }
    std::wstring Install(const wchar_t* name = L"nvapi.dll") { return InstallDriverFile(name); }
    std::wstring Planted() const { return planted_.path(); }
    std::wstring InDriverFolder(const wchar_t* name) const { return driverFolder_ / name; }
    void Keep(std::unique_ptr<ScopedFileCopy> file) { files_.push_back(std::move(file)); }
    void RegisterInKhronosList(const std::wstring& path) {
        registry_ = std::make_unique<ScopedRegistryValue>(
            HKEY_LOCAL_MACHINE, L"SOFTWARE\\Khronos\\OpenCL\\Vendors", path);
        ASSERT_TRUE(registry_->SetDword(0));
    }
    void RegisterSupportModule(const std::wstring& path) {
        ASSERT_TRUE(device_.SetDriverMultiString(SupportModulesValue(), {path}));
    }

  protected:
    ProgramOutput RunFromProgramFolder(const std::wstring& program, const std::wstring& arguments) {
        ScopedEnvironment path(L"PATH", PathWithFolderFirst(pathFolder_.path()).c_str());
        return RunProgramWithOutput(program, arguments, working_.path());
    }

    ScopedDirectory scratch_;
    std::wstring journalPath_ = scratch_ / L"journal.txt";
    ScopedEnvironment journal_{simdriver::kJournalVariable, journalPath_.c_str()};
    ScopedEnvironment state_{simdriver::kStateVariable, (scratch_ / L"state.bin").c_str()};
    ScopedEnvironment failures_{simdriver::kFailVariable, nullptr};
    ScopedDirectory untrusted_;
    ScopedFileCopy planted_{SimDriverPath(), untrusted_ / L"nvapi.dll"};
    ScopedDirectory programFolder_;
    ScopedDirectory working_;
    ScopedDirectory pathFolder_;
    ScopedFileCopy program_{DispsetPath(), programFolder_ / L"dispset.exe"};
    ScopedFileCopy companion_{DiagPath(), programFolder_ / L"dispset-diag.exe"};
    ScopedFileCopy besideProgram_{SimDriverPath(), programFolder_ / L"nvapi.dll"};
    ScopedFileCopy inWorkingFolder_{SimDriverPath(), working_ / L"nvapi.dll"};
    ScopedFileCopy onPath_{SimDriverPath(), pathFolder_ / L"nvapi.dll"};
    std::unique_ptr<ScopedRegistryValue> registry_;
    std::vector<std::unique_ptr<ScopedFileCopy>> files_;
};

TEST_P(AgreementTest, LocateNamesTheFileTheProgramLoadedOrForeseesThatItLoadsNone) {
    const AgreementCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(c.arrange(*this));
    if (c.systemCopy) {
        Keep(std::make_unique<ScopedFileCopy>(SimDriverPath(), SystemDriverPath()));
    }
    ScopedBuildNumber build(c.early ? L"10240" : L"19045");

    EXPECT_EQ(RunFromProgramFolder(program_.path(), L"").exitCode, 0u);
    const std::vector<std::string> loaded = LoadedPaths(ReadFileText(journalPath_));
    const ProgramOutput locate = RunFromProgramFolder(companion_.path(), L"--json locate");
    EXPECT_EQ(LoadedPaths(ReadFileText(journalPath_)), loaded) << "locate loaded the module";

    ASSERT_LE(loaded.size(), 1u);
    EXPECT_EQ(!loaded.empty(), c.loads) << "the program's own outcome changed";
    JsonValue report;
    std::string error;
    ASSERT_TRUE(ParseJson(locate.out, &report, &error)) << error << "\n" << locate.out;
    if (loaded.empty()) {
        EXPECT_NE(Text(report["result"]["outcome"]), "load") << locate.out;
        EXPECT_EQ(locate.exitCode, 1u);
    } else {
        EXPECT_EQ(LowerAscii(Text(report["result"]["path"])), LowerAscii(loaded[0])) << locate.out;
        EXPECT_EQ(locate.exitCode, 0u);
    }
}

using T = AgreementTest;
INSTANTIATE_TEST_SUITE_P(
    ProgramScenarios, AgreementTest,
    ::testing::Values(
        AgreementCase{"ClassKeyValue", [](T& t) { t.Register(t.Install()); }, true, false, true},
        AgreementCase{"KhronosList", [](T& t) { t.RegisterInKhronosList(t.Install()); }, true,
                      false, true},
        AgreementCase{"SupportModules", [](T& t) { t.RegisterSupportModule(t.Install()); }, true,
                      false, true},
        AgreementCase{"NothingRegistered", [](T&) {}, true, false, true},
        AgreementCase{"NothingAnywhere", [](T&) {}, false, false, false},
        AgreementCase{"UntrustedPath", [](T& t) { t.Register(t.Planted()); }, true, false, false},
        AgreementCase{"RelativePath", [](T& t) { t.Register(L"nvsim\\nvapi.dll"); }, true, false,
                      false},
        AgreementCase{"BareName", [](T& t) { t.Register(L"nvapi.dll"); }, true, false, true},
        AgreementCase{"FailedSearch", [](T& t) { t.Register(t.Install(), REG_EXPAND_SZ); }, true,
                      false, false},
        AgreementCase{"WrongArchitecture",
                      [](T& t) {
                          t.Keep(std::make_unique<ScopedFileCopy>(WinePathFromUnix(FOREIGN_DLL),
                                                                  t.InDriverFolder(L"nvapi.dll")));
                          t.Register(t.InDriverFolder(L"nvapi.dll"));
                      },
                      true, false, false},
        AgreementCase{"MissingFile", [](T& t) { t.Register(t.InDriverFolder(L"nvapi.dll")); }, true,
                      false, false},
        AgreementCase{"EarlyBuild", [](T& t) { t.Register(t.Install()); }, true, true, true},
        AgreementCase{"PlantedOnlyEarlyBuild", [](T&) {}, false, true, false},
        AgreementCase{"PathWithoutExtension",
                      [](T& t) {
                          const std::wstring path = t.Install();
                          t.Register(path.substr(0, path.size() - 4));
                      },
                      false, false, true},
        AgreementCase{"BareNameWithoutExtension", [](T& t) { t.Register(L"NVAPI"); }, true, false,
                      true},
        // "nvapi." names a file without an extension, never nvapi.dll: the search passes it
        // by, and the system directory's copy is loaded.
        AgreementCase{"PathWithTrailingDot", [](T& t) { t.Register(t.Install(L"nvapi") + L"."); },
                      true, false, true}),
    [](const ::testing::TestParamInfo<AgreementCase>& info) {
        return std::string(info.param.name);
    });

}  // namespace
