// A gang station's view of one board's run, fed the worker's events without
// a process: how the board's serial ends, when the run is overdue, and when
// the station owes the board its record.
#include "run/station_board.h"

#include <gtest/gtest.h>

namespace vexu::station {
namespace {

TEST(BoardRun, EventsDecideTheSerialTheDeadlineAndTheRecord) {
    struct Case {
        const char* name;
        const char* events;  // p: pages written, r/f: result passed/failed (o: box never had), e: worker ended
        bool serialFlashRan;  // the result's record: the serial-flash step found a chip
        SerialEnd end;
        bool stationOwesRecord;
    };
    const Case cases[] = {
        {"passed", "pre", true, SerialEnd::kCommit, false},
        {"failed in the FPGA step", "fe", false, SerialEnd::kRelease, false},
        {"failed finding no chip", "fe", false, SerialEnd::kRelease, false},
        {"failed after writing", "pfe", true, SerialEnd::kSkip, false},
        {"failed, pages written though the record says otherwise", "pfe", false, SerialEnd::kSkip, false},
        {"box in use: no board run", "oe", false, SerialEnd::kRelease, false},
        {"crashed before any page", "e", false, SerialEnd::kSkip, true},
        {"crashed while writing", "pe", false, SerialEnd::kSkip, true},
        {"killed after its result", "re", true, SerialEnd::kCommit, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BoardRun board;
        board.Start(1'000, 5'000);
        for (const char event : std::string(c.events)) {
            switch (event) {
                case 'p': board.SerialFlashProgress(); break;
                case 'r': board.Result(true, false, c.serialFlashRan); break;
                case 'f': board.Result(false, false, c.serialFlashRan); break;
                case 'o': board.Result(false, true, false); break;
                case 'e': board.Ended(); break;
            }
        }
        EXPECT_EQ(board.SerialEndOfBoard(), c.end);
        EXPECT_EQ(board.StationMayOweRecord(), c.stationOwesRecord);
    }
}

TEST(BoardRun, OverdueWhileRunningPastItsLimit) {
    BoardRun board;
    EXPECT_FALSE(board.Overdue(1'000'000'000)) << "nothing started";
    board.Start(1'000, 5'000);
    EXPECT_FALSE(board.Overdue(6'000));
    EXPECT_TRUE(board.Overdue(6'001));
    board.Result(true, false, true);
    EXPECT_FALSE(board.Overdue(6'001 + BoardRun::kResultGraceUs - 1)) << "a worker that gave its result may end";
    EXPECT_TRUE(board.Overdue(6'001 + BoardRun::kResultGraceUs))
        << "a worker stopped after its result would hold the station forever";
    EXPECT_TRUE(board.Passed()) << "ending it late changes nothing of its board";
    board.Start(20'000, 5'000);
    EXPECT_FALSE(board.Passed()) << "a new board starts afresh";
    EXPECT_FALSE(board.Overdue(25'000));
}

// The limit covers the modelled time of the largest images with room to
// spare, and grows with them: a slow board is never killed as hung.
TEST(BoardRun, TimeLimitCoversTheModelledWorstCase) {
    const uint64_t demo = BoardTimeLimitUs(65'097, 262'144);
    EXPECT_GT(demo, (83 + 45 + 20) * 1'000'000ull);  // modelled times, the slowest bulk erase
    EXPECT_LT(demo, 30 * 60 * 1'000'000ull);
    EXPECT_GT(BoardTimeLimitUs(8u << 20, 0), BoardTimeLimitUs(65'097, 0));
    EXPECT_GT(BoardTimeLimitUs(0, 1u << 20), BoardTimeLimitUs(0, 4096));
    EXPECT_GT(BoardTimeLimitUs(0, 4096), BoardTimeLimitUs(0, 0) + 40 * 1'000'000ull) << "a whole-chip erase fits";
}

}  // namespace
}  // namespace vexu::station
