// The serial flash drivers against a scripted programmer box: frames on the
// wire, refusals, busy waits in virtual time, and device creation by name.
#include <gtest/gtest.h>

#include <memory>
#include <numeric>

#include "flash/flash_chips.h"
#include "flash/memory_owner.h"
#include "platform/trace.h"
#include "support/flash_fakes.h"

using namespace vexu::test;

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> bytes;
    for (int v : values) bytes.push_back(static_cast<uint8_t>(v));
    return bytes;
}

class SerialFlashTest : public ::testing::Test {
protected:
    // Answers every transfer with `answer` repeated to the asked length.
    void AnswerWith(uint8_t answer) {
        session->box.SetResponder([answer](const SerialTransfer& t) {
            return std::optional<std::vector<uint8_t>>(std::vector<uint8_t>(t.outLen, answer));
        });
    }
    void FailEveryTransfer() {
        session->box.SetResponder([](const SerialTransfer&) { return std::optional<std::vector<uint8_t>>(); });
    }
    const std::vector<SerialTransfer>& Sent() { return session->box.Transfers(); }
    // A failed transfer loses the box: cases that fail one start afresh.
    FakeBoxSession& Fresh() {
        session.reset();
        session = std::make_unique<FakeBoxSession>();
        return *session;
    }

    std::unique_ptr<FakeBoxSession> session = std::make_unique<FakeBoxSession>();
    vexu::TraceCapture trace;
};

TEST_F(SerialFlashTest, LengthAndPageChecksRefuseBeforeSending) {
    struct Case {
        const char* chip;
        bool program;  // else read
        int page;
        int len;
        const char* line;
    };
    const Case cases[] = {
        {"M25P80", true, 0, 0, "CStFlashAdd24p::Page_Program()  (len>pagesize)||(len<1) FALSE  \r\n"},
        {"M25P80", true, 0, 257, "CStFlashAdd24p::Page_Program()  (len>pagesize)||(len<1) FALSE  \r\n"},
        {"M25P80", true, 0, -1, "CStFlashAdd24p::Page_Program()  (len>pagesize)||(len<1) FALSE  \r\n"},
        {"M25P80", true, 4096, 256, "CStFlashAdd24p::Page_Program()  index>=pagetotal FALSE  \r\n"},
        {"M25P20", true, 1024, 1, "CStFlashAdd24p::Page_Program()  index>=pagetotal FALSE  \r\n"},
        {"M25P20", true, -1, 1, "CStFlashAdd24p::Page_Program()  index>=pagetotal FALSE  \r\n"},
        {"M25P40", false, 0, 0, "CStFlashAdd24p::Read_Data_Bytes() (len>pagesize)||(len<1)  FALSE  \r\n"},
        {"M25P40", false, 0, 257, "CStFlashAdd24p::Read_Data_Bytes() (len>pagesize)||(len<1)  FALSE  \r\n"},
        {"M25P40", false, 2048, 16, "CStFlashAdd24p::Read_Data_Bytes() index>=pagetotal  FALSE  \r\n"},
        {"TS25L80P", true, 0, 300, "CTsiFlashAdd24::Page_Program()  (len>pagesize)||(len<1) FALSE  \r\n"},
        {"TS25L80P", true, 4096, 8, "CTsiFlashAdd24::Page_Program()  index>=pagetotal FALSE  \r\n"},
        {"TS25L80P", false, 4096, 8, "CTsiFlashAdd24::Read_Data_Bytes() index>=pagetotal  FALSE  \r\n"},
    };
    std::vector<char> buffer(512, 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.chip << (c.program ? " program" : " read") << " page "
                                        << c.page << " len " << c.len);
        CMemoryOwner owner;
        CMemory* chip = owner.Create(c.chip).Get();
        trace.Clear();
        const int result = c.program ? chip->WriteVisualPage(c.page, buffer.data(), c.len)
                                     : chip->ReadVisualPage(c.page, buffer.data(), c.len);
        EXPECT_EQ(result, 0);
        EXPECT_TRUE(trace.Contains(c.line)) << trace.Text();
        EXPECT_TRUE(Sent().empty());
    }
}

TEST_F(SerialFlashTest, PageProgramSendsOneFrameAfterWriteEnable) {
    AnswerWith(0x00);
    CM25P80 chip;
    std::vector<char> data(256);
    std::iota(data.begin(), data.end(), 0);

    ASSERT_EQ(chip.Page_Program(4095, data.data(), 256), 1);
    ASSERT_EQ(Sent().size(), 1u);
    const SerialTransfer& t = Sent()[0];
    EXPECT_TRUE(t.withPrefix);
    EXPECT_EQ(t.prefix, 0x06);
    EXPECT_EQ(t.outLen, 0u);
    ASSERT_EQ(t.in.size(), 260u);
    EXPECT_EQ(std::vector<uint8_t>(t.in.begin(), t.in.begin() + 4), Bytes({0x02, 0x0F, 0xFF, 0x00}));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), t.in.begin() + 4,
                           [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; }));
    // A command report and one 320-byte report; nothing fetched.
    const auto& reports = session->box.WrittenReports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].size(), 64u);
    EXPECT_EQ(reports[1].size(), 320u);

    // A short program sends only its bytes.
    ASSERT_EQ(chip.Page_Program(1, data.data(), 16), 1);
    EXPECT_EQ(Sent()[1].in.size(), 20u);
    EXPECT_EQ(std::vector<uint8_t>(Sent()[1].in.begin(), Sent()[1].in.begin() + 4),
              Bytes({0x02, 0x00, 0x01, 0x00}));
    EXPECT_EQ(session->box.Violations(), 0);
}

TEST_F(SerialFlashTest, SectorEraseFrames) {
    AnswerWith(0x00);
    CM25P20 st;
    CTS25L80P tsi;
    EXPECT_EQ(st.Sector_Erase(3), 1);
    EXPECT_EQ(tsi.Sector_Erase(15), 1);
    ASSERT_EQ(Sent().size(), 2u);
    EXPECT_EQ(Sent()[0].in, Bytes({0xD8, 0x03, 0x00, 0x00}));
    EXPECT_EQ(Sent()[1].in, Bytes({0xD8, 0x0F, 0x00, 0x00}));
    for (const SerialTransfer& t : Sent()) {
        EXPECT_TRUE(t.withPrefix);
        EXPECT_EQ(t.prefix, 0x06);
        EXPECT_EQ(t.outLen, 0u);
    }
    trace.Clear();
    EXPECT_EQ(st.Sector_Erase(4), 0);
    EXPECT_EQ(tsi.Sector_Erase(16), 0);
    EXPECT_EQ(Sent().size(), 2u);
    EXPECT_TRUE(trace.Contains("CStFlashAdd24p::Sector_Erase() index>=sectortotal  FALSE  \r\n"));
    EXPECT_TRUE(trace.Contains("CTsiFlashAdd24::Sector_Erase() index>=sectortotal  FALSE  \r\n"));
}

TEST_F(SerialFlashTest, ReadDataBytesCopiesOnlyTheAskedBytes) {
    session->box.SetResponder([](const SerialTransfer& t) {
        std::vector<uint8_t> out(t.outLen);
        std::iota(out.begin(), out.end(), 0x40);
        return std::optional<std::vector<uint8_t>>(out);
    });
    CM25P40 chip;
    std::vector<char> dst(32, 0x11);
    ASSERT_EQ(chip.Read_Data_Bytes(1, dst.data(), 16), 1);
    ASSERT_EQ(Sent().size(), 1u);
    EXPECT_EQ(Sent()[0].in, Bytes({0x03, 0x00, 0x01, 0x00}));
    EXPECT_EQ(Sent()[0].outLen, 16u);
    EXPECT_FALSE(Sent()[0].withPrefix);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(static_cast<uint8_t>(dst[i]), 0x40 + i);
    for (int i = 16; i < 32; ++i) EXPECT_EQ(dst[i], 0x11);

    // A whole page comes back in one 320-byte report.
    std::vector<char> page(256);
    ASSERT_EQ(chip.ReadVisualPage(2047, page.data(), 256), 1);
    EXPECT_EQ(Sent()[1].in, Bytes({0x03, 0x07, 0xFF, 0x00}));
    EXPECT_EQ(static_cast<uint8_t>(page[255]), static_cast<uint8_t>(0x40 + 255));
    EXPECT_EQ(session->box.Violations(), 0);
}

TEST_F(SerialFlashTest, IsBusyReadsBitZeroAndTakesAFailedReadForBusy) {
    struct Case {
        std::optional<uint8_t> status;  // nothing: the read fails
        int busy;
    };
    const Case cases[] = {{0x03, 1}, {0x02, 0}, {0x00, 0}, {0x01, 1}, {std::nullopt, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status ? int(*c.status) : -1);
        FakeBoxSession& fresh = Fresh();
        fresh.box.SetResponder([&c](const SerialTransfer& t) -> std::optional<std::vector<uint8_t>> {
            if (!c.status) return std::nullopt;
            return std::vector<uint8_t>(t.outLen, *c.status);
        });
        CM25P80 st;
        CTS25L80P tsi;
        trace.Clear();
        EXPECT_EQ(st.IsBusy(), c.busy);
        EXPECT_EQ(tsi.IsBusy(), c.busy);
        ASSERT_FALSE(fresh.box.Transfers().empty());
        EXPECT_EQ(fresh.box.Transfers()[0].in, Bytes({0x05}));
        EXPECT_EQ(fresh.box.Transfers()[0].outLen, 1u);
        EXPECT_TRUE(trace.Contains("M25P80 IsBusy()  \r\n"));
        EXPECT_TRUE(trace.Contains("TS25L80P IsBusy()  \r\n"));
        EXPECT_EQ(trace.Contains("CStFlash::Read_Status_Register()   FALSE  \r\n"), !c.status);
        EXPECT_EQ(trace.Contains("CTsiFlash::Read_Status_Register()   FALSE  \r\n"), !c.status);
    }
}

// A chip that answers "busy" to a number of status reads after each program
// or erase frame, and keeps the frames it was sent.
struct BusyChip {
    BusyChip(int busyReads, int stuckAfterFrame) : busyReads(busyReads), stuckAfterFrame(stuckAfterFrame) {}
    int busyReads;
    int stuckAfterFrame;  // busy for good after this frame (0 = the first; -1 never)
    std::vector<std::vector<uint8_t>> frames;

    void Attach(FakeSerialBox& box) {
        box.SetResponder([this](const SerialTransfer& t) { return Answer(t); });
    }
    std::optional<std::vector<uint8_t>> Answer(const SerialTransfer& t) {
        std::vector<uint8_t> out(t.outLen, 0x00);
        if (t.in == std::vector<uint8_t>{0x05}) {
            const bool stuck = stuckAfterFrame >= 0 && static_cast<int>(frames.size()) > stuckAfterFrame;
            if (stuck || left_ > 0) out[0] = 0x03;
            if (left_ > 0) --left_;
        } else {
            frames.push_back(t.in);
            left_ = busyReads;
        }
        return out;
    }

private:
    int left_ = 0;
};

TEST_F(SerialFlashTest, WriteInitErasesEverySectorInOrderAndWaitsForEach) {
    struct Case {
        int stuckAfterFrame;
        int result;
        size_t erases;
        uint64_t sleeps;  // 20 ms each
    };
    const Case cases[] = {
        {-1, 1, 8, 8 * 31},       // each erase busy for 30 tests
        {5, 0, 6, 5 * 31 + 512},  // the sixth erase never ends: 512 tests, then give up
        {0, 0, 1, 512},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stuckAfterFrame);
        FakeBoxSession& fresh = Fresh();
        BusyChip busy(30, c.stuckAfterFrame);
        busy.Attach(fresh.box);
        CM25P40 chip;
        trace.Clear();
        const uint64_t start = fresh.clock.NowUs();
        EXPECT_EQ(chip.WriteInit(), c.result);
        ASSERT_EQ(busy.frames.size(), c.erases);
        for (size_t sector = 0; sector < c.erases; ++sector)
            EXPECT_EQ(busy.frames[sector], Bytes({0xD8, static_cast<int>(sector), 0x00, 0x00}));
        EXPECT_EQ(fresh.clock.NowUs() - start, c.sleeps * 20'000);
        EXPECT_EQ(trace.Count("M25P40 CStFlashAdd24p::SectorErase()  \r\n"), c.erases);
        EXPECT_EQ(trace.Count("M25P40 CStFlashAdd24p::WriteInit()  \r\n"), 1u);
    }
}

// One bulk erase frame (0xC7 after the box's write enable), then a test
// every 100 ms for twice the chip's longest bulk erase; the caller hears
// each wait.
TEST_F(SerialFlashTest, EraseChipSendsOneBulkEraseAndWaitsForIt) {
    struct Case {
        const char* chip;
        int busyReads;
        int stuckAfterFrame;
        int result;
        uint64_t tests;  // 100 ms each
    };
    const Case cases[] = {
        {"M25P20", 0, -1, 1, 1},
        {"M25P20", 30, -1, 1, 31},
        {"M25P20", 0, 0, 0, 120},     // twice its longest 6 s
        {"M25P80", 199, -1, 1, 200},
        {"M25P80", 0, 0, 0, 400},     // twice 20 s
        {"TS25L80P", 5, -1, 1, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.chip << " busy " << c.busyReads << " stuck " << c.stuckAfterFrame);
        FakeBoxSession& fresh = Fresh();
        BusyChip busy(c.busyReads, c.stuckAfterFrame);
        busy.Attach(fresh.box);
        CMemoryOwner owner;
        CMemory* chip = owner.Create(c.chip).Get();
        std::vector<uint32_t> heard;
        trace.Clear();
        const uint64_t start = fresh.clock.NowUs();
        EXPECT_EQ(chip->EraseChip([&heard](uint32_t waitedMs) { heard.push_back(waitedMs); }), c.result);
        EXPECT_EQ(fresh.clock.NowUs() - start, c.tests * 100'000);
        ASSERT_EQ(busy.frames.size(), 1u);
        EXPECT_EQ(busy.frames[0], Bytes({0xC7}));
        EXPECT_TRUE(fresh.box.Transfers()[0].withPrefix);
        EXPECT_EQ(fresh.box.Transfers()[0].prefix, 0x06);
        ASSERT_EQ(heard.size(), c.tests);
        EXPECT_EQ(heard.back(), c.tests * 100);
        EXPECT_EQ(trace.Contains("still busy  FALSE"), c.result == 0) << trace.Text();
    }
    // A refused frame is not waited for; a plain CMemory has no bulk erase.
    FakeBoxSession& fresh = Fresh();
    fresh.box.SetResponder([](const SerialTransfer&) { return std::optional<std::vector<uint8_t>>(); });
    CM25P40 chip;
    trace.Clear();
    const uint64_t start = fresh.clock.NowUs();
    EXPECT_EQ(chip.EraseChip({}), 0);
    EXPECT_EQ(fresh.clock.NowUs(), start);
    EXPECT_TRUE(trace.Contains("CStFlashAdd24p::Bulk_Erase()   FALSE  \r\n"));
    EXPECT_EQ(CMemory().EraseChip({}), 0);
    EXPECT_TRUE(trace.Contains("CMemory::EraseChip()  \r\n"));
}

TEST_F(SerialFlashTest, WriteVisualPageWaitsOnlyWhileTheChipIsBusy) {
    struct Case {
        int busyReads;
        int result;
        uint64_t waitedUs;
        size_t statusReads;
    };
    const Case cases[] = {
        {0, 1, 0, 1},                  // ready at the first test: no sleep at all
        {1, 1, 5'000, 2},              // one 5 ms sleep
        {3, 1, 15'000, 4},             // three sleeps
        {99, 1, 99 * 5'000, 100},      // ready at the last test
        {100, 0, 100 * 5'000, 100},    // gives up after 100 busy answers
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.busyReads);
        FakeBoxSession& fresh = Fresh();
        BusyChip busy(c.busyReads, -1);
        busy.Attach(fresh.box);
        CTS25L80P chip;
        const std::vector<char> data(256, 0x5A);
        trace.Clear();
        const uint64_t start = fresh.clock.NowUs();
        EXPECT_EQ(chip.WriteVisualPage(7, data.data(), 256), c.result);
        EXPECT_EQ(fresh.clock.NowUs() - start, c.waitedUs);
        EXPECT_EQ(trace.Count("TS25L80P IsBusy()  \r\n"), c.statusReads);
        EXPECT_TRUE(trace.Contains("TS25L80P CTsiFlashAdd24::WriteVisualPage( 7 )  \r\n"));
        ASSERT_EQ(busy.frames.size(), 1u);
        EXPECT_EQ(busy.frames[0].size(), 260u);
    }
}

TEST_F(SerialFlashTest, CreateMatchesChipNamesExactly) {
    struct Case {
        const char* name;
        const char* vendor;
        int pageSize;
        int pageCount;
    };
    const Case cases[] = {
        {"M25P80", "ST", 256, 4096}, {"M25P40", "ST", 256, 2048}, {"M25P20", "ST", 256, 1024},
        {"TS25L80P", "TSI", 256, 4096}, {"m25p80", "", 0, 0},   {"", "", 0, 0},
        {"M25P80 ", "", 0, 0},          {"TS25L80", "", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CMemoryOwner owner;
        CMemory* device = owner.Create(c.name).Get();
        ASSERT_NE(device, nullptr);
        const bool known = c.pageSize != 0;
        EXPECT_EQ(device->GetName(), known ? c.name : "");
        EXPECT_EQ(device->GetVendor(), c.vendor);
        EXPECT_EQ(device->GetType(), known ? "SerialFlash" : "");
        EXPECT_EQ(device->GetVisualPageSize(), c.pageSize);
        EXPECT_EQ(device->GetVisualPageCount(), c.pageCount);
    }
    CMemoryOwner owner;
    EXPECT_NE(dynamic_cast<CM25P20*>(owner.Create("M25P20").Get()), nullptr);
    EXPECT_NE(dynamic_cast<CTS25L80P*>(owner.Create("TS25L80P").Get()), nullptr);
    EXPECT_EQ(CMemoryOwner().Get(), nullptr);
}

TEST_F(SerialFlashTest, ChipTableRowsAreConsistent) {
    for (const SerialFlashChip& chip : SerialFlashChips()) {
        const SerialFlashGeometry& g = chip.geometry;
        SCOPED_TRACE(g.name);
        EXPECT_EQ(g.pageSize * g.pageTotal, g.memorySize);
        EXPECT_EQ(g.sectorSize * g.sectorTotal, g.memorySize);
        EXPECT_LE(g.memorySize, 1 << 24);  // 24-bit addresses
        EXPECT_GT(g.bulkEraseTypicalMs, 0u);
        EXPECT_GE(g.bulkEraseMaxMs, g.bulkEraseTypicalMs);
        std::unique_ptr<CMemory> device(chip.create());
        ASSERT_NE(device, nullptr);
        EXPECT_EQ(device->GetName(), g.name);
    }
}

TEST_F(SerialFlashTest, PlainMemoryFailsEveryOperationWithItsLine) {
    CMemoryOwner owner;
    CMemory* device = owner.Create("unknown").Get();
    char page[4] = {};
    EXPECT_EQ(device->WriteInit(), 0);
    EXPECT_EQ(device->WriteVisualPage(3, page, 4), 0);
    EXPECT_EQ(device->ReadInit(), 0);
    EXPECT_EQ(device->ReadVisualPage(3, page, 4), 0);
    EXPECT_EQ(trace.Lines(), (std::vector<std::string>{
                                 "CMemory::WriteInit()  \r\n", "CMemory::WriteVisualPage( 3 )  \r\n",
                                 "CMemory::ReadInit()  \r\n", " CMemory::ReadVisualPage( 3 )  \r\n"}));
    EXPECT_TRUE(Sent().empty());
}

TEST_F(SerialFlashTest, FailedTransfersGiveTheOperationsFalseLines) {
    FailEveryTransfer();
    CM25P20 chip;
    std::vector<char> data(256, 0);
    EXPECT_EQ(chip.Page_Program(0, data.data(), 256), 0);
    EXPECT_EQ(chip.Sector_Erase(0), 0);
    EXPECT_EQ(chip.Read_Data_Bytes(0, data.data(), 256), 0);
    EXPECT_EQ(chip.ReadInit(), 1);
    EXPECT_TRUE(trace.Contains("CStFlashAdd24p::Page_Program()   FALSE  \r\n"));
    EXPECT_TRUE(trace.Contains("CStFlashAdd24p::Sector_Erase()   FALSE  \r\n"));
    EXPECT_TRUE(trace.Contains("CStFlashAdd24p::Read_Data_Bytes()   FALSE  \r\n"));
    EXPECT_TRUE(trace.Contains("M25P20 CStFlashAdd24p::ReadInit()  \r\n"));
    // Null buffers are refused, never dereferenced.
    EXPECT_EQ(chip.Page_Program(0, nullptr, 16), 0);
    EXPECT_EQ(chip.Read_Data_Bytes(0, nullptr, 16), 0);
    EXPECT_EQ(chip.Read_Status_Register(nullptr, 1), 0);
}

}  // namespace
