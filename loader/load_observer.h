// The loader's optional observer: each step of LoadLibrarySecure's decision (the version
// gate, the device and class key, each source of the driver search, the trusted-folder test,
// the path decided on or the refusal and its reason) is told to it as a small typed event.
// dispset.exe never installs one; on its path every report costs one null test. An observer may
// also ask for a dry run: the loader then decides as always but stops where it would call
// LoadLibraryExW on the module, so the decision can be shown without the module's code ever
// running.
//
// Observers are installed for a whole call of the loader, on the thread that makes it; an
// observer must not call the loader back.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <atomic>

enum class LoadStep : uint8_t {
    kVersionGate,    // buildNumber: as read (0: unreadable); place: the branch the name takes
    kDisplayDevice,  // path: device path of the NVIDIA display device a lookup selected
    kClassKey,       // path: its driver class key under HKLM, or null (see error)
    kSource,         // source; path: what it found, or null (error 0: nothing; else failed)
    kDriverFolder,   // path: the folder that source 5 looks in, or null (see error)
    kSearchEnd,      // path: the search's result, or null with error (ERROR_MOD_NOT_FOUND:
                     // the driver registers no such module)
    kTrustTest,      // path: the full path compared; trusted: the folder it lies in;
                     // folder: that folder's text (null when none matched)
    kLoadDecision,   // path: the module file the loader loads (or, in a dry run, would);
                     // place: where that path comes from
    kRefusal,        // refusal: why the loader loads nothing; error: the code it returns;
                     // source: for a failed search, the source tried last (kNone: none
                     // yet); path: the name or the registered path refused
    kResult,         // error: the last-error value LoadLibrarySecure returns with (after a
                     // module was loaded, whatever its load left; in a dry run 0)
};

// The driver's registrations in the order in which the search tries them. The search ends
// after the last kSource reported.
enum class LoadSource : uint8_t {
    kNone,
    kDriverServices,
    kClassKeyValues,
    kKhronosLists,
    kSupportModules,
    kDriverFolder,
};

enum class TrustedFolder : uint8_t {
    kNone,
    kWindows,
    kProgramFiles,
    kProgramFilesX86,
    kAnyBeforeWindows7,  // before Windows 7 every path counts as trusted
};

// Every way in which the loader refuses to load anything, each told by the site that
// refuses, so that an observer never has to guess the reason from an error code.
enum class LoadRefusal : uint8_t {
    kNone,
    kBadName,          // not a bare file name: null, or with a path separator
    kSearchFailed,     // a lookup of the driver's registrations failed (source: at which)
    kRelativePath,     // the driver registered a relative path
    kNotAbsolute,      // a path that is not absolute reached the trusted-path load
    kUntrustedFolder,  // the registered path lies outside the trusted folders
};

enum class ModulePlace : uint8_t {
    kDriverRegistration,  // where the display driver registered the module
    kSystemDirectory,
};

// Each report names its step and the fields that step gives; the others keep these values.
struct LoadEvent {
    LoadStep step;
    LoadSource source = LoadSource::kNone;
    TrustedFolder trusted = TrustedFolder::kNone;
    LoadRefusal refusal = LoadRefusal::kNone;
    ModulePlace place = ModulePlace::kDriverRegistration;
    uint32_t buildNumber = 0;
    DWORD error = ERROR_SUCCESS;    // the thread's last-error value at the report
    const wchar_t* path = nullptr;  // texts are valid during the report only
    const wchar_t* folder = nullptr;
};

class LoadObserver {
  public:
    explicit LoadObserver(bool dryRun) : dryRun_(dryRun) {}
    LoadObserver(const LoadObserver&) = delete;
    LoadObserver& operator=(const LoadObserver&) = delete;

    // Stop the module load where LoadLibraryExW would be called.
    bool dryRun() const { return dryRun_; }
    virtual void OnLoadStep(const LoadEvent& event) = 0;

  protected:
    ~LoadObserver() = default;

  private:
    const bool dryRun_;
};

extern std::atomic<LoadObserver*> g_loadObserver;

// The test each report site makes first; kept inline, so that without an observer a report
// costs this one test.
[[gnu::always_inline]] inline bool IsLoadObserved() {
    return g_loadObserver.load(std::memory_order_acquire) != nullptr;
}

// Hands event to the installed observer, if any, with the thread's last-error value in its
// error field, and leaves that value as it was whatever the observer did: the driver search
// uses it as its control channel.
void ReportLoadStep(LoadEvent&& event);
// The same for a step that gives a path only: the smaller call, for the most frequent sites.
void ReportLoadStep(LoadStep step, const wchar_t* path);

// The kRefusal report, for RefuseLoad.
void ReportRefusal(LoadRefusal refusal, const wchar_t* path, LoadSource source);

// Sets the thread's last-error value to error and, with an observer installed, reports the
// refusal with it; every refusal site of the loader ends so. Without an observer this is
// the SetLastError call and one test.
[[gnu::always_inline]] inline void RefuseLoad(LoadRefusal refusal, DWORD error, const wchar_t* path,
                                              LoadSource source = LoadSource::kNone) {
    SetLastError(error);
    if (IsLoadObserved()) {
        ReportRefusal(refusal, path, source);
    }
}

// Loads the module file the loader decided on with LoadLibraryExW (flags as given: the
// caller has cleared the search-path bits). With an observer installed the decision is
// reported first; in a dry run nothing is loaded and the result is null with ERROR_SUCCESS.
// The loader's own system libraries never come here.
HMODULE LoadDecidedModule(ModulePlace place, const wchar_t* path, DWORD flags);

// Installs an observer for the life of the object; one at a time.
class ScopedLoadObserver {
  public:
    explicit ScopedLoadObserver(LoadObserver& observer) {
        g_loadObserver.store(&observer, std::memory_order_release);
    }
    ~ScopedLoadObserver() { g_loadObserver.store(nullptr, std::memory_order_release); }
    ScopedLoadObserver(const ScopedLoadObserver&) = delete;
    ScopedLoadObserver& operator=(const ScopedLoadObserver&) = delete;
};
