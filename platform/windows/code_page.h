// Text in a Windows code page: the trace's UTF-8 turned into the ANSI text
// that the debugger channel has always carried (code page 936, GBK).
#pragma once

#include <string>
#include <string_view>

namespace vexu::win {

inline constexpr unsigned kTraceCodePage = 936;

// UTF-8 to the code page. Bytes that are not UTF-8 become U+FFFD first,
// and a character the code page lacks becomes the code page's default
// character ("?"); nothing is dropped.
std::string Utf8ToCodePage(std::string_view utf8, unsigned codePage);

}  // namespace vexu::win
