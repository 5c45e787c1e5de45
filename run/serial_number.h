// Per-board serial numbers in the serial-flash image.
//
// Two pieces that a station puts together, and that a gang station keeps
// apart (it reserves the numbers in its own process and hands each worker
// the text to write):
//
//   SerialCounter: where the numbers come from — a counter rendered through
//   a pattern ("VX%08u"), or the lines of a file in order — and which of
//   them are taken, kept in a state file next to the run log. A number is
//   reserved in the file before it goes to a board; a pass commits it, a
//   failure before the serial flash was written releases it for the next
//   board, any other failure skips it, and a number still reserved
//   when the file is next opened (the program crashed, the power went) is
//   skipped for good: no number ever reaches two boards. Every serial handed
//   out is remembered, whatever pool it came from, and never handed out
//   again. The file is locked
//   for as long as the counter is open, so a second station is refused.
//
//   PlaceSerial: the serial text written as bytes into an image at an offset.
//
//   SerialCounter counter;
//   if (counter.Open(DefaultSerialStatePath(), source, error) != SerialCounter::OpenResult::kOpened) ...
//   SerialReservation serial;
//   if (!counter.Reserve(serial, error)) ...
//   std::vector<uint8_t> image(g_eepromData, g_eepromData + g_eepromSize);
//   if (!PlaceSerial(image, offset, serial.text, error)) counter.Release(serial, error);
//   ... run with the image ...
//   counter.Finish(serial, SerialEndOfRun(passed, boardMayHoldSerial), error);
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_lock.h"

// A pattern of one unsigned number as printf takes it: text, one
// conversion %u, %x, %X or %o with the flags 0 and - and a width of at most
// 32, more text; "%%" is a percent sign. Nothing else is taken: the pattern
// is never handed to printf.
struct SerialFormat {
    std::string prefix;
    std::string suffix;
    bool zeroPad = false;
    bool leftAlign = false;
    unsigned width = 0;
    unsigned base = 10;
    bool upperCase = false;
};

// False with one line saying what is wrong with the pattern.
bool ParseSerialFormat(std::string_view pattern, SerialFormat& format, std::string& error);
std::string FormatSerial(const SerialFormat& format, uint32_t number);

// A serial number's text: at least one byte, at most kMaxSerialBytes, no
// control characters (it is one line of the state file and of a serial
// file). False with the reason.
constexpr size_t kMaxSerialBytes = 256;
bool CheckSerialText(std::string_view text, std::string& error);

// An offset in the image: decimal or 0x-hexadecimal.
bool ParseSerialOffset(std::string_view text, uint64_t& offset, std::string& error);

// Writes the serial's bytes (no terminating zero) into the image at offset.
// False, image untouched, when they would run past its end:
//   the serial number "VX00000001" (10 bytes) at offset 262140 runs past the end of the serial-flash image (262144 bytes)
bool PlaceSerial(std::vector<uint8_t>& image, uint64_t offset, std::string_view serial, std::string& error);

// Where the numbers come from.
struct SerialSource {
    enum class Kind { kCounter, kFile };
    Kind kind = Kind::kCounter;
    SerialFormat format;  // kCounter: how a number is written
    uint32_t start = 0;   // kCounter: the first number when none was taken below it
    std::string file;     // kFile: one serial per line, taken in order; blank lines are passed over
};

// The serial file's lines, checked (white space at either end, control
// characters, a serial twice); a blank line is empty and holds no serial.
// Only whole lines count: partial says the last line has no line end yet.
bool ReadSerialFileLines(const std::string& path, std::vector<std::string>& lines, bool& partial,
                         std::string& error);

// The pool a source's serials are counted in: "counter", or "file:" and
// the serial file's full path.
std::string SerialPoolName(const SerialSource& source);

// One number on its way to a board.
struct SerialReservation {
    std::string pool;  // "counter", or "file:" and the serial file's full path
    uint64_t index = 0;  // the number, or the line (0 = the first) of the serial file
    std::string text;  // the serial as it goes into the image
};

// The state file next to the run log: serials.state in the directory of
// RunLogPath(), locked through serials.state.lock beside it.
std::string DefaultSerialStatePath();

// The most bytes a serial file may have.
constexpr uint64_t kMaxSerialFileBytes = 64u << 20;

// How a board's serial ends: taken for good by a board that passed;
// released for the next board only when this board certainly never
// received it (its run ended before the serial-flash step began writing);
// skipped for good otherwise (a failure, crash, kill or interrupt after
// that point may have left it on the board).
enum class SerialEnd { kCommit, kRelease, kSkip };
SerialEnd SerialEndOfRun(bool passed, bool boardMayHoldSerial);

// Not for several threads at once: a station calls it from one thread.
class SerialCounter {
public:
    enum class OpenResult { kOpened, kHeld, kFailed };

    SerialCounter() = default;
    SerialCounter(const SerialCounter&) = delete;
    SerialCounter& operator=(const SerialCounter&) = delete;

    // Takes the state file's lock, reads the file (none yet: nothing taken)
    // and skips every reservation in it. kHeld: another station holds the
    // file, and error names it; kFailed: the file is damaged or cannot be
    // read or written, or the source is not usable (a serial file that
    // cannot be read). A damaged file is never started afresh: that could
    // give a number twice.
    OpenResult Open(const std::string& statePath, const SerialSource& source, std::string& error);
    bool IsOpen() const { return lock_.Held(); }
    // Gives up the lock; reservations not committed or released stay in
    // the file and are skipped by whoever opens it next.
    void Close();

    // The serials skipped when the file was opened.
    const std::vector<std::string>& Skipped() const { return skipped_; }

    // The next serial: the smallest released one, else the next new one;
    // in the state file as reserved before this returns. usedUp is set when
    // the source has no serial left (the counter past 4294967295, the
    // serial file's last line taken).
    bool Reserve(SerialReservation& reservation, std::string& error, bool& usedUp);
    // The serial Reserve would give now, without taking it.
    bool Peek(std::string& serial, std::string& error, bool& usedUp);
    // The board passed with this serial: it is used.
    bool Commit(const SerialReservation& reservation, std::string& error);
    // The board failed before its serial-flash step wrote anything: the
    // serial goes to the next board.
    bool Release(const SerialReservation& reservation, std::string& error);
    // The board's run ended where the board may hold the serial: it goes to
    // no other board.
    bool Skip(const SerialReservation& reservation, std::string& error);
    bool Finish(const SerialReservation& reservation, SerialEnd end, std::string& error);

    const std::string& StatePath() const { return path_; }

    // What the state file holds for one pool.
    struct Pool {
        bool started = false;
        uint64_t next = 0;                               // the next new index
        std::map<uint64_t, std::string> free;            // released, for the next boards
        std::map<uint64_t, std::string> reserved;        // on their way to a board
        std::map<uint64_t, std::string> skipped;         // reserved when a run never finished
        // A serial file's line handed out last, by its index: the file
        // may grow at its end, but a line moved or changed above it would
        // make the line indices lie.
        std::optional<std::pair<uint64_t, std::string>> last;
    };

private:
    bool Save(std::string& error);
    // Takes the next serial that was never handed out (Reserve and Peek).
    bool Take(SerialReservation& reservation, std::string& error, bool& usedUp);
    bool HandedOut(const std::string& serial) const;
    bool ReserveNumber(Pool& pool, SerialReservation& reservation, std::string& error, bool& usedUp);
    bool ReserveLine(Pool& pool, SerialReservation& reservation, std::string& error, bool& usedUp);

    vexu::FileLock lock_;
    std::string path_;
    SerialSource source_;
    std::string poolName_;
    std::map<std::string, Pool> pools_;
    // Every serial a board passed with, whatever pool it came from; with
    // the pools' reserved and skipped ones, the serials never given again.
    std::set<std::string> given_;
    std::vector<std::string> skipped_;
};

// Reads a state file as it stands (without its lock): its pools and the
// serials boards passed with. False with the reason when it is damaged or
// cannot be read. The station database takes its contents over this way.
bool ReadSerialState(const std::string& path, std::map<std::string, SerialCounter::Pool>& pools,
                     std::set<std::string>& given, std::string& error);
