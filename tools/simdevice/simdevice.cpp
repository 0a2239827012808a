// Runs a program on a simulated Windows 10 machine with an NVIDIA display driver, in the
// current Wine prefix: build number 19045, a display device with the NVIDIA vendor ID, and
// a driver class key that registers nvapi.dll under Program Files, in the value that a
// process of this tool's kind reads ("UserModeDriverName", or "UserModeDriverNameWow" for
// the i686 build under WOW64, under Program Files (x86)). Everything is removed again when
// the program has ended. A demonstration tool, never shipped.
//   simdevice DRIVER-DLL PROGRAM [ARGUMENT...]
// The program gets the arguments, and the exit code is the program's.
#include <windows.h>

#include <stdio.h>

#include <string>

#include "tests/support/simulated_device.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

const wchar_t kDriverFolder[] = L"NVIDIA Corporation (simulated)";

// The process's own Program Files folder, the x86 one under WOW64: where a driver installs
// the libraries for programs like this one.
std::wstring ProgramFiles() {
    wchar_t path[MAX_PATH] = {};
    GetEnvironmentVariableW(L"ProgramFiles", path, MAX_PATH);
    return path;
}

// One argument as the program's command line parser reads it back: quoted when it holds a
// blank or a quote, with the backslashes before a quote (or before the closing quote)
// doubled and the quote escaped.
std::wstring QuoteArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, L'\\');
    return quoted + L"\"";
}

int Run(const std::wstring& driverLibrary, const std::wstring& program,
        const std::wstring& arguments) {
    ScopedBuildNumber build(L"19045");
    const std::wstring folder = JoinPaths(ProgramFiles(), kDriverFolder);
    CreateDirectoryW(folder.c_str(), nullptr);
    int exitCode = 1;
    {
        ScopedFileCopy installed(driverLibrary, JoinPaths(folder, L"nvapi.dll"));
        SimulatedDisplayDevice device;
        const std::wstring valueName = ValueNameForThisProcess(L"UserModeDriverName");
        if (!installed.ok() || !device.ok() ||
            !device.SetDriverString(valueName, installed.path())) {
            fwprintf(stderr, L"simdevice: cannot set up the simulated driver\n");
            return 1;
        }
        wprintf(L"simulated NVIDIA display device %ls\n", device.instanceId().c_str());
        wprintf(L"  driver key HKLM\\%ls\n", device.driverKeyPath().c_str());
        wprintf(L"  %ls = %ls\n", valueName.c_str(), installed.path().c_str());
        fflush(stdout);
        exitCode = static_cast<int>(RunProgram(program, arguments, std::wstring()));
    }
    RemoveDirectoryW(folder.c_str());
    return exitCode;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        fwprintf(stderr, L"usage: simdevice DRIVER-DLL PROGRAM [ARGUMENT...]\n");
        return 2;
    }
    std::wstring arguments;
    for (int i = 3; i < argc; ++i) {
        arguments += (i > 3 ? L" " : L"") + QuoteArgument(argv[i]);
    }
    return Run(argv[1], argv[2], arguments);
}
