// The loader's observer, against a simulated NVIDIA display device: the steps that
// LoadLibrarySecure reports and what each carries, the dry run that decides exactly as a
// real load does and loads nothing (while the loader's own system libraries still load),
// and an observer that cannot change the decision by touching the last-error value.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "loader/driver_lookups.h"
#include "loader/load_observer.h"
#include "loader/module_loader.h"
#include "base/local_memory.h"
#include "loader/system_bindings.h"
#include "loader/trusted_paths.h"
#include "loader/windows_version.h"
#include "tests/support/loader_fixtures.h"
#include "tests/support/simulated_device.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

struct Recorded {
    LoadStep step;
    LoadSource source;
    TrustedFolder trusted;
    LoadRefusal refusal;
    ModulePlace place;
    uint32_t buildNumber;
    DWORD error;
    bool hasPath;
    std::wstring path;
    bool hasFolder;
    std::wstring folder;
};

// Copies every event; when asked, also leaves a junk last-error value behind each time.
class RecordingObserver : public LoadObserver {
  public:
    explicit RecordingObserver(bool dryRun, bool clobberLastError = false)
        : LoadObserver(dryRun), clobber_(clobberLastError) {}

    void OnLoadStep(const LoadEvent& event) override {
        events.push_back({event.step, event.source, event.trusted, event.refusal, event.place,
                          event.buildNumber, event.error, event.path != nullptr,
                          event.path != nullptr ? event.path : L"", event.folder != nullptr,
                          event.folder != nullptr ? event.folder : L""});
        if (clobber_) {
            SetLastError(ERROR_ACCESS_DENIED);
        }
    }

    std::vector<LoadStep> Steps() const {
        std::vector<LoadStep> steps;
        for (const Recorded& event : events) {
            steps.push_back(event.step);
        }
        return steps;
    }
    std::vector<const Recorded*> All(LoadStep step) const {
        std::vector<const Recorded*> found;
        for (const Recorded& event : events) {
            if (event.step == step) {
                found.push_back(&event);
            }
        }
        return found;
    }
    // The one event of step; a test failure when there is not exactly one.
    const Recorded& One(LoadStep step) const {
        static const Recorded kNone = {};
        const std::vector<const Recorded*> found = All(step);
        EXPECT_EQ(found.size(), 1u) << "step " << static_cast<int>(step);
        return found.size() == 1 ? *found[0] : kNone;
    }
    std::vector<LoadSource> Sources() const {
        std::vector<LoadSource> sources;
        for (const Recorded* event : All(LoadStep::kSource)) {
            sources.push_back(event->source);
        }
        return sources;
    }

    std::vector<Recorded> events;

  private:
    bool clobber_;
};

std::wstring WithBackslash(const std::wstring& folder) {
    return folder.empty() || folder.back() == L'\\' ? folder : folder + L"\\";
}

struct LoadRun {
    HMODULE module;
    DWORD error;
};

LoadRun Observe(RecordingObserver& observer, const wchar_t* name = L"nvapi.dll") {
    ScopedLoadObserver installed(observer);
    HMODULE module = LoadLibrarySecure(name, 0);
    return {module, GetLastError()};
}

// Windows 10 with one simulated NVIDIA display device, and a folder under Program Files.
class ObserverTest : public ::testing::Test, protected SimulatedMachine {
  protected:
    void SetUp() override {
        ResetWindowsVersionStateForTesting();
        ASSERT_TRUE(device_.ok());
        ASSERT_EQ(GetModuleHandleW(L"nvapi.dll"), nullptr);
    }
    void TearDown() override {
        ResetWindowsVersionStateForTesting();
        EXPECT_EQ(g_loadObserver.load(), nullptr);
    }
};

TEST_F(ObserverTest, ReportsEachStepOfADriverLocatedLoad) {
    const std::wstring registered = InstallDriverFile(L"nvapi.dll");
    ASSERT_TRUE(device_.SetDriverString(ClassKeyModuleValue(), registered));

    RecordingObserver observer(/*dryRun=*/false);
    const LoadRun run = Observe(observer);
    ASSERT_NE(run.module, nullptr) << "error " << run.error;
    EXPECT_EQ(Lower(ModulePath(run.module)), Lower(registered));
    FreeLibrary(run.module);

    const std::vector<LoadStep> expected = {
        LoadStep::kVersionGate,  LoadStep::kDisplayDevice, LoadStep::kClassKey,
        LoadStep::kSource,       LoadStep::kSearchEnd,     LoadStep::kTrustTest,
        LoadStep::kLoadDecision, LoadStep::kResult,
    };
    EXPECT_EQ(observer.Steps(), expected);

    const Recorded& gate = observer.One(LoadStep::kVersionGate);
    EXPECT_EQ(gate.buildNumber, 19045u);
    EXPECT_EQ(gate.place, ModulePlace::kDriverRegistration);
    EXPECT_EQ(observer.One(LoadStep::kDisplayDevice).path, device_.devicePath());
    const Recorded& classKey = observer.One(LoadStep::kClassKey);
    EXPECT_EQ(classKey.path, device_.driverKeyPath());
    EXPECT_EQ(classKey.error, static_cast<DWORD>(ERROR_SUCCESS));
    const Recorded& source = observer.One(LoadStep::kSource);
    EXPECT_EQ(source.source, LoadSource::kClassKeyValues) << "a .dll name skips the services";
    EXPECT_EQ(source.path, registered);
    EXPECT_EQ(observer.One(LoadStep::kSearchEnd).path, registered);
    const Recorded& trust = observer.One(LoadStep::kTrustTest);
    EXPECT_EQ(trust.trusted, TrustedFolder::kProgramFiles);
    EXPECT_EQ(Lower(trust.path), Lower(registered));
    EXPECT_EQ(Lower(trust.folder), Lower(WithBackslash(NativeProgramFilesDirectory())));
    const Recorded& decision = observer.One(LoadStep::kLoadDecision);
    EXPECT_EQ(decision.place, ModulePlace::kDriverRegistration);
    EXPECT_EQ(decision.path, registered);
    // After a real load the value is whatever the module's start left (the simulated driver
    // reads its environment); only a refusal's value means something.
    observer.One(LoadStep::kResult);
}

TEST_F(ObserverTest, DryRunDecidesAsTheRealLoadAndLoadsNothing) {
    const std::wstring registered = InstallDriverFile(L"nvapi.dll");
    ASSERT_TRUE(device_.SetDriverString(ClassKeyModuleValue(), registered));

    RecordingObserver real(/*dryRun=*/false);
    const LoadRun loaded = Observe(real);
    ASSERT_NE(loaded.module, nullptr);
    FreeLibrary(loaded.module);
    ASSERT_EQ(GetModuleHandleW(L"nvapi.dll"), nullptr);

    RecordingObserver dry(/*dryRun=*/true);
    RecordedLoads recorded;
    const LoadRun run = Observe(dry);
    EXPECT_EQ(run.module, nullptr);
    EXPECT_EQ(run.error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(GetModuleHandleW(L"nvapi.dll"), nullptr);
    for (const LoadRequest& load : recorded.loads()) {
        EXPECT_NE(Lower(load.path), Lower(registered)) << "LoadLibraryExW was asked for the module";
    }

    ASSERT_EQ(dry.events.size(), real.events.size());
    for (size_t i = 0; i < dry.events.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(dry.events[i].step, real.events[i].step);
        EXPECT_EQ(dry.events[i].source, real.events[i].source);
        EXPECT_EQ(dry.events[i].path, real.events[i].path);
        EXPECT_EQ(dry.events[i].folder, real.events[i].folder);
    }
}

bool LoadedSetupapi(const RecordedLoads& recorded) {
    const std::wstring setupapi = Lower(JoinPaths(SystemDirectory(), L"Setupapi.dll"));
    for (const LoadRequest& load : recorded.loads()) {
        if (Lower(load.path) == setupapi) {
            return true;
        }
    }
    return false;
}

TEST_F(ObserverTest, DryRunStillLoadsTheLoadersOwnLibraries) {
    ScopedDirectory store(WindowsDirectory());
    ScopedFileCopy file(SimDriverPath(), store / L"nvapi.dll");
    ASSERT_TRUE(device_.SetDriverInfPath(L"oem42.inf"));
    SavedBindings saved;
    ForgetSetupapiBinding();
    ScopedDriverStoreLocation location(L"oem42.inf", store / L"nvsim.inf");
    {
        RecordingObserver dry(/*dryRun=*/true);
        RecordedLoads recorded;
        const LoadRun run = Observe(dry);
        EXPECT_EQ(run.error, static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_TRUE(LoadedSetupapi(recorded)) << "Setupapi was not loaded for real";
        EXPECT_NE(g_setupapi.module.load(), nullptr);
        const std::vector<const Recorded*> decisions = dry.All(LoadStep::kLoadDecision);
        ASSERT_EQ(decisions.size(), 1u) << "only the module is a decision";
        EXPECT_EQ(decisions[0]->path, file.path());
        const std::vector<LoadSource> sources = {
            LoadSource::kClassKeyValues, LoadSource::kKhronosLists, LoadSource::kSupportModules,
            LoadSource::kDriverFolder};
        EXPECT_EQ(dry.Sources(), sources);
        EXPECT_EQ(dry.One(LoadStep::kDriverFolder).path, store.path());
        EXPECT_EQ(GetModuleHandleW(L"nvapi.dll"), nullptr);
    }
    {
        // The driver-store lookup binds Setupapi by itself when it is the first to need it.
        g_setupapi.module.store(nullptr);
        RecordingObserver dry(/*dryRun=*/true);
        RecordedLoads recorded;
        ScopedLoadObserver installed(dry);
        LocalString folder(GetDriverStoreDirectory(&well_known::GUID_DISPLAY_DEVICE_ARRIVAL));
        EXPECT_EQ(std::wstring(folder ? folder.get() : L"(null)"), store.path());
        EXPECT_TRUE(LoadedSetupapi(recorded));
        EXPECT_TRUE(dry.All(LoadStep::kLoadDecision).empty());
    }
}

TEST_F(ObserverTest, AModuleRegisteredNowhereGoesToTheSystemDirectory) {
    // Every source tried in order, none names the module: the search ends with
    // ERROR_MOD_NOT_FOUND and the system directory's path is the decision.
    ScopedDirectory store(WindowsDirectory());
    ASSERT_TRUE(device_.SetDriverInfPath(L"oem42.inf"));
    ScopedDriverStoreLocation location(L"oem42.inf", store / L"nvsim.inf");
    RecordingObserver dry(/*dryRun=*/true);
    const LoadRun run = Observe(dry);
    EXPECT_EQ(run.error, static_cast<DWORD>(ERROR_SUCCESS));
    const std::vector<LoadSource> sources = {LoadSource::kClassKeyValues, LoadSource::kKhronosLists,
                                             LoadSource::kSupportModules,
                                             LoadSource::kDriverFolder};
    EXPECT_EQ(dry.Sources(), sources);
    for (const Recorded* source : dry.All(LoadStep::kSource)) {
        EXPECT_FALSE(source->hasPath);
        EXPECT_EQ(source->error, static_cast<DWORD>(ERROR_SUCCESS));
    }
    EXPECT_EQ(dry.One(LoadStep::kSearchEnd).error, static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    const Recorded& decision = dry.One(LoadStep::kLoadDecision);
    EXPECT_EQ(decision.place, ModulePlace::kSystemDirectory);
    EXPECT_EQ(Lower(decision.path), Lower(JoinPaths(SystemDirectory(), L"nvapi.dll")));
    EXPECT_TRUE(dry.All(LoadStep::kTrustTest).empty());
}

TEST_F(ObserverTest, TheGateSendsOtherBuildsAndNamesToTheSystemDirectory) {
    struct Case {
        const wchar_t* build;
        const wchar_t* name;
        uint32_t reported;
    };
    const Case cases[] = {
        {L"10240", L"nvapi.dll", 10240},
        {L"19045", L"other.dll", 19045},
        {L"not a number", L"nvapi.dll", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.build) + " " + Narrow(c.name));
        ResetWindowsVersionStateForTesting();
        ScopedBuildNumber build(c.build);
        RecordingObserver dry(/*dryRun=*/true);
        Observe(dry, c.name);
        const std::vector<LoadStep> expected = {LoadStep::kVersionGate, LoadStep::kLoadDecision,
                                                LoadStep::kResult};
        EXPECT_EQ(dry.Steps(), expected);
        const Recorded& gate = dry.One(LoadStep::kVersionGate);
        EXPECT_EQ(gate.buildNumber, c.reported);
        EXPECT_EQ(gate.place, ModulePlace::kSystemDirectory);
        EXPECT_EQ(Lower(dry.One(LoadStep::kLoadDecision).path),
                  Lower(JoinPaths(SystemDirectory(), c.name)));
    }
}

TEST_F(ObserverTest, RefusalsComeWithoutADecision) {
    ScopedDirectory untrusted;  // the temporary folder
    ScopedFileCopy planted(SimDriverPath(), untrusted / L"nvapi.dll");
    {
        ASSERT_TRUE(device_.SetDriverString(ClassKeyModuleValue(), planted.path()));
        RecordingObserver dry(/*dryRun=*/true);
        EXPECT_EQ(Observe(dry).error, static_cast<DWORD>(ERROR_BAD_PATHNAME));
        const Recorded& trust = dry.One(LoadStep::kTrustTest);
        EXPECT_EQ(trust.trusted, TrustedFolder::kNone);
        EXPECT_EQ(Lower(trust.path), Lower(planted.path()));
        EXPECT_FALSE(trust.hasFolder);
        EXPECT_TRUE(dry.All(LoadStep::kLoadDecision).empty());
        EXPECT_EQ(dry.One(LoadStep::kResult).error, static_cast<DWORD>(ERROR_BAD_PATHNAME));
    }
    {
        ASSERT_TRUE(device_.SetDriverString(ClassKeyModuleValue(), L"nvsim\\nvapi.dll"));
        RecordingObserver dry(/*dryRun=*/true);
        EXPECT_EQ(Observe(dry).error, static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
        EXPECT_EQ(dry.One(LoadStep::kSearchEnd).path, L"nvsim\\nvapi.dll");
        EXPECT_TRUE(dry.All(LoadStep::kTrustTest).empty()) << "a relative path is never tested";
        EXPECT_TRUE(dry.All(LoadStep::kLoadDecision).empty());
    }
    {
        RecordingObserver dry(/*dryRun=*/true);
        EXPECT_EQ(Observe(dry, L"sub\\nvapi.dll").error, static_cast<DWORD>(ERROR_BAD_ARGUMENTS));
        EXPECT_EQ(dry.Steps(), (std::vector<LoadStep>{LoadStep::kRefusal, LoadStep::kResult}));
        EXPECT_EQ(dry.One(LoadStep::kRefusal).refusal, LoadRefusal::kBadName);
    }
    {
        // Unreachable through LoadLibrarySecure, which sends only absolute paths there.
        RecordingObserver dry(/*dryRun=*/true);
        ScopedLoadObserver installed(dry);
        EXPECT_EQ(LoadLibraryTrustedPath(L"nvsim\\nvapi.dll", 0), nullptr);
        EXPECT_EQ(dry.One(LoadStep::kRefusal).refusal, LoadRefusal::kNotAbsolute);
        EXPECT_EQ(dry.One(LoadStep::kRefusal).error, static_cast<DWORD>(ERROR_BAD_ARGUMENTS));
    }
}

TEST_F(ObserverTest, TheObserverCannotChangeWhereTheSearchStops) {
    const std::wstring registered = InstallDriverFile(L"nvapi.dll");
    ScopedRegistryValue opencl(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Khronos\\OpenCL\\Vendors",
                               registered);
    ASSERT_TRUE(opencl.SetDword(0));
    ASSERT_TRUE(device_.SetDriverString(ClassKeyModuleValue(), registered, REG_EXPAND_SZ));

    for (bool clobber : {false, true}) {
        SCOPED_TRACE(clobber ? "observer leaves ERROR_ACCESS_DENIED" : "quiet observer");
        RecordingObserver dry(/*dryRun=*/true, clobber);
        EXPECT_EQ(Observe(dry).error, static_cast<DWORD>(ERROR_INVALID_DATA));
        EXPECT_EQ(dry.Sources(), std::vector<LoadSource>{LoadSource::kClassKeyValues})
            << "the Khronos list would name the module, but the search stops before it";
        EXPECT_EQ(dry.One(LoadStep::kSource).error, static_cast<DWORD>(ERROR_INVALID_DATA));
        EXPECT_EQ(dry.One(LoadStep::kSearchEnd).error, static_cast<DWORD>(ERROR_INVALID_DATA));
        EXPECT_EQ(dry.One(LoadStep::kResult).error, static_cast<DWORD>(ERROR_INVALID_DATA));
    }
    ASSERT_TRUE(device_.SetDriverString(ClassKeyModuleValue(), L"other.dll"));
    RecordingObserver clobbering(/*dryRun=*/true, /*clobberLastError=*/true);
    EXPECT_EQ(Observe(clobbering).error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(clobbering.One(LoadStep::kSearchEnd).path, registered);
    EXPECT_EQ(clobbering.Sources(),
              (std::vector<LoadSource>{LoadSource::kClassKeyValues, LoadSource::kKhronosLists}));
}

class TrustBeforeWindows7Test : public VersionStateTest {};

TEST_F(TrustBeforeWindows7Test, EveryPathIsReportedAsTrusted) {
    g_windowsVersion.olderThanWindows7.store(1);
    g_windowsVersion.verdictComputed.store(1);
    RecordingObserver observer(/*dryRun=*/true);
    ScopedLoadObserver installed(observer);
    EXPECT_EQ(IsPathInTrustedFolder(L"D:\\Tools\\nvapi.dll"), 1);
    const Recorded& trust = observer.One(LoadStep::kTrustTest);
    EXPECT_EQ(trust.trusted, TrustedFolder::kAnyBeforeWindows7);
    EXPECT_EQ(trust.path, L"D:\\Tools\\nvapi.dll");
}

}  // namespace
