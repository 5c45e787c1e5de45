#include "station/report.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "platform/json.h"
#include "platform/json_reader.h"

namespace vexu::station {

namespace {

using Kind = ReportColumn::Kind;
using Shown = ReportColumn::Shown;

// A percentage with one decimal; nothing when there is nothing to divide.
Value Percent(int64_t part, int64_t whole) {
    if (whole == 0) return std::nullopt;
    char text[16];
    snprintf(text, sizeof text, "%.1f", 100.0 * static_cast<double>(part) / static_cast<double>(whole));
    return std::string(text);
}

Value Present(const std::string& text) { return text.empty() ? Value() : Value(text); }

// The first line of a failure text: the rest is the engine's detail.
std::string FirstLine(const std::string& text) { return text.substr(0, text.find_first_of("\r\n")); }

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
    const std::pair<const char*, Value (*)(const RecordRow&)> dimensions[] = {
        {"day", [](const RecordRow& r) { return Value(r.day); }},
        {"station", [](const RecordRow& r) { return Value(r.station); }},
        {"slot", [](const RecordRow& r) { return Present(r.slot); }},
        {"box", [](const RecordRow& r) { return Present(r.box); }},
    };
    std::vector<ReportTable> tables;
    for (const auto& [name, key] : dimensions) {
        // A record without a slot or a box counts under its absent value,
        // ordered first.
        std::map<Value, Tally> tallies;
        Tally all;
        for (const RecordRow& row : records) {
            tallies[key(row)].Add(row);
            all.Add(row);
        }
        ReportTable table{std::string("yield by ") + name,
                          "yield",
                          {{"by", name}},
                          {{name, name},
                           {"runs", "runs", Kind::kInteger},
                           {"passed", "passed", Kind::kInteger},
                           {"failed", "failed", Kind::kInteger},
                           {"yield %", "yieldPercent", Kind::kNumber},
                           {"boards", "boards", Kind::kInteger},
                           {"first-pass", "firstPass", Kind::kInteger},
                           {"first-pass yield %", "firstPassYieldPercent", Kind::kNumber}},
                          {},
                          true};
        auto add = [&table](const Value& label, const Tally& t) {
            table.rows.push_back({label, std::to_string(t.runs), std::to_string(t.passed),
                                  std::to_string(t.runs - t.passed), Percent(t.passed, t.runs),
                                  std::to_string(t.boards), std::to_string(t.firstPass),
                                  Percent(t.firstPass, t.boards)});
        };
        for (const auto& [label, tally] : tallies) add(label, tally);
        add(std::string("all"), all);
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
        if (cost.example.empty()) cost.example = FirstLine(row.failure);
    }
    std::vector<std::pair<std::pair<std::string, std::string>, Cost>> list(costs.begin(), costs.end());
    std::stable_sort(list.begin(), list.end(), [](const auto& a, const auto& b) {
        if (a.second.seconds != b.second.seconds) return a.second.seconds > b.second.seconds;
        return a.second.count > b.second.count;
    });
    ReportTable table{"failures, costliest first",
                      "failures",
                      {},
                      {{"step", "step"},
                       {"code", "code"},
                       {"failures", "failures", Kind::kInteger},
                       {"seconds lost", "secondsLost", Kind::kNumber},
                       {"failure", "failure"}},
                      {}};
    for (const auto& [key, cost] : list) {
        char seconds[32];
        snprintf(seconds, sizeof seconds, "%.1f", cost.seconds);
        // "-": the failure matched no engine code.
        table.rows.push_back({key.first, key.second == "-" ? Value() : Present(key.second),
                              std::to_string(cost.count), std::string(seconds), cost.example});
    }
    return table;
}

bool SerialHistory(Database& db, const std::string& serial, ReportTable& table, std::string& error) {
    table = {"history of serial " + serial,
             "serialHistory",
             {{"serial", serial}},
             {{"time", "time"},
              {"what", "what"},
              {"state or result", "", Kind::kText, "", Shown::kTextOnly},
              {"", "state", Kind::kText, "", Shown::kJsonOnly},
              {"", "failure", Kind::kText, "", Shown::kJsonOnly},
              {"station", "station"},
              {"slot", "slot", Kind::kText, ""},
              {"record", "recordId", Kind::kText, ""}},
             {}};
    Rows ledger;
    if (!db.Run("SELECT time, state, station, record_id FROM serials WHERE serial = $1", {serial}, &ledger, error))
        return false;
    Rows records;
    if (!db.Run("SELECT time, result, station, slot, id, failure FROM records WHERE serial = $1 ORDER BY time, id",
                {serial}, &records, error))
        return false;
    std::vector<std::pair<int64_t, std::vector<Value>>> events;
    auto text = [](const Value& v) { return v ? *v : std::string(); };
    for (const Row& r : ledger)
        events.push_back({ToInt(r[0]), {FormatUtcTime(ToInt(r[0])), std::string("ledger"), r[1], r[1], Value(),
                                        r[2], Value(), Present(text(r[3]))}});
    for (const Row& r : records) {
        const std::string failure = FirstLine(text(r[5]));
        const std::string result = text(r[1]);
        events.push_back({ToInt(r[0]), {FormatUtcTime(ToInt(r[0])), std::string("run"),
                                        failure.empty() ? result : result + ": " + failure, result,
                                        Present(failure), r[2], Present(text(r[3])), r[4]}});
    }
    std::stable_sort(events.begin(), events.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [time, row] : events) table.rows.push_back(std::move(row));
    return true;
}

namespace {

const char* const kPlaceOf = "(CASE WHEN slot <> '' THEN slot WHEN location <> '' THEN location ELSE box END)";

// The FPGA's ID code and the serial-flash chip a record's run found.
std::pair<Value, Value> FoundParts(const std::string& record) {
    JsonValue value;
    std::string ignored;
    if (!ParseJson(record, value, ignored) || value.kind != JsonValue::Kind::kObject) return {};
    auto member = [&value](const char* step, const char* key) -> Value {
        if (!value.Has(step) || !value[step].Has(key) || value[step][key].kind != JsonValue::Kind::kString)
            return std::nullopt;
        return Present(value[step][key].text);
    };
    return {member("fpga", "id"), member("eeprom", "chip")};
}

}  // namespace

bool BoardHistory(Database& db, const std::string& board, ReportTable& table, std::string& error) {
    table = {"history of board " + board,
             "boardHistory",
             {{"board", board}},
             {{"time", "time"},
              {"station", "station"},
              {"place", "place"},
              {"try", "try", Kind::kInteger},
              {"result", "", Kind::kText, "", Shown::kTextOnly},
              {"", "result", Kind::kText, "", Shown::kJsonOnly},
              {"", "failure", Kind::kText, "", Shown::kJsonOnly},
              {"serial", "serialNumber", Kind::kText, ""},
              {"fpga id", "fpgaId", Kind::kText, ""},
              {"chip", "chip", Kind::kText, ""},
              {"record", "recordId"}},
             {}};
    const std::string where = std::string("SELECT id, station, ") + kPlaceOf + " FROM records WHERE ";
    Rows found;
    if (!db.Run(where + "id = $1", {board}, &found, error)) return false;
    if (found.empty() &&
        !db.Run(where + "serial = $1 ORDER BY CASE WHEN result = 'ok' THEN 0 ELSE 1 END, time, id LIMIT 1", {board},
                &found, error))
        return false;
    if (found.empty()) {
        error = "no record has the id or the serial " + board + " (" + db.Name() + ")";
        return false;
    }
    const Value target = found[0][0];
    // The station's runs in that place in the order they were stored (a
    // station stores its records as its runs end; the line keeps no such
    // order, so runs of one second there go by their ids).
    Rows place;
    if (!db.Run(std::string("SELECT ") + kRecordColumns + " FROM records WHERE station = $1 AND " + kPlaceOf +
                    " = $2 ORDER BY time, " + (db.IsPostgres() ? "id" : "rowid"),
                {found[0][1], found[0][2]}, &place, error))
        return false;
    std::vector<RecordRow> runs;
    size_t at = 0;
    for (const Row& columns : place) {
        if (columns[0] == target) at = runs.size();
        runs.push_back(RowFromColumns(columns));
    }
    size_t first = at, last = at;
    while (first > 0 && runs[first].retry) --first;
    while (last + 1 < runs.size() && runs[last + 1].retry) ++last;
    for (size_t i = first; i <= last; ++i) {
        const RecordRow& run = runs[i];
        const std::string failure = FirstLine(run.failure);
        const auto [fpgaId, chip] = FoundParts(run.record);
        table.rows.push_back({FormatUtcTime(run.time), run.station, run.Place(), std::to_string(i - first + 1),
                              failure.empty() ? run.result : run.result + ": " + failure, run.result,
                              Present(failure), run.serial, fpgaId, chip, run.id});
    }
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
std::string Printable(const std::string& text) {
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

namespace {

void AddCell(JsonObject& object, const ReportColumn& column, const Value& cell) {
    if (!cell) {
        object.Null(column.key);
        return;
    }
    switch (column.kind) {
        case Kind::kText: object.Text(column.key, *cell); break;
        case Kind::kInteger:
        case Kind::kNumber: object.Raw(column.key, *cell); break;
        case Kind::kBoolean: object.Bool(column.key, *cell == "yes"); break;
    }
}

// One JSON object per table and line: {"report":..., its about members,
// "title":..., "rows":[...]} and, for a table with a total, "total":{...}.
std::string JsonLine(const ReportTable& table) {
    auto object = [&table](const std::vector<Value>& row, size_t from) {
        JsonObject cells;
        for (size_t c = from; c < table.columns.size() && c < row.size(); ++c)
            if (table.columns[c].shown != Shown::kTextOnly) AddCell(cells, table.columns[c], row[c]);
        return cells.Str();
    };
    const size_t rows = table.rows.size() - (table.lastRowIsTotal && !table.rows.empty() ? 1 : 0);
    std::string list = "[";
    for (size_t r = 0; r < rows; ++r) list += (r ? "," : "") + object(table.rows[r], 0);
    JsonObject line;
    line.Text("report", table.report);
    for (const auto& [key, value] : table.about) line.Text(key, value);
    line.Text("title", table.title).Raw("rows", list + "]");
    if (rows < table.rows.size()) line.Raw("total", object(table.rows.back(), 1));
    return line.Str() + "\n";
}

}  // namespace

std::string FormatReport(const std::vector<ReportTable>& tables, ReportFormat format) {
    std::string out;
    for (const ReportTable& table : tables) {
        if (format == ReportFormat::kJson) {
            out += JsonLine(table);
            continue;
        }
        // The columns people read, and each row's cells as they show them.
        std::vector<size_t> columns;
        for (size_t c = 0; c < table.columns.size(); ++c)
            if (table.columns[c].shown != Shown::kJsonOnly) columns.push_back(c);
        auto cells = [&](const std::vector<Value>& row) {
            std::vector<std::string> shown;
            for (const size_t c : columns)
                shown.push_back(c < row.size() && row[c] ? *row[c] : table.columns[c].absent);
            return shown;
        };
        std::vector<std::string> headings;
        for (const size_t c : columns) headings.push_back(table.columns[c].title);
        if (format == ReportFormat::kCsv) {
            out += "# " + table.title + "\n";
            auto line = [](const std::vector<std::string>& fields) {
                std::string text;
                for (size_t c = 0; c < fields.size(); ++c) text += (c ? "," : "") + CsvField(fields[c]);
                return text + "\n";
            };
            out += line(headings);
            for (const auto& row : table.rows) out += line(cells(row));
            continue;
        }
        std::vector<size_t> widths;
        for (const auto& heading : headings) widths.push_back(heading.size());
        std::vector<std::vector<std::string>> shown;
        for (const auto& row : table.rows) {
            shown.emplace_back();
            const std::vector<std::string> texts = cells(row);
            for (size_t c = 0; c < texts.size(); ++c) {
                shown.back().push_back(Printable(texts[c]));
                widths[c] = std::max(widths[c], shown.back().back().size());
            }
        }
        auto line = [&widths](const std::vector<std::string>& texts) {
            std::string text;
            for (size_t c = 0; c < texts.size(); ++c) {
                text += texts[c];
                if (c + 1 < texts.size()) text += std::string(widths[c] - texts[c].size() + 2, ' ');
            }
            return text + "\n";
        };
        if (!out.empty()) out += "\n";
        out += Printable(table.title) + "\n" + line(headings);
        for (const auto& row : shown) out += line(row);
        if (table.rows.empty()) out += "(none)\n";
    }
    return out;
}

bool ParseReportTime(const std::string& text, int64_t& seconds) {
    return ParseUtcTimeText(text.size() == 10 ? text + "T00:00:00Z" : text, seconds);
}

}  // namespace vexu::station
