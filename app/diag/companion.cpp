#include "app/diag/companion.h"

#include <wchar.h>

#include "app/diag/locate_command.h"
#include "app/diag/report.h"
#include "app/diag/selftest_command.h"
#include "app/diag/show_command.h"
#include "driver_client/driver_contract.h"

namespace {

constexpr char kUsage[] =
    "usage: dispset-diag [--json] locate [NAME]\n"
    "       dispset-diag [--json] show\n"
    "       dispset-diag [--json] check\n"
    "       dispset-diag [--json] selftest [PROGRAM]\n"
    "       dispset-diag --help | --version\n"
    "\n"
    "  locate   how dispset.exe's loader decides where to load NAME (default nvapi.dll)\n"
    "           from, step by step; nothing is loaded\n"
    "  show     display 0's setting as the driver reports it; nothing is changed\n"
    "  check    whether display 0's setting is 2, in one line; nothing is changed\n"
    "  selftest plants harmless canary libraries where an attacker would plant one, runs\n"
    "           PROGRAM (default: the dispset.exe beside dispset-diag; it applies the\n"
    "           setting) and reports which canary ran\n"
    "  --json   one JSON object instead of text\n"
    "\n"
    "exit codes: locate: 0 the module would be loaded, 1 it would not be; show: 0 the\n"
    "record was read, 1 it was not; check: 0 the setting is 2, 1 it is another value, 4\n"
    "the record cannot be read; selftest: 0 no canary ran, 1 one did, 3 the test could\n"
    "not be made; all: 2 usage, 3 dispset-diag itself failed\n";

enum class Command { kNone, kLocate, kShow, kCheck, kSelftest, kHelp, kVersion };

struct CommandLine {
    Command command = Command::kNone;
    ReportFormat format = ReportFormat::kText;
    const wchar_t* name = nullptr;   // locate's NAME, selftest's PROGRAM
    const wchar_t* error = nullptr;  // what is wrong with it, for the usage message
    const wchar_t* offending = nullptr;
};

bool Equals(const wchar_t* a, const wchar_t* b) {
    return wcscmp(a, b) == 0;
}

// Options may stand anywhere; "--" ends them, so a NAME may begin with a dash.
CommandLine Parse(int argc, const wchar_t* const* argv) {
    CommandLine line;
    bool help = false;
    bool version = false;
    bool optionsEnded = false;
    unsigned operands = 0;
    for (int i = 1; i < argc; ++i) {
        const wchar_t* argument = argv[i];
        if (!optionsEnded && argument[0] == L'-') {
            if (Equals(argument, L"--")) {
                optionsEnded = true;
            } else if (Equals(argument, L"--json")) {
                line.format = ReportFormat::kJson;
            } else if (Equals(argument, L"--help") || Equals(argument, L"-h") ||
                       Equals(argument, L"-?")) {
                help = true;
            } else if (Equals(argument, L"--version")) {
                version = true;
            } else {
                line.error = L"unknown option";
                line.offending = argument;
                return line;
            }
            continue;
        }
        ++operands;
        if (operands == 1) {
            if (Equals(argument, L"locate")) {
                line.command = Command::kLocate;
            } else if (Equals(argument, L"show")) {
                line.command = Command::kShow;
            } else if (Equals(argument, L"check")) {
                line.command = Command::kCheck;
            } else if (Equals(argument, L"selftest")) {
                line.command = Command::kSelftest;
            } else {
                line.error = L"unknown command";
                line.offending = argument;
                return line;
            }
        } else if (operands == 2 &&
                   (line.command == Command::kLocate || line.command == Command::kSelftest)) {
            line.name = argument;
        } else {
            line.error = L"unexpected argument";
            line.offending = argument;
            return line;
        }
    }
    if (help) {
        line.command = Command::kHelp;
    } else if (version) {
        line.command = Command::kVersion;
    } else if (line.command == Command::kNone) {
        line.error = L"no command";
    }
    return line;
}

int UsageError(const CommandLine& line, TextBuffer& err) {
    err.Append(kToolName);
    err.AppendAscii(": ");
    err.Append(line.error);
    if (line.offending != nullptr) {
        err.AppendAscii(" \"");
        err.AppendPrintable(line.offending);
        err.AppendChar(L'"');
    }
    err.AppendChar(L'\n');
    err.AppendAscii(kUsage);
    return kExitUsage;
}

}  // namespace

int RunCompanion(int argc, const wchar_t* const* argv, CompanionOutput& output) {
    const CommandLine line = Parse(argc, argv);
    if (line.error != nullptr) {
        return UsageError(line, output.err);
    }
    switch (line.command) {
        case Command::kHelp:
            output.out.AppendAscii(kUsage);
            return kExitSuccess;
        case Command::kVersion:
            output.out.Append(kToolName);
            output.out.AppendChar(L' ');
            output.out.Append(kToolVersion);
            output.out.AppendChar(L'\n');
            return kExitSuccess;
        case Command::kLocate:
            return RunLocate(line.name != nullptr ? line.name : kDriverLibraryName, line.format,
                             output.out);
        case Command::kShow:
            return RunShow(line.format, output.out);
        case Command::kCheck:
            return RunCheck(line.format, output.out);
        case Command::kSelftest:
            return RunSelftest(line.name, line.format, output.out);
        case Command::kNone:
            break;
    }
    return UsageError(line, output.err);
}
