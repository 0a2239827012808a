// dispset-diag locate's model without a platform: the loader's events fed in by hand, the
// file's header facts given, and LoadLibraryExW's name rule on plain strings.
#include <windows.h>

#include <iterator>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/diag/locate_model.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

// Every table lists its enum's values in order, so that a value indexes its own entry,
// and no two JSON names are alike.
template <typename Enum, size_t N>
void ExpectCompleteTable(const EnumNames<Enum> (&table)[N], const char* name) {
    std::set<std::wstring> jsonNames;
    for (size_t i = 0; i < N; ++i) {
        EXPECT_EQ(static_cast<size_t>(table[i].value), i) << name << " entry " << i;
        EXPECT_EQ(&NamesOf(table, table[i].value), &table[i]) << name;
        if (table[i].json != nullptr) {
            EXPECT_TRUE(jsonNames.insert(table[i].json).second) << name << " entry " << i;
        }
    }
}

TEST(LocateModel, EachEnumHasOneCompleteTable) {
    ExpectCompleteTable(kSourceNames, "sources");
    ExpectCompleteTable(kTrustedFolderNames, "trusted folders");
    ExpectCompleteTable(kPlaceNames, "places");
    ExpectCompleteTable(kRefusalNames, "refusals");
    ExpectCompleteTable(kOutcomeNames, "outcomes");
    EXPECT_EQ(static_cast<size_t>(LoadRefusal::kUntrustedFolder) + 1, std::size(kRefusalNames));
    EXPECT_EQ(static_cast<size_t>(TrustedFolder::kAnyBeforeWindows7) + 1,
              std::size(kTrustedFolderNames));
}

TEST(LocateModel, TheFileIsNamedByLoadLibraryExWsRule) {
    const struct {
        const wchar_t* path;
        const wchar_t* file;
    } cases[] = {
        {L"C:\\Program Files\\Vendor\\NVAPI", L"C:\\Program Files\\Vendor\\NVAPI.dll"},
        {L"C:\\Program Files\\Vendor\\NVAPI.", L"C:\\Program Files\\Vendor\\NVAPI"},
        {L"C:\\Program Files\\Vendor\\nvapi.dll", L"C:\\Program Files\\Vendor\\nvapi.dll"},
        {L"C:\\Program Files\\Vendor\\nvapi.DLL", L"C:\\Program Files\\Vendor\\nvapi.DLL"},
        {L"C:\\Program Files\\Vendor\\nv.api", L"C:\\Program Files\\Vendor\\nv.api"},
        {L"C:\\Vendor 1.2\\nvapi", L"C:\\Vendor 1.2\\nvapi.dll"},
        {L"C:/Vendor 1.2/nvapi", L"C:\\Vendor 1.2\\nvapi.dll"},
        {L"C:\\windows\\system32\\NVAPI", L"C:\\windows\\system32\\NVAPI.dll"},
        {L"C:\\Vendor\\NVAPI  ", L"C:\\Vendor\\NVAPI.dll"},
    };
    for (const auto& c : cases) {
        OptionalText file;
        ASSERT_TRUE(FileLoadLibraryOpens(c.path, file)) << Narrow(c.path);
        EXPECT_EQ(std::wstring(file.get()), c.file) << Narrow(c.path);
    }
    OptionalText none;
    EXPECT_FALSE(FileLoadLibraryOpens(nullptr, none));
}

// The events a run of the loader reports, as the observer gets them.
LoadEvent Decision(const wchar_t* path) {
    return {.step = LoadStep::kLoadDecision, .path = path};
}
LoadEvent Refusal(LoadRefusal refusal, LoadSource source = LoadSource::kNone) {
    return {.step = LoadStep::kRefusal, .source = source, .refusal = refusal};
}
LoadEvent Result(DWORD error) {
    return {.step = LoadStep::kResult, .error = error};
}

PeImageInfo Headers(PeHeaderStatus status, uint16_t machine, DWORD openError = ERROR_SUCCESS) {
    PeImageInfo info;
    info.status = status;
    info.openError = openError;
    info.machine = machine;
    info.characteristics = IMAGE_FILE_EXECUTABLE_IMAGE | IMAGE_FILE_DLL;
    return info;
}

TEST(LocateModel, TheDecisionFollowsWhatTheLoaderToldAndTheHeaders) {
    const uint16_t self = ThisProcessMachine();
    const uint16_t other =
        self == IMAGE_FILE_MACHINE_I386 ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386;
    const struct {
        const char* name;
        std::vector<LoadEvent> events;
        PeImageInfo headers;
        LocateOutcome outcome;
        DWORD error;
        LoadRefusal reason;
        LoadSource failedSource;
    } cases[] = {
        {"loadable file",
         {Decision(L"C:\\x\\nvapi.dll"), Result(0)},
         Headers(PeHeaderStatus::kOk, self),
         LocateOutcome::kLoad,
         ERROR_SUCCESS,
         LoadRefusal::kNone,
         LoadSource::kNone},
        {"missing file",
         {Decision(L"C:\\x\\nvapi.dll"), Result(0)},
         Headers(PeHeaderStatus::kCannotOpen, 0, ERROR_FILE_NOT_FOUND),
         LocateOutcome::kUnloadable,
         ERROR_FILE_NOT_FOUND,
         LoadRefusal::kNone,
         LoadSource::kNone},
        {"other architecture",
         {Decision(L"C:\\x\\nvapi.dll"), Result(0)},
         Headers(PeHeaderStatus::kOk, other),
         LocateOutcome::kUnloadable,
         ERROR_BAD_EXE_FORMAT,
         LoadRefusal::kNone,
         LoadSource::kNone},
        {"untrusted folder",
         {Refusal(LoadRefusal::kUntrustedFolder), Result(ERROR_BAD_PATHNAME)},
         PeImageInfo(),
         LocateOutcome::kRefused,
         ERROR_BAD_PATHNAME,
         LoadRefusal::kUntrustedFolder,
         LoadSource::kNone},
        {"search failed at source 4",
         {Refusal(LoadRefusal::kSearchFailed, LoadSource::kSupportModules),
          Result(ERROR_INVALID_DATA)},
         PeImageInfo(),
         LocateOutcome::kRefused,
         ERROR_INVALID_DATA,
         LoadRefusal::kSearchFailed,
         LoadSource::kSupportModules},
        {"failed untold",
         {Result(ERROR_NOT_ENOUGH_MEMORY)},
         PeImageInfo(),
         LocateOutcome::kRefused,
         ERROR_NOT_ENOUGH_MEMORY,
         LoadRefusal::kNone,
         LoadSource::kNone},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LocateTrace trace;
        for (const LoadEvent& event : c.events) {
            trace.OnLoadStep(event);
        }
        const LocateDecision decision = Decide(trace, c.headers);
        EXPECT_EQ(decision.outcome, c.outcome);
        EXPECT_EQ(decision.error, c.error);
        EXPECT_EQ(decision.reason, c.reason);
        EXPECT_EQ(decision.failedSource, c.failedSource);
    }
}

}  // namespace
