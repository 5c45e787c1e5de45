#include "platform/debug_channel.h"

#include <windows.h>

#include "platform/windows/code_page.h"

namespace vexu {

bool DebugChannelPresent() { return true; }

// One OutputDebugStringA per line, as a debugger shows each message on a
// line of its own.
void WriteDebugChannel(std::string_view lines) {
    while (!lines.empty()) {
        const size_t end = lines.find('\n');
        const size_t length = end == std::string_view::npos ? lines.size() : end + 1;
        const std::string text = win::Utf8ToCodePage(lines.substr(0, length), win::kTraceCodePage);
        if (!text.empty()) OutputDebugStringA(text.c_str());
        lines.remove_prefix(length);
    }
}

}  // namespace vexu
