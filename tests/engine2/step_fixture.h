// Ground for the tests of the array, FlashROM, NVM and security steps
// against the scripted box: a device that remembers what was programmed into
// its UROW and security register (so that read-backs match), the text
// channel on a recording window, and helpers that put the engine where a
// run has it just before its action step.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/engine_fixture.h"
#include "engine/dp_array.h"
#include "engine/dp_flashrom.h"
#include "engine/dp_nvm.h"
#include "engine/dp_security.h"
#include "link/hid_device.h"
#include "common/run_messages.h"

namespace vexu::test {

constexpr uint32_t k3444RowDeviceId = 0x023261CF;  // factor 6, 3444 rows, class 1

inline std::vector<uint8_t> Pattern(size_t count, uint8_t seed) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(seed + 7 * i + (i >> 8));
    return bytes;
}

inline std::vector<uint8_t> Le32(uint32_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

class StepTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        InitMsgQueue(&window);
        RememberProgrammedRegisters();
    }

    void TearDown() override {
        FreeMsgQueue();
        EngineTest::TearDown();
    }

    // The UROW (0xA7 / 0xA8) and the security register (0xA3 / 0xA4) read
    // back what was last programmed into them; everything else keeps the
    // healthy device's answers.
    void RememberProgrammedRegisters() {
        auto healthy = box.responder;
        box.responder = [this, healthy](uint8_t ir, unsigned bits, const std::vector<uint8_t>& in) {
            if (extra) {
                std::vector<uint8_t> out = extra(ir, bits, in);
                if (!out.empty()) return out;
            }
            if (ir == 0xA8) return box.LastDataIn(0xA7);
            if (ir == 0xA4) return box.LastDataIn(0xA3);
            return healthy ? healthy(ir, bits, in) : std::vector<uint8_t>{};
        };
    }

    // Loads the image and sets what identification and the security read
    // would have set for the device, so that a step can run on its own.
    void Prepare(const std::vector<uint8_t>& bytes, uint32_t deviceId = kTestDeviceId, uint32_t rows = 0) {
        Load(bytes);
        dp_load_support_flags();
        struct Geometry {
            uint32_t id;
            uint8_t factor;
            uint32_t rows;
            uint8_t deviceClass;
        };
        constexpr Geometry kGeometries[] = {
            {kTestDeviceId, 2, 1244, 1}, {kClass2DeviceId, 4, 2300, 2}, {k3444RowDeviceId, 6, 3444, 1}};
        for (const Geometry& g : kGeometries) {
            if (g.id != deviceId) continue;
            g_dpState.deviceId = g.id;
            g_dpState.rowWidthFactor = g.factor;
            g_dpState.arrayRowCount = rows ? rows : g.rows;
            g_dpState.deviceClass = g.deviceClass;
        }
        g_dpState.errorCode = DPE_SUCCESS;
        box.Reset();
        box.scans.clear();
        trace->Clear();
        window.Clear();
    }

    // Percents posted with "SetFpgaProgress", in order.
    std::vector<uintptr_t> ProgressPosts() {
        std::vector<uintptr_t> percents;
        for (const RecordingTarget::Message& m : window.Take()) {
            if (m.message != WM_RUN_TEXT) continue;
            if (GetMsgText() == kFpgaProgressText) percents.push_back(m.wParam);
        }
        return percents;
    }

    // Data scans (not instruction scans) under the instruction, in order.
    std::vector<JtagScan> DataScans(uint8_t ir) const {
        std::vector<JtagScan> found;
        for (const JtagScan& scan : box.scans)
            if (!scan.instruction && scan.ir == ir) found.push_back(scan);
        return found;
    }

    size_t InstructionCount(uint8_t ir) const {
        size_t n = 0;
        for (const JtagScan& scan : box.scans) n += scan.instruction && scan.ir == ir;
        return n;
    }

    // Written command reports with the command code, in order.
    std::vector<std::vector<uint8_t>> Commands(uint8_t code) const {
        std::vector<std::vector<uint8_t>> found;
        for (const FakeHidBackend::Transfer& t : box.Transfers())
            if (t.set && t.bytes[0] == kCommandReportId && t.bytes[1] == code) found.push_back(t.bytes);
        return found;
    }

    uint32_t ShiftedEraseWord() const {
        const std::vector<uint8_t> word = box.LastDataIn(0x85);
        if (word.size() < 3) return 0xFFFFFFFF;
        return word[0] | word[1] << 8 | word[2] << 16;
    }

    // A further answer source, consulted first.
    FakeJtagBox::Responder extra;
    RecordingTarget window;
};

// An image for the device with plain or encrypted rows (and RLOCK) of the
// given count; row r of the block is the r-th row sent.
inline DatImage ArrayImage(uint32_t deviceId, uint8_t factor, uint32_t rows, bool encrypted = false) {
    const size_t rowBytes = factor * (encrypted ? 32u : 26u);
    DatImage image = HealthyImage(deviceId);
    image.Support(DP_SUPPORT_ARRAY | (encrypted ? DP_SUPPORT_ARRAY_ENCRYPTED : 0));
    image.Block(DP_BLOCK_ARRAY_ROWS, Pattern(rowBytes * rows, 0x11));
    image.Block(DP_BLOCK_RLOCK, Pattern(rowBytes, 0x55));
    return image;
}

}  // namespace vexu::test
