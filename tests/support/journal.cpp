#include "tests/support/journal.h"

#include "tests/support/test_support.h"
#include "tools/simdriver/simdriver.h"

namespace testing_support {

std::vector<std::string> JournalLines(const std::wstring& journalPath) {
    std::vector<std::string> lines;
    std::string text = ReadFileText(journalPath);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> LinesStartingWith(const std::vector<std::string>& lines,
                                           const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& line : lines) {
        if (StartsWith(line, prefix)) {
            found.push_back(line);
        }
    }
    return found;
}

size_t CountLinesStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
    return LinesStartingWith(lines, prefix).size();
}

std::vector<std::string> LoadedPaths(const std::string& journalText) {
    static const std::string kLoadEvent = "load path=";
    std::vector<std::string> paths;
    size_t at = 0;
    while ((at = journalText.find(kLoadEvent, at)) != std::string::npos) {
        at += kLoadEvent.size();
        size_t end = journalText.find_first_of("\r\n", at);
        paths.push_back(journalText.substr(at, end - at));
    }
    return paths;
}

std::string QueryLine(InterfaceId id, bool found) {
    return "query id=" + Hex(id) + " result=" + (found ? "found" : "missing");
}

std::string EntryHookLine(InterfaceId id) {
    return "entry-hook id=" + Hex(id) + " word0=0x00000000 word1=0x00000000";
}

std::string ExitHookLine(InterfaceId id, DriverStatus status) {
    return "exit-hook id=" + Hex(id) + " word0=" + Hex(simdriver::EntryHookWord0(id)) +
           " word1=" + Hex(simdriver::kEntryHookWord1) + " status=" + std::to_string(status);
}

bool StoreSimulatedSetting(const std::wstring& statePath, uint32_t setting) {
    DisplayRecord record;
    uint8_t* bytes = reinterpret_cast<uint8_t*>(&record);
    for (uint32_t offset = 0; offset < sizeof(record); ++offset) {
        bytes[offset] = simdriver::DefaultRecordByte(offset);
    }
    record.version = kDisplayRecordVersionWord;
    record.setting = setting;
    HANDLE file = CreateFileW(statePath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    const bool ok = file != INVALID_HANDLE_VALUE &&
                    WriteFile(file, &record, sizeof(record), &written, nullptr) &&
                    written == sizeof(record);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    return ok;
}

}  // namespace testing_support
