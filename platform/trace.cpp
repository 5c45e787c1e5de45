#include "platform/trace.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace vexu {

struct TraceCapture::Impl {
    mutable std::mutex mutex;
    std::vector<std::string> lines;
};

namespace {

struct TraceSinks {
    std::mutex mutex;
    bool toStderr = false;
    FILE* file = nullptr;
    std::vector<TraceCapture*> captures;
    std::vector<TraceObserver*> observers;
};

TraceSinks& Sinks() {
    static TraceSinks sinks;
    return sinks;
}

}  // namespace

void Trace(std::string_view line) {
    TraceSinks& sinks = Sinks();
    std::lock_guard<std::mutex> guard(sinks.mutex);
    if (sinks.toStderr) {
        fwrite(line.data(), 1, line.size(), stderr);
        if (line.empty() || line.back() != '\n') fputc('\n', stderr);
    }
    if (sinks.file) {
        fwrite(line.data(), 1, line.size(), sinks.file);
        if (line.empty() || line.back() != '\n') fputc('\n', sinks.file);
        fflush(sinks.file);
    }
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
    sinks.file = fopen(path.c_str(), "a");
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
