// One run of the program under test in the self-test: started as a downloaded program would
// be, in a working folder and with a folder first on its PATH that hold the canaries,
// inside a job that ends it, and whatever it started, when the run is over.
#pragma once

#include <windows.h>

// How long a run may take before it is ended: dispset.exe's work takes well under a second.
constexpr DWORD kPlantedRunLimitMilliseconds = 30000;

struct PlantedRun {
    DWORD startError = ERROR_SUCCESS;  // why it was not started; the run made nothing else
    bool ended = false;                // still running at the limit, and ended
    DWORD exitCode = 0;                // when it ended by itself
};

// Starts program by its full path (also the quoted command line, with no arguments), with
// no inherited handles and no console window, workingFolder as its working folder and an
// environment that is this process's with pathFolder put first on PATH. Waits for it for
// kPlantedRunLimitMilliseconds at most; then everything in its job is ended.
PlantedRun RunPlanted(const wchar_t* program, const wchar_t* workingFolder,
                      const wchar_t* pathFolder);
