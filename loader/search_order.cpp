#include "loader/search_order.h"

#include <windows.h>

#include <atomic>

#include "base/local_memory.h"
#include "loader/system_directory.h"

namespace {

using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD directoryFlags);

constinit std::atomic<DllSearchRestriction> g_restriction{DllSearchRestriction::kNotMade};

// Resolved by name: kernel32 has it from Windows 8 on, and Windows 7 and Vista only with
// update KB2533623. Importing it would keep the program from starting without that update.
SetDefaultDllDirectoriesFn FindSetDefaultDllDirectories() {
    HMODULE kernel = GetModuleHandleA("kernel32");
    if (kernel == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<SetDefaultDllDirectoriesFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
}

DllSearchRestriction Restrict() {
    // The loader's own loads are unchanged by this: each names its module by full path, with
    // the search-path flags cleared (flags 0 for system libraries), and a full path is never
    // searched for. What changes is where that module's imports are found: the system
    // directory alone. A driver library's own imports from its driver-store folder were never
    // found by the default order either (it searches the program's folder, not the loaded
    // library's), so nothing that worked stops working.
    SetDefaultDllDirectoriesFn setDefaultDllDirectories = FindSetDefaultDllDirectories();
    if (setDefaultDllDirectories != nullptr &&
        setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        return DllSearchRestriction::kSystemDirectoryOnly;
    }
    // A DLL directory takes the working folder out of the search order (SafeDllSearchMode
    // only moves it after the system directories). Windows does so for the empty text too;
    // the system directory does the same, adds nothing that is not searched anyway, and is
    // honoured by Wine as well, where the tests run.
    const LocalString systemDirectory(GetSystemDirectoryAlloc());
    if (SetDllDirectoryW(systemDirectory ? systemDirectory.get() : L"")) {
        return DllSearchRestriction::kWorkingFolderRemoved;
    }
    return DllSearchRestriction::kNone;
}

}  // namespace

DllSearchRestriction RestrictDllSearchToSystemDirectory() {
    const DllSearchRestriction restriction = Restrict();
    g_restriction.store(restriction, std::memory_order_release);
    return restriction;
}

DllSearchRestriction DllSearchRestrictionInForce() {
    return g_restriction.load(std::memory_order_acquire);
}
