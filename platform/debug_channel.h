// The debugger output channel, where the programmer has always written its
// trace lines: on Windows OutputDebugStringA, in the simplified-Chinese
// code page (936) as the system has always written them, whether or not
// --trace also sends them to standard error. Linux has no such channel.
#pragma once

#include <string_view>

namespace vexu {

// True where the platform has the channel: the trace then assembles its
// lines for it even when no other sink is on.
bool DebugChannelPresent();

// Writes whole lines (UTF-8, each ending with "\n"); one message per line.
void WriteDebugChannel(std::string_view lines);

}  // namespace vexu
