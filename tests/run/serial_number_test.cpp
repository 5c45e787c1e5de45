// Per-board serial numbers: the pattern taken without printf, the serial
// placed in the image, and the counter in its state file — reserved before
// a board, committed on a pass, released on a failure, skipped after a run
// that never finished, locked against a second station, never started
// afresh from a damaged file.
#include "run/serial_number.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "support/temp_dir.h"

namespace {

using vexu::test::TempDir;

std::string Contents(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void Put(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

TEST(SerialFormat, PatternsAreTakenOnlyAsOneUnsignedNumber) {
    struct Case {
        const char* pattern;
        uint32_t number;
        const char* serial;  // null: refused
        const char* error;   // part of the refusal
    };
    const Case cases[] = {
        {"VX%08u", 42, "VX00000042", nullptr},
        {"VX%08u", 4294967295u, "VX4294967295", nullptr},
        {"%u", 0, "0", nullptr},
        {"SN-%06X-B", 0xBEEF, "SN-00BEEF-B", nullptr},
        {"%x", 255, "ff", nullptr},
        {"%o", 8, "10", nullptr},
        {"[%-5u]", 7, "[7    ]", nullptr},
        {"[%5u]", 7, "[    7]", nullptr},
        {"100%% %u", 3, "100% 3", nullptr},
        {"%u%%", 3, "3%", nullptr},
        {"%032u", 1, "00000000000000000000000000000001", nullptr},
        {"VX", 0, nullptr, "needs one number"},
        {"%s", 0, nullptr, "not \"%s\""},
        {"%n", 0, nullptr, "not \"%n\""},
        {"%d", 0, nullptr, "not \"%d\""},
        {"%lu", 0, nullptr, "not \"%l\""},
        {"%.5u", 0, nullptr, "not \"%.\""},
        {"%*u", 0, nullptr, "not \"%*\""},
        {"%u%u", 0, nullptr, "exactly one number"},
        {"%u%", 0, nullptr, "exactly one number"},
        {"%033u", 0, nullptr, "width is at most 32"},
        {"%99999999999999999999u", 0, nullptr, "width is at most 32"},
        {"VX%", 0, nullptr, "not \"%\""},
        {"VX\t%u", 0, nullptr, "no control characters"},
        {"", 0, nullptr, "needs one number"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        SerialFormat format;
        std::string error;
        const bool ok = ParseSerialFormat(c.pattern, format, error);
        EXPECT_EQ(ok, c.serial != nullptr) << error;
        if (ok) {
            EXPECT_EQ(FormatSerial(format, c.number), c.serial);
        }
        if (c.error) {
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
    }
}

TEST(SerialOffset, DecimalOrHexadecimalWithoutOverflow) {
    const std::pair<const char*, uint64_t> good[] = {{"262143", 262143}, {"0x3FF00", 0x3FF00}, {"0x3ff00", 0x3FF00}};
    for (const auto& [text, expected] : good) {
        uint64_t offset = 7;
        std::string error;
        EXPECT_TRUE(ParseSerialOffset(text, offset, error)) << text;
        EXPECT_EQ(offset, expected) << text;
    }
    for (const char* text : {"", "0x", "-1", "12k", "18446744073709551616", "0x10000000000000000"}) {
        uint64_t offset = 0;
        std::string error;
        EXPECT_FALSE(ParseSerialOffset(text, offset, error)) << text;
    }
}

SerialSource Counter(const char* pattern = "VX%08u", uint32_t start = 1) {
    SerialSource source;
    std::string error;
    EXPECT_TRUE(ParseSerialFormat(pattern, source.format, error)) << error;
    source.start = start;
    return source;
}

SerialSource Lines(const std::string& file) {
    SerialSource source;
    source.kind = SerialSource::Kind::kFile;
    source.file = file;
    return source;
}

// One station's view of the state file, opened for the test.
struct Station {
    SerialCounter counter;
    std::string error;
    bool usedUp = false;

    Station(const std::string& path, const SerialSource& source) {
        EXPECT_EQ(counter.Open(path, source, error), SerialCounter::OpenResult::kOpened) << error;
    }
    std::string Reserve(SerialReservation& reservation) {
        return counter.Reserve(reservation, error, usedUp) ? reservation.text : "(none: " + error + ")";
    }
};

// A board's life in steps: r reserves, p commits (a pass), f releases (a
// failure), c closes without either (the program ended mid-run) and opens
// again. Each case lists the serials the reservations give.
TEST(SerialCounter, EveryNumberReachesOneBoard) {
    struct Case {
        const char* steps;
        std::vector<std::string> serials;
        std::vector<std::string> skipped;  // at the last reopening
    };
    const Case cases[] = {
        {"rprprp", {"VX00000001", "VX00000002", "VX00000003"}, {}},
        {"rfrprp", {"VX00000001", "VX00000001", "VX00000002"}, {}},
        {"rcrp", {"VX00000001", "VX00000002"}, {"VX00000001"}},
        {"rpcrp", {"VX00000001", "VX00000002"}, {}},
        // Three boards at once (a gang station): the middle one fails and its
        // number goes to the next board; the others are taken.
        {"rrrpfprp", {"VX00000001", "VX00000002", "VX00000003", "VX00000002"}, {}},
        {"rrfcrr", {"VX00000001", "VX00000002", "VX00000001", "VX00000003"}, {"VX00000002"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.steps);
        TempDir dir;
        const std::string path = dir.File("serials.state");
        auto station = std::make_unique<Station>(path, Counter());
        std::vector<SerialReservation> open;
        std::vector<std::string> given;
        for (const char step : std::string(c.steps)) {
            std::string error;
            switch (step) {
                case 'r': {
                    SerialReservation reservation;
                    given.push_back(station->Reserve(reservation));
                    open.push_back(reservation);
                    break;
                }
                case 'p':
                case 'f': {
                    ASSERT_FALSE(open.empty());
                    // The oldest board in hand ends first.
                    const SerialReservation done = open.front();
                    open.erase(open.begin());
                    EXPECT_TRUE(step == 'p' ? station->counter.Commit(done, error)
                                            : station->counter.Release(done, error))
                        << error;
                    EXPECT_FALSE(station->counter.Commit(done, error)) << "ended twice";
                    break;
                }
                case 'c':
                    station.reset();
                    open.clear();
                    station = std::make_unique<Station>(path, Counter());
                    EXPECT_EQ(station->counter.Skipped(), c.skipped);
                    break;
            }
        }
        EXPECT_EQ(given, c.serials);
    }
}

// The start moves the counter forward only; the last number is given once.
TEST(SerialCounter, StartNeverGoesBackAndTheLastNumberIsGivenOnce) {
    TempDir dir;
    const std::string path = dir.File("serials.state");
    for (const auto& [start, serial] : {std::pair{5u, "5"}, {1u, "6"}, {1000u, "1000"}, {4294967295u, "4294967295"}}) {
        Station station(path, Counter("%u", start));
        SerialReservation reservation;
        EXPECT_EQ(station.Reserve(reservation), serial);
        EXPECT_TRUE(station.counter.Commit(reservation, station.error));
    }
    Station station(path, Counter("%u", 0));
    std::string next;
    EXPECT_FALSE(station.counter.Peek(next, station.error, station.usedUp));
    EXPECT_TRUE(station.usedUp);
    EXPECT_NE(station.error.find("used up"), std::string::npos);
}

TEST(SerialCounter, DamagedStateFileIsNeverStartedAfresh) {
    const char* header = "vexu-programmer serials 1\n";
    struct Case {
        std::string text;
        const char* reason;
    };
    const Case cases[] = {
        {"next counter 5\n", "line 1 is not"},
        {std::string(header) + "next counter 5", "cut short"},
        {std::string(header) + "next counter five\n", "line 2 is not a line this program writes"},
        {std::string(header) + "next counter 5\nnext counter 6\n", "second next value"},
        {std::string(header) + "next counter 5\nfree counter 7 VX7\n", "do not agree"},
        {std::string(header) + "free counter 3 VX3\n", "do not agree"},
        {std::string(header) + "next counter 5\nfree counter 3 VX3\nreserved counter 3 VX3\n", "a second time"},
        {std::string(header) + "next counter 4294967297\n", "larger than a serial number"},
        {std::string(header) + "next counter 5\nreserved counter 3\n", "line 3 is not"},
        {std::string(header) + "next counter 5\nused counter 3 VX3\n", "line 3 is not"},
        {std::string(header) + "next counter 5\nfree counter 3 VX%2\n", "line 3 is not"},
        {std::string("\x7F") + "ELF\n", "line 1 is not"},
        {"", "it is empty"},
        {std::string(header) + "next counter 5\ngiven VX3\ngiven VX3\n", "line 4 is not"},
        {std::string(header) + "next counter 5\nskipped counter 3 VX3\ngiven VX3\n", "lists the serial VX3 a second time"},
        {std::string(header) + "next counter 5\nfree counter 3 VX3\nnext file:/s 2\nskipped file:/s 1 VX3\n",
         "lists the serial VX3 a second time"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        TempDir dir;
        const std::string path = dir.File("serials.state");
        Put(path, c.text);
        SerialCounter counter;
        std::string error;
        EXPECT_EQ(counter.Open(path, Counter(), error), SerialCounter::OpenResult::kFailed);
        EXPECT_NE(error.find("is damaged"), std::string::npos) << error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_EQ(Contents(path), c.text) << "left as it is";
        EXPECT_FALSE(counter.IsOpen()) << "a refused file is not held";
    }
}

TEST(SerialCounter, StateFileThatCannotBeWrittenChangesNothing) {
    TempDir dir;
    const std::string path = dir.File("serials.state");
    Station station(path, Counter());
    SerialReservation first;
    EXPECT_EQ(station.Reserve(first), "VX00000001");
    // A directory where the file should be: every whole-file write fails.
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    SerialReservation failed;
    EXPECT_FALSE(station.counter.Reserve(failed, station.error, station.usedUp));
    EXPECT_FALSE(station.usedUp);
    EXPECT_NE(station.error.find("cannot write the serial-number state file"), std::string::npos) << station.error;
    std::string error;
    EXPECT_FALSE(station.counter.Commit(first, error));
    std::filesystem::remove(path);
    // The number that could not be reserved is still the next one.
    SerialReservation next;
    EXPECT_EQ(station.Reserve(next), "VX00000002");
    // The commit that could not be written is in the file with the next change.
    EXPECT_EQ(Contents(path),
              "vexu-programmer serials 1\nnext counter 3\nreserved counter 2 VX00000002\ngiven VX00000001\n");
}

TEST(SerialCounter, SerialFileThatWouldGiveASerialTwiceIsRefused) {
    struct Case {
        const char* before;  // the file when the first serial was taken
        const char* after;   // the file at the next reservation
        const char* error;
    };
    const Case cases[] = {
        {"S1\nS2\n", "S0\nS1\nS2\n", "line 1 no longer holds S1"},
        {"S1\nS2\n", "S9\nS2\n", "line 1 no longer holds S1"},
        {"S1\nS2\n", "", "line 1 no longer holds S1"},
        {"S1\nS2\n", "S1\nS2\nS1\n", "line 3 of the serial file"},
        {"S1\nS2\n", "S1\nS2\x01\n", "no control characters"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.after);
        TempDir dir;
        const std::string file = dir.File("serials.txt");
        Put(file, c.before);
        Station station(dir.File("serials.state"), Lines(file));
        SerialReservation first, next;
        std::string error;
        EXPECT_EQ(station.Reserve(first), "S1");
        station.counter.Commit(first, error);
        Put(file, c.after);
        EXPECT_FALSE(station.counter.Reserve(next, station.error, station.usedUp));
        EXPECT_FALSE(station.usedUp);
        EXPECT_NE(station.error.find(c.error), std::string::npos) << station.error;
    }
    // Refused when the station starts as well.
    TempDir dir;
    const std::string file = dir.File("serials.txt");
    Put(file, "S1\nS2\nS1\n");
    SerialCounter counter;
    std::string error;
    EXPECT_EQ(counter.Open(dir.File("serials.state"), Lines(file), error), SerialCounter::OpenResult::kFailed);
    EXPECT_NE(error.find("line 3 of the serial file " + file + " repeats line 1 (S1)"), std::string::npos) << error;
}

// Whatever path, copy or pattern a source comes by, a serial handed out
// once (passed, or skipped after a board that may hold it) is never handed
// out again; a released one is, once.
TEST(SerialCounter, NoSerialIsHandedOutTwiceWhateverItsSource) {
    struct Case {
        const char* name;
        // The first station's source and the second's, in the test's directory.
        std::function<SerialSource(TempDir&)> first;
        std::function<SerialSource(TempDir&)> second;
        std::vector<std::string> secondGives;  // three reservations
    };
    auto file = [](const char* name, const char* text) {
        return [name, text](TempDir& dir) {
            Put(dir.File(name), text);
            return Lines(dir.File(name));
        };
    };
    const Case cases[] = {
        {"a hard link", file("s.txt", "A\nB\nC\nD\nE\n"),
         [](TempDir& dir) {
             std::filesystem::create_hard_link(dir.File("s.txt"), dir.File("link.txt"));
             return Lines(dir.File("link.txt"));
         },
         {"C", "D", "E"}},
        {"a symbolic link", file("s.txt", "A\nB\nC\nD\nE\n"),
         [](TempDir& dir) {
             // Where symbolic links cannot be made (wine), a copy stands in.
             std::error_code error;
             std::filesystem::create_symlink(dir.File("s.txt"), dir.File("sym.txt"), error);
             if (error) std::filesystem::copy_file(dir.File("s.txt"), dir.File("sym.txt"));
             return Lines(dir.File("sym.txt"));
         },
         {"C", "D", "E"}},
        {"a copy", file("s.txt", "A\nB\nC\nD\nE\n"), file("copy.txt", "A\nB\nC\nD\nE\n"), {"C", "D", "E"}},
        {"another file sharing serials", file("s.txt", "A\nB\nC\n"), file("t.txt", "B\nX\nA\nC\nY\nZ\n"),
         {"X", "C", "Y"}},  // C was released: no board got it
        {"a pattern writing the same numbers", [](TempDir&) { return Counter("VX%02u"); },
         [](TempDir&) { return Counter("VX0%u"); }, {"VX03", "VX04", "VX05"}},
        {"a file listing the counter's serials", [](TempDir&) { return Counter("N%u"); },
         file("n.txt", "N1\nN2\nN7\nN3\n"), {"N7", "N3", "(none"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir.File("serials.state");
        {
            // The first board passes, the second fails after its serial
            // was written (skipped); the third never reached the chip
            // (released).
            Station station(path, c.first(dir));
            SerialReservation passed, skipped, released;
            station.Reserve(passed);
            station.Reserve(skipped);
            station.Reserve(released);
            EXPECT_TRUE(station.counter.Commit(passed, station.error)) << station.error;
            EXPECT_TRUE(station.counter.Skip(skipped, station.error)) << station.error;
            EXPECT_TRUE(station.counter.Release(released, station.error)) << station.error;
        }
        Station station(path, c.second(dir));
        std::vector<std::string> given;
        for (int k = 0; k < 3; ++k) {
            SerialReservation reservation;
            const std::string serial = station.Reserve(reservation);
            given.push_back(serial.rfind("(none", 0) == 0 ? "(none" : serial);
            if (serial.rfind("(none", 0) != 0) station.counter.Commit(reservation, station.error);
        }
        EXPECT_EQ(given, c.secondGives);
    }
}

TEST(SerialCounter, HowARunEndsDecidesItsSerial) {
    struct Case {
        bool passed;
        bool boardMayHoldSerial;
        SerialEnd end;
    };
    const Case cases[] = {
        {true, true, SerialEnd::kCommit},
        {false, true, SerialEnd::kSkip},
        {false, false, SerialEnd::kRelease},
    };
    for (const Case& c : cases) EXPECT_EQ(SerialEndOfRun(c.passed, c.boardMayHoldSerial), c.end);
}

// A serial file's lines are taken whole and exactly as they stand.
TEST(SerialFile, LinesAreTakenWholeAndExactly) {
    struct Case {
        std::string text;
        std::vector<std::string> serials;  // what reservations give until none is left
        const char* error;                 // of the reservation after them (or of the opening)
    };
    const Case cases[] = {
        {"S1\nS2\n", {"S1", "S2"}, "is used up"},
        {"\xEF\xBB\xBFS1\r\nS2\r\n", {"S1", "S2"}, "is used up"},           // a byte-order mark, CR LF
        {"S1\n\n\nS2\n", {"S1", "S2"}, "is used up"},                       // blank lines passed over
        {"S1\nS2", {"S1"}, "its last line has no line end yet"},             // S2 may still be being written
        {"S2", {}, "its last line has no line end yet"},
        {"S1\n S2\n", {}, "line 2 of the serial file"},
        {"S1\n S2\n", {}, "begins with white space"},
        {"S1\t\nS2\n", {}, "line 1 of the serial file"},
        {"S1\nS2 \n", {}, "ends with white space"},
        {"S1\n \n", {}, "line 2 of the serial file"},
        {"", {}, "is empty: it holds no serial number"},
        {"\n\n", {}, "is empty"},
        {"\xEF\xBB\xBF", {}, "is empty"},
        {"S\x1B]0;title\x07\n", {}, "no control characters"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        TempDir dir;
        Put(dir.File("s.txt"), c.text);
        SerialCounter counter;
        std::string error;
        bool usedUp = false;
        std::vector<std::string> given;
        if (counter.Open(dir.File("serials.state"), Lines(dir.File("s.txt")), error) ==
            SerialCounter::OpenResult::kOpened) {
            for (SerialReservation reservation; counter.Reserve(reservation, error, usedUp);) {
                given.push_back(reservation.text);
                counter.Commit(reservation, error);
            }
        }
        EXPECT_EQ(given, c.serials);
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

}  // namespace
