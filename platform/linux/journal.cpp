#include "platform/journal.h"

#include <sys/uio.h>
#include <systemd/sd-journal.h>

#include <cstdlib>
#include <cstring>

namespace vexu {

bool SendToJournal(const JournalFields& fields) {
    const char* setting = std::getenv("VEXU_JOURNAL");
    if (setting && std::strcmp(setting, "off") == 0) return false;
    std::vector<std::string> entries;
    entries.reserve(fields.size());
    for (const auto& [name, value] : fields) entries.push_back(name + "=" + value);
    std::vector<iovec> parts;
    parts.reserve(entries.size());
    for (std::string& entry : entries) parts.push_back({entry.data(), entry.size()});
    return sd_journal_sendv(parts.data(), static_cast<int>(parts.size())) == 0;
}

}  // namespace vexu
