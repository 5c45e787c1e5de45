// Posted window messages: the only way a worker reaches its window. A target
// is anything that can queue (message, wParam, lParam) for its owner thread:
// the window, the command line, a test recorder. Posting never waits for the
// receiver.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

namespace vexu {

using WPARAM = uintptr_t;
using LPARAM = intptr_t;

constexpr uint32_t WM_USER = 0x400;
constexpr uint32_t WM_DEVICECHANGE = 0x219;
constexpr uint32_t WM_DEVICE_INSERT = WM_USER + 100;
constexpr uint32_t WM_DEVICE_REMOVE = WM_USER + 101;
constexpr uint32_t WM_RUN_TEXT = WM_USER + 300;
constexpr uint32_t WM_RUN_START = WM_USER + 400;
constexpr uint32_t WM_RUN_END = WM_USER + 401;

class MessageTarget {
public:
    virtual ~MessageTarget() = default;
    virtual void Post(uint32_t message, WPARAM wParam, LPARAM lParam) = 0;
};

// A target that keeps every posted message in order (tests, the command line).
class RecordingTarget : public MessageTarget {
public:
    struct Message {
        uint32_t message;
        WPARAM wParam;
        LPARAM lParam;
    };
    void Post(uint32_t message, WPARAM wParam, LPARAM lParam) override {
        std::lock_guard<std::mutex> guard(mutex_);
        messages_.push_back({message, wParam, lParam});
    }
    std::vector<Message> Messages() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return messages_;
    }
    size_t Count(uint32_t message) const {
        std::lock_guard<std::mutex> guard(mutex_);
        size_t n = 0;
        for (const auto& m : messages_) n += m.message == message;
        return n;
    }
    // Removes and returns everything posted so far.
    std::vector<Message> Take() {
        std::lock_guard<std::mutex> guard(mutex_);
        std::vector<Message> taken;
        taken.swap(messages_);
        return taken;
    }
    void Clear() {
        std::lock_guard<std::mutex> guard(mutex_);
        messages_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<Message> messages_;
};

}  // namespace vexu
