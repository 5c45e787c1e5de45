// A HID backend that passes everything to another one and records every
// report written and every report fetched (as it came back), for tests that
// check the exact bytes a real backend such as the simulator was sent.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/hid_backend.h"

namespace vexu::test {

class RecordingBackend final : public HidBackend {
public:
    struct Transfer {
        bool set;  // written (true) or fetched (false)
        std::vector<uint8_t> bytes;
        bool ok;
    };

    explicit RecordingBackend(HidBackend* inner = nullptr) : inner_(inner) {}
    void SetInner(HidBackend* inner) { inner_ = inner; }

    std::vector<Transfer> Transfers() const;
    void Clear();

    bool Enumerate(std::vector<HidDeviceInfo>& devices) override { return inner_->Enumerate(devices); }
    HidHandle Open(const std::string& path) override { return inner_->Open(path); }
    bool GetAttributes(HidHandle handle, uint16_t& vendorId, uint16_t& productId) override {
        return inner_->GetAttributes(handle, vendorId, productId);
    }
    bool SetFeature(HidHandle handle, const uint8_t* report, size_t length) override;
    bool GetFeature(HidHandle handle, uint8_t* report, size_t length) override;
    void Close(HidHandle handle) override { inner_->Close(handle); }
    std::string PathOf(HidHandle handle) override { return inner_->PathOf(handle); }

private:
    HidBackend* inner_;
    mutable std::mutex mutex_;
    std::vector<Transfer> transfers_;
};

}  // namespace vexu::test
