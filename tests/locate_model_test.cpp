// dispset-diag locate's model without a platform: the loader's events fed in by hand, the
// file's header facts given, and LoadLibraryExW's name rule on plain strings.
#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/diag/locate_model.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

// Every table lists its enum's values in order, up to the last one, so that a value
// indexes its own entry, and no two JSON names are alike.
template <typename Enum, size_t N>
void ExpectCompleteTable(const EnumNames<Enum> (&table)[N], Enum last) {
    EXPECT_EQ(static_cast<size_t>(last) + 1, N);
    std::set<std::wstring> jsonNames;
    for (size_t i = 0; i < N; ++i) {
        EXPECT_EQ(&NamesOf(table, static_cast<Enum>(i)), &table[i]);
        EXPECT_EQ(static_cast<size_t>(table[i].value), i);
        EXPECT_TRUE(table[i].json == nullptr || jsonNames.insert(table[i].json).second);
    }
}

TEST(LocateModel, EachEnumHasOneCompleteTable) {
    ExpectCompleteTable(kSourceNames, LoadSource::kDriverFolder);
    ExpectCompleteTable(kTrustedFolderNames, TrustedFolder::kAnyBeforeWindows7);
    ExpectCompleteTable(kPlaceNames, ModulePlace::kSystemDirectory);
    ExpectCompleteTable(kRefusalNames, LoadRefusal::kUntrustedFolder);
    ExpectCompleteTable(kOutcomeNames, LocateOutcome::kUnloadable);
}

TEST(LocateModel, TheFileIsNamedByLoadLibraryExWsRule) {
    const wchar_t* const cases[][2] = {
        {L"C:\\Program Files\\Vendor\\NVAPI", L"C:\\Program Files\\Vendor\\NVAPI.dll"},
        {L"C:\\Program Files\\Vendor\\NVAPI.", L"C:\\Program Files\\Vendor\\NVAPI"},
        {L"C:\\Program Files\\Vendor\\nvapi.DLL", L"C:\\Program Files\\Vendor\\nvapi.DLL"},
        {L"C:\\Program Files\\Vendor\\nv.api", L"C:\\Program Files\\Vendor\\nv.api"},
        {L"C:\\Vendor 1.2\\nvapi", L"C:\\Vendor 1.2\\nvapi.dll"},
        {L"C:/Vendor 1.2/nvapi", L"C:\\Vendor 1.2\\nvapi.dll"},
        {L"C:\\Vendor\\NVAPI  ", L"C:\\Vendor\\NVAPI.dll"},
    };
    for (const auto& c : cases) {
        OptionalText file;
        ASSERT_TRUE(FileLoadLibraryOpens(c[0], file)) << Narrow(c[0]);
        EXPECT_EQ(std::wstring(file.get()), c[1]) << Narrow(c[0]);
    }
    OptionalText none;
    EXPECT_FALSE(FileLoadLibraryOpens(nullptr, none));
}

TEST(LocateModel, TheDecisionFollowsWhatTheLoaderToldAndTheHeaders) {
    const uint16_t self = ThisProcessMachine();
    const uint16_t other =
        self == IMAGE_FILE_MACHINE_I386 ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386;
    const LoadEvent decision = {.step = LoadStep::kLoadDecision, .path = L"C:\\x\\nvapi.dll"};
    const struct {
        const char* name;
        LoadEvent told;  // the decision, or the refusal
        PeHeaderStatus status;
        uint16_t machine;
        DWORD error;  // the file's open error; the result's error when refused
        LocateOutcome outcome;
        DWORD decidedError;
    } cases[] = {
        {"loadable", decision, PeHeaderStatus::kOk, self, 0, LocateOutcome::kLoad, 0},
        {"missing", decision, PeHeaderStatus::kCannotOpen, 0, ERROR_FILE_NOT_FOUND,
         LocateOutcome::kUnloadable, ERROR_FILE_NOT_FOUND},
        {"other machine", decision, PeHeaderStatus::kOk, other, 0, LocateOutcome::kUnloadable,
         ERROR_BAD_EXE_FORMAT},
        {"search failed at source 4",
         {.step = LoadStep::kRefusal,
          .source = LoadSource::kSupportModules,
          .refusal = LoadRefusal::kSearchFailed},
         PeHeaderStatus::kOk,
         0,
         ERROR_INVALID_DATA,
         LocateOutcome::kRefused,
         ERROR_INVALID_DATA},
        {"failed untold",
         {.step = LoadStep::kResult},
         PeHeaderStatus::kOk,
         0,
         ERROR_NOT_ENOUGH_MEMORY,
         LocateOutcome::kRefused,
         ERROR_NOT_ENOUGH_MEMORY},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LocateTrace trace;
        trace.OnLoadStep(c.told);
        trace.OnLoadStep({.step = LoadStep::kResult,
                          .error = c.told.step == LoadStep::kLoadDecision ? 0 : c.error});
        PeImageInfo headers;
        headers.status = c.status;
        headers.openError = c.status == PeHeaderStatus::kOk ? 0 : c.error;
        headers.machine = c.machine;
        headers.characteristics = IMAGE_FILE_EXECUTABLE_IMAGE | IMAGE_FILE_DLL;
        const LocateDecision decided = Decide(trace, headers);
        EXPECT_EQ(decided.outcome, c.outcome);
        EXPECT_EQ(decided.error, c.decidedError);
        EXPECT_EQ(decided.reason, c.told.refusal);
        EXPECT_EQ(decided.failedSource, c.told.source);
    }
}

}  // namespace
