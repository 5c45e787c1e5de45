#include "station/run_serials.h"

#include <limits>

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
    if (ledger) {
        // The line's pool is a counter, one for every station.
        if (source.kind != SerialSource::Kind::kCounter)
            return usage("a line database hands out serials from a counter: give --serial-format, not --serial-file");
        ledger_ = ledger;
        format_ = source.format;
        start_ = source.start;
        fromCounter_ = true;
        active_ = true;
        return kExitOk;
    }
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
        const SerialFormat format = format_;
        auto render = [format](uint64_t index) -> std::optional<std::string> {
            if (index > std::numeric_limits<uint32_t>::max()) return std::nullopt;
            return FormatSerial(format, static_cast<uint32_t>(index));
        };
        if (!ledger_->Reserve("counter", start_, render, reservation, usedUp, error)) return false;
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
