// Per-board serial numbers: the pattern taken without printf, the serial
// placed in the image, and the counter in its state file — reserved before
// a board, committed on a pass, released on a failure, skipped after a run
// that never finished, locked against a second station, never started
// afresh from a damaged file.
#include "run/serial_number.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

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
        {"VX%%", 0, nullptr, "needs one number"},
        {"%s", 0, nullptr, "not \"%s\""},
        {"%n", 0, nullptr, "not \"%n\""},
        {"%d", 0, nullptr, "not \"%d\""},
        {"%lu", 0, nullptr, "not \"%l\""},
        {"%.5u", 0, nullptr, "not \"%.\""},
        {"%*u", 0, nullptr, "not \"%*\""},
        {"%+u", 0, nullptr, "not \"%+\""},
        {"%u", 0, "0", nullptr},
        {"%u%u", 0, nullptr, "exactly one number"},
        {"%u-%x", 0, nullptr, "exactly one number"},
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

TEST(PlaceSerial, SerialGoesIntoTheImageOnlyWhereItFits) {
    struct Case {
        uint64_t offset;
        const char* serial;
        bool fits;
    };
    const Case cases[] = {
        {0, "AB", true},  {14, "AB", true},  {15, "AB", false},
        {16, "A", false}, {1ull << 63, "A", false}, {3, "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.offset << " " << c.serial);
        std::vector<uint8_t> image(16, 0xFF);
        std::string error;
        EXPECT_EQ(PlaceSerial(image, c.offset, c.serial, error), c.fits) << error;
        std::vector<uint8_t> expected(16, 0xFF);
        if (c.fits) std::copy(c.serial, c.serial + strlen(c.serial), expected.begin() + c.offset);
        EXPECT_EQ(image, expected) << "a refused serial leaves the image as it was";
    }
    std::vector<uint8_t> image(16);
    std::string error;
    EXPECT_FALSE(PlaceSerial(image, 10, "ABCDEFGH", error));
    EXPECT_EQ(error, "the serial number \"ABCDEFGH\" (8 bytes) at offset 10 runs past the end of the serial-flash "
                     "image (16 bytes)");
}

TEST(SerialOffset, DecimalOrHexadecimal) {
    struct Case {
        const char* text;
        bool ok;
        uint64_t offset;
    };
    const Case cases[] = {
        {"0", true, 0},         {"262143", true, 262143}, {"0x3FF00", true, 0x3FF00}, {"0x3ff00", true, 0x3FF00},
        {"", false, 0},         {"0x", false, 0},         {"-1", false, 0},          {"12k", false, 0},
        {"99999999999999999999", false, 0},                {"0x1FFFFFFFFFFFFFFFF", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        uint64_t offset = 7;
        std::string error;
        EXPECT_EQ(ParseSerialOffset(c.text, offset, error), c.ok);
        if (c.ok) {
            EXPECT_EQ(offset, c.offset);
        }
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

TEST(SerialCounter, StateFileSaysWhatIsReservedBeforeTheBoardIsRun) {
    TempDir dir;
    const std::string path = dir.File("serials.state");
    Station station(path, Counter("SN%u", 100));
    SerialReservation first, second;
    station.Reserve(first);
    EXPECT_EQ(Contents(path), "vexu-programmer serials 1\nnext counter 101\nreserved counter 100 SN100\n");
    std::string error;
    station.counter.Release(first, error);
    EXPECT_EQ(Contents(path), "vexu-programmer serials 1\nnext counter 101\nfree counter 100 SN100\n");
    station.Reserve(second);
    station.counter.Commit(second, error);
    EXPECT_EQ(Contents(path), "vexu-programmer serials 1\nnext counter 101\n");
    // Written whole through a temporary file, which is gone.
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
        files.push_back(entry.path().filename().string());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"serials.state", "serials.state.lock"}));
}

TEST(SerialCounter, StartNeverGoesBackBelowANumberGiven) {
    TempDir dir;
    const std::string path = dir.File("serials.state");
    struct Step {
        uint32_t start;
        const char* serial;
    };
    // Each step opens the file with its start, takes one number and commits it.
    const Step steps[] = {{5, "5"}, {1, "6"}, {6, "7"}, {1000, "1000"}, {0, "1001"}};
    for (const Step& s : steps) {
        SCOPED_TRACE(s.start);
        Station station(path, Counter("%u", s.start));
        SerialReservation reservation;
        EXPECT_EQ(station.Reserve(reservation), s.serial);
        std::string error;
        EXPECT_TRUE(station.counter.Commit(reservation, error));
    }
}

TEST(SerialCounter, TheLastNumberIsGivenOnceThenTheCounterIsUsedUp) {
    TempDir dir;
    Station station(dir.File("serials.state"), Counter("%u", 4294967295u));
    SerialReservation last, none;
    EXPECT_EQ(station.Reserve(last), "4294967295");
    EXPECT_FALSE(station.counter.Reserve(none, station.error, station.usedUp));
    EXPECT_TRUE(station.usedUp);
    EXPECT_NE(station.error.find("used up"), std::string::npos);
    std::string peeked;
    EXPECT_FALSE(station.counter.Peek(peeked, station.error, station.usedUp));
    // A released number is given again all the same.
    std::string error;
    station.counter.Release(last, error);
    EXPECT_TRUE(station.counter.Peek(peeked, station.error, station.usedUp));
    EXPECT_EQ(peeked, "4294967295");
    EXPECT_EQ(station.Reserve(last), "4294967295");
}

TEST(SerialCounter, PeekTakesNothing) {
    TempDir dir;
    const std::string path = dir.File("serials.state");
    Station station(path, Counter());
    std::string serial;
    bool usedUp = false;
    std::string error;
    EXPECT_TRUE(station.counter.Peek(serial, error, usedUp));
    EXPECT_EQ(serial, "VX00000001");
    EXPECT_FALSE(std::filesystem::exists(path));
    SerialReservation reservation;
    EXPECT_EQ(station.Reserve(reservation), "VX00000001");
}

TEST(SerialCounter, SecondStationIsRefusedWhileTheFirstHoldsTheFile) {
    TempDir dir;
    const std::string path = dir.File("serials.state");
    auto first = std::make_unique<Station>(path, Counter());
    SerialCounter second;
    std::string error;
    EXPECT_EQ(second.Open(path, Counter(), error), SerialCounter::OpenResult::kHeld);
    EXPECT_NE(error.find("the serial-number state file " + path + " is in use by another station (process "),
              std::string::npos)
        << error;
    first.reset();
    EXPECT_EQ(second.Open(path, Counter(), error), SerialCounter::OpenResult::kOpened) << error;
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
    EXPECT_EQ(Contents(path), "vexu-programmer serials 1\nnext counter 3\nreserved counter 2 VX00000002\n");
}

TEST(SerialCounter, SerialFileGivesItsLinesInOrder) {
    TempDir dir;
    const std::string path = dir.File("serials.state");
    const std::string file = dir.File("serials.txt");
    Put(file, "A-001\r\n\nA-002\n   \nA 003");
    Station station(path, Lines(file));
    SerialReservation a, b, c, d;
    std::string error;
    EXPECT_EQ(station.Reserve(a), "A-001");
    EXPECT_EQ(station.Reserve(b), "A-002");
    station.counter.Release(a, error);
    EXPECT_EQ(station.Reserve(c), "A-001");
    EXPECT_EQ(station.Reserve(d), "A 003");
    EXPECT_EQ(station.Reserve(d), "(none: the serial file " + file + " is used up: every serial in it was given out)");
    EXPECT_TRUE(station.usedUp);
    // Lines added at the end are taken as they come.
    Put(file, "A-001\r\n\nA-002\n   \nA 003\nA-004\n");
    EXPECT_EQ(station.Reserve(d), "A-004");
    // The file's pool is kept apart from the counter's, under its full path.
    EXPECT_NE(Contents(path).find("next file:" + std::filesystem::canonical(file).string() + " 6\n"),
              std::string::npos)
        << Contents(path);
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

}  // namespace
