// The driver interface client against the simulated driver, loaded for real by the trusted
// loader from the test prefix's system directory. What the driver saw is read back from the
// simulated driver's journal; what the client kept is read from g_driverClient.

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "driver_client/driver_client.h"
#include "driver_client/driver_state.h"
#include "tests/support/journal.h"
#include "tests/support/test_support.h"
#include "tools/simdriver/simdriver.h"

namespace {

using namespace testing_support;

std::wstring SystemDriverPath() {
    return JoinPaths(SystemDirectory(), kDriverLibraryName);
}

// The four wrappers, so that one case can run against each of them.
enum class Wrapper { kEnumPhysicalGpus, kEnumDisplayHandle, kQueryDisplayRecord, kApply };

struct WrapperInfo {
    Wrapper wrapper;
    const char* name;
    InterfaceId id;
    size_t slot;
};

const WrapperInfo kWrappers[] = {
    {Wrapper::kEnumPhysicalGpus, "EnumPhysicalGpus", kIdEnumPhysicalGpus, kSlotEnumPhysicalGpus},
    {Wrapper::kEnumDisplayHandle, "EnumDisplayHandle", kIdEnumDisplayHandle,
     kSlotEnumDisplayHandle},
    {Wrapper::kQueryDisplayRecord, "QueryDisplayRecord", kIdQueryDisplayRecord,
     kSlotQueryDisplayRecord},
    {Wrapper::kApply, "ApplyDisplayRecord", kIdApplyDisplayRecord, kSlotApplyDisplayRecord},
};

std::string WrapperName(const ::testing::TestParamInfo<WrapperInfo>& info) {
    return info.param.name;
}

// One call of the wrapper with arguments the simulated driver accepts.
DriverStatus CallWrapper(Wrapper wrapper) {
    switch (wrapper) {
        case Wrapper::kEnumPhysicalGpus: {
            GpuHandle gpus[kMaxPhysicalGpus] = {};
            uint32_t count = 0;
            return EnumPhysicalGpus(gpus, &count);
        }
        case Wrapper::kEnumDisplayHandle: {
            DisplayHandle display = 0;
            return EnumDisplayHandle(0, &display);
        }
        case Wrapper::kQueryDisplayRecord: {
            DisplayRecord record = {};
            record.version = kDisplayRecordVersionWord;
            uint32_t companion = 0;
            return QueryDisplayRecord(simdriver::kDisplayHandle, &record, &companion);
        }
        case Wrapper::kApply: {
            DisplayRecord record = {};
            record.version = kDisplayRecordVersionWord;
            return ApplyDisplayRecord(simdriver::kDisplayHandle, &record, simdriver::kCompanion);
        }
    }
    return kDriverError;
}

// The program's display-record flow, with everything it passes and gets back.
struct FlowResult {
    DriverStatus gpusStatus = 0;
    DriverStatus displayStatus = 0;
    DriverStatus queryStatus = 0;
    DriverStatus applyStatus = 0;
    GpuHandle gpus[kMaxPhysicalGpus] = {};
    uint32_t gpuCount = 0xFFFFFFFF;
    DisplayHandle display = 0;
    uint32_t companion = 0;
    DisplayRecord record = {};
};

FlowResult RunFlow() {
    FlowResult result;
    result.record.version = kDisplayRecordVersionWord;
    result.gpusStatus = EnumPhysicalGpus(result.gpus, &result.gpuCount);
    result.displayStatus = EnumDisplayHandle(0, &result.display);
    result.queryStatus = QueryDisplayRecord(result.display, &result.record, &result.companion);
    result.record.setting = kDisplaySettingValue;
    result.applyStatus = ApplyDisplayRecord(result.display, &result.record, result.companion);
    return result;
}

size_t CountCachedEntryPoints() {
    size_t count = 0;
    for (const auto& slot : g_driverClient.entryPoints) {
        count += slot.load() != nullptr;
    }
    return count;
}

// Unbinds the client and checks that this released the library. A client that took more
// than one reference would keep a copy mapped, and so undeletable, for good: what is left is
// dropped so that the copies can go and the next cases start clean.
void ReleaseDriverLibrary() {
    ResetDriverClientForTesting();
    EXPECT_EQ(GetModuleHandleW(kDriverLibraryName), nullptr)
        << "still loaded after the client let go";
    for (int i = 0; i < 64 && GetModuleHandleW(kDriverLibraryName) != nullptr; ++i) {
        FreeLibrary(GetModuleHandleW(kDriverLibraryName));
    }
}

// Every case starts and ends with no library bound, a fresh journal in a scratch folder,
// no simulated failures and the driver's record in the driver's memory. The prefix's build
// number is pinned below 14308, so the loader looks in the system directory only.
class DriverClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetDriverClientForTesting();
        ASSERT_EQ(GetModuleHandleW(kDriverLibraryName), nullptr) << "left loaded by a case";
        ASSERT_FALSE(FileExists(SystemDriverPath())) << "the prefix already has an nvapi.dll";
    }

    void TearDown() override {
        // Release before the installed copy is deleted: a mapped file cannot go.
        ReleaseDriverLibrary();
    }

    void InstallDriver() {
        installed_ = std::make_unique<ScopedFileCopy>(SimDriverPath(), SystemDriverPath());
        ASSERT_TRUE(installed_->ok());
    }

    static void SetFailures(const wchar_t* items) {
        SetEnvironmentVariableW(simdriver::kFailVariable, items);
    }

    std::vector<std::string> JournalLines() const {
        return testing_support::JournalLines(journalPath_);
    }

    size_t CountLines(const std::string& prefix) const {
        return CountLinesStartingWith(JournalLines(), prefix);
    }

    bool HasLine(const std::string& wanted) const {
        for (const std::string& line : JournalLines()) {
            if (line == wanted) {
                return true;
            }
        }
        return false;
    }

    void ClearJournal() { DeleteFileW(journalPath_.c_str()); }

    size_t CountCalls(const char* name) const {
        return CountLines(std::string("call name=") + name + " ");
    }

    ScopedBuildNumber build_{L"7601"};
    ScopedDirectory scratch_;
    std::wstring journalPath_ = scratch_ / L"journal.txt";
    ScopedEnvironment journal_{simdriver::kJournalVariable, journalPath_.c_str()};
    ScopedEnvironment state_{simdriver::kStateVariable, nullptr};
    ScopedEnvironment failures_{simdriver::kFailVariable, nullptr};
    std::unique_ptr<ScopedFileCopy> installed_;
};

class InstalledDriverTest : public DriverClientTest {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(DriverClientTest::SetUp());
        ASSERT_NO_FATAL_FAILURE(InstallDriver());
    }
};

// --- Initialization on several threads -----------------------------------------------------

// Defined first so that it runs first: the client makes its lock at the first
// InitializeDriverInterface of the process, and that first call is what races here.
using ConcurrentInitializationTest = InstalledDriverTest;

TEST_F(ConcurrentInitializationTest, FirstCallsFromSeveralThreadsBindOnce) {
    constexpr int kThreads = 8;
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    DriverStatus statuses[kThreads];
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            ready.fetch_add(1);
            while (!go.load()) {
                std::this_thread::yield();
            }
            statuses[i] = InitializeDriverInterface();
        });
    }
    while (ready.load() != kThreads) {
        std::this_thread::yield();
    }
    go.store(true);
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (DriverStatus status : statuses) {
        EXPECT_EQ(status, kDriverOk);
    }
    EXPECT_EQ(CountLines("load path="), 1u);
    EXPECT_EQ(CountCalls("DriverInitialize"), 1u);
}

TEST_F(ConcurrentInitializationTest, WrappersRunOnSeveralThreadsOnceInitialized) {
    ASSERT_EQ(InitializeDriverInterface(), kDriverOk);
    constexpr int kThreads = 6;
    constexpr int kRounds = 20;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            for (int round = 0; round < kRounds; ++round) {
                FlowResult flow = RunFlow();
                if (flow.gpusStatus != 0 || flow.displayStatus != 0 || flow.queryStatus != 0 ||
                    flow.applyStatus != 0 || flow.companion != simdriver::kCompanion) {
                    failures.fetch_add(1);
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(CountCalls("ApplyDisplayRecord"), static_cast<size_t>(kThreads * kRounds));
    EXPECT_EQ(CountLines("exit-hook "), static_cast<size_t>(4 * kThreads * kRounds));
}

// --- Initialization --------------------------------------------------------------------------

using InitializeTest = InstalledDriverTest;

TEST_F(InitializeTest, LoadsTheSystemDirectoryCopyAndBindsOnceForAllCalls) {
    ASSERT_EQ(InitializeDriverInterface(), kDriverOk);

    HMODULE module = GetModuleHandleW(kDriverLibraryName);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(g_driverClient.module.load(), module);
    EXPECT_EQ(reinterpret_cast<void*>(g_driverClient.queryInterface.load()),
              reinterpret_cast<void*>(GetProcAddress(module, kQueryInterfaceExport)));
    EXPECT_EQ(reinterpret_cast<void*>(g_driverClient.entryHook.load()),
              reinterpret_cast<void*>(GetProcAddress(module, "EntryHook")));
    EXPECT_EQ(reinterpret_cast<void*>(g_driverClient.exitHook.load()),
              reinterpret_cast<void*>(GetProcAddress(module, "ExitHook")));
    EXPECT_EQ(CountCachedEntryPoints(), 0u);

    const std::vector<std::string> expected = {
        "load path=" + Narrow(SystemDriverPath()),
        QueryLine(kIdDriverInitialize, true),
        "call name=DriverInitialize id=0x0150E828 status=0",
        QueryLine(kIdEntryHook, true),
        QueryLine(kIdExitHook, true),
    };
    std::vector<std::string> lines = JournalLines();
    ASSERT_EQ(lines.size(), expected.size());
    EXPECT_EQ(LowerAscii(lines[0]), LowerAscii(expected[0]));
    for (size_t i = 1; i < expected.size(); ++i) {
        EXPECT_EQ(lines[i], expected[i]);
    }

    // Later calls cost the lock and a look at the module handle: the driver hears nothing.
    EXPECT_EQ(InitializeDriverInterface(), kDriverOk);
    EXPECT_EQ(InitializeDriverInterface(), kDriverOk);
    EXPECT_EQ(JournalLines(), lines);
    EXPECT_EQ(g_driverClient.module.load(), module);
}

class InitializeFailureStatusTest : public InstalledDriverTest,
                                    public ::testing::WithParamInterface<DriverStatus> {};

TEST_P(InitializeFailureStatusTest, IsPassedThroughAndTheLibraryReleasedThenBoundAnew) {
    std::wstring items = L"init=" + std::to_wstring(GetParam());
    SetFailures(items.c_str());

    EXPECT_EQ(InitializeDriverInterface(), GetParam());
    EXPECT_EQ(GetModuleHandleW(kDriverLibraryName), nullptr);
    EXPECT_EQ(g_driverClient.module.load(), nullptr);
    EXPECT_EQ(g_driverClient.queryInterface.load(), nullptr);
    EXPECT_EQ(CountLines("unload path="), 1u);
    EXPECT_EQ(CountLines(QueryLine(kIdEntryHook, true)), 0u) << "hooks fetched after a failure";

    SetFailures(nullptr);
    EXPECT_EQ(InitializeDriverInterface(), kDriverOk);
    EXPECT_NE(GetModuleHandleW(kDriverLibraryName), nullptr);
    EXPECT_EQ(CountLines("load path="), 2u);
    EXPECT_EQ(CountCalls("DriverInitialize"), 2u);
    EXPECT_TRUE(
        HasLine("call name=DriverInitialize id=0x0150E828 status=" + std::to_string(GetParam())));
    EXPECT_TRUE(HasLine("call name=DriverInitialize id=0x0150E828 status=0"));
}

// The client's own statuses among them: a driver that happens to return -2 is still the
// driver's failure and must come through as it is.
INSTANTIATE_TEST_SUITE_P(Statuses, InitializeFailureStatusTest,
                         ::testing::Values(-5, 1, -2, 0x7FFFFFFF, INT32_MIN));

TEST_F(InitializeTest, MissingInitializeEntryGivesMinusOneAndReleasesTheLibrary) {
    SetFailures(L"missing=0x0150E828");
    EXPECT_EQ(InitializeDriverInterface(), kDriverError);
    EXPECT_EQ(GetModuleHandleW(kDriverLibraryName), nullptr);
    EXPECT_EQ(g_driverClient.module.load(), nullptr);
    EXPECT_EQ(g_driverClient.queryInterface.load(), nullptr);
    EXPECT_EQ(CountCalls("DriverInitialize"), 0u);
    EXPECT_TRUE(HasLine(QueryLine(kIdDriverInitialize, false)));

    // Every wrapper meets the same failure, without a hook or an entry point asked for.
    for (const WrapperInfo& info : kWrappers) {
        EXPECT_EQ(CallWrapper(info.wrapper), kDriverError) << info.name;
    }
    EXPECT_EQ(CountLines("query id=0x0150E828"), 5u);
    EXPECT_EQ(CountLines("entry-hook "), 0u);
    EXPECT_EQ(CountLines("call name="), 0u);
}

// A failed bind must not disturb what an earlier bind left. The state is seeded with
// recognisable values that no driver would give, then a bind is made to fail.
class SeededStateTest : public DriverClientTest {
  protected:
    static DriverStatus DRIVER_CALL SentinelEntryHook(InterfaceId, uint32_t*) { return 0; }
    static DriverStatus DRIVER_CALL SentinelExitHook(InterfaceId, uint32_t, uint32_t,
                                                     DriverStatus) {
        return 0;
    }
    static void* Sentinel(size_t slot) { return reinterpret_cast<void*>(0x5E000000 + slot); }

    void Seed() {
        g_driverClient.entryHook.store(&SentinelEntryHook);
        g_driverClient.exitHook.store(&SentinelExitHook);
        for (size_t slot = 0; slot < kEntryPointCacheSlots; ++slot) {
            g_driverClient.entryPoints[slot].store(Sentinel(slot));
        }
    }

    void ExpectSeedUntouched() {
        EXPECT_EQ(g_driverClient.entryHook.load(), &SentinelEntryHook);
        EXPECT_EQ(g_driverClient.exitHook.load(), &SentinelExitHook);
        size_t changed = 0;
        for (size_t slot = 0; slot < kEntryPointCacheSlots; ++slot) {
            changed += g_driverClient.entryPoints[slot].load() != Sentinel(slot);
        }
        EXPECT_EQ(changed, 0u);
        EXPECT_EQ(g_driverClient.module.load(), nullptr);
        EXPECT_EQ(g_driverClient.queryInterface.load(), nullptr);
    }
};

class FailedBindTest : public SeededStateTest,
                       public ::testing::WithParamInterface<const wchar_t*> {};

TEST_P(FailedBindTest, LeavesHooksAndCacheAsTheyWere) {
    ASSERT_NO_FATAL_FAILURE(InstallDriver());
    Seed();
    SetFailures(GetParam());
    EXPECT_NE(InitializeDriverInterface(), kDriverOk);
    ExpectSeedUntouched();
    EXPECT_EQ(GetModuleHandleW(kDriverLibraryName), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Failures, FailedBindTest,
                         ::testing::Values(L"init=-5", L"missing=0x0150E828", L"loadfail"));

TEST_F(SeededStateTest, LibraryWithoutTheQueryExportGivesMinusOneAndIsReleased) {
    ScopedFileCopy installed(NoQueryDriverPath(), SystemDriverPath());
    ASSERT_TRUE(installed.ok());
    Seed();
    EXPECT_EQ(InitializeDriverInterface(), kDriverError);
    ExpectSeedUntouched();
    EXPECT_EQ(GetModuleHandleW(kDriverLibraryName), nullptr);
    for (const WrapperInfo& info : kWrappers) {
        EXPECT_EQ(CallWrapper(info.wrapper), kDriverError) << info.name;
    }
    EXPECT_EQ(GetModuleHandleW(kDriverLibraryName), nullptr);
}

TEST_F(SeededStateTest, OnlyASuccessfulBindEmptiesTheCache) {
    ASSERT_NO_FATAL_FAILURE(InstallDriver());
    Seed();
    ASSERT_EQ(InitializeDriverInterface(), kDriverOk);
    EXPECT_EQ(CountCachedEntryPoints(), 0u);
    EXPECT_NE(g_driverClient.entryHook.load(), &SentinelEntryHook);
    EXPECT_NE(g_driverClient.entryHook.load(), nullptr);
}

// Hooks are kept only as a pair; with either missing, no hook runs, and the wrapper's
// result is the entry point's in every case.
struct HookCase {
    const char* name;
    const wchar_t* items;
    bool hooksRun;
};

class HookTest : public InstalledDriverTest, public ::testing::WithParamInterface<HookCase> {};

TEST_P(HookTest, PairRunsAroundEachCallAndNeverChangesTheResult) {
    constexpr DriverStatus kInjected = -77;
    std::wstring items = std::wstring(GetParam().items) + L";fail=0xE5AC921F:-77";
    SetFailures(items.c_str());
    ASSERT_EQ(InitializeDriverInterface(), kDriverOk);
    if (GetParam().hooksRun) {
        EXPECT_NE(g_driverClient.entryHook.load(), nullptr);
        EXPECT_NE(g_driverClient.exitHook.load(), nullptr);
    } else {
        EXPECT_EQ(g_driverClient.entryHook.load(), nullptr);
        EXPECT_EQ(g_driverClient.exitHook.load(), nullptr);
    }

    // A failing entry point and a succeeding one: the hooks' own nonzero results never
    // replace the entry point's.
    ClearJournal();
    GpuHandle gpus[kMaxPhysicalGpus] = {};
    uint32_t count = 0;
    EXPECT_EQ(EnumPhysicalGpus(gpus, &count), kInjected);
    DisplayHandle display = 0;
    EXPECT_EQ(EnumDisplayHandle(0, &display), kDriverOk);
    EXPECT_EQ(display, simdriver::kDisplayHandle);

    std::vector<std::string> expected = {QueryLine(kIdEnumPhysicalGpus, true)};
    if (GetParam().hooksRun) {
        expected.push_back(EntryHookLine(kIdEnumPhysicalGpus));
    }
    expected.push_back("call name=EnumPhysicalGpus id=0xE5AC921F count=0 status=-77");
    if (GetParam().hooksRun) {
        expected.push_back(ExitHookLine(kIdEnumPhysicalGpus, kInjected));
    }
    expected.push_back(QueryLine(kIdEnumDisplayHandle, true));
    if (GetParam().hooksRun) {
        expected.push_back(EntryHookLine(kIdEnumDisplayHandle));
    }
    expected.push_back(
        "call name=EnumDisplayHandle id=0x9ABDD40D index=0 display=0x00D15000 status=0");
    if (GetParam().hooksRun) {
        expected.push_back(ExitHookLine(kIdEnumDisplayHandle, kDriverOk));
    }
    EXPECT_EQ(JournalLines(), expected);
}

INSTANTIATE_TEST_SUITE_P(Supplies, HookTest,
                         ::testing::Values(HookCase{"Both", L"", true},
                                           HookCase{"EntryOnly", L"nohook=exit", false},
                                           HookCase{"ExitOnly", L"nohook=entry", false},
                                           HookCase{"Neither", L"nohook=both", false}),
                         [](const ::testing::TestParamInfo<HookCase>& info) {
                             return std::string(info.param.name);
                         });

// --- No library to load ---------------------------------------------------------------------

// Copies of the simulated driver where the Windows search order would find them, none in
// the system directory: nothing may load.
TEST_F(DriverClientTest, WithoutTheSystemDirectoryCopyNothingLoadsAndNoHookRuns) {
    ScopedDirectory workingFolder;
    ScopedDirectory pathFolder;
    ScopedFileCopy besideExecutable(SimDriverPath(),
                                    JoinPaths(ExecutableFolder(), kDriverLibraryName));
    ScopedFileCopy inWorkingFolder(SimDriverPath(), workingFolder / kDriverLibraryName);
    ScopedFileCopy onPath(SimDriverPath(), pathFolder / kDriverLibraryName);
    ScopedEnvironment path(L"PATH", PathWithFolderFirst(pathFolder.path()).c_str());
    ScopedCurrentDirectory current(workingFolder.path());
    struct ReleaseBeforeCopiesGo {
        ~ReleaseBeforeCopiesGo() { ReleaseDriverLibrary(); }
    } release;

    EXPECT_EQ(InitializeDriverInterface(), kDriverLibraryNotFound);
    for (const WrapperInfo& info : kWrappers) {
        EXPECT_EQ(CallWrapper(info.wrapper), kDriverLibraryNotFound) << info.name;
    }
    EXPECT_EQ(InitializeDriverInterface(), kDriverLibraryNotFound);
    EXPECT_EQ(GetModuleHandleW(kDriverLibraryName), nullptr);
    EXPECT_EQ(g_driverClient.module.load(), nullptr);
    EXPECT_FALSE(FileExists(journalPath_)) << ReadFileText(journalPath_);

    // Each call tries again: once the system directory has it, the next call binds.
    ASSERT_NO_FATAL_FAILURE(InstallDriver());
    EXPECT_EQ(InitializeDriverInterface(), kDriverOk);
    std::vector<std::string> loads;
    for (const std::string& line : JournalLines()) {
        if (StartsWith(line, "load")) {
            loads.push_back(LowerAscii(line));
        }
    }
    EXPECT_EQ(loads,
              std::vector<std::string>{LowerAscii("load path=" + Narrow(SystemDriverPath()))});
}

TEST_F(InitializeTest, LibraryRefusingToLoadGivesMinusTwoFromEveryCall) {
    SetFailures(L"loadfail");
    EXPECT_EQ(InitializeDriverInterface(), kDriverLibraryNotFound);
    for (const WrapperInfo& info : kWrappers) {
        EXPECT_EQ(CallWrapper(info.wrapper), kDriverLibraryNotFound) << info.name;
    }
    // The system directory's copy was tried by every call, and nothing else happened.
    std::vector<std::string> lines = JournalLines();
    ASSERT_EQ(lines.size(), 5u);
    for (const std::string& line : lines) {
        EXPECT_EQ(LowerAscii(line), LowerAscii("load-refused path=" + Narrow(SystemDriverPath())));
    }
    EXPECT_EQ(g_driverClient.module.load(), nullptr);
}

// --- Wrappers ---------------------------------------------------------------------------------

using WrapperTest = InstalledDriverTest;

TEST_F(WrapperTest, DisplayRecordFlowReachesTheDriverBetweenTheHooks) {
    ASSERT_EQ(InitializeDriverInterface(), kDriverOk);
    ClearJournal();

    FlowResult flow = RunFlow();
    EXPECT_EQ(flow.gpusStatus, kDriverOk);
    EXPECT_EQ(flow.displayStatus, kDriverOk);
    EXPECT_EQ(flow.queryStatus, kDriverOk);
    EXPECT_EQ(flow.applyStatus, kDriverOk);
    EXPECT_EQ(flow.gpuCount, 1u);
    EXPECT_EQ(flow.gpus[0], simdriver::kGpuHandle);
    EXPECT_EQ(flow.display, simdriver::kDisplayHandle);
    EXPECT_EQ(flow.companion, simdriver::kCompanion);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&flow.record);
    EXPECT_EQ(bytes[4], simdriver::DefaultRecordByte(4));
    EXPECT_EQ(bytes[215], simdriver::DefaultRecordByte(215));

    const std::vector<std::string> expected = {
        QueryLine(kIdEnumPhysicalGpus, true),
        EntryHookLine(kIdEnumPhysicalGpus),
        "call name=EnumPhysicalGpus id=0xE5AC921F count=1 status=0",
        ExitHookLine(kIdEnumPhysicalGpus, 0),
        QueryLine(kIdEnumDisplayHandle, true),
        EntryHookLine(kIdEnumDisplayHandle),
        "call name=EnumDisplayHandle id=0x9ABDD40D index=0 display=0x00D15000 status=0",
        ExitHookLine(kIdEnumDisplayHandle, 0),
        QueryLine(kIdQueryDisplayRecord, true),
        EntryHookLine(kIdQueryDisplayRecord),
        "call name=QueryDisplayRecord id=0xDC27D5D4 display=0x00D15000 version=0x000500D8 "
        "setting=0 companion=0x0000C0DE status=0",
        ExitHookLine(kIdQueryDisplayRecord, 0),
        QueryLine(kIdApplyDisplayRecord, true),
        EntryHookLine(kIdApplyDisplayRecord),
        "call name=ApplyDisplayRecord id=0xE04F3D86 display=0x00D15000 version=0x000500D8 "
        "setting=2 companion=0x0000C0DE status=0",
        ExitHookLine(kIdApplyDisplayRecord, 0),
    };
    EXPECT_EQ(JournalLines(), expected);

    // The driver kept what was applied.
    DisplayRecord record = {};
    record.version = kDisplayRecordVersionWord;
    uint32_t companion = 0;
    ASSERT_EQ(QueryDisplayRecord(simdriver::kDisplayHandle, &record, &companion), kDriverOk);
    EXPECT_EQ(record.setting, kDisplaySettingValue);
}

// Each wrapped call of the flow failing in turn: that wrapper returns the driver's status
// unchanged, the exit hook is told it, and the calls after it still reach the driver with
// whatever the failed call left.
struct FailingCallCase {
    const char* name;
    InterfaceId id;
    DriverStatus expected[4];  // gpus, display, query, apply
};

class FailingCallTest : public InstalledDriverTest,
                        public ::testing::WithParamInterface<FailingCallCase> {};

constexpr DriverStatus kInjectedFailure = -0x7011;

TEST_P(FailingCallTest, PassesTheDriverStatusThroughAndTheFlowGoesOn) {
    std::wstring items =
        L"fail=" + std::to_wstring(GetParam().id) + L":" + std::to_wstring(kInjectedFailure);
    SetFailures(items.c_str());
    ASSERT_EQ(InitializeDriverInterface(), kDriverOk);

    FlowResult flow = RunFlow();
    EXPECT_EQ(flow.gpusStatus, GetParam().expected[0]);
    EXPECT_EQ(flow.displayStatus, GetParam().expected[1]);
    EXPECT_EQ(flow.queryStatus, GetParam().expected[2]);
    EXPECT_EQ(flow.applyStatus, GetParam().expected[3]);
    EXPECT_TRUE(HasLine(ExitHookLine(GetParam().id, kInjectedFailure)));
    for (const WrapperInfo& info : kWrappers) {
        EXPECT_EQ(CountCalls(info.name), 1u) << info.name;
        EXPECT_EQ(CountLines("exit-hook id=" + Hex(info.id)), 1u) << info.name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Calls, FailingCallTest,
    ::testing::Values(
        FailingCallCase{"EnumPhysicalGpus", kIdEnumPhysicalGpus, {kInjectedFailure, 0, 0, 0}},
        // The display handle stays 0, which the driver does not know.
        FailingCallCase{"EnumDisplayHandle",
                        kIdEnumDisplayHandle,
                        {0, kInjectedFailure, simdriver::kStatusUnknownDisplay,
                         simdriver::kStatusUnknownDisplay}},
        // The companion stays 0, which the driver refuses.
        FailingCallCase{"QueryDisplayRecord",
                        kIdQueryDisplayRecord,
                        {0, 0, kInjectedFailure, simdriver::kStatusWrongCompanion}},
        FailingCallCase{"ApplyDisplayRecord", kIdApplyDisplayRecord, {0, 0, 0, kInjectedFailure}}),
    [](const ::testing::TestParamInfo<FailingCallCase>& info) {
        return std::string(info.param.name);
    });

class EachWrapperTest : public InstalledDriverTest,
                        public ::testing::WithParamInterface<WrapperInfo> {};

TEST_P(EachWrapperTest, CalledBeforeInitializationLoadsAndBindsItself) {
    EXPECT_EQ(CallWrapper(GetParam().wrapper), kDriverOk);
    EXPECT_NE(g_driverClient.module.load(), nullptr);
    EXPECT_EQ(CountLines("load path="), 1u);
    EXPECT_EQ(CountCalls("DriverInitialize"), 1u);
    EXPECT_TRUE(HasLine(ExitHookLine(GetParam().id, kDriverOk)));

    EXPECT_EQ(InitializeDriverInterface(), kDriverOk);
    EXPECT_EQ(CountLines("load path="), 1u);
    EXPECT_EQ(CountCalls("DriverInitialize"), 1u);
}

TEST_P(EachWrapperTest, AsksTheDriverForItsEntryPointOncePerBind) {
    ASSERT_EQ(InitializeDriverInterface(), kDriverOk);
    EXPECT_EQ(CallWrapper(GetParam().wrapper), kDriverOk);
    EXPECT_EQ(CallWrapper(GetParam().wrapper), kDriverOk);
    EXPECT_EQ(CallWrapper(GetParam().wrapper), kDriverOk);
    EXPECT_EQ(CountLines(QueryLine(GetParam().id, true)), 1u);
    EXPECT_EQ(CountCalls(GetParam().name), 3u);
    HMODULE module = GetModuleHandleW(kDriverLibraryName);
    EXPECT_EQ(g_driverClient.entryPoints[GetParam().slot].load(),
              reinterpret_cast<void*>(GetProcAddress(module, GetParam().name)));
    EXPECT_EQ(CountCachedEntryPoints(), 1u);
}

TEST_P(EachWrapperTest, MissingEntryPointGivesMinusThreeAndIsAskedForAgain) {
    ASSERT_EQ(InitializeDriverInterface(), kDriverOk);
    std::wstring items = L"missing=" + std::to_wstring(GetParam().id);
    SetFailures(items.c_str());
    ClearJournal();

    EXPECT_EQ(CallWrapper(GetParam().wrapper), kDriverNoEntryPoint);
    EXPECT_EQ(CallWrapper(GetParam().wrapper), kDriverNoEntryPoint);
    EXPECT_EQ(g_driverClient.entryPoints[GetParam().slot].load(), nullptr);
    const std::vector<std::string> missing(2, QueryLine(GetParam().id, false));
    EXPECT_EQ(JournalLines(), missing) << "no hook and no call without an entry point";

    // The driver offers it now: the next call asks, gets it and uses it.
    SetFailures(nullptr);
    EXPECT_EQ(CallWrapper(GetParam().wrapper), kDriverOk);
    EXPECT_EQ(CallWrapper(GetParam().wrapper), kDriverOk);
    EXPECT_EQ(CountLines(QueryLine(GetParam().id, true)), 1u);
    EXPECT_EQ(CountCalls(GetParam().name), 2u);
}

INSTANTIATE_TEST_SUITE_P(Wrappers, EachWrapperTest, ::testing::ValuesIn(kWrappers), WrapperName);

TEST_F(WrapperTest, NullArgumentsReachTheDriverUnchanged) {
    ASSERT_EQ(InitializeDriverInterface(), kDriverOk);
    EXPECT_EQ(EnumPhysicalGpus(nullptr, nullptr), simdriver::kStatusInvalidArgument);
    EXPECT_EQ(EnumDisplayHandle(0, nullptr), simdriver::kStatusInvalidArgument);
    EXPECT_EQ(QueryDisplayRecord(simdriver::kDisplayHandle, nullptr, nullptr),
              simdriver::kStatusInvalidArgument);
    EXPECT_EQ(ApplyDisplayRecord(simdriver::kDisplayHandle, nullptr, simdriver::kCompanion),
              simdriver::kStatusInvalidArgument);
    EXPECT_EQ(CountLines("exit-hook "), 4u);
}

TEST_F(WrapperTest, RepeatedCallsLeaveNoHeapBlocksBehind) {
    // Without a journal the simulated driver does no file work, so what is counted is the
    // client's; the warm-up call fills the cache slots for good.
    SetEnvironmentVariableW(simdriver::kJournalVariable, nullptr);
    ASSERT_EQ(InitializeDriverInterface(), kDriverOk);
    RunFlow();

    size_t before = CountBusyHeapBlocks();
    for (int i = 0; i < 20; ++i) {
        FlowResult flow = RunFlow();
        ASSERT_EQ(flow.applyStatus, kDriverOk);
        ASSERT_EQ(InitializeDriverInterface(), kDriverOk);
    }
    EXPECT_EQ(CountBusyHeapBlocks(), before);
}

}  // namespace

// --- Loading once ---------------------------------------------------------------------------

namespace {

// A caller that reaches the load after another thread bound the library (it waited on the
// lock meanwhile) finds it bound and loads nothing a second time.
TEST_F(InstalledDriverTest, LoadAfterTheBindLoadsNothingAgain) {
    ASSERT_EQ(InitializeDriverInterface(), kDriverOk);
    const HMODULE bound = g_driverClient.module.load();
    EXPECT_EQ(LoadDriverLibrary(), kDriverOk);
    EXPECT_EQ(g_driverClient.module.load(), bound);
    EXPECT_EQ(CountLines("load path="), 1u);
    EXPECT_EQ(CountCalls("DriverInitialize"), 1u);
}

}  // namespace

// --- The simulated driver's snapshot of its settings ---------------------------------------

namespace {

// With SIMDRIVER_SNAPSHOT set at load, the simulated driver keeps the settings of that
// moment: the benchmark relies on it never reading the environment during a call.
TEST_F(InstalledDriverTest, SnapshotDriverKeepsTheSettingsOfItsLoad) {
    ScopedEnvironment snapshot(simdriver::kSnapshotVariable, L"1");
    SetFailures(L"fail=0x9ABDD40D:-7");
    ASSERT_EQ(InitializeDriverInterface(), kDriverOk);
    SetFailures(L"fail=0x9ABDD40D:-8");
    const std::wstring laterJournal = scratch_ / L"later.txt";
    ScopedEnvironment otherJournal(simdriver::kJournalVariable, laterJournal.c_str());
    DisplayHandle display = 0;
    EXPECT_EQ(EnumDisplayHandle(0, &display), -7);
    EXPECT_EQ(CountCalls("EnumDisplayHandle"), 1u);
    EXPECT_FALSE(FileExists(laterJournal));
}

}  // namespace
