#include "platform/windows/code_page.h"

#include <windows.h>

namespace vexu::win {

std::string Utf8ToCodePage(std::string_view utf8, unsigned codePage) {
    if (utf8.empty()) return {};
    const int inLength = static_cast<int>(utf8.size());
    const int wideLength = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), inLength, nullptr, 0);
    if (wideLength <= 0) return {};
    std::wstring wide(static_cast<size_t>(wideLength), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), inLength, wide.data(), wideLength);
    const int outLength = WideCharToMultiByte(codePage, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
    if (outLength <= 0) return {};
    std::string out(static_cast<size_t>(outLength), '\0');
    WideCharToMultiByte(codePage, 0, wide.data(), wideLength, out.data(), outLength, nullptr, nullptr);
    return out;
}

}  // namespace vexu::win
