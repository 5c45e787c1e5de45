#include "platform/journal.h"

namespace vexu {

// Windows has no systemd journal: the run log file is the record there.
bool SendToJournal(const JournalFields&) { return false; }

}  // namespace vexu
