#include "common/run_messages.h"

#include <list>
#include <mutex>

namespace {

// The text channel: new texts at the head, taken from the tail.
struct TextChannel {
    std::mutex mutex;
    vexu::MessageTarget* window = nullptr;
    bool enabled = false;
    std::list<std::string> texts;
};

TextChannel& Channel() {
    static TextChannel channel;
    return channel;
}

struct RunErrorText {
    std::mutex mutex;
    std::string text;
};

RunErrorText& RunError() {
    static RunErrorText runError;
    return runError;
}

}  // namespace

void InitMsgQueue(vexu::MessageTarget* window) {
    TextChannel& channel = Channel();
    std::lock_guard<std::mutex> guard(channel.mutex);
    channel.window = window;
    channel.texts.clear();
    channel.enabled = true;
}

void PostMsgText(const char* text, vexu::WPARAM w, vexu::LPARAM l) {
    TextChannel& channel = Channel();
    vexu::MessageTarget* window;
    {
        std::lock_guard<std::mutex> guard(channel.mutex);
        if (channel.enabled) channel.texts.emplace_front(text ? text : "");
        window = channel.window;
    }
    if (window) window->Post(vexu::WM_RUN_TEXT, w, l);
}

std::string GetMsgText() {
    TextChannel& channel = Channel();
    std::lock_guard<std::mutex> guard(channel.mutex);
    if (!channel.enabled || channel.texts.empty()) return std::string();
    std::string text = std::move(channel.texts.back());
    channel.texts.pop_back();
    return text;
}

void FreeMsgQueue() {
    TextChannel& channel = Channel();
    std::lock_guard<std::mutex> guard(channel.mutex);
    channel.texts.clear();
    channel.enabled = false;
}

RunTextKind ClassifyRunText(const std::string& text) {
    if (text == kFpgaProgressText) return RunTextKind::kFpgaProgress;
    if (text == kEepromProgressText) return RunTextKind::kEepromProgress;
    return RunTextKind::kLog;
}

void SetRunError(const char* text) {
    RunErrorText& runError = RunError();
    std::lock_guard<std::mutex> guard(runError.mutex);
    runError.text = text ? text : "";
}

std::string GetRunError() {
    RunErrorText& runError = RunError();
    std::lock_guard<std::mutex> guard(runError.mutex);
    return runError.text;
}
