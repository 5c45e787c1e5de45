#include "ledger_text.h"

#include <map>
#include <set>

#include "station/database.h"

namespace vexu::test {

std::string SerialLedgerText(const std::string& stateHome) {
    std::string error;
    auto db = station::OpenSqlite(stateHome + "/vexu-programmer/station.db", error);
    if (!db) return "no station database: " + error;
    station::Rows pools, serials;
    if (!db->Run("SELECT name, next FROM pools ORDER BY name", {}, &pools, error) ||
        !db->Run("SELECT serial, pool, idx, state FROM serials", {}, &serials, error))
        return "cannot read the ledger: " + error;
    std::string text = "vexu-programmer serials 1\n";
    std::set<std::string> given;
    for (const station::Row& row : serials)
        if (row[3] == station::Value("committed")) given.insert(*row[0]);
    for (const station::Row& pool : pools) {
        text += "next " + *pool[0] + " " + *pool[1] + "\n";
        for (const auto& [state, kind] : {std::pair{"released", "free"}, {"reserved", "reserved"}, {"skipped", "skipped"}}) {
            std::map<int64_t, std::string> lines;
            for (const station::Row& row : serials)
                if (row[1] == pool[0] && row[3] == station::Value(state)) lines[station::ToInt(row[2])] = *row[0];
            for (const auto& [index, serial] : lines)
                text += std::string(kind) + " " + *pool[0] + " " + std::to_string(index) + " " + serial + "\n";
        }
    }
    for (const std::string& serial : given) text += "given " + serial + "\n";
    return text;
}

}  // namespace vexu::test
