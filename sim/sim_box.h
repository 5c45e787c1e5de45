// The simulated programmer box: its firmware as seen from USB. It decodes the
// command report and the data reports that belong to it, keeps the state of
// a command until its last report, runs the command on its JTAG port (the
// TAP controller and the JtagDevice behind it) or its serial port (the
// SpiDevice), and answers the reports the host fetches. Everything the host
// does against the protocol is counted as a violation and noted.
//
// Not thread-safe on its own; the simulated HID backend serialises access.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/jtag_device.h"
#include "sim/spi_device.h"
#include "sim/tap_controller.h"

namespace vexu::sim {

// Wire-level box facts the firmware model needs.
constexpr uint8_t kSerialModeAccepted = 0xAA;  // answer to the serial-mode entry frame
constexpr uint8_t kSerialModeLeave = 0x55;     // the one-byte frame that leaves serial mode
// The box's two ports, as SetPort numbers them.
constexpr int kJtagPortNumber = 1;
constexpr int kSerialPortNumber = 2;
// Unit of a framed scan's per-frame delay field.
constexpr uint32_t kFrameDelayUnitUs = 1;

struct BoxCounters {
    uint64_t reportsWritten = 0;
    uint64_t reportsFetched = 0;
    uint64_t commands = 0;
    uint64_t violations = 0;
    uint64_t unusedStates = 0;      // of them, state fields naming 5, 6, 10 or 11
    uint64_t spiFrames = 0;         // chip-select cycles on the serial port
    uint64_t frameDelayUs = 0;      // time spent in framed-scan delays
};

struct PortState {
    bool on = false;
    uint8_t settingA = 0xFF;
    uint8_t settingB = 0xFF;
};

class SimBox {
public:
    SimBox();
    ~SimBox();
    SimBox(const SimBox&) = delete;
    SimBox& operator=(const SimBox&) = delete;

    // USB side. Returns false when the box stalls the transfer (a report of
    // an unknown id or a wrong length); every other report is accepted.
    bool WriteReport(const uint8_t* report, size_t length);
    bool FetchReport(uint8_t* report, size_t length);
    // Power-up: lamps out, both ports off, no command in progress, serial
    // mode left. Counters and the board stay.
    void PowerUp();

    // The board. The box always has a JTAG device; null gives the minimal
    // ID-code device back. A null SPI device leaves the serial port with
    // nothing connected (MISO reads 1).
    void AttachJtagDevice(std::unique_ptr<JtagDevice> device);
    void AttachSpiDevice(std::unique_ptr<SpiDevice> device);
    JtagDevice* Jtag() const { return jtag_.get(); }
    SpiDevice* Spi() const { return spi_.get(); }

    // Fault: the box answers the serial-mode entry frame with 0x00.
    void SetRefuseSerial(bool refuse) { refuseSerial_ = refuse; }
    // The box carries out state codes 5 (Exit1-DR), 6 (Exit1-IR), 10
    // (Update-IR) and 11 (Capture-DR), but the programmer never asks for
    // them: a command that does is counted as a violation, so that a scan
    // ending in the wrong state shows. Tests of the box itself allow them.
    void SetAllowUnusedStates(bool allow) { allowUnusedStates_ = allow; }

    // Inspection.
    TapState CurrentTapState() const { return tap_.State(); }
    uint64_t TckCount() const { return tap_.TckCount(); }
    bool LampOn(int lamp) const { return lamp == 1 ? lamp1_ : lamp == 2 ? lamp2_ : false; }
    const PortState& Port(int port) const;
    bool InSerialMode() const { return serialMode_; }
    const std::array<uint8_t, 9>& E2pDelay() const { return e2pDelay_; }
    const BoxCounters& Counters() const { return counters_; }
    // The first violations, one line each (at most a hundred kept).
    const std::vector<std::string>& Violations() const { return violationLog_; }
    // True while a command still waits for data reports or for replies to
    // be fetched (the optional SetPort result aside).
    bool CommandInProgress() const { return pending_.has_value() || HasRequiredReply(); }

private:
    // A command whose reports have not all arrived yet.
    struct Pending {
        std::array<uint8_t, 64> command{};
        bool refused = false;       // a field was out of range: the reports flow, nothing runs
        uint8_t dataReportId = 2;   // id of its data reports
        size_t dataBytes = 0;       // data bytes it carries in all
        std::vector<uint8_t> data;  // received so far
        size_t bitsDone = 0;        // shift-and-capture: bits shifted so far
    };
    struct Reply {
        uint8_t reportId;
        std::vector<uint8_t> payload;
        bool optional;  // may be left unfetched (the SetPort result)
    };

    void Violation(std::string what);
    void OnCommand(const uint8_t* report);
    void OnData(const uint8_t* report, size_t length);
    bool CheckCommand(const uint8_t* report);
    void Absorb(const uint8_t* payload, size_t count);
    void Finish();
    void QueueReplies(const std::vector<uint8_t>& bytes, size_t perReport, uint8_t reportId);
    bool HasRequiredReply() const;

    // Commands.
    void LightLed(const uint8_t* report);
    void SetPort(const uint8_t* report);
    void SetE2pDelay(const uint8_t* report);
    void BeginCapture();
    void CaptureChunk();
    void RunShiftIn();
    void RunWait();
    void RunFrames();
    void RunTransmit();

    // JTAG port.
    bool Executes() const { return jtagPort_.on && !pending_->refused; }
    void Move(uint8_t stateCode);
    void PreStage(const uint8_t* command, size_t preStart, size_t instruction, size_t preEnd, bool shift,
                  uint8_t preWait);
    void ShiftBits(const std::vector<uint8_t>& stream, size_t firstBit, size_t count, bool terminate,
                   std::vector<uint8_t>* capture);
    // Serial port: one chip-select cycle.
    void SpiFrame(const uint8_t* in, size_t inLength, uint8_t* out, size_t outLength);

    TapController tap_;
    std::unique_ptr<JtagDevice> jtag_;
    std::unique_ptr<SpiDevice> spi_;
    bool refuseSerial_ = false;
    bool allowUnusedStates_ = false;

    bool lamp1_ = false;
    bool lamp2_ = false;
    PortState jtagPort_;
    PortState serialPort_;
    bool serialMode_ = false;
    std::array<uint8_t, 9> e2pDelay_{};

    std::optional<Pending> pending_;
    std::deque<Reply> replies_;

    BoxCounters counters_;
    std::vector<std::string> violationLog_;
};

}  // namespace vexu::sim
