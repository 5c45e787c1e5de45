// A message target whose owner thread waits for what others post: the
// command line's stand-in for a window's message loop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform/messages.h"

namespace vexu {

class MessageQueue : public MessageTarget {
public:
    struct Message {
        uint32_t message;
        WPARAM wParam;
        LPARAM lParam;
    };

    void Post(uint32_t message, WPARAM wParam, LPARAM lParam) override {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            queue_.push_back({message, wParam, lParam});
        }
        ready_.notify_one();
    }

    // Waits up to timeout of real time for the next message; false when
    // none came.
    bool Wait(Message& out, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!ready_.wait_for(lock, timeout, [this] { return !queue_.empty(); })) return false;
        out = queue_.front();
        queue_.pop_front();
        return true;
    }

    bool TryTake(Message& out) { return Wait(out, std::chrono::milliseconds(0)); }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Message> queue_;
};

}  // namespace vexu
