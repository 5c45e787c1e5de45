#include "station/records.h"

#include <random>

#include "platform/json_reader.h"
#include "run/fpga_job.h"

namespace vexu::station {

std::string RecordRow::Place() const {
    if (!slot.empty()) return slot;
    if (!location.empty()) return location;
    return box;
}

namespace {

// "2026-01-01T08:00:00Z" to calendar seconds.
bool ParseUtcTime(const std::string& text, int64_t& seconds) {
    int y, mo, d, h, mi, s;
    char z = 0;
    int end = 0;
    if (sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c%n", &y, &mo, &d, &h, &mi, &s, &z, &end) != 7 || z != 'Z' ||
        static_cast<size_t>(end) != text.size() || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60)
        return false;
    // Days from the civil date (proleptic Gregorian).
    y -= mo <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t days = era * 146097 + doe - 719468;
    seconds = days * 86400 + h * 3600 + mi * 60 + s;
    return true;
}

const std::string& Text(const JsonValue& object, const char* key) {
    static const std::string none;
    if (object.kind != JsonValue::Kind::kObject || !object.Has(key)) return none;
    const JsonValue& value = object[key];
    return value.kind == JsonValue::Kind::kString ? value.text : none;
}

double Seconds(const JsonValue& step) {
    if (step.kind != JsonValue::Kind::kObject || !step.Has("seconds")) return 0;
    return step["seconds"].kind == JsonValue::Kind::kNumber ? step["seconds"].number : 0;
}

// The engine's code whose message the failure text holds (the longest
// such message: some are the start of others).
std::string EngineCode(const std::string& failure) {
    static const std::vector<std::pair<unsigned, std::string>> messages = [] {
        std::vector<std::pair<unsigned, std::string>> list;
        const std::string unknown = FpgaErrorMessage(0xFFFFFFFF);
        for (unsigned code = 1; code < 256; ++code) {
            std::string text = FpgaErrorMessage(code);
            if (text != unknown && !text.empty()) list.emplace_back(code, std::move(text));
        }
        return list;
    }();
    size_t best = 0;
    std::string code;
    for (const auto& [number, text] : messages)
        if (text.size() > best && failure.find(text) != std::string::npos) {
            best = text.size();
            code = std::to_string(number);
        }
    return code;
}

Value Optional(const std::optional<std::string>& text) { return text ? Value(*text) : Value(); }

}  // namespace

bool ParseUtcTimeText(const std::string& text, int64_t& seconds) { return ParseUtcTime(text, seconds); }

bool RowFromLogLine(const std::string& line, const std::string& station, RecordRow& row, std::string& error) {
    JsonValue record;
    if (!ParseJson(line, record, error)) return false;
    if (record.kind != JsonValue::Kind::kObject || !record.Has("time") || !record.Has("result")) {
        error = "it is not a run record";
        return false;
    }
    row = RecordRow();
    if (!ParseUtcTime(Text(record, "time"), row.time)) {
        error = "its time is not a UTC time";
        return false;
    }
    row.day = FormatUtcTime(row.time).substr(0, 10);
    row.station = station;
    row.slot = Text(record, "slot");
    row.box = Text(record, "box");
    row.location = Text(record, "location");
    row.result = Text(record, "result") == "ok" ? "ok" : "failed";
    row.failure = Text(record, "failure");
    if (record.Has("serialNumber") && record["serialNumber"].kind == JsonValue::Kind::kString)
        row.serial = record["serialNumber"].text;
    const JsonValue none;
    const JsonValue& fpga = record.Has("fpga") ? record["fpga"] : none;
    const JsonValue& eeprom = record.Has("eeprom") ? record["eeprom"] : none;
    row.seconds = Seconds(fpga) + Seconds(eeprom);
    if (row.result != "ok") {
        if (Text(fpga, "result") == "failed") {
            row.step = "fpga";
            row.engineCode = EngineCode(row.failure);
        } else if (Text(eeprom, "result") == "failed") {
            row.step = "eeprom";
            // The serial-flash step's failures are its texts.
            row.engineCode = row.failure.substr(row.failure.rfind(". ") == std::string::npos ? 0 : row.failure.rfind(". ") + 2);
        } else {
            row.step = "run";
        }
        if (row.engineCode.empty()) row.engineCode = "-";
    }
    row.record = line;
    return true;
}

RecordRow RowFromRecord(const RunRecord& record, const std::string& station) {
    RecordRow row;
    std::string ignored;
    RowFromLogLine(FormatRunRecord(record), station, row, ignored);
    return row;
}

std::string NewRecordId(const std::string& station) {
    static thread_local std::random_device device;
    std::string id = station + "-";
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < 8; ++i) {
        const uint32_t value = device();
        for (int b = 0; b < 4; ++b) id += digits[(value >> (b * 4)) & 15];
    }
    return id;
}

const char* const kRecordColumns =
    "id, time, day, station, slot, box, location, result, step, engine_code, failure, serial, seconds, retry, record";

bool InsertRecord(Database& db, const RecordRow& row, std::string& error) {
    char seconds[32];
    snprintf(seconds, sizeof seconds, "%.3f", row.seconds);
    return db.Run(std::string("INSERT INTO records (") + kRecordColumns +
                      ") VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15) "
                      "ON CONFLICT (id) DO NOTHING",
                  {row.id, std::to_string(row.time), row.day, row.station, row.slot, row.box, row.location, row.result,
                   row.step, row.engineCode, row.failure, Optional(row.serial), std::string(seconds),
                   std::string(row.retry ? "1" : "0"), row.record},
                  nullptr, error);
}

RecordRow RowFromColumns(const Row& c) {
    RecordRow row;
    auto text = [&](size_t i) { return i < c.size() && c[i] ? *c[i] : std::string(); };
    row.id = text(0);
    row.time = ToInt(c[1]);
    row.day = text(2);
    row.station = text(3);
    row.slot = text(4);
    row.box = text(5);
    row.location = text(6);
    row.result = text(7);
    row.step = text(8);
    row.engineCode = text(9);
    row.failure = text(10);
    if (c[11]) row.serial = *c[11];
    row.seconds = c[12] ? std::atof(c[12]->c_str()) : 0;
    row.retry = ToInt(c[13]) != 0;
    row.record = text(14);
    return row;
}

bool LoadRecords(Database& db, std::optional<int64_t> since, std::optional<int64_t> until,
                 std::vector<RecordRow>& rows, std::string& error) {
    Rows found;
    const std::string sql = std::string("SELECT ") + kRecordColumns +
                            " FROM records WHERE time >= $1 AND time < $2 ORDER BY time, id";
    if (!db.Run(sql, {std::to_string(since.value_or(INT64_MIN)), std::to_string(until.value_or(INT64_MAX))}, &found,
                error))
        return false;
    for (const Row& columns : found) rows.push_back(RowFromColumns(columns));
    return true;
}

}  // namespace vexu::station
