#include "loader/load_observer.h"

constinit std::atomic<LoadObserver*> g_loadObserver{nullptr};

void ReportLoadStep(LoadEvent&& event) {
    LoadObserver* observer = g_loadObserver.load(std::memory_order_acquire);
    if (observer == nullptr) {
        return;
    }
    event.error = GetLastError();
    observer->OnLoadStep(event);
    SetLastError(event.error);
}

void ReportLoadStep(LoadStep step, const wchar_t* path) {
    ReportLoadStep({.step = step, .path = path});
}

void ReportRefusal(LoadRefusal refusal, const wchar_t* path, LoadSource source) {
    ReportLoadStep(
        {.step = LoadStep::kRefusal, .source = source, .refusal = refusal, .path = path});
}

HMODULE LoadDecidedModule(ModulePlace place, const wchar_t* path, DWORD flags) {
    if (LoadObserver* observer = g_loadObserver.load(std::memory_order_acquire)) {
        ReportLoadStep({.step = LoadStep::kLoadDecision, .place = place, .path = path});
        if (observer->dryRun()) {
            SetLastError(ERROR_SUCCESS);
            return nullptr;
        }
    }
    return LoadLibraryExW(path, nullptr, flags);
}
