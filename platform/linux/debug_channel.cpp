#include "platform/debug_channel.h"

namespace vexu {

bool DebugChannelPresent() { return false; }

void WriteDebugChannel(std::string_view) {}

}  // namespace vexu
