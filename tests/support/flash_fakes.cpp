#include "support/flash_fakes.h"

#include <algorithm>

#include "link/dev_manage.h"
#include "link/hid_device.h"
#include "common/run_messages.h"

namespace vexu::test {

namespace {

constexpr const char* kBoxPath = "fake-serial-box";
constexpr HidHandle kBoxHandle = 7;

unsigned Le16(const uint8_t* at) { return at[0] | (at[1] << 8); }

}  // namespace

// ---- the box ---------------------------------------------------------------

bool FakeSerialBox::Enumerate(std::vector<HidDeviceInfo>& devices) {
    devices.clear();
    if (Present()) {
        HidInterfaceInfo box;
        box.path = kBoxPath;
        devices.push_back({{box}});
    }
    return true;
}

HidHandle FakeSerialBox::Open(const std::string& path) {
    return Present() && path == kBoxPath ? kBoxHandle : 0;
}

bool FakeSerialBox::GetAttributes(HidHandle handle, uint16_t& vendorId, uint16_t& productId) {
    if (handle != kBoxHandle) return false;
    vendorId = kProgrammerVendorId;
    productId = kProgrammerProductId;
    return true;
}

std::string FakeSerialBox::PathOf(HidHandle handle) { return handle == kBoxHandle ? kBoxPath : ""; }

bool FakeSerialBox::Spend() {
    if (reportsLeft_ == 0) return false;
    if (reportsLeft_ > 0) --reportsLeft_;
    return true;
}

// The whole transfer has arrived: the chip answers or the transfer fails.
bool FakeSerialBox::Finish() {
    SerialTransfer transfer = std::move(*receiving_);
    receiving_.reset();
    transfers_.push_back(transfer);
    std::optional<std::vector<uint8_t>> answer =
        responder_ ? responder_(transfer) : std::vector<uint8_t>(transfer.outLen, 0xFF);
    if (!answer) {
        reportsLeft_ = 0;
        return false;
    }
    answer->resize(transfer.outLen, 0xFF);
    pending_ = std::move(*answer);
    pendingAt_ = 0;
    return true;
}

bool FakeSerialBox::SetFeature(HidHandle handle, const uint8_t* report, size_t length) {
    if (handle != kBoxHandle || !Spend()) return false;
    written_.emplace_back(report, report + length);
    const uint8_t id = report[0];
    if (id == kCommandReportId) {
        if (length != kCommandReportLength) ++violations_;
        if (receiving_ || pendingAt_ < pending_.size()) ++violations_;  // previous transfer unfinished
        pending_.clear();
        pendingAt_ = 0;
        if (report[1] != kCmdTransmit) {
            commands_.push_back({report[1], std::vector<uint8_t>(report, report + length)});
            return true;
        }
        SerialTransfer transfer;
        transfer.withPrefix = report[2] == 1;
        transfer.kind = report[3];
        transfer.prefix = report[4];
        transfer.outLen = Le16(&report[7]);
        expectedIn_ = Le16(&report[5]);
        receiving_ = std::move(transfer);
        if (expectedIn_ == 0) return Finish();
        return true;
    }
    if (!receiving_ || (id != kDataReportId && id != kBulkReportId)) {
        ++violations_;
        return true;
    }
    const size_t want = id == kDataReportId ? kDataReportLength : kBulkReportLength;
    const bool bulk = expectedIn_ > kDataReportPayload;
    if (length != want || bulk != (id == kBulkReportId)) ++violations_;
    const size_t chunk = std::min<size_t>(expectedIn_ - receiving_->in.size(),
                                          bulk ? kBulkReportPayload : kDataReportPayload);
    receiving_->in.insert(receiving_->in.end(), report + kReportDataOffset,
                          report + kReportDataOffset + chunk);
    if (receiving_->in.size() < expectedIn_) return true;
    return Finish();
}

bool FakeSerialBox::GetFeature(HidHandle handle, uint8_t* report, size_t length) {
    if (handle != kBoxHandle || !Spend()) return false;
    if (pendingAt_ >= pending_.size()) {
        ++violations_;
        return true;
    }
    const bool bulk = pending_.size() > kDataReportPayload;
    if (report[0] != (bulk ? kBulkReportId : kDataReportId) ||
        length != (bulk ? kBulkReportLength : kDataReportLength))
        ++violations_;
    const size_t chunk = std::min<size_t>(pending_.size() - pendingAt_,
                                          bulk ? kBulkReportPayload : kDataReportPayload);
    std::fill(report + 1, report + length, 0);
    if (kReportDataOffset + chunk <= length)
        std::copy_n(pending_.begin() + static_cast<long>(pendingAt_), chunk, report + kReportDataOffset);
    pendingAt_ += chunk;
    return true;
}

// ---- the session -----------------------------------------------------------

FakeBoxSession::FakeBoxSession() : scopedClock_(clock) {
    CDevManage::SetBackend(&box);
    CDevManage::Start(kProgrammerVendorId, kProgrammerProductId, nullptr);
}

FakeBoxSession::~FakeBoxSession() {
    CDevManage::End();
    CDevManage::SetBackend(nullptr);
}

ProgressRecorder::ProgressRecorder(Counter counter) : counter_(std::move(counter)) {
    InitMsgQueue(this);
}

ProgressRecorder::~ProgressRecorder() {
    FreeMsgQueue();
    InitMsgQueue(nullptr);
    FreeMsgQueue();
}

void ProgressRecorder::Post(uint32_t message, WPARAM wParam, LPARAM) {
    if (message != WM_RUN_TEXT) return;
    posts.push_back({GetMsgText(), wParam, counter_()});
}

std::vector<WPARAM> ProgressRecorder::Percents() const {
    std::vector<WPARAM> percents;
    for (const ProgressPost& post : posts) percents.push_back(post.percent);
    return percents;
}

}  // namespace vexu::test
