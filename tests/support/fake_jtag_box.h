// A scripted programmer box with a JTAG device behind it, for tests that
// need no simulator: it decodes the JTAG commands it is sent (state moves,
// instruction and data scans) and answers every capture from fixed
// per-instruction answers, like a device that holds fixed registers.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <vector>

#include "platform/messages.h"
#include "support/fake_hid_backend.h"

namespace vexu::test {

// One JTAG scan as the box carried it out.
struct JtagScan {
    bool instruction;           // an instruction scan (Shift-IR), else a data scan
    uint8_t ir;                 // the instruction in force (for instruction scans: the one loaded)
    unsigned bits;
    unsigned bitOffset;         // of the first data byte
    std::vector<uint8_t> in;    // bytes shifted in, as sent; empty for a capture-only scan
    std::vector<uint8_t> out;   // bytes captured
};

class FakeJtagBox : public FakeHidBackend {
public:
    using Responder = std::function<std::vector<uint8_t>(uint8_t ir, unsigned bits, const std::vector<uint8_t>& in)>;

    FakeJtagBox();

    // What an IR capture returns (status bits of the device).
    uint8_t irCapture = 0x01;
    // Data-register answers by instruction; missing bytes read as zero.
    std::map<uint8_t, std::vector<uint8_t>> answers;
    // Consulted before answers; an empty result falls back to them.
    Responder responder;

    std::vector<JtagScan> scans;
    // The states of plain state moves, in order.
    std::vector<uint8_t> gotoStates;
    // Instructions loaded, in order (instruction stages and Shift-IR scans).
    std::vector<uint8_t> Instructions() const;
    // The data shifted in by the last data scan under the instruction.
    std::vector<uint8_t> LastDataIn(uint8_t ir) const;

    HidHandle Open(const std::string& path) override;
    bool SetFeature(HidHandle handle, const uint8_t* report, size_t length) override;
    bool GetFeature(HidHandle handle, uint8_t* report, size_t length) override;

private:
    void Decode(const uint8_t* report, size_t length);
    void Scan(bool capture, unsigned bits, unsigned bitOffset, const uint8_t* data, size_t dataBytes);
    std::vector<uint8_t> Answer(unsigned bits, const std::vector<uint8_t>& in);

    uint8_t state_ = 1;
    uint8_t ir_ = 0;
    size_t followOnBytes_ = 0;     // data bytes still to come in reports 2 for the last scan
    std::deque<uint8_t> pending_;  // captured bytes still to be fetched
};

// Hands a backend to the device manager for one test: the box is found and
// opened, and closed again at the end of the scope.
class ScopedBox {
public:
    explicit ScopedBox(HidBackend& backend);
    ~ScopedBox();
    ScopedBox(const ScopedBox&) = delete;
    ScopedBox& operator=(const ScopedBox&) = delete;
    RecordingTarget window;
};

}  // namespace vexu::test
