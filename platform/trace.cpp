#include "platform/trace.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "platform/debug_channel.h"

namespace vexu {

struct TraceCapture::Impl {
    mutable std::mutex mutex;
    std::vector<std::string> lines;
};

namespace {

// Text of a line that has not ended yet is held back this long at most.
constexpr size_t kMaxPendingBytes = 64 * 1024;

struct TraceSinks {
    std::mutex mutex;
    bool toStderr = false;
    FILE* file = nullptr;
    std::vector<TraceCapture*> captures;
    std::vector<TraceObserver*> observers;
    // Per thread, the text of its line so far: callers build one line from
    // several calls ("\r\nActID = ", the value, " ExpID = ", ...), and the
    // output shows it whole, never cut by another thread's line.
    std::map<std::thread::id, std::string> pending;

    ~TraceSinks() {
        // At exit, what was begun is still written.
        for (auto& [thread, text] : pending) WriteLines(text + "\n");
        if (file) fclose(file);
    }

    void WriteLines(std::string_view text) {
        if (DebugChannelPresent()) WriteDebugChannel(text);
        if (toStderr) {
            fwrite(text.data(), 1, text.size(), stderr);
            fflush(stderr);
        }
        if (file) {
            fwrite(text.data(), 1, text.size(), file);
            fflush(file);
        }
    }

    // Adds a call's text to its thread's line and writes every line it
    // completes.
    void Assemble(std::string_view text) {
        auto it = pending.try_emplace(std::this_thread::get_id()).first;
        std::string& line = it->second;
        line.append(text);
        const size_t end = line.rfind('\n');
        if (end != std::string::npos) {
            WriteLines(std::string_view(line).substr(0, end + 1));
            line.erase(0, end + 1);
        } else if (line.size() > kMaxPendingBytes) {
            WriteLines(line + "\n");
            line.clear();
        }
        if (line.empty()) pending.erase(it);
    }
};

TraceSinks& Sinks() {
    static TraceSinks sinks;
    return sinks;
}

}  // namespace

void Trace(std::string_view line) {
    TraceSinks& sinks = Sinks();
    std::lock_guard<std::mutex> guard(sinks.mutex);
    if (sinks.toStderr || sinks.file || DebugChannelPresent()) sinks.Assemble(line);
    for (TraceCapture* capture : sinks.captures) capture->Add(line);
    for (TraceObserver* observer : sinks.observers) observer->onLine_(line);
}

void TraceF(const char* format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0) return;
    Trace(std::string_view(buffer, std::min<size_t>(static_cast<size_t>(n), sizeof buffer - 1)));
}

void SetTraceToStderr(bool on) {
    std::lock_guard<std::mutex> guard(Sinks().mutex);
    Sinks().toStderr = on;
}

bool SetTraceFile(const std::string& path) {
    TraceSinks& sinks = Sinks();
    std::lock_guard<std::mutex> guard(sinks.mutex);
    if (sinks.file) fclose(sinks.file);
    sinks.file = nullptr;
    if (path.empty()) return true;
    sinks.file = fopen(path.c_str(), "ab");
    return sinks.file != nullptr;
}

TraceCapture::TraceCapture() : impl_(new Impl) {
    std::lock_guard<std::mutex> guard(Sinks().mutex);
    Sinks().captures.push_back(this);
}

TraceCapture::~TraceCapture() {
    {
        std::lock_guard<std::mutex> guard(Sinks().mutex);
        auto& captures = Sinks().captures;
        captures.erase(std::remove(captures.begin(), captures.end(), this), captures.end());
    }
    delete impl_;
}

TraceObserver::TraceObserver(std::function<void(std::string_view)> onLine) : onLine_(std::move(onLine)) {
    std::lock_guard<std::mutex> guard(Sinks().mutex);
    Sinks().observers.push_back(this);
}

TraceObserver::~TraceObserver() {
    std::lock_guard<std::mutex> guard(Sinks().mutex);
    auto& observers = Sinks().observers;
    observers.erase(std::remove(observers.begin(), observers.end(), this), observers.end());
}

void TraceCapture::Add(std::string_view line) {
    std::lock_guard<std::mutex> guard(impl_->mutex);
    impl_->lines.emplace_back(line);
}

std::vector<std::string> TraceCapture::Lines() const {
    std::lock_guard<std::mutex> guard(impl_->mutex);
    return impl_->lines;
}

std::string TraceCapture::Text() const {
    std::lock_guard<std::mutex> guard(impl_->mutex);
    std::string text;
    for (const auto& line : impl_->lines) text += line;
    return text;
}

bool TraceCapture::Contains(std::string_view fragment) const { return Count(fragment) > 0; }

size_t TraceCapture::Count(std::string_view fragment) const {
    std::lock_guard<std::mutex> guard(impl_->mutex);
    size_t n = 0;
    for (const auto& line : impl_->lines) n += line.find(fragment) != std::string::npos;
    return n;
}

void TraceCapture::Clear() {
    std::lock_guard<std::mutex> guard(impl_->mutex);
    impl_->lines.clear();
}

}  // namespace vexu
