// Every bounded poll of the host, pinned by its try count through the
// simulator: the device is made ready on exactly the last try (the step
// passes) and on one try later (the step fails with its code, after exactly
// as many tries as its limit). A limit one short or one long fails here,
// whatever the busy times.
#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <string>
#include <vector>

#include "engine2/sim_fixture.h"
#include "run/eeprom_job.h"
#include "sim/counted_wait.h"
#include "sim/spi_flash.h"

namespace vexu::test {
namespace {

using image::ImageParts;
using sim::CountedWait;
using sim::FpgaModel;

// The host's limits, written down here a second time.
constexpr uint32_t kBusyPollTries = 16381;     // after every program pulse, verify and compare
constexpr uint32_t kErasePollTries = 262141;   // after the erase
constexpr uint32_t kNvmProgramTries = 10000;   // NVM address and page polls while programming
constexpr uint32_t kNvmVerifyTries = 10001;    // NVM address and read polls while verifying
constexpr uint32_t kFlashEraseTries = 512;     // serial flash, after each sector erase
constexpr uint32_t kFlashProgramTries = 100;   // serial flash, after each page program
constexpr uint32_t kArrivalOpenTries = 10;     // opening a just-arrived box's node
constexpr uint64_t kArrivalOpenRetryUs = 100'000;

// The NVM word every test image carries and the simulated NVM holds when
// blank: verification finds it on a device nobody programmed. Not 0, which
// a read that is not done yet also gives.
constexpr uint32_t kNvmWord = 0xA5A5A5A5;

ImageParts NvmImage() {
    ImageParts parts;
    parts.idCode = 0x032141CF;
    parts.silsig = 7;
    parts.nvm[2].present = true;
    parts.nvm[2].segments = {{0x080000, 4, std::vector<uint32_t>(64, kNvmWord)}};
    return parts;
}

// The demo image with a blank array and RLOCK: a blank device verifies.
ImageParts BlankArrayImage() {
    ImageParts parts = image::DemoFpgaParts();
    std::fill(parts.arrayRows.begin(), parts.arrayRows.end(), 0xFF);
    std::fill(parts.rlock.begin(), parts.rlock.end(), 0xFF);
    return parts;
}

// The FlashROM pages of the demo image as the scenario's flashrom= key
// takes them: the device already holds what the image would program.
std::string DemoFlashRomBoard() {
    const ImageParts parts = image::DemoFpgaParts();
    std::string hex = "flashrom=";
    static const char digits[] = "0123456789ABCDEF";
    for (const auto& page : parts.flashRom->pages)
        for (uint8_t byte : page) {
            hex += digits[byte >> 4];
            hex += digits[byte & 15];
        }
    return hex;
}

class PollLimitTest : public SimEngineTest {};

struct EnginePoll {
    const char* what;
    const char* key;  // the scenario key that counts the operation's polls
    uint32_t tries;
    ImageParts (*image)();
    std::string board;  // further scenario keys
    const char* action;
    uint8_t code;  // when the device is ready one try too late
    const CountedWait& (FpgaModel::*wait)() const;
};

ImageParts DemoImage() { return image::DemoFpgaParts(); }

// Every erase of an action is followed by the UROW's programming, the first
// program operation polled; counted-op picks a later one.
std::vector<EnginePoll> EnginePolls() {
    return {
    {"UROW program after the erase", "program-polls", kBusyPollTries, DemoImage, "", "erase_array",
     DPE_UROW_PROGRAM_FAILED, &FpgaModel::ProgramWait},
    {"array row program", "program-polls", kBusyPollTries, DemoImage, "counted-op=2", "program_array",
     DPE_ARRAY_PROGRAM_FAILED, &FpgaModel::ProgramWait},
    {"array verify pass", "program-polls", kBusyPollTries, BlankArrayImage, "", "verify_array",
     DPE_ROW_VERIFY_FAILED, &FpgaModel::ProgramWait},
    {"FlashROM page program", "program-polls", kBusyPollTries, DemoImage, "counted-op=2", "program_from",
     DPE_POLL_TIMEOUT, &FpgaModel::ProgramWait},
    {"FlashROM compare", "program-polls", kBusyPollTries, DemoImage, DemoFlashRomBoard(), "verify_from",
     DPE_POLL_TIMEOUT, &FpgaModel::ProgramWait},
    {"pass key program", "program-polls", kBusyPollTries, DemoImage, "counted-op=2", "program_security",
     DPE_POLL_TIMEOUT, &FpgaModel::ProgramWait},
    {"security register program", "program-polls", kBusyPollTries, DemoImage, "counted-op=3",
     "program_security", DPE_POLL_TIMEOUT, &FpgaModel::ProgramWait},
    {"array erase", "erase-polls", kErasePollTries, DemoImage, "", "erase_array", DPE_ERASE_FAILED,
     &FpgaModel::EraseWait},
    {"NVM address, programming", "nvm-address-polls", kNvmProgramTries, NvmImage, "idcode=0x032141CF",
     "program_nvm", DPE_POLL_TIMEOUT, &FpgaModel::NvmAddressWait},
    {"NVM page program", "nvm-page-polls", kNvmProgramTries, NvmImage, "idcode=0x032141CF", "program_nvm",
     DPE_POLL_TIMEOUT, &FpgaModel::NvmPageWait},
    {"NVM address, verifying", "nvm-address-polls", kNvmVerifyTries, NvmImage, "idcode=0x032141CF,nvm=0xA5",
     "verify_nvm", DPE_POLL_TIMEOUT, &FpgaModel::NvmAddressWait},
    {"NVM word read", "nvm-read-polls", kNvmVerifyTries, NvmImage, "idcode=0x032141CF,nvm=0xA5", "verify_nvm",
     DPE_POLL_TIMEOUT, &FpgaModel::NvmReadWait},
    };
}

void PrintTo(const EnginePoll& poll, std::ostream* out) { *out << poll.what; }

// One row per ctest test: the long polls run side by side.
class EnginePollLimitTest : public SimEngineTest, public testing::WithParamInterface<EnginePoll> {};

TEST_P(EnginePollLimitTest, ReadyOnTheLastTryPassesAndOneLaterFails) {
    const EnginePoll& poll = GetParam();
    for (const uint32_t readyOn : {poll.tries, poll.tries + 1}) {
        const bool inTime = readyOn == poll.tries;
        SCOPED_TRACE(testing::Message() << poll.what << ", ready on try " << readyOn);
        std::string keys = std::string(poll.key) + "=" + std::to_string(readyOn);
        if (!poll.board.empty()) keys += "," + poll.board;
        Start(keys);
        Load(Build(poll.image()));
        EXPECT_EQ(Run(poll.action), inTime ? uint8_t{DPE_SUCCESS} : poll.code) << trace.Text().substr(0, 1500);
        const CountedWait& wait = (Fpga().*poll.wait)();
        // The host read the device exactly as often as its limit allows
        // (and, in time, found it done at the last read).
        EXPECT_EQ(wait.Reads(), poll.tries);
        EXPECT_EQ(wait.Armed(), !inTime);
        EXPECT_EQ(sim->Box().Counters().violations, 0u);
        EXPECT_FALSE(Fpga().InProgrammingMode());
    }
}

std::string RowName(const testing::TestParamInfo<EnginePoll>& info) {
    std::string name;
    for (const char* c = info.param.what; *c; ++c)
        if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
    return name;
}

INSTANTIATE_TEST_SUITE_P(EveryEnginePoll, EnginePollLimitTest, testing::ValuesIn(EnginePolls()), RowName);

// The serial-flash job's busy waits, through the run's job on the simulated
// chip: ready on the last status read passes, one later fails with the
// job's text.
TEST_F(PollLimitTest, SerialFlashBusyWaitsAreReadyOnTheirLastTryAndFailOneLater) {
    struct Wait {
        const char* what;
        const char* key;
        uint32_t tries;
        const char* failure;
        const CountedWait& (sim::SpiFlash::*wait)() const;
    };
    const Wait waits[] = {
        {"sector erase", "flash-erase-polls", kFlashEraseTries, kEepromDeviceError, &sim::SpiFlash::EraseWait},
        {"page program", "flash-program-polls", kFlashProgramTries, kEepromWriteError,
         &sim::SpiFlash::ProgramWait},
    };
    std::vector<uint8_t> eeprom = image::MakeDemoEepromImage();
    for (const Wait& w : waits) {
        for (const uint32_t readyOn : {w.tries, w.tries + 1}) {
            const bool inTime = readyOn == w.tries;
            SCOPED_TRACE(testing::Message() << w.what << ", ready on try " << readyOn);
            Start(std::string("flash=M25P20,") + w.key + "=" + std::to_string(readyOn));
            g_eepromData = eeprom.data();
            g_eepromSize = static_cast<uint32_t>(eeprom.size());
            CHidDevice::SetPort(kSerialPort, 0xFC, 0xFF, nullptr);
            const int result = RunEepromJob();
            CHidDevice::SetPort(kSerialPort, 0xFF, 0xFF, nullptr);
            g_eepromData = nullptr;
            g_eepromSize = 0;
            EXPECT_EQ(result, inTime ? 1 : 0);
            if (!inTime) {
                EXPECT_EQ(GetEepromError(), w.failure);
            }
            auto* flash = dynamic_cast<sim::SpiFlash*>(sim->Box().Spi());
            ASSERT_NE(flash, nullptr);
            EXPECT_EQ((flash->*w.wait)().Reads(), w.tries);
            EXPECT_EQ((flash->*w.wait)().Armed(), !inTime);
            if (inTime) {
                EXPECT_TRUE(std::equal(eeprom.begin(), eeprom.end(), flash->Contents().begin()));
            }
            EXPECT_EQ(sim->Box().Counters().violations, 0u);
        }
    }
}

// A just-plugged box whose node refuses its first opens (its permissions
// not yet set): found when it gives way on the last try, a tenth of a second
// after the one before; not found when it gives way one try later.
TEST_F(PollLimitTest, AnArrivingBoxIsOpenedOnTheLastTryAndNotOneLater) {
    for (const uint32_t readyOn : {kArrivalOpenTries, kArrivalOpenTries + 1}) {
        const bool inTime = readyOn == kArrivalOpenTries;
        SCOPED_TRACE(testing::Message() << "opens on try " << readyOn);
        Start("unplugged,open-refusals=" + std::to_string(readyOn - 1));
        ASSERT_EQ(CDevManage::GetHandle(), 0);
        sim->Plug();
        const uint64_t before = clock.NowUs();
        CDevManage::OnHotplug({HotplugEvent::Kind::Arrival, sim::SimBackend::kBoxPath});
        EXPECT_EQ(CDevManage::GetHandle() != 0, inTime);
        const sim::UsbCounters usb = sim->Counters();
        EXPECT_EQ(usb.opens, kArrivalOpenTries);
        EXPECT_EQ(usb.refusedOpens, inTime ? kArrivalOpenTries - 1 : kArrivalOpenTries);
        // The tries are spread over the wait, not made at once.
        EXPECT_GE(clock.NowUs() - before, (kArrivalOpenTries - 1) * kArrivalOpenRetryUs);
        if (!inTime) {
            const std::vector<BoxRefusal> refusals = CDevManage::Refusals();
            ASSERT_EQ(refusals.size(), 1u);
            EXPECT_EQ(refusals[0].error, HidOpenError::kDenied);
        }
    }
}

}  // namespace
}  // namespace vexu::test
