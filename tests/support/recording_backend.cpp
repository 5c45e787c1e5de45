#include "support/recording_backend.h"

namespace vexu::test {

std::vector<RecordingBackend::Transfer> RecordingBackend::Transfers() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return transfers_;
}

void RecordingBackend::Clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    transfers_.clear();
}

bool RecordingBackend::SetFeature(HidHandle handle, const uint8_t* report, size_t length) {
    const bool ok = inner_->SetFeature(handle, report, length);
    std::lock_guard<std::mutex> guard(mutex_);
    transfers_.push_back({true, std::vector<uint8_t>(report, report + length), ok});
    return ok;
}

bool RecordingBackend::GetFeature(HidHandle handle, uint8_t* report, size_t length) {
    const bool ok = inner_->GetFeature(handle, report, length);
    std::lock_guard<std::mutex> guard(mutex_);
    transfers_.push_back({false, std::vector<uint8_t>(report, report + length), ok});
    return ok;
}

}  // namespace vexu::test
