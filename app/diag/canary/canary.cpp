// The canary that "dispset-diag selftest" plants under the names of libraries, in the places
// an attacker would plant them. Loaded into a process, it creates its marker beside itself,
// named after itself ("version.dll" leaves "version.dll.ran"), and refuses its attach, so
// that it is unloaded at once and nothing of it ever runs again.
//
// It is built without the C runtime and imports from KERNEL32 alone: a library it imported
// would itself be looked for along the search order under test, and a runtime would run
// code of its own before the marker is written.
#include <windows.h>

#include "base/scoped_owner.h"

namespace {

// The marker's path fits a stack buffer below one page, so that no stack probe (a runtime
// function) is needed. A canary under a longer path leaves no marker; the self-test plants
// under the user's temporary folder, far shorter.
constexpr DWORD kPathCapacity = 1900;
constexpr wchar_t kMarkerSuffix[] = L".ran";
constexpr DWORD kMarkerSuffixChars = sizeof(kMarkerSuffix) / sizeof(wchar_t);  // NUL included

void LeaveMarker(HINSTANCE self) {
    wchar_t path[kPathCapacity + kMarkerSuffixChars];
    const DWORD length = GetModuleFileNameW(self, path, kPathCapacity);
    if (length == 0 || length >= kPathCapacity) {
        return;
    }
    for (DWORD i = 0; i < kMarkerSuffixChars; ++i) {
        path[length + i] = kMarkerSuffix[i];
    }
    // Created and closed at once: the marker is its name alone.
    const KernelHandle marker(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

extern "C" BOOL WINAPI CanaryAttach(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) {
        return TRUE;
    }
    LeaveMarker(self);
    // Refused: the loader unloads the library again, and a process that imported it
    // statically does not start.
    return FALSE;
}
