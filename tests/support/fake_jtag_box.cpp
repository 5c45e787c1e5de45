#include "support/fake_jtag_box.h"

#include <algorithm>

#include "link/dev_manage.h"
#include "link/hid_device.h"

namespace vexu::test {

namespace {

constexpr const char* kBoxPath = "/dev/hidraw-jtag";

unsigned Le16(const uint8_t* at) { return at[0] | at[1] << 8; }

}  // namespace

FakeJtagBox::FakeJtagBox() { AddDevice(kBoxPath, kProgrammerVendorId, kProgrammerProductId); }

HidHandle FakeJtagBox::Open(const std::string& path) {
    HidHandle handle = FakeHidBackend::Open(path);
    // A box that comes back starts afresh.
    pending_.clear();
    followOnBytes_ = 0;
    return handle;
}

bool FakeJtagBox::SetFeature(HidHandle handle, const uint8_t* report, size_t length) {
    if (!FakeHidBackend::SetFeature(handle, report, length)) return false;
    Decode(report, length);
    return true;
}

bool FakeJtagBox::GetFeature(HidHandle handle, uint8_t* report, size_t length) {
    if (!FakeHidBackend::GetFeature(handle, report, length)) return false;
    const size_t n = std::min({pending_.size(), kDataReportPayload, length - kReportDataOffset});
    for (size_t i = 0; i < n; ++i) {
        report[kReportDataOffset + i] = pending_.front();
        pending_.pop_front();
    }
    return true;
}

std::vector<uint8_t> FakeJtagBox::Instructions() const {
    std::vector<uint8_t> loaded;
    for (const JtagScan& scan : scans)
        if (scan.instruction) loaded.push_back(scan.ir);
    return loaded;
}

std::vector<uint8_t> FakeJtagBox::LastDataIn(uint8_t ir) const {
    for (auto it = scans.rbegin(); it != scans.rend(); ++it)
        if (!it->instruction && it->ir == ir && !it->in.empty()) return it->in;
    return {};
}

void FakeJtagBox::Decode(const uint8_t* report, size_t length) {
    if (report[0] == kDataReportId) {
        if (followOnBytes_ == 0 || scans.empty()) return;
        const size_t n = std::min(followOnBytes_, kDataReportPayload);
        scans.back().in.insert(scans.back().in.end(), report + kReportDataOffset, report + kReportDataOffset + n);
        followOnBytes_ -= n;
        return;
    }
    if (report[0] != kCommandReportId || length < kCommandReportLength) return;
    const uint8_t code = report[1];
    if (code != kCmdShiftIn && code != kCmdShiftOut && code != kCmdShiftInOut) return;

    const unsigned bits = Le16(&report[12]);
    if (report[3] == 1) {
        // Instruction stage: Shift-IR, the instruction, the state after it.
        ir_ = report[6];
        scans.push_back({true, ir_, 8, 0, {report[6]}, {}});
        if (report[7]) state_ = report[7];
    } else if (report[5]) {
        state_ = report[5];
        if (code == kCmdShiftIn && bits == 0) gotoStates.push_back(report[5]);
    }
    if (report[9]) state_ = report[9];
    if (bits > 0) {
        const unsigned offset = code == kCmdShiftIn ? report[10] : 0;
        const size_t bytes = (offset + bits + 7) / 8;
        const size_t first = std::min(bytes, kDataReportPayload);
        // A capture-only scan shifts zeros; it records no data of its own.
        Scan(code != kCmdShiftIn, bits, offset, code == kCmdShiftOut ? nullptr : &report[kReportDataOffset],
             code == kCmdShiftOut ? 0 : first);
        followOnBytes_ = code == kCmdShiftIn ? bytes - first : 0;
    }
    if (report[14]) state_ = report[14];
}

void FakeJtagBox::Scan(bool capture, unsigned bits, unsigned bitOffset, const uint8_t* data, size_t dataBytes) {
    JtagScan scan{state_ == kStateShiftIr, ir_, bits, bitOffset, {}, {}};
    if (data) scan.in.assign(data, data + dataBytes);
    if (scan.instruction) {
        const unsigned value = data ? (data[0] >> bitOffset) | (dataBytes > 1 ? data[1] << (8 - bitOffset) : 0) : 0;
        ir_ = static_cast<uint8_t>(value);
        scan.ir = ir_;
        if (capture) {
            scan.out.assign((bits + 7) / 8, 0);
            scan.out[0] = irCapture;
        }
    } else if (capture) {
        scan.out = Answer(bits, scan.in);
    }
    pending_.insert(pending_.end(), scan.out.begin(), scan.out.end());
    scans.push_back(std::move(scan));
}

std::vector<uint8_t> FakeJtagBox::Answer(unsigned bits, const std::vector<uint8_t>& in) {
    std::vector<uint8_t> out;
    if (responder) out = responder(ir_, bits, in);
    if (out.empty()) {
        auto it = answers.find(ir_);
        if (it != answers.end()) out = it->second;
    }
    out.resize((bits + 7) / 8, 0);
    return out;
}

ScopedBox::ScopedBox(HidBackend& backend) {
    CDevManage::SetBackend(&backend);
    CDevManage::Start(kProgrammerVendorId, kProgrammerProductId, &window);
}

ScopedBox::~ScopedBox() {
    CDevManage::End();
    CDevManage::SetBackend(nullptr);
}

}  // namespace vexu::test
