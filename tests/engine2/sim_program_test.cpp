// "program" and "verify" against the simulated board: what the device holds
// afterwards, the progress the window sees, and the reports each row costs.
#include <algorithm>
#include <numeric>

#include "sim_fixture.h"

namespace vexu::test {
namespace {

using image::DeviceGeometry;
using image::ImageParts;

class SimProgramTest : public SimEngineTest {
protected:
    // The device holds every part of the image "program" writes.
    void ExpectDeviceHolds(const ImageParts& parts, uint32_t cycleCount) {
        DeviceGeometry geometry;
        ASSERT_TRUE(image::GeometryForIdCode(parts.idCode, geometry));
        sim::FpgaModel& fpga = Fpga();
        const uint32_t rowBytes = geometry.PlainRowBytes();
        if (!parts.arrayRows.empty()) {
            size_t wrongRows = 0;
            for (uint32_t k = 0; k < geometry.arrayRowCount; ++k) {
                std::span<const uint8_t> row = fpga.ArrayRow(geometry.arrayRowCount - 1 - k);
                wrongRows += !std::equal(row.begin(), row.end(), parts.arrayRows.begin() + size_t{k} * rowBytes,
                                         parts.arrayRows.begin() + size_t{k + 1} * rowBytes);
            }
            EXPECT_EQ(wrongRows, 0u);
        }
        if (!parts.rlock.empty()) {
            EXPECT_TRUE(std::equal(fpga.Rlock().begin(), fpga.Rlock().end(), parts.rlock.begin(), parts.rlock.end()));
        }
        if (parts.flashRom) {
            for (unsigned page = 0; page < 8; ++page) {
                if (parts.flashRom->mask & (1u << page)) {
                    EXPECT_EQ(fpga.FlashRomPage(page), parts.flashRom->pages[page]) << page;
                }
            }
        }
        if (parts.silsig) {
            EXPECT_EQ(fpga.SiliconSignature(), *parts.silsig);
        }
        if (parts.passKey) {
            EXPECT_EQ(fpga.PassKey(), *parts.passKey);
        }
        const std::array<uint8_t, 16>& urow = fpga.Urow();
        if (parts.designName) {
            for (unsigned i = 0; i < 9; ++i) {
                EXPECT_EQ(urow[4 + i] & (i == 8 ? 0x3F : 0xFF), (*parts.designName)[i]) << i;
            }
        }
        if (parts.designChecksum) {
            EXPECT_EQ(urow[14] | urow[15] << 8, *parts.designChecksum);
        }
        EXPECT_EQ((urow[12] >> 6) | (urow[13] << 2), cycleCount);
        EXPECT_EQ(urow[3] & 0x40, 0x40);
    }

    void ExpectOneExit() { EXPECT_EQ(trace.Count("dp_exit() \r\n"), 1u); }
};

TEST_F(SimProgramTest, DemoImageProgramsAndVerifies) {
    Start();
    const ImageParts parts = image::DemoFpgaParts();
    Load(Build(parts));
    ASSERT_EQ(Run("program"), DPE_SUCCESS) << trace.Text().substr(0, 2000);
    ExpectOneExit();
    // A blank UROW reads cycle count 1023; one more programming cycle wraps to 1.
    ExpectDeviceHolds(parts, 1);
    EXPECT_EQ(Fpga().SecurityLockWord() & 0x3FFFFF, (*parts.userLock << 12) & 0x3FFFFF);
    EXPECT_EQ(Fpga().Counters().outsideProgrammingMode, 0u);
    EXPECT_EQ(Fpga().Counters().whileBusy, 0u);
    EXPECT_EQ(Fpga().Counters().oddLengthScans, 0u);
    EXPECT_EQ(sim->Box().Counters().violations, 0u);

    ASSERT_EQ(Run("verify"), DPE_SUCCESS) << trace.Text().substr(0, 2000);
    ExpectOneExit();
    ExpectDeviceHolds(parts, 1);
}

}  // namespace
}  // namespace vexu::test
