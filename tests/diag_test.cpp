// dispset-diag, the x64 twin, as a child process under Wine against the simulated driver and
// the simulated NVIDIA display device: what locate reports for each place the driver can
// register the module and for each way the loader refuses one, that it never loads the
// module, what show reads without applying, the JSON reports, usage and exit codes. The
// driver-store source needs the fake SetupGetInfDriverStoreLocationW, which lives in this
// process's binding record: that case runs the companion's code in this process.
#include <windows.h>

#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/diag/companion.h"
#include "app/common/watcher_contract.h"
#include "driver_client/driver_contract.h"
#include "base/scoped_owner.h"
#include "loader/system_bindings.h"
#include "loader/windows_version.h"
#include "tests/support/journal.h"
#include "tests/support/json_check.h"
#include "tests/support/simulated_device.h"
#include "tests/support/test_support.h"
#include "tools/simdriver/simdriver.h"

using namespace testing_support;

namespace {

constexpr DWORD kExitOk = 0;
constexpr DWORD kExitRefused = 1;
constexpr DWORD kExitUsage = 2;

// This build's architecture and the other one, as the companion names them.
constexpr bool kBuild64 = sizeof(void*) == 8;
constexpr const char* kThisMachine = kBuild64 ? "AMD64" : "i386";
constexpr const char* kOtherMachine = kBuild64 ? "i386" : "AMD64";
constexpr int kOtherMachineCode = kBuild64 ? IMAGE_FILE_MACHINE_I386 : IMAGE_FILE_MACHINE_AMD64;

std::wstring SystemDriverPath() {
    return JoinPaths(SystemDirectory(), kDriverLibraryName);
}

// The line of text that begins with prefix, without its line break; empty when none does.
std::string LineStartingWith(const std::string& text, const std::string& prefix) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = text.substr(start, end - start);
        if (StartsWith(line, prefix)) {
            return line;
        }
        start = end + 1;
    }
    return std::string();
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

JsonValue ParseReport(const std::string& text) {
    JsonValue value;
    std::string error;
    EXPECT_TRUE(IsAscii(text)) << text;
    EXPECT_TRUE(ParseJson(text, &value, &error)) << error << "\n" << text;
    EXPECT_TRUE(value.is(JsonValue::Type::kObject));
    return value;
}

int64_t Integer(const JsonValue& value) {
    int64_t number = -1;
    EXPECT_TRUE(value.AsInteger(&number)) << value.number;
    return number;
}

std::string Text(const JsonValue& value) {
    EXPECT_TRUE(value.is(JsonValue::Type::kString));
    return Narrow(value.text);
}

// A fresh journal for the simulated driver in a scratch folder, so that a test can tell
// whether anything loaded the driver library: every load is journalled.
class DiagTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(FileExists(SystemDriverPath())) << "the prefix already has an nvapi.dll";
    }

    ProgramOutput Diag(const std::wstring& arguments,
                       const std::wstring& workingDirectory = std::wstring(),
                       const std::wstring& program = std::wstring()) {
        return RunProgramWithOutput(program.empty() ? DiagPath() : program, arguments,
                                    workingDirectory);
    }

    std::vector<std::string> Journal() const { return JournalLines(journalPath_); }
    std::vector<std::string> Loads() const { return LinesStartingWith(Journal(), "load"); }

    ScopedDirectory scratch_;
    std::wstring journalPath_ = scratch_ / L"journal.txt";
    std::wstring statePath_ = scratch_ / L"state.bin";
    ScopedEnvironment journal_{simdriver::kJournalVariable, journalPath_.c_str()};
    ScopedEnvironment state_{simdriver::kStateVariable, statePath_.c_str()};
    ScopedEnvironment failures_{simdriver::kFailVariable, nullptr};
};

// --- Usage and exit codes ------------------------------------------------------------------

TEST_F(DiagTest, UsageErrorsGoToStandardErrorWithExitCodeTwo) {
    for (const wchar_t* arguments : {L"", L"frobnicate", L"--frobnicate", L"locate a b",
                                     L"show extra", L"--json", L"-x locate", L"Locate"}) {
        SCOPED_TRACE(Narrow(arguments));
        const ProgramOutput run = Diag(arguments);
        EXPECT_EQ(run.exitCode, kExitUsage);
        EXPECT_TRUE(run.out.empty()) << run.out;
        EXPECT_TRUE(StartsWith(run.err, "dispset-diag: ")) << run.err;
        EXPECT_TRUE(Contains(run.err, "usage: dispset-diag [--json] locate [NAME]")) << run.err;
    }
    EXPECT_TRUE(Contains(Diag(L"--frobnicate").err, "unknown option \"--frobnicate\""));
    EXPECT_TRUE(Contains(Diag(L"frobnicate").err, "unknown command \"frobnicate\""));
    EXPECT_TRUE(Contains(Diag(L"").err, "no command"));
    EXPECT_TRUE(Loads().empty());
}

TEST_F(DiagTest, HelpAndVersionGoToStandardOutput) {
    for (const wchar_t* arguments : {L"--help", L"-h", L"-?", L"locate --help"}) {
        const ProgramOutput run = Diag(arguments);
        EXPECT_EQ(run.exitCode, kExitOk);
        EXPECT_TRUE(StartsWith(run.out, "usage: dispset-diag [--json] locate [NAME]")) << run.out;
        EXPECT_TRUE(run.err.empty());
    }
    const ProgramOutput version = Diag(L"--version");
    EXPECT_EQ(version.exitCode, kExitOk);
    EXPECT_EQ(version.out, std::string("dispset-diag ") + DISPSET_VERSION + "\n");
    EXPECT_TRUE(version.err.empty());
    EXPECT_TRUE(Loads().empty());
}

// Run as from a Downloads folder that also holds a planted copy of what the driver library
// imports: show loads the system directory's copy only, and locate says why.
TEST_F(DiagTest, RunBesidePlantedImportShowLoadsTheSystemDirectoryCopyAndLocateSaysWhy) {
    ScopedFileCopy driver(ImportingDriverPath(), SystemDriverPath());
    ScopedFileCopy helper(SimHelperPath(), JoinPaths(SystemDirectory(), kSimHelperName));
    ScopedDirectory downloads;
    ScopedFileCopy companion(DiagPath(), downloads / L"dispset-diag.exe");
    ScopedFileCopy planted(SimHelperPath(), downloads / kSimHelperName);
    ASSERT_TRUE(driver.ok() && helper.ok() && companion.ok() && planted.ok());

    EXPECT_EQ(Diag(L"show", downloads.path(), companion.path()).exitCode, kExitOk);
    EXPECT_EQ(LowerAscii(LineStartingWith(ReadFileText(journalPath_), "helper ")),
              LowerAscii("helper path=" + Narrow(helper.path())));
    EXPECT_EQ(LinesStartingWith(Journal(), "helper ").size(), 1u);

    const ProgramOutput text = Diag(L"locate", downloads.path(), companion.path());
    EXPECT_EQ(LineStartingWith(text.out, "DLL search:"),
              "DLL search:       system directory only (SetDefaultDllDirectories): what a loaded "
              "library imports comes from the system directory and nowhere else");
    const ProgramOutput json = Diag(L"--json locate", downloads.path(), companion.path());
    EXPECT_EQ(Text(ParseReport(json.out)["dllSearch"]), "systemDirectoryOnly");
}

// --- locate on Windows 10 with the simulated NVIDIA display device ---------------------------

class LocateTest : public DiagTest, protected SimulatedMachine {
  protected:
    void SetUp() override {
        DiagTest::SetUp();
        ASSERT_TRUE(device_.ok());
    }
};

// What every report of a registered module that would load says, in text and in JSON.
void ExpectFoundAndLoadable(const ProgramOutput& text, const ProgramOutput& json, unsigned source,
                            const std::wstring& path, const char* sourceLine) {
    const std::string where = Narrow(path);
    EXPECT_EQ(text.exitCode, kExitOk) << text.out;
    EXPECT_EQ(LineStartingWith(text.out, sourceLine), sourceLine + std::string("found ") + where)
        << text.out;
    EXPECT_EQ(LineStartingWith(text.out, "search:"), "search:           stopped at source " +
                                                         std::to_string(source) +
                                                         ", which names the module")
        << text.out;
    EXPECT_EQ(LineStartingWith(text.out, "decision:"),
              "decision:         load " + where + ", where the driver registered it");
    EXPECT_EQ(LineStartingWith(text.out, "file:"), std::string("file:             ") +
                                                       kThisMachine + " DLL; this process (" +
                                                       kThisMachine + ") can load it");
    EXPECT_EQ(LineStartingWith(text.out, "result:"), "result:           would load " + where);
    // Every source after the one that found the module is left untried.
    for (unsigned later = source + 1; later <= 5; ++later) {
        EXPECT_TRUE(
            Contains(LineStartingWith(text.out, "  " + std::to_string(later) + " "), "not tried"))
            << text.out;
    }

    EXPECT_EQ(json.exitCode, kExitOk);
    const JsonValue report = ParseReport(json.out);
    EXPECT_EQ(Text(report["command"]), "locate");
    EXPECT_EQ(Integer(report["windowsBuild"]), 19045);
    EXPECT_TRUE(report["driverLocated"].boolean);
    const JsonValue& sources = report["sources"];
    ASSERT_FALSE(sources.items.empty());
    const JsonValue& last = sources.items.back();
    EXPECT_EQ(Integer(last["number"]), source);
    EXPECT_EQ(Text(last["outcome"]), "found");
    EXPECT_EQ(Text(last["path"]), where);
    EXPECT_EQ(Integer(report["search"]["stoppedAt"]), source);
    EXPECT_EQ(Text(report["search"]["outcome"]), "found");
    EXPECT_TRUE(report["trust"]["trusted"].boolean);
    EXPECT_EQ(Text(report["decision"]["place"]), "driverRegistration");
    EXPECT_EQ(Text(report["file"]["machine"]), kThisMachine);
    EXPECT_TRUE(report["file"]["loadable"].boolean);
    EXPECT_EQ(Text(report["result"]["outcome"]), "load");
    EXPECT_EQ(Text(report["result"]["path"]), where);
    EXPECT_TRUE(report["result"]["error"].is(JsonValue::Type::kNull));
    EXPECT_EQ(Integer(report["exitCode"]), 0);
}

// The kernel drivers' folder, made for the test where the prefix lacks it: a 32-bit
// process under WOW64 is sent to syswow64's, which Wine's prefixes do not have.
class DriversFolder {
  public:
    DriversFolder()
        : path_(JoinPaths(SystemDirectory(), L"drivers")),
          created_(CreateDirectoryW(path_.c_str(), nullptr) != FALSE) {}
    ~DriversFolder() {
        if (created_) {
            RemoveDirectoryW(path_.c_str());
        }
    }
    DriversFolder(const DriversFolder&) = delete;
    DriversFolder& operator=(const DriversFolder&) = delete;
    std::wstring operator/(const std::wstring& name) const { return JoinPaths(path_, name); }

  private:
    std::wstring path_;
    bool created_;
};

TEST_F(LocateTest, SourceOneTheDriverServices) {
    // A kernel-mode name: the services are asked first.
    DriversFolder drivers;
    ScopedFileCopy image(SimDriverPath(), drivers / L"nvsim.sys");
    ScopedService service(L"nvsimkd", SERVICE_KERNEL_DRIVER, image.path());
    ASSERT_TRUE(service.ok());
    ASSERT_TRUE(device_.SetFunctionService(L"nvsimkd"));
    const ProgramOutput text = Diag(L"locate nvsim.sys");
    ExpectFoundAndLoadable(text, Diag(L"--json locate nvsim.sys"), 1, image.path(),
                           "  1 driver services   ");
    EXPECT_EQ(LineStartingWith(text.out, "trusted folder:"),
              "trusted folder:   Windows (" + Narrow(WindowsDirectory()) + "\\) holds " +
                  Narrow(image.path()));
    EXPECT_TRUE(Loads().empty());
}

TEST_F(LocateTest, SourceTwoTheClassKeyValues) {
    const std::wstring registered = InstallDriverFile(L"nvapi.dll");
    ASSERT_TRUE(device_.SetDriverString(ClassKeyModuleValue(), registered));
    const ProgramOutput text = Diag(L"locate");
    ExpectFoundAndLoadable(text, Diag(L"locate --json"), 2, registered, "  2 class-key values  ");
    // A .dll name is never looked for among the services.
    EXPECT_EQ(LineStartingWith(text.out, "  1 "), "  1 driver services   not tried");
    EXPECT_EQ(LineStartingWith(text.out, "display device:"),
              "display device:   " + Narrow(device_.devicePath()));
    EXPECT_EQ(LineStartingWith(text.out, "class key:"),
              "class key:        HKLM\\" + Narrow(device_.driverKeyPath()));
    EXPECT_EQ(LineStartingWith(text.out, "Windows build:"),
              "Windows build:    19045; driver-located loading (from build 14308, names "
              "beginning with \"nv\") applies");
    EXPECT_TRUE(Loads().empty()) << "locate loaded the module";
}

TEST_F(LocateTest, SourceThreeTheKhronosLists) {
    const std::wstring registered = InstallDriverFile(L"nvapi.dll");
    ScopedRegistryValue opencl(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Khronos\\OpenCL\\Vendors",
                               registered);
    ASSERT_TRUE(opencl.SetDword(0));
    const ProgramOutput text = Diag(L"locate nvapi.dll");
    ExpectFoundAndLoadable(text, Diag(L"--json locate nvapi.dll"), 3, registered,
                           "  3 Khronos lists     ");
    EXPECT_EQ(LineStartingWith(text.out, "  2 "), "  2 class-key values  nothing");
    EXPECT_TRUE(Loads().empty());
}

TEST_F(LocateTest, SourceFourTheDriverSupportModules) {
    const std::wstring registered = InstallDriverFile(L"nvapi.dll");
    ASSERT_TRUE(device_.SetDriverMultiString(SupportModulesValue(), {L"other.dll", registered}));
    ExpectFoundAndLoadable(Diag(L"locate"), Diag(L"--json locate"), 4, registered,
                           "  4 support modules   ");
    EXPECT_TRUE(Loads().empty());
}

// The companion's own code run in this process, where the driver store can be faked.
struct InProcessRun {
    int exitCode;
    std::string out;
    std::string err;
};

InProcessRun RunInThisProcess(std::vector<const wchar_t*> arguments) {
    arguments.insert(arguments.begin(), L"dispset-diag");
    ResetWindowsVersionStateForTesting();
    CompanionOutput output;
    const int exitCode = RunCompanion(static_cast<int>(arguments.size()), arguments.data(), output);
    ResetWindowsVersionStateForTesting();
    return {exitCode, Narrow(output.out.text()), Narrow(output.err.text())};
}

TEST_F(LocateTest, SourceFiveTheDriverStoreFolderInThisProcess) {
    ScopedDirectory store(WindowsDirectory());
    ScopedFileCopy file(SimDriverPath(), store / L"nvapi.dll");
    ASSERT_TRUE(device_.SetDriverInfPath(L"oem42.inf"));
    ScopedDriverStoreLocation location(L"oem42.inf", store / L"nvsim.inf");
    RecordedLoads recorded;

    const InProcessRun text = RunInThisProcess({L"locate"});
    EXPECT_EQ(text.exitCode, 0);
    EXPECT_EQ(LineStartingWith(text.out, "  5 "),
              "  5 driver folder     found " + Narrow(file.path()))
        << text.out;
    EXPECT_EQ(LineStartingWith(text.out, "    looked in "),
              "    looked in " + Narrow(store.path()));
    EXPECT_EQ(LineStartingWith(text.out, "search:"),
              "search:           stopped at source 5, which names the module");
    EXPECT_EQ(LineStartingWith(text.out, "result:"),
              "result:           would load " + Narrow(file.path()));
    EXPECT_TRUE(text.err.empty());

    const InProcessRun json = RunInThisProcess({L"--json", L"locate"});
    EXPECT_EQ(json.exitCode, 0);
    const JsonValue report = ParseReport(json.out);
    EXPECT_EQ(Integer(report["search"]["stoppedAt"]), 5);
    EXPECT_EQ(Text(report["driverFolder"]["path"]), Narrow(store.path()));
    EXPECT_EQ(Text(report["result"]["path"]), Narrow(file.path()));

    for (const LoadRequest& load : recorded.loads()) {
        EXPECT_NE(Lower(load.path), Lower(file.path())) << "locate asked for the module";
    }
    EXPECT_EQ(GetModuleHandleW(L"nvapi.dll"), nullptr);
}

TEST_F(LocateTest, AMissingDriverStoreFolderFailsTheSearchInThisProcess) {
    ScopedDirectory store(WindowsDirectory());
    ASSERT_TRUE(device_.SetDriverInfPath(L"oem42.inf"));
    ScopedDriverStoreLocation location(L"oem42.inf", store / L"missing\\nvsim.inf");
    const InProcessRun text = RunInThisProcess({L"locate"});
    EXPECT_EQ(text.exitCode, 1);
    EXPECT_TRUE(StartsWith(LineStartingWith(text.out, "  5 "),
                           "  5 driver folder     error 3 ERROR_PATH_NOT_FOUND"))
        << text.out;
    EXPECT_TRUE(StartsWith(LineStartingWith(text.out, "result:"),
                           "result:           refused: error 3 ERROR_PATH_NOT_FOUND"));
}

// A setup API without SetupGetInfDriverStoreLocationW (older Wine builds, for one): the
// binding of the driver-store lookup fails, and with it the search.
ScopedImportPatch* g_procAddressPatch = nullptr;
FARPROC WINAPI WithoutDriverStoreExport(HMODULE module, LPCSTR name) {
    if (!IS_INTRESOURCE(name) && lstrcmpA(name, "SetupGetInfDriverStoreLocationW") == 0) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return g_procAddressPatch->original<decltype(&GetProcAddress)>()(module, name);
}

TEST_F(LocateTest, ASetupApiWithoutTheDriverStoreExportFailsTheSearchInThisProcess) {
    SavedBindings saved;
    g_setupapi.getInfDriverStoreLocation.store(nullptr);
    ScopedImportPatch patch("GetProcAddress", reinterpret_cast<void*>(&WithoutDriverStoreExport));
    ASSERT_TRUE(patch.ok());
    g_procAddressPatch = &patch;
    const InProcessRun text = RunInThisProcess({L"locate"});
    const InProcessRun json = RunInThisProcess({L"--json", L"locate"});
    g_procAddressPatch = nullptr;

    EXPECT_EQ(text.exitCode, 1);
    EXPECT_TRUE(StartsWith(LineStartingWith(text.out, "  5 "),
                           "  5 driver folder     error 127 ERROR_PROC_NOT_FOUND"))
        << text.out;
    EXPECT_TRUE(
        StartsWith(LineStartingWith(text.out, "search:"),
                   "search:           stopped at source 5: error 127 ERROR_PROC_NOT_FOUND"));
    EXPECT_TRUE(StartsWith(LineStartingWith(text.out, "result:"),
                           "result:           refused: error 127 ERROR_PROC_NOT_FOUND"));
    const JsonValue report = ParseReport(json.out);
    EXPECT_EQ(Text(report["driverFolder"]["error"]["name"]), "ERROR_PROC_NOT_FOUND");
    EXPECT_EQ(Text(report["result"]["reason"]), "searchFailed");
}

TEST_F(LocateTest, TheSearchStopsAtASourcesErrorAndNamesIt) {
    const std::wstring registered = InstallDriverFile(L"nvapi.dll");
    // The Khronos list names the module, but the class key's value of the wrong type stops
    // the search before it is asked.
    ScopedRegistryValue opencl(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Khronos\\OpenCL\\Vendors",
                               registered);
    ASSERT_TRUE(opencl.SetDword(0));
    ASSERT_TRUE(device_.SetDriverString(ClassKeyModuleValue(), registered, REG_EXPAND_SZ));
    const ProgramOutput text = Diag(L"locate");
    EXPECT_EQ(text.exitCode, kExitRefused);
    EXPECT_TRUE(StartsWith(LineStartingWith(text.out, "  2 "),
                           "  2 class-key values  error 13 ERROR_INVALID_DATA"))
        << text.out;
    EXPECT_EQ(LineStartingWith(text.out, "  3 "), "  3 Khronos lists     not tried");
    EXPECT_TRUE(StartsWith(LineStartingWith(text.out, "search:"),
                           "search:           stopped at source 2: error 13 ERROR_INVALID_DATA"));
    EXPECT_TRUE(StartsWith(LineStartingWith(text.out, "result:"),
                           "result:           refused: error 13 ERROR_INVALID_DATA"));
    EXPECT_TRUE(
        Contains(LineStartingWith(text.out, "result:"), "failed at source 2, class-key values"));
    EXPECT_TRUE(LineStartingWith(text.out, "decision:").empty());

    const JsonValue report = ParseReport(Diag(L"--json locate").out);
    EXPECT_EQ(Integer(report["search"]["stoppedAt"]), 2);
    EXPECT_EQ(Text(report["search"]["outcome"]), "failed");
    EXPECT_EQ(Text(report["search"]["error"]["name"]), "ERROR_INVALID_DATA");
    EXPECT_EQ(Text(report["result"]["outcome"]), "refused");
    EXPECT_EQ(Text(report["result"]["reason"]), "searchFailed");
    EXPECT_EQ(Integer(report["result"]["failedSource"]), 2);
    EXPECT_EQ(Integer(report["result"]["error"]["code"]), ERROR_INVALID_DATA);
    EXPECT_TRUE(report["decision"].is(JsonValue::Type::kNull));
    EXPECT_EQ(Integer(report["exitCode"]), 1);
}

TEST_F(LocateTest, UnderWineTheDriverFolderFindsNothingAndTheSystemDirectoryIsNext) {
    // Registered nowhere. Wine's SetupGetInfDriverStoreLocationW is a stub that fails, and
    // its SetupDiDestroyDeviceInfoList then clears the error: the driver-folder lookup finds
    // nothing, the search ends with ERROR_MOD_NOT_FOUND, and the program would take the
    // system directory's copy. (On Windows the stub's failure would fail the search.)
    const ProgramOutput text = Diag(L"locate");
    EXPECT_EQ(text.exitCode, kExitRefused) << "the system directory has no nvapi.dll";
    EXPECT_EQ(LineStartingWith(text.out, "  5 "), "  5 driver folder     nothing") << text.out;
    EXPECT_TRUE(StartsWith(LineStartingWith(text.out, "search:"),
                           "search:           no source names the module: error 126 "
                           "ERROR_MOD_NOT_FOUND"));
    EXPECT_TRUE(Contains(LineStartingWith(text.out, "search:"),
                         "the loader goes on to the system directory"));
    EXPECT_EQ(
        LineStartingWith(text.out, "decision:"),
        "decision:         load " + Narrow(SystemDriverPath()) + ", from the system directory");
    const JsonValue report = ParseReport(Diag(L"--json locate").out);
    EXPECT_EQ(Text(report["search"]["outcome"]), "notRegistered");
    EXPECT_EQ(Text(report["decision"]["place"]), "systemDirectory");
    EXPECT_EQ(Text(report["result"]["outcome"]), "unloadable");
    EXPECT_EQ(Text(report["result"]["error"]["name"]), "ERROR_FILE_NOT_FOUND");
}

TEST_F(LocateTest, AnUntrustedRegisteredPathIsRefusedWithBadPathname) {
    ScopedDirectory untrusted;  // the temporary folder
    ScopedFileCopy planted(SimDriverPath(), untrusted / L"nvapi.dll");
    ASSERT_TRUE(device_.SetDriverString(ClassKeyModuleValue(), planted.path()));
    const ProgramOutput text = Diag(L"locate");
    EXPECT_EQ(text.exitCode, kExitRefused);
    EXPECT_EQ(LineStartingWith(text.out, "trusted folder:"),
              "trusted folder:   none does not hold " + Narrow(planted.path()));
    EXPECT_TRUE(StartsWith(LineStartingWith(text.out, "result:"),
                           "result:           refused: error 161 ERROR_BAD_PATHNAME"))
        << text.out;
    EXPECT_TRUE(Contains(LineStartingWith(text.out, "result:"), "outside the Windows and Program"));
    const JsonValue report = ParseReport(Diag(L"--json locate").out);
    EXPECT_EQ(Text(report["trust"]["match"]), "none");
    EXPECT_FALSE(report["trust"]["trusted"].boolean);
    EXPECT_EQ(Text(report["result"]["reason"]), "untrustedFolder");
    EXPECT_EQ(Text(report["result"]["error"]["name"]), "ERROR_BAD_PATHNAME");
    EXPECT_TRUE(Loads().empty());
}

TEST_F(LocateTest, ARelativeRegisteredPathIsRefusedWithModNotFound) {
    ASSERT_TRUE(device_.SetDriverString(ClassKeyModuleValue(), L"nvsim\\nvapi.dll"));
    const ProgramOutput text = Diag(L"locate");
    EXPECT_EQ(text.exitCode, kExitRefused);
    EXPECT_EQ(LineStartingWith(text.out, "  2 "), "  2 class-key values  found nvsim\\nvapi.dll");
    EXPECT_TRUE(LineStartingWith(text.out, "trusted folder:").empty());
    EXPECT_TRUE(StartsWith(LineStartingWith(text.out, "result:"),
                           "result:           refused: error 126 ERROR_MOD_NOT_FOUND"))
        << text.out;
    EXPECT_TRUE(Contains(LineStartingWith(text.out, "result:"), "relative"));
    const JsonValue report = ParseReport(Diag(L"--json locate").out);
    EXPECT_EQ(Text(report["result"]["reason"]), "relativePath");
    EXPECT_EQ(Integer(report["result"]["error"]["code"]), ERROR_MOD_NOT_FOUND);
}

TEST_F(LocateTest, BelowBuild14308TheSystemDirectoryIsUsed) {
    // The device's registration is not looked at on older builds.
    const std::wstring registered = InstallDriverFile(L"nvapi.dll");
    ASSERT_TRUE(device_.SetDriverString(ClassKeyModuleValue(), registered));
    ScopedBuildNumber older(L"10240");
    const std::string system = Narrow(SystemDriverPath());
    {
        const ProgramOutput text = Diag(L"locate");
        EXPECT_EQ(text.exitCode, kExitRefused) << "the system directory has no nvapi.dll";
        EXPECT_TRUE(Contains(LineStartingWith(text.out, "Windows build:"), "10240;"));
        EXPECT_TRUE(Contains(LineStartingWith(text.out, "Windows build:"), "does not apply"));
        EXPECT_TRUE(LineStartingWith(text.out, "sources").empty()) << text.out;
        EXPECT_EQ(LineStartingWith(text.out, "decision:"),
                  "decision:         load " + system + ", from the system directory");
        EXPECT_TRUE(StartsWith(
            LineStartingWith(text.out, "result:"),
            "result:           would fail to load " + system + ": error 2 ERROR_FILE_NOT_FOUND"))
            << text.out;
    }
    ScopedFileCopy installed(SimDriverPath(), SystemDriverPath());
    const ProgramOutput text = Diag(L"locate");
    EXPECT_EQ(text.exitCode, kExitOk);
    EXPECT_EQ(LineStartingWith(text.out, "result:"), "result:           would load " + system);
    EXPECT_FALSE(Contains(text.out, Narrow(registered)));
    const JsonValue report = ParseReport(Diag(L"--json locate").out);
    EXPECT_EQ(Integer(report["windowsBuild"]), 10240);
    EXPECT_FALSE(report["driverLocated"].boolean);
    EXPECT_TRUE(report["sources"].items.empty());
    EXPECT_TRUE(report["search"].is(JsonValue::Type::kNull));
    EXPECT_EQ(Text(report["decision"]["place"]), "systemDirectory");
    EXPECT_TRUE(Loads().empty()) << "locate loaded the system directory's copy";
}

TEST_F(LocateTest, PlantedCopiesBesideItOrInTheWorkingFolderAreNeverReported) {
    ScopedDirectory programFolder;
    ScopedDirectory workingFolder;
    ScopedFileCopy program(DiagPath(), programFolder / L"dispset-diag.exe");
    ScopedFileCopy besideProgram(SimDriverPath(), programFolder / L"nvapi.dll");
    ScopedFileCopy inWorkingFolder(SimDriverPath(), workingFolder / L"nvapi.dll");
    const std::string planted[] = {LowerAscii(Narrow(programFolder.path())),
                                   LowerAscii(Narrow(workingFolder.path()))};

    const std::wstring registered = InstallDriverFile(L"nvapi.dll");
    ASSERT_TRUE(device_.SetDriverString(ClassKeyModuleValue(), registered));
    const ProgramOutput found = Diag(L"locate", workingFolder.path(), program.path());
    EXPECT_EQ(found.exitCode, kExitOk);
    EXPECT_EQ(LineStartingWith(found.out, "result:"),
              "result:           would load " + Narrow(registered));

    ScopedBuildNumber older(L"10240");
    const ProgramOutput system = Diag(L"--json locate", workingFolder.path(), program.path());
    EXPECT_EQ(system.exitCode, kExitRefused);
    const JsonValue report = ParseReport(system.out);
    EXPECT_EQ(LowerAscii(Text(report["decision"]["path"])), LowerAscii(Narrow(SystemDriverPath())));

    for (const std::string& folder : planted) {
        EXPECT_FALSE(Contains(LowerAscii(found.out), folder)) << found.out;
        EXPECT_FALSE(Contains(LowerAscii(system.out), folder)) << system.out;
    }
    EXPECT_TRUE(Loads().empty()) << "a planted copy ran";
}

TEST_F(LocateTest, AWrongArchitectureFileIsReportedAsAFailure) {
    // A DLL of the other architecture (a 32-bit one for the x64 twin, a 64-bit nvapi64.dll
    // registered where the i686 build needs the 32-bit one): the loader accepts the place,
    // LoadLibraryExW would refuse the file.
    ScopedFileCopy foreign(WinePathFromUnix(FOREIGN_DLL), driverFolder_ / L"nvapi.dll");
    ASSERT_TRUE(device_.SetDriverString(ClassKeyModuleValue(), foreign.path()));
    const ProgramOutput text = Diag(L"locate");
    EXPECT_EQ(text.exitCode, kExitRefused);
    EXPECT_EQ(LineStartingWith(text.out, "file:"), std::string("file:             ") +
                                                       kOtherMachine + " DLL; this process (" +
                                                       kThisMachine + ") cannot load it")
        << text.out;
    EXPECT_TRUE(StartsWith(LineStartingWith(text.out, "result:"),
                           "result:           would fail to load " + Narrow(foreign.path()) +
                               ": error 193 ERROR_BAD_EXE_FORMAT"))
        << text.out;
    const JsonValue report = ParseReport(Diag(L"--json locate").out);
    EXPECT_EQ(Text(report["file"]["machine"]), kOtherMachine);
    EXPECT_EQ(Integer(report["file"]["machineCode"]), kOtherMachineCode);
    EXPECT_FALSE(report["file"]["loadable"].boolean);
    EXPECT_EQ(Text(report["result"]["outcome"]), "unloadable");
    EXPECT_EQ(Text(report["result"]["error"]["name"]), "ERROR_BAD_EXE_FORMAT");
}

TEST_F(LocateTest, HostileRegistryTextIsEscapedInBothReports) {
    // A registered path with terminal escapes, a forged line break, a right-to-left override
    // and non-ASCII letters. It lies outside the trusted folders and is refused.
    const std::wstring hostile =
        L"C:\\Temp\\\x1B[32mtrusted\x1B[0m\r\nresult: would load\u202E\u00E9\\nvapi.dll";
    ASSERT_TRUE(device_.SetDriverString(ClassKeyModuleValue(), hostile));
    const ProgramOutput text = Diag(L"locate");
    EXPECT_EQ(text.exitCode, kExitRefused);
    EXPECT_EQ(text.out.find('\x1B'), std::string::npos);
    EXPECT_EQ(text.out.find('\r'), std::string::npos);
    EXPECT_EQ(LineStartingWith(text.out, "  2 "),
              "  2 class-key values  found C:\\Temp\\\\u001b[32mtrusted\\u001b[0m\\u000d\\u000a"
              "result: would load\\u202e\xC3\xA9\\nvapi.dll");
    EXPECT_EQ(LineStartingWith(text.out, "result: would load"), "") << "a forged line got through";

    const JsonValue report = ParseReport(Diag(L"--json locate").out);
    EXPECT_EQ(report["sources"].items.back()["path"].text, hostile);
    EXPECT_EQ(report["search"]["path"].text, hostile);
}

TEST_F(LocateTest, APathWithoutExtensionIsLookedAtAsTheFileLoadLibraryExWOpens) {
    const std::wstring file = InstallDriverFile(L"nvapi.dll");
    const std::wstring registered = file.substr(0, file.size() - 4);
    ASSERT_TRUE(device_.SetDriverString(ClassKeyModuleValue(), registered));
    const ProgramOutput text = Diag(L"locate");
    EXPECT_EQ(text.exitCode, kExitOk) << text.out;
    EXPECT_EQ(LineStartingWith(text.out, "decision:"),
              "decision:         load " + Narrow(registered) + ", where the driver registered it");
    EXPECT_EQ(LineStartingWith(text.out, "file name:"),
              "file name:        " + Narrow(file) +
                  " (LoadLibraryExW adds .dll to a name without an extension)");
    EXPECT_EQ(LineStartingWith(text.out, "result:"),
              "result:           would load " + Narrow(file));
}

TEST_F(LocateTest, ANameWithAPathIsRefusedAsTheLoaderTold) {
    const ProgramOutput text = Diag(L"locate sub\\nvapi.dll");
    EXPECT_EQ(text.exitCode, kExitRefused);
    EXPECT_TRUE(Contains(LineStartingWith(text.out, "result:"), "bare file name")) << text.out;
    const JsonValue report = ParseReport(Diag(L"--json locate sub\\nvapi.dll").out);
    EXPECT_EQ(Text(report["result"]["reason"]), "nameHasPath");
    EXPECT_EQ(Integer(report["result"]["error"]["code"]), ERROR_BAD_ARGUMENTS);
}

// --- show: reading display 0's record without applying ------------------------------------

class ShowTest : public DiagTest {
  protected:
    void InstallDriver() {
        installed_ = std::make_unique<ScopedFileCopy>(SimDriverPath(), SystemDriverPath());
        ASSERT_TRUE(installed_->ok());
    }
    // Display 0's record as the simulated driver keeps it, with the setting given.
    void StoreRecord(uint32_t setting) { ASSERT_TRUE(StoreSimulatedSetting(statePath_, setting)); }

    ScopedBuildNumber build_{L"7601"};
    std::unique_ptr<ScopedFileCopy> installed_;
};

TEST_F(ShowTest, ReadsTheSettingAndNeverApplies) {
    ASSERT_NO_FATAL_FAILURE(InstallDriver());
    ASSERT_NO_FATAL_FAILURE(StoreRecord(7));
    const std::string before = ReadFileText(statePath_);

    const ProgramOutput text = Diag(L"show");
    EXPECT_EQ(text.exitCode, kExitOk) << text.out << text.err;
    EXPECT_EQ(LowerAscii(LineStartingWith(text.out, "library:")),
              LowerAscii("library:          " + Narrow(SystemDriverPath())));
    EXPECT_EQ(LineStartingWith(text.out, "initialize:"), "initialize:       status 0, ok");
    EXPECT_EQ(LineStartingWith(text.out, "GPUs:"), "GPUs:             1 (status 0, ok)");
    EXPECT_EQ(LineStartingWith(text.out, "display 0:"),
              "display 0:        handle 0x00D15000 (status 0, ok)");
    EXPECT_EQ(LineStartingWith(text.out, "setting:"),
              "setting:          7 (the 32-bit field at offset 72)");
    EXPECT_EQ(LineStartingWith(text.out, "companion value:"),
              "companion value:  0x0000C0DE (49374)");
    EXPECT_EQ(LineStartingWith(text.out, "watcher:"),
              "watcher:          not running in this session");
    EXPECT_EQ(LineStartingWith(text.out, "result:"),
              "result:           record read; the setting is 7");

    const ProgramOutput json = Diag(L"show --json");
    EXPECT_EQ(json.exitCode, kExitOk);
    const JsonValue report = ParseReport(json.out);
    EXPECT_EQ(Text(report["command"]), "show");
    EXPECT_EQ(LowerAscii(Text(report["library"])), LowerAscii(Narrow(SystemDriverPath())));
    EXPECT_EQ(Integer(report["gpuCount"]), 1);
    EXPECT_EQ(Integer(report["displayHandle"]), simdriver::kDisplayHandle);
    EXPECT_EQ(Integer(report["setting"]), 7);
    EXPECT_EQ(Integer(report["companion"]), simdriver::kCompanion);
    ASSERT_EQ(report["calls"].items.size(), 4u);
    for (const JsonValue& call : report["calls"].items) {
        EXPECT_EQ(Integer(call["status"]), 0);
        EXPECT_EQ(Text(call["meaning"]), "ok");
    }
    EXPECT_EQ(Text(report["calls"].items[3]["call"]), "QueryDisplayRecord");
    EXPECT_TRUE(report["watcher"]["running"].is(JsonValue::Type::kBool));
    EXPECT_FALSE(report["watcher"]["running"].boolean);
    EXPECT_EQ(Text(report["result"]["outcome"]), "read");
    EXPECT_EQ(Integer(report["exitCode"]), 0);

    // Both runs read the record; neither applied it, and the stored record is unchanged.
    const std::vector<std::string> journal = Journal();
    EXPECT_EQ(CountLinesStartingWith(journal, "call name=QueryDisplayRecord "), 2u);
    EXPECT_EQ(CountLinesStartingWith(journal, "call name=ApplyDisplayRecord "), 0u);
    EXPECT_EQ(CountLinesStartingWith(journal, "query id=0xE04F3D86"), 0u)
        << "the apply entry point was not even asked for";
    EXPECT_EQ(ReadFileText(statePath_), before);
}

// A mutex of the watcher's name that this process may not open is not the watcher's (the
// watcher's has the user's default security): show cannot tell, and does not guess. Wine
// does not enforce a mutex's security, so the refusal is injected.
HANDLE WINAPI OpenMutexDenied(DWORD, BOOL, LPCWSTR) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}

TEST_F(ShowTest, AWatcherMutexThatCannotBeOpenedIsCannotTell) {
    ScopedImportPatch denied("OpenMutexW", reinterpret_cast<void*>(&OpenMutexDenied));
    const std::string line = LineStartingWith(RunInThisProcess({L"show"}).out, "watcher:");
    EXPECT_TRUE(StartsWith(line, "watcher:          cannot tell: error 5 ERROR_ACCESS_DENIED"))
        << line;
    const JsonValue report = ParseReport(RunInThisProcess({L"--json", L"show"}).out);
    EXPECT_TRUE(report["watcher"]["running"].is(JsonValue::Type::kNull));
    EXPECT_EQ(Integer(report["watcher"]["error"]["code"]), ERROR_ACCESS_DENIED);
}

// check: one line, and an exit code that says whether the driver reports the setting that
// dispset.exe applies; it never applies.
TEST_F(ShowTest, CheckSaysWhetherTheSettingIsTheOneTheProgramApplies) {
    const struct {
        uint32_t setting;
        const wchar_t* failures;  // null: no library at all
        DWORD exitCode;
        const char* result;
        const char* outcome;
    } kCases[] = {
        {2, L"", 0, "the setting is 2, as dispset.exe applies it", "held"},
        {7, L"", 1, "the setting is 7, not 2: the driver has a value of its own", "dropped"},
        {2, L"fail=0xDC27D5D4:-7", 4,
         "not read: QueryDisplayRecord status -7, the driver's own status", "notRead"},
        {2, nullptr, 4, "not read: InitializeDriverInterface status -2, library not found",
         "notRead"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.result);
        installed_.reset();
        if (c.failures != nullptr) {
            ASSERT_NO_FATAL_FAILURE(InstallDriver());
        }
        ScopedEnvironment failures(simdriver::kFailVariable, c.failures);
        ASSERT_NO_FATAL_FAILURE(StoreRecord(c.setting));
        const ProgramOutput text = Diag(L"check");
        EXPECT_EQ(text.exitCode, c.exitCode);
        EXPECT_TRUE(StartsWith(text.out, std::string("result:           ") + c.result)) << text.out;
        EXPECT_EQ(std::count(text.out.begin(), text.out.end(), '\n'), 1);
        const ProgramOutput json = Diag(L"--json check");
        EXPECT_EQ(json.exitCode, c.exitCode);
        const JsonValue report = ParseReport(json.out);
        EXPECT_EQ(Text(report["command"]), "check");
        EXPECT_EQ(Text(report["result"]["outcome"]), c.outcome);
        EXPECT_EQ(Integer(report["exitCode"]), c.exitCode);
    }
    EXPECT_EQ(CountLinesStartingWith(Journal(), "call name=ApplyDisplayRecord "), 0u);
}

// The watcher's status section, made here with the watcher's mutex: a record that is
// readable and consistent is shown, anything else is "cannot tell".
TEST_F(ShowTest, AWatcherStatusIsShownOnlyWhenEveryFieldMakesSense) {
    WatcherStatus valid = {};
    valid.magic = kWatcherStatusMagic;
    valid.version = kWatcherStatusVersion;
    valid.size = sizeof(WatcherStatus);
    GetSystemTimeAsFileTime(&valid.started);
    valid.runs[static_cast<int>(RunCause::kReapply)] = 3;
    valid.lastRun = {valid.started, static_cast<uint32_t>(RunCause::kReapply),
                     static_cast<uint32_t>(ChildOutcome::kExited), 0};
    valid.checks = 4;
    valid.lastCheck = {valid.started, 0, static_cast<uint32_t>(ChildOutcome::kExited), 1};
    valid.burstsGivenUp = 1;
    const struct {
        const char* problem;
        void (*damage)(WatcherStatus&);
        bool mutex = true;
    } kCases[] = {
        {nullptr, [](WatcherStatus&) {}},
        {"withoutWatcher", [](WatcherStatus&) {}, false},
        {"changing", [](WatcherStatus& s) { s.sequence = 7; }},
        {"notValid", [](WatcherStatus& s) { s.magic ^= 1; }},
        {"notValid", [](WatcherStatus& s) { s.version = 2; }},
        {"notValid", [](WatcherStatus& s) { s.size -= 4; }},
        {"notValid", [](WatcherStatus& s) { s.started.dwHighDateTime = 0xFFFFFFFF; }},
        {"notValid", [](WatcherStatus& s) { s.lastRun.cause = kRunCauseCount; }},
        {"notValid", [](WatcherStatus& s) { s.lastCheck.outcome = kChildOutcomeCount; }},
        {"notValid", [](WatcherStatus& s) { s.lastCheck.cause = 1; }},
        {"notValid", [](WatcherStatus& s) { s.runs[6] = 0; }},
        {"notValid", [](WatcherStatus& s) { s.checks = 0; }},
        {"notValid", [](WatcherStatus& s) { s.burstsGivenUp = 5; }},
        {"notValid", [](WatcherStatus& s) { s.childrenEnded = 8; }},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.problem != nullptr ? c.problem : "valid");
        KernelHandle mutex(c.mutex ? CreateMutexW(nullptr, FALSE, kWatcherMutexName) : nullptr);
        KernelHandle section(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                                sizeof(WatcherStatus), kWatcherStatusName));
        MappedView view(MapViewOfFile(section.get(), FILE_MAP_WRITE, 0, 0, 0));
        ASSERT_TRUE(view.valid());
        WatcherStatus status = valid;
        c.damage(status);
        memcpy(view.get(), &status, sizeof(status));

        const JsonValue report = ParseReport(RunInThisProcess({L"--json", L"show"}).out);
        const JsonValue& shown = report["watcher"]["status"];
        EXPECT_EQ(shown["readable"].boolean, c.problem == nullptr);
        const std::string text = RunInThisProcess({L"show"}).out;
        if (c.problem != nullptr) {
            EXPECT_EQ(Text(shown["problem"]), c.problem);
            EXPECT_TRUE(
                StartsWith(LineStartingWith(text, "  status:"), "  status:         cannot tell: "))
                << text;
            continue;
        }
        EXPECT_EQ(Integer(shown["runs"]["reapply"]), 3);
        EXPECT_EQ(Text(shown["lastRun"]["cause"]), "reapply");
        EXPECT_EQ(Integer(shown["lastCheck"]["exitCode"]), 1);
        EXPECT_EQ(LineStartingWith(text, "  runs:"), "  runs:           3 (re-apply 3)");
        EXPECT_TRUE(Contains(LineStartingWith(text, "  last check:"),
                             " UTC: exit code 1, the driver had another value than 2"))
            << text;
    }
}

struct ShowFailureCase {
    const char* name;
    const wchar_t* failures;  // null: no library at all
    const char* call;
    DriverStatus status;
    const char* meaning;  // the text report's words
    const char* jsonMeaning;
};

class ShowFailureTest : public ShowTest, public ::testing::WithParamInterface<ShowFailureCase> {};

TEST_P(ShowFailureTest, NamesTheFailingCallAndWhatItsStatusMeans) {
    const ShowFailureCase& c = GetParam();
    if (c.failures != nullptr) {
        ASSERT_NO_FATAL_FAILURE(InstallDriver());
        SetEnvironmentVariableW(simdriver::kFailVariable, c.failures);
    }
    const ProgramOutput text = Diag(L"show");
    EXPECT_EQ(text.exitCode, kExitRefused);
    EXPECT_EQ(LineStartingWith(text.out, "result:"),
              std::string("result:           not read: ") + c.call + " status " +
                  std::to_string(c.status) + ", " + c.meaning)
        << text.out;
    EXPECT_TRUE(LineStartingWith(text.out, "setting:").empty());

    const JsonValue report = ParseReport(Diag(L"--json show").out);
    EXPECT_EQ(Text(report["result"]["outcome"]), "notRead");
    EXPECT_EQ(Text(report["result"]["call"]), c.call);
    EXPECT_EQ(Integer(report["result"]["status"]), c.status);
    EXPECT_EQ(Text(report["result"]["meaning"]), c.jsonMeaning);
    EXPECT_TRUE(report["setting"].is(JsonValue::Type::kNull));
    EXPECT_EQ(Integer(report["exitCode"]), 1);
    EXPECT_EQ(CountLinesStartingWith(Journal(), "call name=ApplyDisplayRecord "), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, ShowFailureTest,
    ::testing::Values(
        ShowFailureCase{"NoLibrary", nullptr, "InitializeDriverInterface", kDriverLibraryNotFound,
                        "library not found: the loader loaded no nvapi.dll (dispset-diag locate "
                        "tells why)",
                        "libraryNotFound"},
        ShowFailureCase{"LibraryRefusesToLoad", L"loadfail", "InitializeDriverInterface",
                        kDriverLibraryNotFound,
                        "library not found: the loader loaded no nvapi.dll (dispset-diag locate "
                        "tells why)",
                        "libraryNotFound"},
        ShowFailureCase{"NoInitializeEntry", L"missing=0x0150E828", "InitializeDriverInterface",
                        kDriverError,
                        "error: the library lacks nvapi_QueryInterface or the driver's "
                        "initialize entry",
                        "error"},
        ShowFailureCase{"InitializeFails", L"init=-5", "InitializeDriverInterface", -5,
                        "the driver's own status", "driverStatus"},
        ShowFailureCase{
            "NoQueryEntry", L"missing=0xDC27D5D4", "QueryDisplayRecord", kDriverNoEntryPoint,
            "entry point missing: the driver does not provide this call", "noEntryPoint"},
        ShowFailureCase{"QueryFails", L"fail=0xDC27D5D4:-7", "QueryDisplayRecord", -7,
                        "the driver's own status", "driverStatus"}),
    [](const ::testing::TestParamInfo<ShowFailureCase>& info) {
        return std::string(info.param.name);
    });

}  // namespace
