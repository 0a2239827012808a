// Reading the simulated driver's journal, and the lines that it writes, for tests that check
// what the driver saw; and writing its state file, for tests that change the setting behind
// its back. The journal is text, one event a line, each line ending in '\n'.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

#include "driver_client/driver_contract.h"

namespace testing_support {

// The journal's lines without their '\n'; none when the file is missing.
std::vector<std::string> JournalLines(const std::wstring& journalPath);

std::vector<std::string> LinesStartingWith(const std::vector<std::string>& lines,
                                           const std::string& prefix);
size_t CountLinesStartingWith(const std::vector<std::string>& lines, const std::string& prefix);

// The paths of the "load path=" events in a journal's text, in order.
std::vector<std::string> LoadedPaths(const std::string& journalText);

// The lines of one wrapped call besides the call's own: the lookup of the interface, then
// the hooks around the call. The entry hook gets two zero words and leaves its own values,
// which the exit hook must receive unchanged along with the entry's status.
std::string QueryLine(InterfaceId id, bool found);
std::string EntryHookLine(InterfaceId id);
std::string ExitHookLine(InterfaceId id, DriverStatus status);

// Stores display 0's record in the driver's state file (SIMDRIVER_STATE) with the setting
// given, as a driver puts its own value back: silently, with no journal line. True when the
// whole record was written.
bool StoreSimulatedSetting(const std::wstring& statePath, uint32_t setting);

}  // namespace testing_support
