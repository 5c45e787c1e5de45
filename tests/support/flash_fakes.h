// Test doubles for the serial-flash drivers and job: a programmer box that
// decodes the serial-transfer reports of CHidDevice into whole transfers,
// and a small SPI flash behind it that erases, programs (busy for a while,
// in virtual time) and reads back. Faults are injected per transfer.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/hid_backend.h"
#include "platform/messages.h"

namespace vexu::test {

// One serial transfer as the box received it.
struct SerialTransfer {
    bool withPrefix = false;
    uint8_t prefix = 0;
    uint8_t kind = 0;  // the kind byte of the command report (0, 3 or 9)
    std::vector<uint8_t> in;
    unsigned outLen = 0;
};

// A box command other than a serial transfer: its code and report bytes.
struct BoxCommand {
    uint8_t code = 0;
    std::vector<uint8_t> report;
};

// The programmer box. The responder gives the bytes the chip answered, or
// nothing to make the transfer fail (the box's last report of the transfer
// is refused, as when it vanishes).
class FakeSerialBox : public HidBackend {
public:
    using Responder = std::function<std::optional<std::vector<uint8_t>>(const SerialTransfer&)>;

    void SetResponder(Responder responder) { responder_ = std::move(responder); }
    // Every report after the next `reports` ones fails and the box is no
    // longer listed.
    void UnplugAfterReports(int reports) { reportsLeft_ = reports; }

    const std::vector<SerialTransfer>& Transfers() const { return transfers_; }
    const std::vector<BoxCommand>& Commands() const { return commands_; }
    // Lengths of the reports written, in order (the report id is the first byte).
    const std::vector<std::vector<uint8_t>>& WrittenReports() const { return written_; }
    // Reports that do not fit the protocol: unannounced data, wrong lengths,
    // fetches with nothing to fetch.
    int Violations() const { return violations_; }

    bool Enumerate(std::vector<HidDeviceInfo>& devices) override;
    HidHandle Open(const std::string& path) override;
    bool GetAttributes(HidHandle handle, uint16_t& vendorId, uint16_t& productId) override;
    bool SetFeature(HidHandle handle, const uint8_t* report, size_t length) override;
    bool GetFeature(HidHandle handle, uint8_t* report, size_t length) override;
    void Close(HidHandle) override {}
    std::string PathOf(HidHandle handle) override;

private:
    bool Present() const { return reportsLeft_ != 0; }
    bool Spend();
    bool Finish();

    Responder responder_;
    int reportsLeft_ = -1;  // -1: never unplugged
    std::vector<SerialTransfer> transfers_;
    std::vector<BoxCommand> commands_;
    std::vector<std::vector<uint8_t>> written_;
    int violations_ = 0;
    // The transfer being received and the answer waiting to be fetched.
    std::optional<SerialTransfer> receiving_;
    size_t expectedIn_ = 0;
    std::vector<uint8_t> pending_;
    size_t pendingAt_ = 0;
};

// An SPI flash in serial-flash mode behind the box.
struct FakeChipKind {
    std::string name;
    uint32_t size;
    uint8_t signature;         // answer to 0xAB
    uint8_t identification[3]; // answer to 0x9F
};

// M25P20, M25P40, M25P80, TS25L80P, with the facts of their datasheets.
const FakeChipKind& FakeChip(const std::string& name);

class FakeSpiFlash {
public:
    explicit FakeSpiFlash(const FakeChipKind& kind);

    // The box's answer to a transfer; nothing when a fault makes it fail.
    std::optional<std::vector<uint8_t>> Answer(const SerialTransfer& transfer);
    // Wires this flash to the box.
    void Attach(FakeSerialBox& box);

    std::vector<uint8_t>& Contents() { return contents_; }
    // For driver tests that skip the entry frame.
    void EnterSerialMode() { serialMode_ = true; }
    bool InSerialMode() const { return serialMode_; }
    int Violations() const { return violations_; }
    int PagePrograms() const { return pagePrograms_; }
    const std::vector<uint32_t>& ErasedSectors() const { return erasedSectors_; }
    int ExitFrames() const { return exitFrames_; }

    // Faults and timing.
    bool refuseSerialMode = false;
    uint64_t programUs = 700;
    uint64_t eraseUs = 600'000;
    // Sector whose erase never finishes (the chip stays busy).
    std::optional<uint32_t> stuckSector;
    // Fails the transfer for which this returns true (box gone afterwards).
    std::function<bool(const SerialTransfer&)> failWhen;
    // Reads of this byte address return it with bit 0 flipped.
    std::optional<uint32_t> flippedByte;

private:
    bool Busy() const;

    FakeChipKind kind_;
    std::vector<uint8_t> contents_;
    bool serialMode_ = false;
    bool stuck_ = false;
    uint64_t busyUntilUs_ = 0;
    int violations_ = 0;
    int pagePrograms_ = 0;
    std::vector<uint32_t> erasedSectors_;
    int exitFrames_ = 0;
};

// The fake box installed as the programmer, on a virtual clock, for the
// life of a test.
class FakeBoxSession {
public:
    FakeBoxSession();
    ~FakeBoxSession();
    FakeBoxSession(const FakeBoxSession&) = delete;
    FakeBoxSession& operator=(const FakeBoxSession&) = delete;

    VirtualClock clock;
    FakeSerialBox box;

private:
    ScopedClock scopedClock_;
};

// Catches the job's progress posts: each percent with the number of page
// programs the flash had seen when it was posted.
class ProgressRecorder : public MessageTarget {
public:
    struct ProgressPost {
        std::string text;
        WPARAM percent;
        int pagesProgrammed;
    };
    explicit ProgressRecorder(const FakeSpiFlash* flash = nullptr);
    ~ProgressRecorder() override;
    void Post(uint32_t message, WPARAM wParam, LPARAM lParam) override;
    std::vector<ProgressPost> posts;
    std::vector<WPARAM> Percents() const;

private:
    const FakeSpiFlash* flash_;
};

}  // namespace vexu::test
