// Serial-flash mode entry and chip identification against a scripted box.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/trace.h"
#include "run/eeprom_job.h"
#include "support/flash_fakes.h"

using namespace vexu::test;

namespace {

constexpr uint64_t kSecond = 1'000'000;
using Answer = std::optional<std::vector<uint8_t>>;

TEST(EepromJob, EntryEepromModeSetsTheTimingSendsTheFrameAndWaits) {
    struct Case {
        Answer answer;  // nothing: the transfer fails
        int result;
        uint64_t waitedUs;
    };
    const Case cases[] = {
        {std::vector<uint8_t>{0xAA}, 1, 10 * kSecond},
        {std::vector<uint8_t>{0x00}, 0, 5 * kSecond},
        {std::vector<uint8_t>{0xAB}, 0, 5 * kSecond},
        {std::nullopt, 0, 5 * kSecond},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.result);
        FakeBoxSession session;
        session.box.SetResponder([&c](const SerialTransfer&) { return c.answer; });
        vexu::TraceCapture trace;
        const uint64_t start = session.clock.NowUs();
        const auto wallStart = std::chrono::steady_clock::now();
        EXPECT_EQ(EntryEepromMode(), c.result);
        // The fixed waits pass in virtual time only.
        EXPECT_EQ(session.clock.NowUs() - start, c.waitedUs);
        EXPECT_LT(std::chrono::steady_clock::now() - wallStart, std::chrono::seconds(2));

        ASSERT_EQ(session.box.Commands().size(), 1u);
        const std::vector<uint8_t>& timing = session.box.Commands()[0].report;
        EXPECT_EQ(session.box.Commands()[0].code, 0xB2);
        EXPECT_EQ(std::vector<uint8_t>(timing.begin() + 2, timing.begin() + 11),
                  (std::vector<uint8_t>{40, 2, 22, 3, 3, 3, 3, 22, 2}));
        ASSERT_EQ(session.box.Transfers().size(), 1u);
        const SerialTransfer& entry = session.box.Transfers()[0];
        EXPECT_EQ(entry.kind, 0);
        EXPECT_FALSE(entry.withPrefix);
        EXPECT_EQ(entry.in, (std::vector<uint8_t>{0xFF, 0xFF, 'V', 'O', 'R'}));
        EXPECT_EQ(entry.outLen, 1u);
        EXPECT_TRUE(trace.Contains("Entry Eeprom Mode.\r\n"));
        EXPECT_EQ(trace.Contains(" Card Error!! \r\n"), c.result == 0);
    }
}

TEST(EepromJob, ReadEepromTypeAsksTheSignatureThenTheIdentification) {
    struct Case {
        std::optional<uint8_t> signature;  // nothing: the transfer fails
        uint8_t identification;
        const char* type;
        // Transfers that reached the box: the signature; then the
        // identification byte and one read of the full ID; then, for a part
        // no row names, the SFDP header.
        size_t transfers;
        const char* line;
    };
    const Case cases[] = {
        {0x11, 0x20, "M25P20", 1, "EEPROM: M25P20.  \r\n"},
        {0x12, 0x20, "M25P40", 1, "EEPROM: M25P40.  \r\n"},
        {0x13, 0x20, "M25P80", 1, "EEPROM: M25P80.   \r\n"},
        {0x14, 0x20, "TS25L80P", 3, "EEPROM: TS25L80P. \r\n  "},
        {0xFF, 0x20, "TS25L80P", 3, "EEPROM: TS25L80P. \r\n  "},
        {0x14, 0xC2, "", 4, nullptr},
        {0x10, 0x13, "", 4, nullptr},
        {std::nullopt, 0x20, "", 1, nullptr},  // the box is gone after the failure
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.signature ? int(*c.signature) : -1);
        FakeBoxSession session;
        session.box.SetResponder([&c](const SerialTransfer& t) -> Answer {
            if (t.in.size() == 4 && t.in[0] == 0xAB && t.outLen == 1) {
                if (!c.signature) return std::nullopt;
                return std::vector<uint8_t>{*c.signature};
            }
            if (t.in == std::vector<uint8_t>{0x9F} && t.outLen == 1)
                return std::vector<uint8_t>{c.identification};
            return std::vector<uint8_t>(t.outLen, 0xEE);
        });
        vexu::TraceCapture trace;
        EXPECT_EQ(ReadEepromType(), c.type);
        const auto& sent = session.box.Transfers();
        ASSERT_GE(sent.size(), 1u);
        EXPECT_EQ(sent[0].in[0], 0xAB);
        ASSERT_EQ(sent.size(), c.transfers);
        if (c.transfers >= 3) {
            EXPECT_EQ(sent[1].in, std::vector<uint8_t>{0x9F});
            EXPECT_EQ(sent[1].outLen, 1u);
            EXPECT_EQ(sent[2].in, std::vector<uint8_t>{0x9F});
            EXPECT_EQ(sent[2].outLen, 3u) << "one read of the full ID";
        }
        if (c.line) EXPECT_EQ(trace.Text(), c.line);
        else EXPECT_EQ(trace.Count("EEPROM:"), 0u);
    }
}

}  // namespace
