#include "app/watch/status_publisher.h"

#include <string.h>

#include "app/watch/user_bindings.h"
#include "base/local_memory.h"
#include "loader/strings/wide_strings.h"

namespace {

// Read for the owner, the system and the user, and nothing else for anyone: the OWNER
// RIGHTS entry (OW) takes away the owner's implicit right to change the security, which
// would let any program of the user make the section writable. The user's own entry lets
// the user's programs read whoever owns the section (an elevated watcher's objects belong to
// the Administrators group), and it is the one that Wine, which knows no OWNER RIGHTS, goes
// by. Protected (P): nothing is inherited.
constexpr wchar_t kSecurityBeforeUser[] = L"D:P(A;;GR;;;OW)(A;;GR;;;SY)(A;;GR;;;";
constexpr wchar_t kSecurityAfterUser[] = L")";
// The prefix, a SID's text (at most 15 sub-authorities of 10 digits) and the end.
constexpr uint32_t kSecurityTextChars = 320;

// The user's SID as text ("S-1-5-21-..."), allocated; false when it cannot be had.
bool GetUserSidText(LocalString& text) {
    KernelHandle token;
    if (!g_advapi32.openProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()) || !token) {
        return false;
    }
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } buffer;
    DWORD size = 0;
    if (!g_advapi32.getTokenInformation(token.get(), TokenUser, &buffer, sizeof(buffer), &size)) {
        return false;
    }
    return g_advapi32.convertSidToStringSid(buffer.user.User.Sid, text.put()) && text.valid();
}

// The section's security descriptor, allocated; false when any step fails.
bool MakeReadOnlySecurity(LocalMemory<void>& descriptor) {
    LocalString user;
    if (!BindTokenUserLookup() || !BindSecurityDescriptorParsing() || !GetUserSidText(user)) {
        return false;
    }
    wchar_t text[kSecurityTextChars];
    if (StringCopyBounded(text, kSecurityTextChars, kSecurityBeforeUser) != kStringOk ||
        StringAppendChars(text, kSecurityTextChars, user.get()) != kStringOk ||
        StringAppendChars(text, kSecurityTextChars, kSecurityAfterUser) != kStringOk) {
        return false;
    }
    return g_advapi32.convertStringSecurityDescriptor(text, SDDL_REVISION_1, descriptor.put(),
                                                      nullptr) &&
           descriptor.valid();
}

}  // namespace

StatusPublisher::StatusPublisher() {
    status_.magic = kWatcherStatusMagic;
    status_.version = kWatcherStatusVersion;
    status_.size = sizeof(WatcherStatus);
    GetSystemTimeAsFileTime(&status_.started);
}

void StatusPublisher::Open() {
    LocalMemory<void> security;
    if (!MakeReadOnlySecurity(security)) {
        return;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), security.get(), FALSE};
    // CreateFileMappingW leaves the last-error value alone when it creates the section.
    SetLastError(ERROR_SUCCESS);
    KernelHandle section(CreateFileMappingW(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0,
                                            sizeof(WatcherStatus), kWatcherStatusName));
    if (!section || GetLastError() == ERROR_ALREADY_EXISTS) {
        return;
    }
    MappedView view(MapViewOfFile(section.get(), FILE_MAP_WRITE, 0, 0, sizeof(WatcherStatus)));
    if (!view) {
        return;
    }
    section_ = static_cast<KernelHandle&&>(section);
    view_ = static_cast<MappedView&&>(view);
    Publish();
}

void StatusPublisher::ChildStarted(bool check, RunCause cause) {
    WatcherChildRecord& record = check ? status_.lastCheck : status_.lastRun;
    if (check) {
        ++status_.checks;
    } else {
        ++status_.runs[static_cast<uint32_t>(cause)];
    }
    GetSystemTimeAsFileTime(&record.time);
    record.cause = check ? 0 : static_cast<uint32_t>(cause);
    record.outcome = static_cast<uint32_t>(ChildOutcome::kRunning);
    record.code = 0;
    Publish();
}

void StatusPublisher::ChildEnded(bool check, ChildOutcome outcome, DWORD code) {
    WatcherChildRecord& record = check ? status_.lastCheck : status_.lastRun;
    record.outcome = static_cast<uint32_t>(outcome);
    record.code = code;
    if (outcome == ChildOutcome::kEndedAtLimit) {
        ++status_.childrenEnded;
    }
    Publish();
}

void StatusPublisher::SetBurstsGivenUp(uint32_t bursts) {
    if (status_.burstsGivenUp == bursts) {
        return;
    }
    status_.burstsGivenUp = bursts;
    Publish();
}

// The sequence is odd while the record changes, so that a reader never takes a half-written
// one. The interlocked writes are full barriers, for the processor and the compiler alike.
void StatusPublisher::Publish() {
    if (!view_) {
        return;
    }
    auto* shared = static_cast<WatcherStatus*>(view_.get());
    const LONG sequence = status_.sequence;
    InterlockedExchange(&shared->sequence, sequence + 1);
    status_.sequence = sequence + 1;
    memcpy(shared, &status_, offsetof(WatcherStatus, sequence));
    memcpy(&shared->started, &status_.started,
           sizeof(WatcherStatus) - offsetof(WatcherStatus, started));
    status_.sequence = sequence + 2;
    InterlockedExchange(&shared->sequence, sequence + 2);
}
