#include "support/fake_hid_backend.h"

#include <algorithm>
#include <cstring>

namespace vexu::test {

void FakeHidBackend::AddDevice(const std::string& path, uint16_t vendorId, uint16_t productId) {
    devices.push_back({Interface{path, vendorId, productId}});
}

void FakeHidBackend::QueueReply(const std::vector<uint8_t>& payload) {
    std::lock_guard<std::mutex> guard(mutex_);
    replies_.push_back(payload);
}

std::vector<FakeHidBackend::Transfer> FakeHidBackend::Transfers() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return transfers_;
}

std::vector<std::vector<uint8_t>> FakeHidBackend::Written() const {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<std::vector<uint8_t>> written;
    for (const auto& t : transfers_)
        if (t.set) written.push_back(t.bytes);
    return written;
}

size_t FakeHidBackend::FetchCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return std::count_if(transfers_.begin(), transfers_.end(), [](const Transfer& t) { return !t.set; });
}

void FakeHidBackend::ClearTransfers() {
    std::lock_guard<std::mutex> guard(mutex_);
    transfers_.clear();
}

void FakeHidBackend::Reset() {
    std::lock_guard<std::mutex> guard(mutex_);
    transfers_.clear();
    replies_.clear();
    transferCount_ = 0;
    failTransfer = 0;
}

std::set<HidHandle> FakeHidBackend::OpenHandles() const {
    std::lock_guard<std::mutex> guard(mutex_);
    std::set<HidHandle> handles;
    for (const auto& [handle, path] : open_) handles.insert(handle);
    return handles;
}

bool FakeHidBackend::Enumerate(std::vector<HidDeviceInfo>& out) {
    out.clear();
    if (enumerateFails) return false;
    for (const auto& device : devices) {
        HidDeviceInfo info;
        for (const auto& interface : device) {
            HidInterfaceInfo listed;
            listed.path = interface.path;
            listed.idsKnown = listsIds;
            listed.vendorId = listsIds ? interface.vendorId : 0;
            listed.productId = listsIds ? interface.productId : 0;
            info.interfaces.push_back(listed);
        }
        out.push_back(info);
    }
    return true;
}

HidHandle FakeHidBackend::Open(const std::string& path) {
    lastOpenError_ = HidOpenError::kMissing;
    for (auto& device : devices) {
        for (auto& interface : device) {
            if (interface.path != path) continue;
            std::lock_guard<std::mutex> guard(mutex_);
            ++openAttempts_;
            if (!interface.opens || interface.refusedOpens > 0) {
                if (interface.refusedOpens > 0) --interface.refusedOpens;
                lastOpenError_ = interface.refusal;
                return 0;
            }
            lastOpenError_ = HidOpenError::kNone;
            HidHandle handle = next_++;
            open_[handle] = path;
            ++openCount_;
            return handle;
        }
    }
    return 0;
}

bool FakeHidBackend::GetAttributes(HidHandle handle, uint16_t& vendorId, uint16_t& productId) {
    std::string path = PathOf(handle);
    for (const auto& device : devices) {
        for (const auto& interface : device) {
            if (interface.path == path) {
                vendorId = interface.vendorId;
                productId = interface.productId;
                return true;
            }
        }
    }
    return false;
}

bool FakeHidBackend::CountTransfer() {
    ++transferCount_;
    return failTransfer == 0 || transferCount_ != failTransfer;
}

bool FakeHidBackend::SetFeature(HidHandle handle, const uint8_t* report, size_t length) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!open_.count(handle)) return false;
    transfers_.push_back({true, std::vector<uint8_t>(report, report + length)});
    return CountTransfer();
}

bool FakeHidBackend::GetFeature(HidHandle handle, uint8_t* report, size_t length) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!open_.count(handle)) return false;
    transfers_.push_back({false, std::vector<uint8_t>(report, report + length)});
    if (!CountTransfer()) return false;
    if (!replies_.empty()) {
        const auto& payload = replies_.front();
        if (length > 16) memcpy(report + 16, payload.data(), std::min(payload.size(), length - 16));
        replies_.pop_front();
    }
    return true;
}

void FakeHidBackend::Close(HidHandle handle) {
    std::lock_guard<std::mutex> guard(mutex_);
    open_.erase(handle);
}

std::string FakeHidBackend::PathOf(HidHandle handle) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = open_.find(handle);
    return it == open_.end() ? std::string() : it->second;
}

}  // namespace vexu::test
