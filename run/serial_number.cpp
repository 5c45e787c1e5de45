#include "run/serial_number.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <set>
#include <unordered_map>

#include "platform/files.h"
#include "platform/text_encoding.h"
#include "platform/trace.h"
#include "run/run_record.h"

namespace {

constexpr const char* kStateHeader = "vexu-programmer serials 1";
constexpr const char* kCounterPool = "counter";
constexpr unsigned kMaxWidth = 32;
constexpr uint64_t kLastNumber = std::numeric_limits<uint32_t>::max();

// --- The pattern ----------------------------------------------------------------

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Text of the pattern outside the conversion: "%%" is a percent sign, any
// other '%' would be a second conversion.
bool TakeLiteral(std::string_view text, std::string& out, std::string& error) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '%') {
            out += '%';
            ++i;
            continue;
        }
        error = "a serial pattern has exactly one number (%u); write %% for a percent sign";
        return false;
    }
    return true;
}

// --- The state file -------------------------------------------------------------

// A token of a state line: spaces, percent signs and control characters
// written as %XX, so that pool names (file paths) and serials keep the line
// one row of space-separated tokens.
std::string EncodeToken(std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F || c == '%') {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        } else {
            out += c;
        }
    }
    return out;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool DecodeToken(std::string_view token, std::string& out) {
    out.clear();
    for (size_t i = 0; i < token.size(); ++i) {
        if (token[i] != '%') {
            out += token[i];
            continue;
        }
        if (i + 2 >= token.size() || HexValue(token[i + 1]) < 0 || HexValue(token[i + 2]) < 0) return false;
        out += static_cast<char>(HexValue(token[i + 1]) * 16 + HexValue(token[i + 2]));
        i += 2;
    }
    return !out.empty();
}

bool ParseIndex(std::string_view text, uint64_t& value) {
    if (text.empty() || text.size() > 20) return false;
    value = 0;
    for (const char c : text) {
        if (!IsDigit(c)) return false;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

std::vector<std::string_view> Tokens(std::string_view line) {
    std::vector<std::string_view> tokens;
    size_t at = 0;
    while (at <= line.size()) {
        const size_t space = line.find(' ', at);
        const size_t end = space == std::string_view::npos ? line.size() : space;
        tokens.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    return tokens;
}

using Pools = std::map<std::string, SerialCounter::Pool>;

// Reads the state file's text into pools; false with the reason when any
// line is not one the program writes.
bool ParseState(const std::string& text, Pools& pools, std::set<std::string>& given, std::string& reason) {
    size_t lineNumber = 0;
    size_t at = 0;
    bool headerSeen = false;
    while (at < text.size()) {
        const size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            reason = "its last line is cut short";
            return false;
        }
        const std::string_view line(text.data() + at, end - at);
        at = end + 1;
        ++lineNumber;
        const std::string where = "line " + std::to_string(lineNumber);
        if (!headerSeen) {
            if (line != kStateHeader) {
                reason = where + " is not \"" + std::string(kStateHeader) + "\"";
                return false;
            }
            headerSeen = true;
            continue;
        }
        const std::vector<std::string_view> tokens = Tokens(line);
        const std::string_view kind = tokens[0];
        if (kind == "given") {
            std::string serial;
            if (tokens.size() != 2 || !DecodeToken(tokens[1], serial) || !given.insert(serial).second) {
                reason = where + " is not a line this program writes";
                return false;
            }
            continue;
        }
        std::string pool;
        uint64_t index = 0;
        const bool next = kind == "next";
        const bool listed = kind == "free" || kind == "reserved" || kind == "skipped" || kind == "last";
        if ((!next && !listed) || tokens.size() != (next ? 3u : 4u) || !DecodeToken(tokens[1], pool) ||
            !ParseIndex(tokens[2], index)) {
            reason = where + " is not a line this program writes";
            return false;
        }
        if (pool == kCounterPool && index > kLastNumber + (next ? 1 : 0)) {
            reason = where + " holds a number larger than a serial number can be";
            return false;
        }
        SerialCounter::Pool& entry = pools[pool];
        if (next) {
            if (entry.started) {
                reason = where + " gives a second next value for " + pool;
                return false;
            }
            entry.started = true;
            entry.next = index;
            continue;
        }
        std::string serial;
        if (!DecodeToken(tokens[3], serial)) {
            reason = where + " is not a line this program writes";
            return false;
        }
        if (kind == "last") {
            if (entry.last) {
                reason = where + " gives a second last line for " + pool;
                return false;
            }
            entry.last.emplace(index, serial);
            continue;
        }
        if (entry.free.count(index) || entry.reserved.count(index) || entry.skipped.count(index)) {
            reason = where + " lists " + std::to_string(index) + " of " + pool + " a second time";
            return false;
        }
        auto& list = kind == "free" ? entry.free : kind == "reserved" ? entry.reserved : entry.skipped;
        list.emplace(index, serial);
    }
    if (text.empty()) {
        // The program always writes at least its first line: an empty file
        // is one cut short (a full disk, a copy that failed), never "nothing
        // given yet".
        reason = "it is empty";
        return false;
    }
    // A serial stands once in the whole file: handed out for good, on its
    // way to a board, skipped, or free for the next board.
    std::set<std::string> seen = given;
    for (const auto& [name, pool] : pools)
        for (const auto* list : {&pool.free, &pool.reserved, &pool.skipped})
            for (const auto& [index, serial] : *list)
                if (!seen.insert(serial).second) {
                    reason = "it lists the serial " + vexu::EscapedText(serial) + " a second time";
                    return false;
                }
    // Every serial listed lies below the next new one.
    for (const auto& [name, pool] : pools) {
        const uint64_t next = pool.next;
        auto beyond = [next](const std::map<uint64_t, std::string>& list) {
            return !list.empty() && list.rbegin()->first >= next;
        };
        if (!pool.started || beyond(pool.free) || beyond(pool.reserved) || beyond(pool.skipped) ||
            (pool.last && pool.last->first >= next)) {
            reason = "the serials listed for " + name + " do not agree with its next value";
            return false;
        }
    }
    return true;
}

std::string FormatState(const Pools& pools, const std::set<std::string>& given) {
    std::string text = std::string(kStateHeader) + "\n";
    for (const auto& [name, pool] : pools) {
        const std::string encoded = EncodeToken(name);
        text += "next " + encoded + " " + std::to_string(pool.next) + "\n";
        const std::pair<const char*, const std::map<uint64_t, std::string>*> lists[] = {
            {"free", &pool.free}, {"reserved", &pool.reserved}, {"skipped", &pool.skipped}};
        for (const auto& [kind, list] : lists)
            for (const auto& [index, serial] : *list)
                text += std::string(kind) + " " + encoded + " " + std::to_string(index) + " " + EncodeToken(serial) +
                        "\n";
        if (pool.last)
            text += "last " + encoded + " " + std::to_string(pool.last->first) + " " + EncodeToken(pool.last->second) +
                    "\n";
    }
    for (const std::string& serial : given) text += "given " + EncodeToken(serial) + "\n";
    return text;
}

// The serial file's lines, checked: every line that is not blank is a
// serial, and no serial stands in it twice. Only whole lines count: a last
// line without its line end may still be being written, so it is left for
// a later reservation (partial says there is one). A byte-order mark at the
// start is not part of the first serial; a line end may be CR LF. White
// space at either end of a line is refused: kept, it would put an invisible
// byte on the board, trimmed, two lines could give the same serial.
bool ReadSerialLines(const std::string& path, std::vector<std::string>& lines, bool& partial, std::string& error) {
    std::vector<uint8_t> bytes;
    if (!vexu::ReadUserFile(path, kMaxSerialFileBytes, "serial file", bytes, error)) return false;
    std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    lines.clear();
    size_t at = 0;
    for (size_t end; (end = text.find('\n', at)) != std::string_view::npos; at = end + 1) {
        std::string_view line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.emplace_back(line);
    }
    partial = at < text.size();
    std::unordered_map<std::string, size_t> seen;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].empty()) continue;
        const std::string where = "line " + std::to_string(i + 1) + " of the serial file " + path;
        const auto space = [](char c) { return c == ' ' || c == '\t'; };
        if (space(lines[i].front()) || space(lines[i].back())) {
            error = where + " " + (space(lines[i].front()) ? "begins" : "ends") +
                    " with white space, which would be part of the serial: write each serial alone on its line";
            return false;
        }
        std::string reason;
        if (!CheckSerialText(lines[i], reason)) {
            error = where + ": " + reason;
            return false;
        }
        const auto [earlier, added] = seen.emplace(lines[i], i);
        if (!added) {
            error = where + " repeats line " + std::to_string(earlier->second + 1) + " (" +
                    vexu::EscapedText(lines[i]) + "): no serial may reach two boards";
            return false;
        }
    }
    return true;
}

std::string FullPath(const std::string& path) {
    std::error_code ignored;
    const std::filesystem::path full = std::filesystem::weakly_canonical(std::filesystem::absolute(path), ignored);
    return full.empty() ? path : full.string();
}

}  // namespace

bool ReadSerialFileLines(const std::string& path, std::vector<std::string>& lines, bool& partial,
                         std::string& error) {
    return ReadSerialLines(path, lines, partial, error);
}

std::string SerialPoolName(const SerialSource& source) {
    return source.kind == SerialSource::Kind::kCounter ? std::string(kCounterPool) : "file:" + FullPath(source.file);
}

// --- Patterns, texts and images ----------------------------------------------------

bool ParseSerialFormat(std::string_view pattern, SerialFormat& format, std::string& error) {
    format = {};
    size_t at = std::string_view::npos;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%') continue;
        if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
            ++i;
            continue;
        }
        at = i;
        break;
    }
    if (at == std::string_view::npos) {
        error = "a serial pattern needs one number, e.g. VX%08u";
        return false;
    }
    if (!TakeLiteral(pattern.substr(0, at), format.prefix, error)) return false;
    size_t i = at + 1;
    for (; i < pattern.size() && (pattern[i] == '0' || pattern[i] == '-'); ++i) {
        if (pattern[i] == '0') format.zeroPad = true;
        if (pattern[i] == '-') format.leftAlign = true;
    }
    unsigned width = 0;
    for (; i < pattern.size() && IsDigit(pattern[i]); ++i) {
        width = width * 10 + static_cast<unsigned>(pattern[i] - '0');
        if (width > kMaxWidth) {
            error = "a serial pattern's width is at most " + std::to_string(kMaxWidth);
            return false;
        }
    }
    format.width = width;
    const char conversion = i < pattern.size() ? pattern[i] : '\0';
    switch (conversion) {
        case 'u': format.base = 10; break;
        case 'x': format.base = 16; break;
        case 'X': format.base = 16; format.upperCase = true; break;
        case 'o': format.base = 8; break;
        default:
            error = "a serial pattern's number is %u, %x, %X or %o, with the flags 0 and - and a width "
                    "(e.g. VX%08u), not \"" + std::string(pattern.substr(at, i + 1 - at)) + "\"";
            return false;
    }
    if (!TakeLiteral(pattern.substr(i + 1), format.suffix, error)) return false;
    // The longest serial the pattern can make must be a serial.
    return CheckSerialText(FormatSerial(format, static_cast<uint32_t>(kLastNumber)), error);
}

std::string FormatSerial(const SerialFormat& format, uint32_t number) {
    const char* digits = format.upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string value;
    do {
        value.insert(value.begin(), digits[number % format.base]);
        number /= format.base;
    } while (number != 0);
    if (value.size() < format.width) {
        const size_t pad = format.width - value.size();
        if (format.leftAlign)
            value.append(pad, ' ');
        else
            value.insert(0, pad, format.zeroPad ? '0' : ' ');
    }
    return format.prefix + value + format.suffix;
}

bool CheckSerialText(std::string_view text, std::string& error) {
    if (text.empty()) {
        error = "a serial number has at least one character";
        return false;
    }
    if (text.size() > kMaxSerialBytes) {
        error = "a serial number has at most " + std::to_string(kMaxSerialBytes) + " bytes, not " +
                std::to_string(text.size());
        return false;
    }
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            error = "a serial number holds no control characters";
            return false;
        }
    }
    return true;
}

bool ParseSerialOffset(std::string_view text, uint64_t& offset, std::string& error) {
    uint64_t value = 0;
    bool ok = !text.empty();
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    for (size_t i = hex ? 2 : 0; ok && i < text.size(); ++i) {
        const int digit = hex ? HexValue(static_cast<char>(text[i] >= 'a' ? text[i] - 32 : text[i]))
                              : (IsDigit(text[i]) ? text[i] - '0' : -1);
        const uint64_t base = hex ? 16 : 10;
        if (digit < 0 || value > (std::numeric_limits<uint64_t>::max() - static_cast<uint64_t>(digit)) / base) {
            ok = false;
            break;
        }
        value = value * base + static_cast<uint64_t>(digit);
    }
    if (!ok) {
        error = "--serial-at needs an offset in the serial-flash image, decimal or 0x-hexadecimal, not \"" +
                std::string(text) + "\"";
        return false;
    }
    offset = value;
    return true;
}

bool PlaceSerial(std::vector<uint8_t>& image, uint64_t offset, std::string_view serial, std::string& error) {
    if (!CheckSerialText(serial, error)) return false;
    if (offset > image.size() || serial.size() > image.size() - offset) {
        error = "the serial number \"" + std::string(serial) + "\" (" + std::to_string(serial.size()) +
                " bytes) at offset " + std::to_string(offset) + " runs past the end of the serial-flash image (" +
                std::to_string(image.size()) + " bytes)";
        return false;
    }
    std::copy(serial.begin(), serial.end(), image.begin() + static_cast<std::ptrdiff_t>(offset));
    return true;
}

std::string DefaultSerialStatePath() {
    return (std::filesystem::path(RunLogPath()).parent_path() / "serials.state").string();
}

// --- The counter -----------------------------------------------------------------

SerialCounter::OpenResult SerialCounter::Open(const std::string& statePath, const SerialSource& source,
                                              std::string& error) {
    Close();
    std::error_code made;
    const std::filesystem::path path(statePath);
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), made);
    std::string text;
    switch (lock_.TryLock(statePath + ".lock", text)) {
        case vexu::FileLock::Result::kLocked: break;
        case vexu::FileLock::Result::kHeld:
            error = "the serial-number state file " + statePath + " is in use by another station" +
                    (text.empty() ? std::string() : " (" + text + ")");
            return OpenResult::kHeld;
        case vexu::FileLock::Result::kFailed:
            error = "cannot lock the serial-number state file " + statePath + ": " + text;
            return OpenResult::kFailed;
    }
    path_ = statePath;
    source_ = source;
    poolName_ = SerialPoolName(source);
    pools_.clear();
    given_.clear();
    skipped_.clear();
    auto fail = [this, &error](const std::string& reason) {
        error = reason;
        Close();
        return OpenResult::kFailed;
    };
    std::error_code missing;
    std::error_code noLink;
    // A link to a state file that is gone is not "nothing given yet" either.
    if (std::filesystem::exists(path, missing) || std::filesystem::is_symlink(path, noLink)) {
        std::vector<uint8_t> bytes;
        std::string reason;
        // A state file that grew past any that this program writes is not one.
        if (!vexu::ReadUserFile(statePath, kMaxSerialFileBytes, "serial-number state file", bytes, reason))
            return fail(reason);
        if (!ParseState(std::string(bytes.begin(), bytes.end()), pools_, given_, reason))
            return fail("the serial-number state file " + statePath + " is damaged: " + reason +
                        "; it is left as it is (mend or move it; starting afresh could give a number twice)");
    } else if (missing) {
        return fail("cannot read the serial-number state file " + statePath + ": " + missing.message());
    }
    if (source.kind == SerialSource::Kind::kFile) {
        std::vector<std::string> lines;
        std::string reason;
        bool partial = false;
        if (!ReadSerialLines(source.file, lines, partial, reason)) return fail(reason);
        const bool blank = std::all_of(lines.begin(), lines.end(), [](const std::string& line) { return line.empty(); });
        if (blank && !partial) return fail("the serial file " + source.file + " is empty: it holds no serial number");
    }
    // Whatever is still reserved went to a board whose run never finished.
    bool changed = false;
    for (auto& [name, pool] : pools_) {
        for (auto& [index, serial] : pool.reserved) {
            skipped_.push_back(serial);
            pool.skipped.emplace(index, serial);
            vexu::Trace("Serial " + vexu::EscapedText(serial) + " was reserved by a run that did not finish: skipped.\r\n");
        }
        changed = changed || !pool.reserved.empty();
        pool.reserved.clear();
    }
    if (changed && !Save(error)) {
        Close();
        return OpenResult::kFailed;
    }
    return OpenResult::kOpened;
}

void SerialCounter::Close() { lock_.Unlock(); }

bool SerialCounter::Save(std::string& error) {
    std::string reason;
    if (vexu::WriteFileWhole(path_, FormatState(pools_, given_), reason)) return true;
    error = "cannot write the serial-number state file: " + reason;
    return false;
}

bool SerialCounter::ReserveNumber(Pool& pool, SerialReservation& reservation, std::string& error, bool& usedUp) {
    // A released number at or above the start goes first; those below a
    // start raised since stay where they are.
    const auto released = pool.free.lower_bound(source_.start);
    if (released != pool.free.end()) {
        reservation.index = released->first;
        pool.free.erase(released);
    } else {
        if (!pool.started || pool.next < source_.start) pool.next = source_.start;
        pool.started = true;
        if (pool.next > kLastNumber) {
            usedUp = true;
            error = "the serial numbers are used up: the counter is past " + std::to_string(kLastNumber);
            return false;
        }
        reservation.index = pool.next++;
    }
    reservation.text = FormatSerial(source_.format, static_cast<uint32_t>(reservation.index));
    return true;
}

bool SerialCounter::ReserveLine(Pool& pool, SerialReservation& reservation, std::string& error, bool& usedUp) {
    // The file is read at every reservation: lines appended while a
    // station runs are taken too.
    std::vector<std::string> lines;
    bool partial = false;
    if (!ReadSerialLines(source_.file, lines, partial, error)) return false;
    // Lines are found by their number: a file whose given-out lines moved
    // would hand out a serial again.
    auto moved = [&lines](uint64_t index, const std::string& serial) {
        return index >= lines.size() || lines[index] != serial;
    };
    const auto changed = [&](uint64_t index, const std::string& serial) {
        error = "the serial file " + source_.file + " changed: line " + std::to_string(index + 1) +
                " no longer holds " + vexu::EscapedText(serial) + ", which was given out from it; serials may only be added at its end";
        return false;
    };
    if (pool.last && moved(pool.last->first, pool.last->second)) return changed(pool.last->first, pool.last->second);
    for (const auto& [index, serial] : pool.free)
        if (moved(index, serial)) return changed(index, serial);
    if (!pool.free.empty()) {
        reservation.index = pool.free.begin()->first;
        reservation.text = pool.free.begin()->second;
        pool.free.erase(pool.free.begin());
        return true;
    }
    if (!pool.started) pool.next = 0;
    pool.started = true;
    while (pool.next < lines.size() && lines[pool.next].empty()) ++pool.next;
    if (pool.next >= lines.size()) {
        usedUp = true;
        error = "the serial file " + source_.file + " is used up: every serial in it was given out" +
                (partial ? std::string(" (its last line has no line end yet, so it is not taken)") : std::string());
        return false;
    }
    reservation.index = pool.next;
    reservation.text = lines[pool.next];
    pool.last.emplace(reservation.index, reservation.text);
    ++pool.next;
    return true;
}

bool SerialCounter::HandedOut(const std::string& serial) const {
    if (given_.count(serial)) return true;
    for (const auto& [name, pool] : pools_)
        for (const auto* list : {&pool.reserved, &pool.skipped})
            for (const auto& [index, text] : *list)
                if (text == serial) return true;
    return false;
}

bool SerialCounter::Take(SerialReservation& reservation, std::string& error, bool& usedUp) {
    Pool& pool = pools_[poolName_];
    reservation = {};
    reservation.pool = poolName_;
    // A serial already handed out — from another file, another path to the
    // same file, a pattern that writes a number the way an earlier one did
    // — is passed over for good: no serial reaches two boards.
    for (;;) {
        const bool found = source_.kind == SerialSource::Kind::kCounter
                               ? ReserveNumber(pool, reservation, error, usedUp)
                               : ReserveLine(pool, reservation, error, usedUp);
        if (!found) return false;
        if (!HandedOut(reservation.text)) break;
        vexu::Trace("Serial " + vexu::EscapedText(reservation.text) + " was given out before: passed over.\r\n");
    }
    // A released serial that is now handed out from this pool is no longer
    // free in any other.
    for (auto& [name, other] : pools_)
        for (auto it = other.free.begin(); it != other.free.end();)
            it = it->second == reservation.text ? other.free.erase(it) : std::next(it);
    return true;
}

bool SerialCounter::Reserve(SerialReservation& reservation, std::string& error, bool& usedUp) {
    usedUp = false;
    if (!IsOpen()) {
        error = "the serial-number state file is not open";
        return false;
    }
    // Nothing changes in memory unless the file says so too.
    const Pools before = pools_;
    if (Take(reservation, error, usedUp)) {
        pools_[poolName_].reserved.emplace(reservation.index, reservation.text);
        if (Save(error)) return true;
    }
    pools_ = before;
    return false;
}

bool SerialCounter::Peek(std::string& serial, std::string& error, bool& usedUp) {
    usedUp = false;
    if (!IsOpen()) {
        error = "the serial-number state file is not open";
        return false;
    }
    const Pools before = pools_;
    SerialReservation reservation;
    const bool found = Take(reservation, error, usedUp);
    pools_ = before;
    if (found) serial = reservation.text;
    return found;
}

bool SerialCounter::Finish(const SerialReservation& reservation, SerialEnd end, std::string& error) {
    if (!IsOpen()) {
        error = "the serial-number state file is not open";
        return false;
    }
    const auto found = pools_.find(reservation.pool);
    if (found == pools_.end() || found->second.reserved.erase(reservation.index) == 0) {
        error = "the serial " + vexu::EscapedText(reservation.text) + " is not reserved";
        return false;
    }
    switch (end) {
        case SerialEnd::kCommit: given_.insert(reservation.text); break;
        case SerialEnd::kRelease: found->second.free.emplace(reservation.index, reservation.text); break;
        case SerialEnd::kSkip: found->second.skipped.emplace(reservation.index, reservation.text); break;
    }
    // Written or not, memory now says what happened; a file left behind
    // holds the serial as reserved, which only ever skips it.
    return Save(error);
}

bool SerialCounter::Commit(const SerialReservation& reservation, std::string& error) {
    return Finish(reservation, SerialEnd::kCommit, error);
}

bool SerialCounter::Release(const SerialReservation& reservation, std::string& error) {
    return Finish(reservation, SerialEnd::kRelease, error);
}

bool SerialCounter::Skip(const SerialReservation& reservation, std::string& error) {
    return Finish(reservation, SerialEnd::kSkip, error);
}

SerialEnd SerialEndOfRun(bool passed, bool boardMayHoldSerial) {
    if (passed) return SerialEnd::kCommit;
    return boardMayHoldSerial ? SerialEnd::kSkip : SerialEnd::kRelease;
}

bool ReadSerialState(const std::string& path, std::map<std::string, SerialCounter::Pool>& pools,
                     std::set<std::string>& given, std::string& error) {
    std::vector<uint8_t> bytes;
    std::string reason;
    if (!vexu::ReadUserFile(path, kMaxSerialFileBytes, "serial-number state file", bytes, reason)) {
        error = reason;
        return false;
    }
    if (!ParseState(std::string(bytes.begin(), bytes.end()), pools, given, reason)) {
        error = "the serial-number state file " + path + " is damaged: " + reason;
        return false;
    }
    return true;
}
