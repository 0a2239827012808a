// The watcher's status section: what the watcher publishes is what dispset-diag reads, no
// one else may write it, and a name taken first or a security that cannot be made leaves the
// watcher without a status rather than with one that anyone could write.
//
// Wine refuses a write open of the section, which is tested as it is. It knows no OWNER
// RIGHTS, so it still lets the owner change the section's security (Windows does not): that
// part is tested on the security itself, which must hold nothing but read access.
#include <windows.h>
#include <aclapi.h>
#include <string.h>

#include <gtest/gtest.h>

#include "app/diag/watcher_status_report.h"
#include "app/watch/status_publisher.h"
#include "app/watch/user_bindings.h"
#include "tests/support/test_support.h"

namespace {

using namespace testing_support;

// Every right that would change the section, its security or its life.
constexpr ACCESS_MASK kWriteRights = GENERIC_WRITE | GENERIC_ALL | WRITE_DAC | WRITE_OWNER |
                                     DELETE | SECTION_MAP_WRITE | SECTION_EXTEND_SIZE;

void ExpectOnlyReadAccess(HANDLE section) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetSecurityInfo(section, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &descriptor),
              ERROR_SUCCESS);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    EXPECT_TRUE(control & SE_DACL_PROTECTED);
    ASSERT_NE(dacl, nullptr);
    EXPECT_EQ(dacl->AceCount, 3u) << "the owner's rights, the system and the user";
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(ace->Mask & kWriteRights, 0u) << "entry " << i;
    }
    LocalFree(descriptor);
}

TEST(StatusPublisherTest, WhatIsPublishedIsReadBackAndNoOneElseMayWriteIt) {
    StatusPublisher{}.Open();  // advapi32's first use keeps what it allocates
    const size_t blocks = CountBusyHeapBlocks();
    {
        StatusPublisher publisher;
        publisher.Open();
        ASSERT_TRUE(publisher.publishing());
        publisher.ChildStarted(false, RunCause::kResume);
        publisher.ChildEnded(false, ChildOutcome::kExited, 0);
        publisher.ChildStarted(true, RunCause::kStart);
        publisher.ChildEnded(true, ChildOutcome::kEndedAtLimit, 0);
        publisher.SetBurstsGivenUp(1);

        const StatusReading reading = ReadSessionStatus(true);
        ASSERT_EQ(reading.problem, StatusProblem::kNone);
        EXPECT_EQ(memcmp(&reading.status, &publisher.status(), sizeof(WatcherStatus)), 0);
        EXPECT_EQ(reading.status.runs[static_cast<int>(RunCause::kResume)], 1u);
        EXPECT_EQ(reading.status.childrenEnded, 1u);

        EXPECT_EQ(OpenFileMappingW(FILE_MAP_WRITE, FALSE, kWatcherStatusName), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        KernelHandle section(OpenFileMappingW(READ_CONTROL, FALSE, kWatcherStatusName));
        ASSERT_TRUE(section.valid());
        ExpectOnlyReadAccess(section.get());
    }
    EXPECT_EQ(CountBusyHeapBlocks(), blocks);
}

TEST(StatusPublisherTest, ANameTakenFirstIsNotWrittenTo) {
    KernelHandle taken(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                          sizeof(WatcherStatus), kWatcherStatusName));
    MappedView view(MapViewOfFile(taken.get(), FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_TRUE(view.valid());
    memset(view.get(), 0xA5, sizeof(WatcherStatus));
    StatusPublisher publisher;
    publisher.Open();
    publisher.ChildStarted(false, RunCause::kStart);
    EXPECT_FALSE(publisher.publishing());
    EXPECT_EQ(static_cast<const unsigned char*>(view.get())[0], 0xA5);
}

BOOL WINAPI FailToConvert(LPCWSTR, DWORD, PSECURITY_DESCRIPTOR*, PULONG) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

TEST(StatusPublisherTest, WithoutItsSecurityNothingIsPublished) {
    ASSERT_TRUE(BindSecurityDescriptorParsing());
    const auto convert = g_advapi32.convertStringSecurityDescriptor.load();
    g_advapi32.convertStringSecurityDescriptor.store(FailToConvert);
    StatusPublisher publisher;
    publisher.Open();
    g_advapi32.convertStringSecurityDescriptor.store(convert);
    EXPECT_FALSE(publisher.publishing());
    EXPECT_EQ(OpenFileMappingW(FILE_MAP_READ, FALSE, kWatcherStatusName), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
