// The system journal (systemd): each run record is also sent there with
// structured fields, so that a station's records can be queried with
// journalctl and collected from many stations by the journal's own
// forwarding.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace vexu {

using JournalFields = std::vector<std::pair<std::string, std::string>>;

// Sends one entry (field names in capitals, MESSAGE among them). False when
// no journal takes it (none running, or switched off with the environment
// variable VEXU_JOURNAL=off, as the tests do); nothing else happens then.
bool SendToJournal(const JournalFields& fields);

}  // namespace vexu
