// GBK to UTF-8 through the system's code page 936, one character at a time,
// so that a byte that is not GBK costs only itself.
#include <windows.h>

#include "platform/text_encoding.h"

namespace vexu {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD
constexpr unsigned kGbk = 936;

// One UTF-16 character as UTF-8.
void AppendUtf8(std::string& out, wchar_t c) {
    const unsigned code = static_cast<unsigned>(c);
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

}  // namespace

std::string GbkToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size() * 3 / 2 + 4);
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            out += static_cast<char>(byte);
            ++i;
        } else if (byte == 0x80) {
            out += "\xE2\x82\xAC";  // the euro sign, code page 936's only single high byte
            ++i;
        } else if (byte <= 0xFE && i + 1 < text.size()) {
            // A lead byte and its trail: one character (every GBK character
            // lies in the Basic Multilingual Plane), or not GBK here.
            wchar_t wide[2];
            const int n = MultiByteToWideChar(kGbk, MB_ERR_INVALID_CHARS, text.data() + i, 2, wide, 2);
            if (n == 1) {
                AppendUtf8(out, wide[0]);
                i += 2;
            } else {
                out += kReplacement;
                ++i;
            }
        } else {
            out += kReplacement;
            ++i;
        }
    }
    return out;
}

}  // namespace vexu
