// Programming the UROW back after an erase: design name, checksum and the
// cycle count, the erase flags that change what is written, and the
// read-back that checks it.
#include <cstring>

#include "engine/dp_identify.h"
#include "engine_fixture.h"

namespace vexu::test {
namespace {

const std::vector<uint8_t> kFetchedUrow = {0x00, 0x11, 0x22, 0x00, 'O', 'L', 'D', 'N', 'A', 'M', 'E', '-', 0x00, 0x00,
                                           0x78, 0x56};

class UrowTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        Load(HealthyImage().Build());  // design name "DESIGN-V1", checksum 0x1234
        g_dpState.deviceId = kTestDeviceId;
        g_dpState.deviceClass = 1;
        box.answers[0x84] = {0x00};  // ready at once
        // The device reads back what was programmed.
        FakeJtagBox::Responder healthy = box.responder;
        box.responder = [this, healthy](uint8_t ir, unsigned bits, const std::vector<uint8_t>& in) {
            if (ir == 0xA8 && readBack) return box.LastDataIn(0xA7);
            return healthy(ir, bits, in);
        };
    }

    // What the step shifted with instruction 0xA7.
    std::vector<uint8_t> Programmed() const { return box.LastDataIn(0xA7); }

    bool readBack = true;
};

TEST_F(UrowTest, CycleCountAndContentsAsTheEraseFlagsSay) {
    struct Case {
        const char* what;
        uint32_t cycleCount;
        uint32_t securityFlags;
        uint32_t cycleAfter;
        std::vector<uint8_t> urow;  // as programmed
    };
    const std::vector<uint8_t> design = {'D', 'E', 'S', 'I', 'G', 'N', '-', 'V'};
    auto withDesign = [&](uint8_t byte12, uint8_t byte13) {
        std::vector<uint8_t> urow = {0x00, 0x11, 0x22, 0x40};
        urow.insert(urow.end(), design.begin(), design.end());
        urow.insert(urow.end(), {byte12, byte13, 0x34, 0x12});
        return urow;
    };
    auto keptDesign = [&](uint8_t byte12, uint8_t byte13) {
        std::vector<uint8_t> urow = kFetchedUrow;
        urow[3] = 0x40;
        urow[12] = byte12;
        urow[13] = byte13;
        return urow;
    };
    std::vector<uint8_t> erased(16, 0xFF);
    erased[13] = 15 >> 2;
    const Case cases[] = {
        {"15 -> 16", 15, 0, 16, withDesign('1' | 0x00, 16 >> 2)},
        {"1022 wraps to 0", 1022, 0, 0, withDesign('1', 0)},
        {"1023 wraps to 1", 1023, 0, 1, withDesign('1' | 0x40, 0)},
        {"erased in this run: all ones, count kept", 15, DP_SEC_ERASED_IN_RUN, 15, erased},
        {"zero pass key with array write protection keeps the old design", 2,
         DP_SEC_PASS_KEY_ZERO | DP_SEC_ARRAY_WRITE_PROTECTED, 3, keptDesign(0xC0, 0)},
        {"security erased in this run keeps the old design", 4, DP_SEC_SECURITY_ERASED_IN_RUN, 5, keptDesign(0x40, 1)},
    };
    for (const Case& c : cases) {
        box.scans.clear();
        g_dpState.errorCode = DPE_SUCCESS;
        g_dpState.cycleCount = c.cycleCount;
        g_dpState.securityWord = c.securityFlags;
        memcpy(g_dpState.urowBuffer, kFetchedUrow.data(), 16);
        trace->Clear();
        dp_write_urow();
        EXPECT_EQ(g_dpState.errorCode, DPE_SUCCESS) << c.what;
        EXPECT_EQ(g_dpState.cycleCount, c.cycleAfter) << c.what;
        EXPECT_EQ(Programmed(), c.urow) << c.what;
        EXPECT_EQ(trace->Text(), "\r\nProgramming UROW...") << c.what;
    }
}

TEST_F(UrowTest, EveryPageIsWrittenWithOnesFirst) {
    memcpy(g_dpState.urowBuffer, kFetchedUrow.data(), 16);
    dp_write_urow();
    std::vector<uint8_t> pages;
    for (size_t i = 0; i < box.scans.size(); ++i) {
        const JtagScan& scan = box.scans[i];
        if (scan.instruction || scan.ir != 0x9F) continue;
        pages.push_back(scan.in.at(0));
        ASSERT_LT(i + 2, box.scans.size());
        EXPECT_EQ(box.scans[i + 1].ir, 0x9B);
        EXPECT_EQ(box.scans[i + 2].in, std::vector<uint8_t>(16, 0xFF));
    }
    EXPECT_EQ(pages, std::vector<uint8_t>({0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST_F(UrowTest, FailuresBecomeCode24) {
    memcpy(g_dpState.urowBuffer, kFetchedUrow.data(), 16);
    readBack = false;  // the device reads back something else
    box.answers[0xA8] = kFetchedUrow;
    dp_write_urow();
    EXPECT_EQ(g_dpState.errorCode, DPE_UROW_PROGRAM_FAILED);

    g_dpState.errorCode = DPE_SUCCESS;
    readBack = true;
    box.answers[0x84] = {0x01};  // never ready
    dp_write_urow();
    EXPECT_EQ(g_dpState.errorCode, DPE_UROW_PROGRAM_FAILED);
    const std::vector<uint8_t> instructions = box.Instructions();
    EXPECT_EQ(instructions.back(), 0x84);  // no read-back after a failed poll
}

}  // namespace
}  // namespace vexu::test
