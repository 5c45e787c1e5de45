// Scripted stand-ins for the programmer box, for tests that need no
// simulator: FakeBackend records every report written and fetched;
// FakeJtagBox also decodes the JTAG commands and answers captures from
// per-instruction answers, like a device that holds fixed registers.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/hid_backend.h"
#include "platform/messages.h"

namespace vexu::test {

class FakeBackend : public HidBackend {
public:
    struct Transfer {
        bool set;  // written by the host (false: fetched)
        std::vector<uint8_t> bytes;
    };

    bool Enumerate(std::vector<HidDeviceInfo>& devices) override;
    HidHandle Open(const std::string& path) override;
    bool GetAttributes(HidHandle handle, uint16_t& vendorId, uint16_t& productId) override;
    bool SetFeature(HidHandle handle, const uint8_t* report, size_t length) override;
    bool GetFeature(HidHandle handle, uint8_t* report, size_t length) override;
    void Close(HidHandle handle) override;
    std::string PathOf(HidHandle handle) override;

    // Every transfer so far, in order (a fetch holds what was answered).
    std::vector<Transfer> transfers;
    // The transfer with this index fails (and every later one: the box is gone).
    long failFrom = -1;

protected:
    virtual void OnSet(const uint8_t* report, size_t length);
    // Fills a fetched report (bytes after the id are zero on entry).
    virtual void OnGet(uint8_t* report, size_t length);
    // The box was opened: a box that comes back starts afresh.
    virtual void OnOpen() {}
};

// One JTAG scan as the box carried it out.
struct JtagScan {
    bool instruction;           // an instruction scan (Shift-IR), else a data scan
    uint8_t ir;                 // the instruction in force (for instruction scans: the one loaded)
    unsigned bits;
    unsigned bitOffset;         // of the first data byte
    std::vector<uint8_t> in;    // bytes shifted in (from the bit offset on, as sent)
    std::vector<uint8_t> out;   // bytes captured
};

class FakeJtagBox : public FakeBackend {
public:
    using Responder = std::function<std::vector<uint8_t>(uint8_t ir, unsigned bits, const std::vector<uint8_t>& in)>;

    // What an IR capture returns (status bits of the device).
    uint8_t irCapture = 0x01;
    // Data-register answers by instruction; missing bytes read as zero.
    std::map<uint8_t, std::vector<uint8_t>> answers;
    // Overrides answers when set; return an empty vector to fall back.
    Responder responder;

    std::vector<JtagScan> scans;
    // The states the box was sent to by plain state moves, in order.
    std::vector<uint8_t> gotoStates;
    // Instructions loaded, in order (instruction stages and Shift-IR scans).
    std::vector<uint8_t> Instructions() const;
    // The data shifted in by the last data scan under the instruction.
    std::vector<uint8_t> LastDataIn(uint8_t ir) const;

protected:
    void OnSet(const uint8_t* report, size_t length) override;
    void OnGet(uint8_t* report, size_t length) override;
    void OnOpen() override;

private:
    void Scan(bool capture, unsigned bits, unsigned bitOffset, const uint8_t* data, size_t dataBytes);
    std::vector<uint8_t> Answer(unsigned bits, const std::vector<uint8_t>& in);

    uint8_t state_ = 1;
    uint8_t ir_ = 0;
    size_t followOnBytes_ = 0;  // data bytes still to come in reports 2 for the last scan
    std::deque<uint8_t> pending_;  // captured bytes still to be fetched
};

// Hands a backend to the device manager for one test: the box is found,
// opened and closed again at the end of the scope.
class ScopedBox {
public:
    explicit ScopedBox(HidBackend& backend);
    ~ScopedBox();
    ScopedBox(const ScopedBox&) = delete;
    ScopedBox& operator=(const ScopedBox&) = delete;
    RecordingTarget window;
};

}  // namespace vexu::test
