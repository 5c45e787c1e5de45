// Test doubles for the serial-flash drivers and job: a programmer box that
// decodes the serial-transfer reports of CHidDevice into whole transfers and
// lets a test script the chip's answers (or fail a transfer), and a recorder
// of the job's progress posts.
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

// Catches the job's progress posts: each percent with a count taken when it
// was posted (page programs, reports...).
class ProgressRecorder : public MessageTarget {
public:
    using Counter = std::function<int()>;
    explicit ProgressRecorder(Counter counter);
    struct ProgressPost {
        std::string text;
        WPARAM percent;
        int count;
    };
    ~ProgressRecorder() override;
    void Post(uint32_t message, WPARAM wParam, LPARAM lParam) override;
    std::vector<ProgressPost> posts;
    std::vector<WPARAM> Percents() const;

private:
    Counter counter_;
};

}  // namespace vexu::test
