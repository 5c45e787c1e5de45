// A healthy class-1 device behind a scripted box, an image loaded into the
// image buffers, virtual time and a trace capture: the ground the engine
// tests stand on.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <memory>
#include <string>
#include <vector>

#include "support/dat_image.h"
#include "engine/device_id_table.h"
#include "engine/dp_frame.h"
#include "engine/dp_image.h"
#include "engine/dp_jtag.h"
#include "engine/dp_state.h"
#include "engine/dp_variant.h"
#include "support/fake_jtag_box.h"
#include "platform/clock.h"
#include "platform/trace.h"
#include "common/image_buffers.h"

namespace vexu::test {

constexpr uint32_t kTestDeviceId = 0x029121CF;  // 1244 rows, factor 2, class 1, BSR 372 bits
constexpr uint32_t kClass2DeviceId = 0x032141CF;

// The scripted box with the device's answers to the two variant challenges
// (byte 15: bit 7 the AES engine answered, bit 6 the variant is present).
struct EngineBox : FakeJtagBox {
    uint8_t m7Answer = 0x80;
    uint8_t m1Answer = 0x80;
};

// Answers of the healthy device.
inline void MakeHealthy(EngineBox& box, uint32_t id = kTestDeviceId) {
    box.irCapture = 0x01;
    box.answers[0x0F] = {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id >> 16),
                         static_cast<uint8_t>(id >> 24)};
    box.answers[0x80] = {0x00, 0x00, 0x01};  // programming mode entered
    box.answers[0x84] = {0x00};              // ready, no mode error
    box.answers[0xA4] = {};                  // no security bits
    box.answers[0x92] = {0x02};              // pass key not matched
    // The AES check passes; answers to the variant challenges come from
    // ChallengeAnswer (the AES engine answers, neither M7 nor M1).
    box.answers[0x0A] = std::vector<uint8_t>(16, 0);
    box.answers[0x0A][15] = 0xC0;
    box.responder = [&box](uint8_t ir, unsigned, const std::vector<uint8_t>&) -> std::vector<uint8_t> {
        if (ir != 0x0A) return {};
        const std::vector<uint8_t> in = box.LastDataIn(0x0A);
        for (auto [challenge, answer] : {std::pair{DP_M7_CHALLENGE, &box.m7Answer}, std::pair{DP_M1_CHALLENGE, &box.m1Answer}}) {
            if (in == std::vector<uint8_t>(challenge, challenge + 16)) {
                std::vector<uint8_t> out(16, 0);
                out[15] = *answer;
                return out;
            }
        }
        return {};
    };
}

inline DatImage HealthyImage(uint32_t id = kTestDeviceId) {
    DatImage image;
    image.ExpectedId(id).Support(DP_SUPPORT_ARRAY);
    image.Block(DP_BLOCK_DESIGN_NAME, {'D', 'E', 'S', 'I', 'G', 'N', '-', 'V', '1'});
    image.Block(DP_BLOCK_CHECKSUM, {0x34, 0x12});
    return image;
}

// HealthyImage announcing these parts and carrying a block for each, sized
// for the device: zero array rows and RLOCK row (plain or encrypted as
// announced), a FlashROM page mask (no page unless given) with zero pages
// for it, NVM blocks of no
// segments, and user lock bits and an AES key for security settings (the
// pass key is the test's own). The image then passes the check of its blocks, so that a test
// reaches the frame check or step it is about.
inline DatImage ImageAnnouncing(uint32_t support, uint32_t id = kTestDeviceId, uint8_t flashRomMask = 0) {
    DatImage image = HealthyImage(id);
    image.Support(support);
    const DeviceIdRow& device = kDeviceIdTable[FindDeviceIdRow(id, id)];
    const size_t rowBytes = device.rowWidthFactor * ((support & DP_SUPPORT_ARRAY_ENCRYPTED) ? 32u : 26u);
    if (support & DP_SUPPORT_ARRAY) {
        image.Block(DP_BLOCK_ARRAY_ROWS, std::vector<uint8_t>(rowBytes * device.arrayRowCount, 0));
        image.Block(DP_BLOCK_RLOCK, std::vector<uint8_t>(rowBytes, 0));
    }
    if (support & DP_SUPPORT_FROM) {
        image.Block(DP_BLOCK_FROM_MASK, {flashRomMask});
        const size_t pageBytes = (support & DP_SUPPORT_FROM_ENCRYPTED) ? 32 : 16;
        if (flashRomMask) image.Block(DP_BLOCK_FROM_PAGES, std::vector<uint8_t>(pageBytes * std::popcount(flashRomMask), 0));
    }
    for (uint8_t k = 0; k < 4; ++k)
        if (support & DP_SUPPORT_NVM(k)) image.Block(static_cast<uint8_t>(5 * k + 10), {0x00, 0x00});
    if (support & DP_SUPPORT_SECURITY) {
        image.Block(DP_BLOCK_USER_LOCK, std::vector<uint8_t>(device.deviceClass == 2 ? 3 : 2, 0));
        if (support & DP_SUPPORT_AES_KEY) image.Block(DP_BLOCK_AES_KEY, std::vector<uint8_t>(16, 0));
    }
    return image;
}

// The reports of dp_exit, byte for byte, for a device whose IR capture is
// irCapture: leave programming mode (0x81), read the IR capture (a fetch,
// recorded as handed to the box), 0x07 when its bit 2 is clear,
// Test-Logic-Reset.
inline std::vector<FakeHidBackend::Transfer> ExitReports(uint8_t irCapture) {
    auto report = [](bool set, std::initializer_list<std::pair<int, uint8_t>> bytes) {
        FakeHidBackend::Transfer t{set, std::vector<uint8_t>(64, 0)};
        for (auto [at, value] : bytes) t.bytes[at] = value;
        return t;
    };
    std::vector<FakeHidBackend::Transfer> reports;
    reports.push_back(report(true, {{0, 1}, {1, 0xF1}, {3, 1}, {5, 4}, {6, 0x81}, {7, 2}}));
    reports.push_back(report(true, {{0, 1}, {1, 0xF3}, {9, 4}, {11, 1}, {12, 8}, {14, 2}, {16, 0xFF}}));
    reports.push_back(report(false, {{0, 2}}));
    if (!(irCapture & 0x04)) reports.push_back(report(true, {{0, 1}, {1, 0xF1}, {3, 1}, {5, 4}, {6, 0x07}, {7, 2}, {8, 1}}));
    reports.push_back(report(true, {{0, 1}, {1, 0xF1}, {5, 1}}));
    return reports;
}

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        dp_reset_state();
        MakeHealthy(box);
        scopedBox = std::make_unique<ScopedBox>(box);
        box.Reset();
        trace = std::make_unique<TraceCapture>();
    }

    void TearDown() override {
        trace.reset();
        scopedBox.reset();
        g_fpgaData = nullptr;
        g_fpgaSize = 0;
        dp_reset_state();
    }

    void Load(std::vector<uint8_t> bytes) {
        dp_reset_state();  // a new image: nothing cached from the last one
        image = std::move(bytes);
        g_fpgaData = image.data();
        g_fpgaSize = static_cast<uint32_t>(image.size());
        dp_image_attach();
    }

    uint8_t Run(const char* action) {
        g_dpState.actionCode = dp_action_code_from_name(action);
        return dp_engine_run();
    }

    VirtualClock clock;
    ScopedClock scopedClock{clock};
    EngineBox box;
    std::unique_ptr<ScopedBox> scopedBox;
    std::unique_ptr<TraceCapture> trace;
    std::vector<uint8_t> image;
};

}  // namespace vexu::test
