// A scripted HID backend for tests: a list of interfaces with their ids,
// every written report recorded, fetched reports served from a script, and
// transfers that fail on demand.
#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/hid_backend.h"

namespace vexu::test {

class FakeHidBackend : public HidBackend {
public:
    struct Interface {
        std::string path;
        uint16_t vendorId;
        uint16_t productId;
        bool opens = true;
        // Why it refuses (when it does not open, or for its first refusedOpens
        // opens).
        HidOpenError refusal = HidOpenError::kFailed;
        int refusedOpens = 0;
    };
    struct Transfer {
        bool set;  // written (true) or fetched (false)
        std::vector<uint8_t> bytes;  // as written, or the buffer handed in for a fetch
    };

    // Each inner vector is one device with its interfaces.
    std::vector<std::vector<Interface>> devices;
    bool enumerateFails = false;
    // The device list carries the ids (as hidapi's does); otherwise an
    // interface has to be opened to read them.
    bool listsIds = false;
    // 1-based index of the transfer that fails (0: none).
    size_t failTransfer = 0;

    // Adds a device with one interface.
    void AddDevice(const std::string& path, uint16_t vendorId, uint16_t productId);
    // Queues the payload of the next fetched report (copied to byte 16 on).
    void QueueReply(const std::vector<uint8_t>& payload);

    std::vector<Transfer> Transfers() const;
    std::vector<std::vector<uint8_t>> Written() const;
    size_t FetchCount() const;
    void ClearTransfers();
    // Forgets transfers, counters, scripted replies and the injected fault.
    void Reset();
    std::set<HidHandle> OpenHandles() const;
    size_t OpenCount() const { return openCount_; }
    // Opens tried, refused ones included.
    size_t OpenAttempts() const { return openAttempts_; }

    bool Enumerate(std::vector<HidDeviceInfo>& out) override;
    HidHandle Open(const std::string& path) override;
    HidOpenError LastOpenError() const override { return lastOpenError_; }
    bool GetAttributes(HidHandle handle, uint16_t& vendorId, uint16_t& productId) override;
    bool SetFeature(HidHandle handle, const uint8_t* report, size_t length) override;
    bool GetFeature(HidHandle handle, uint8_t* report, size_t length) override;
    void Close(HidHandle handle) override;
    std::string PathOf(HidHandle handle) override;

private:
    bool CountTransfer();
    mutable std::mutex mutex_;
    std::map<HidHandle, std::string> open_;
    HidOpenError lastOpenError_ = HidOpenError::kNone;
    HidHandle next_ = 100;
    size_t openCount_ = 0;
    size_t openAttempts_ = 0;
    size_t transferCount_ = 0;
    std::vector<Transfer> transfers_;
    std::deque<std::vector<uint8_t>> replies_;
};

}  // namespace vexu::test
