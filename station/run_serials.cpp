#include "station/run_serials.h"

#include <algorithm>
#include <limits>
#include <memory>

#include "common/image_buffers.h"
#ifdef VEXU_STATION_DB
#include "station/ledger.h"
#endif

namespace vexu::station {

namespace {

bool ParseStart(const std::string& text, uint32_t& start, std::string& error) {
    uint64_t value = 0;
    bool ok = !text.empty() && text.size() <= 10;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            ok = false;
            break;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (!ok || value > std::numeric_limits<uint32_t>::max()) {
        error = "--serial-start needs a number from 0 to 4294967295, not \"" + text + "\"";
        return false;
    }
    start = static_cast<uint32_t>(value);
    return true;
}

}  // namespace

int RunSerials::Prepare(const RunOptions& run, bool doEeprom, std::string& error,
                        StationLedger* ledger) {
    const int sources = run.serialFormat.has_value() + run.serialFile.has_value() + run.serialValue.has_value();
    if (!run.serialAt && sources == 0 && !run.serialStart) return kExitOk;
    auto usage = [&error](const std::string& reason) {
        error = reason;
        return kExitUsage;
    };
    if (!run.serialAt)
        return usage("--serial-format, --serial-file, --serial-value and --serial-start go with --serial-at OFFSET");
    if (sources != 1)
        return usage("--serial-at needs one of --serial-format FMT, --serial-file FILE or --serial-value TEXT");
    if (run.serialStart && !run.serialFormat) return usage("--serial-start goes with --serial-format");
    if (!doEeprom) return usage("a serial number goes into the serial flash: --serial-at needs the serial-flash step");
    if (!ParseSerialOffset(*run.serialAt, offset_, error)) return kExitUsage;
    base_.assign(g_eepromData, g_eepromData + g_eepromSize);
    if (offset_ >= base_.size())
        return usage("--serial-at " + *run.serialAt + " is past the end of the serial-flash image (" +
                     std::to_string(base_.size()) + " bytes)");

    if (run.serialValue) {
        if (run.station)
            return usage("--serial-value gives every board the same serial: it is for one run (a station that "
                         "keeps the counter itself starts one run per board)");
        value_ = *run.serialValue;
        image_ = base_;
        if (!PlaceSerial(image_, offset_, value_, error)) return kExitUsage;
        active_ = true;
        return kExitOk;
    }

    SerialSource source;
    if (run.serialFormat) {
        source.kind = SerialSource::Kind::kCounter;
        if (!ParseSerialFormat(*run.serialFormat, source.format, error)) return usage("--serial-format: " + error);
        source.start = 1;
        if (run.serialStart && !ParseStart(*run.serialStart, source.start, error)) return kExitUsage;
    } else {
        source.kind = SerialSource::Kind::kFile;
        source.file = *run.serialFile;
    }
#ifdef VEXU_STATION_DB
    if (ledger) {
        // The line's pool is a counter, one for every station.
        if (ledger->Line() && source.kind != SerialSource::Kind::kCounter)
            return usage("a line database hands out serials from a counter: give --serial-format, not --serial-file");
        ledger_ = ledger;
        source_ = source;
        // The first board's serial is checked now, before any box is touched.
        std::string first = source.kind == SerialSource::Kind::kCounter ? FormatSerial(source.format, source.start) : "";
        if (source.kind == SerialSource::Kind::kFile) {
            std::vector<std::string> lines;
            bool partial = false;
            if (!ReadSerialFileLines(source.file, lines, partial, error)) return kExitUsage;
            const auto serial = std::find_if(lines.begin(), lines.end(), [](const std::string& line) { return !line.empty(); });
            if (serial == lines.end() && !partial)
                return usage("the serial file " + source.file + " is empty: it holds no serial number");
            if (serial != lines.end()) first = *serial;
        }
        std::vector<uint8_t> trial = base_;
        if (!first.empty() && !PlaceSerial(trial, offset_, first, error)) return kExitUsage;
        fromCounter_ = true;
        active_ = true;
        return kExitOk;
    }
#else
    (void)ledger;
#endif
    if (counter_.Open(DefaultSerialStatePath(), source, error) != SerialCounter::OpenResult::kOpened)
        return kExitUsage;
    // The first board's serial is checked now, before any box is touched.
    std::string next;
    bool usedUp = false;
    if (!counter_.Peek(next, error, usedUp)) return kExitUsage;
    std::vector<uint8_t> trial = base_;
    if (!PlaceSerial(trial, offset_, next, error)) return kExitUsage;
    fromCounter_ = true;
    active_ = true;
    return kExitOk;
}

const std::vector<std::string>& RunSerials::Skipped() const {
#ifdef VEXU_STATION_DB
    if (ledger_) return ledger_->Skipped();
#endif
    return counter_.Skipped();
}

bool RunSerials::NextBoard(std::string& error, bool& usedUp) {
    usedUp = false;
    serial_.reset();
    if (!fromCounter_) {
        serial_ = value_;
        return true;
    }
    if (!Reserve(reservation_, error, usedUp)) return false;
    image_ = base_;
    PlaceSerial(image_, offset_, reservation_.text, error);  // fits: Reserve checked it
    serial_ = reservation_.text;
    return true;
}

bool RunSerials::Finish(SerialEnd end, std::string& error) {
    if (!fromCounter_ || !serial_) return true;
    return Settle(reservation_, end, error);
}

bool RunSerials::Reserve(SerialReservation& reservation, std::string& error, bool& usedUp) {
    usedUp = false;
#ifdef VEXU_STATION_DB
    if (ledger_) {
        // A counter's numbers, or the serial file's lines as they are now
        // (lines appended while a station runs are taken too; a blank line
        // holds no serial and is passed over).
        StationLedger::Render render;
        auto lines = std::make_shared<std::vector<std::string>>();
        bool partial = false;
        if (source_.kind == SerialSource::Kind::kCounter) {
            const SerialFormat format = source_.format;
            render = [format](uint64_t index) -> std::optional<std::string> {
                if (index > std::numeric_limits<uint32_t>::max()) return std::nullopt;
                return FormatSerial(format, static_cast<uint32_t>(index));
            };
        } else {
            if (!ReadSerialFileLines(source_.file, *lines, partial, error)) return false;
            render = [lines](uint64_t index) -> std::optional<std::string> {
                if (index >= lines->size()) return std::nullopt;
                return (*lines)[index];
            };
        }
        const uint64_t start = source_.kind == SerialSource::Kind::kCounter ? source_.start : 0;
        if (!ledger_->Reserve(SerialPoolName(source_), start, render, reservation, usedUp, error)) {
            if (usedUp && source_.kind == SerialSource::Kind::kFile)
                error = "the serial file " + source_.file + " is used up: every serial in it was given out" +
                        (partial ? std::string(" (its last line has no line end yet, so it is not taken)")
                                 : std::string());
            return false;
        }
    } else
#endif
        if (!counter_.Reserve(reservation, error, usedUp)) {
        return false;
    }
    std::vector<uint8_t> trial = base_;
    if (PlaceSerial(trial, offset_, reservation.text, error)) return true;
    std::string ignored;
    Settle(reservation, SerialEnd::kRelease, ignored);
    return false;
}

bool RunSerials::Settle(const SerialReservation& reservation, SerialEnd end, std::string& error) {
#ifdef VEXU_STATION_DB
    if (ledger_) return ledger_->Settle(reservation, end, "", error);
#endif
    return counter_.Finish(reservation, end, error);
}

}  // namespace vexu::station
