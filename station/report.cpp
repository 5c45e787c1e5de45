#include "station/report.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "platform/json.h"

namespace vexu::station {

namespace {

std::string Percent(int64_t part, int64_t whole) {
    if (whole == 0) return "-";
    char text[16];
    snprintf(text, sizeof text, "%.1f", 100.0 * static_cast<double>(part) / static_cast<double>(whole));
    return text;
}

struct Tally {
    int64_t runs = 0, passed = 0, boards = 0, firstPass = 0;
    void Add(const RecordRow& row) {
        ++runs;
        passed += row.result == "ok";
        boards += !row.retry;
        firstPass += !row.retry && row.result == "ok";
    }
};

}  // namespace

std::vector<ReportTable> YieldTables(const std::vector<RecordRow>& records) {
    const std::pair<const char*, std::string (*)(const RecordRow&)> dimensions[] = {
        {"day", [](const RecordRow& r) { return r.day; }},
        {"station", [](const RecordRow& r) { return r.station; }},
        {"slot", [](const RecordRow& r) { return r.slot.empty() ? std::string("-") : r.slot; }},
        {"box", [](const RecordRow& r) { return r.box.empty() ? std::string("-") : r.box; }},
    };
    std::vector<ReportTable> tables;
    for (const auto& [name, key] : dimensions) {
        std::map<std::string, Tally> tallies;
        Tally all;
        for (const RecordRow& row : records) {
            tallies[key(row)].Add(row);
            all.Add(row);
        }
        ReportTable table{std::string("yield by ") + name,
                          {name, "runs", "passed", "failed", "yield %", "boards", "first-pass", "first-pass yield %"},
                          {}};
        auto add = [&table](const std::string& label, const Tally& t) {
            table.rows.push_back({label, std::to_string(t.runs), std::to_string(t.passed),
                                  std::to_string(t.runs - t.passed), Percent(t.passed, t.runs),
                                  std::to_string(t.boards), std::to_string(t.firstPass),
                                  Percent(t.firstPass, t.boards)});
        };
        for (const auto& [label, tally] : tallies) add(label, tally);
        add("all", all);
        tables.push_back(std::move(table));
    }
    return tables;
}

ReportTable FailureTable(const std::vector<RecordRow>& records) {
    struct Cost {
        int64_t count = 0;
        double seconds = 0;
        std::string example;
    };
    std::map<std::pair<std::string, std::string>, Cost> costs;
    for (const RecordRow& row : records) {
        if (row.result == "ok") continue;
        Cost& cost = costs[{row.step, row.engineCode}];
        ++cost.count;
        cost.seconds += row.seconds;
        if (cost.example.empty()) cost.example = row.failure.substr(0, row.failure.find_first_of("\r\n"));
    }
    std::vector<std::pair<std::pair<std::string, std::string>, Cost>> list(costs.begin(), costs.end());
    std::stable_sort(list.begin(), list.end(), [](const auto& a, const auto& b) {
        if (a.second.seconds != b.second.seconds) return a.second.seconds > b.second.seconds;
        return a.second.count > b.second.count;
    });
    ReportTable table{"failures, costliest first", {"step", "code", "failures", "seconds lost", "failure"}, {}};
    for (const auto& [key, cost] : list) {
        char seconds[32];
        snprintf(seconds, sizeof seconds, "%.1f", cost.seconds);
        table.rows.push_back({key.first, key.second, std::to_string(cost.count), seconds, cost.example});
    }
    return table;
}

bool SerialHistory(Database& db, const std::string& serial, ReportTable& table, std::string& error) {
    table = {"history of serial " + serial, {"time", "what", "state or result", "station", "slot", "record"}, {}};
    Rows ledger;
    if (!db.Run("SELECT time, state, station, record_id FROM serials WHERE serial = $1", {serial}, &ledger, error))
        return false;
    Rows records;
    if (!db.Run("SELECT time, result, station, slot, id, failure FROM records WHERE serial = $1 ORDER BY time, id",
                {serial}, &records, error))
        return false;
    std::vector<std::pair<int64_t, std::vector<std::string>>> events;
    auto text = [](const Value& v) { return v ? *v : std::string(); };
    for (const Row& r : ledger)
        events.push_back({ToInt(r[0]), {FormatUtcTime(ToInt(r[0])), "ledger", text(r[1]), text(r[2]), "",
                                        text(r[3])}});
    for (const Row& r : records) {
        std::string result = text(r[1]);
        const std::string failure = text(r[5]);
        if (!failure.empty()) result += ": " + failure.substr(0, failure.find_first_of("\r\n"));
        events.push_back({ToInt(r[0]), {FormatUtcTime(ToInt(r[0])), "run", result, text(r[2]), text(r[3]), text(r[4])}});
    }
    std::stable_sort(events.begin(), events.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [time, row] : events) table.rows.push_back(std::move(row));
    return true;
}

namespace {

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

// Control characters of stored texts are shown, never obeyed by the terminal.
std::string Shown(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::string FormatReport(const std::vector<ReportTable>& tables, ReportFormat format) {
    std::string out;
    if (format == ReportFormat::kJson) {
        // One JSON object per table and line.
        for (const ReportTable& table : tables) {
            std::string rows = "[";
            for (const auto& row : table.rows) {
                JsonObject object;
                for (size_t c = 0; c < table.columns.size() && c < row.size(); ++c) object.Text(table.columns[c].c_str(), row[c]);
                rows += (rows.size() > 1 ? "," : "") + object.Str();
            }
            out += JsonObject().Text("report", table.title).Raw("rows", rows + "]").Str() + "\n";
        }
        return out;
    }
    for (const ReportTable& table : tables) {
        if (format == ReportFormat::kCsv) {
            out += "# " + table.title + "\n";
            std::string line;
            for (const auto& column : table.columns) line += (line.empty() ? "" : ",") + CsvField(column);
            out += line + "\n";
            for (const auto& row : table.rows) {
                line.clear();
                for (size_t c = 0; c < row.size(); ++c) line += (c ? "," : "") + CsvField(row[c]);
                out += line + "\n";
            }
            continue;
        }
        std::vector<size_t> widths;
        for (const auto& column : table.columns) widths.push_back(column.size());
        std::vector<std::vector<std::string>> shown;
        for (const auto& row : table.rows) {
            shown.emplace_back();
            for (size_t c = 0; c < row.size() && c < widths.size(); ++c) {
                shown.back().push_back(Shown(row[c]));
                widths[c] = std::max(widths[c], shown.back().back().size());
            }
        }
        auto line = [&widths](const std::vector<std::string>& cells) {
            std::string text;
            for (size_t c = 0; c < cells.size(); ++c) {
                text += cells[c];
                if (c + 1 < cells.size()) text += std::string(widths[c] - cells[c].size() + 2, ' ');
            }
            return text + "\n";
        };
        if (!out.empty()) out += "\n";
        out += Shown(table.title) + "\n" + line(table.columns);
        for (const auto& row : shown) out += line(row);
        if (table.rows.empty()) out += "(none)\n";
    }
    return out;
}

bool ParseReportTime(const std::string& text, int64_t& seconds) {
    return ParseUtcTimeText(text.size() == 10 ? text + "T00:00:00Z" : text, seconds);
}

}  // namespace vexu::station
