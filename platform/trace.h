// Trace output: the debugger output channel of the programmer.
//
// Modules write text through Trace(); a call continues the current line of
// its thread and a line end ("\r\n" or "\n") ends it, so one line may be
// built from several calls. Standard error, the log file and the debugger
// channel where the platform has one (platform/debug_channel.h) receive
// whole lines only (text still pending at exit is written then); captures
// and observers installed by tests receive each call as it is. Texts are
// UTF-8.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/printf_format.h"

namespace vexu {

// Writes trace text to every active sink. Thread-safe.
void Trace(std::string_view line);

// printf-style convenience; formats into a local buffer, then calls Trace.
void TraceF(const char* format, ...) VEXU_PRINTF_FORMAT(1, 2);

void SetTraceToStderr(bool on);
// Appends trace lines to the file; an empty path closes it. Returns false
// when the file cannot be opened.
bool SetTraceFile(const std::string& path);

// Collects every trace line written while it lives (tests).
class TraceCapture {
public:
    TraceCapture();
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    std::vector<std::string> Lines() const;
    // Everything written, concatenated.
    std::string Text() const;
    // True when some line contains the fragment.
    bool Contains(std::string_view fragment) const;
    size_t Count(std::string_view fragment) const;
    void Clear();

private:
    friend void Trace(std::string_view line);
    void Add(std::string_view line);
    struct Impl;
    Impl* impl_;
};

// Calls a function with every trace line written while it lives (tests
// that want to know when something was traced, not only what). The function
// runs on the tracing thread, under the trace lock: it must not trace.
class TraceObserver {
public:
    explicit TraceObserver(std::function<void(std::string_view)> onLine);
    ~TraceObserver();
    TraceObserver(const TraceObserver&) = delete;
    TraceObserver& operator=(const TraceObserver&) = delete;

private:
    friend void Trace(std::string_view line);
    std::function<void(std::string_view)> onLine_;
};

}  // namespace vexu
