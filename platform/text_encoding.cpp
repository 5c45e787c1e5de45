#include "platform/text_encoding.h"

#include <cerrno>
#include <cstdint>

namespace vexu {

namespace {

bool Continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

bool IsUtf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        size_t length = 0;
        uint32_t code = 0;
        uint32_t least = 0;
        if ((lead & 0xE0) == 0xC0) {
            length = 2;
            code = lead & 0x1F;
            least = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            code = lead & 0x0F;
            least = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            code = lead & 0x07;
            least = 0x10000;
        } else {
            return false;
        }
        if (text.size() - i < length) return false;
        for (size_t k = 1; k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if (!Continuation(next)) return false;
            code = (code << 6) | (next & 0x3F);
        }
        if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

std::string TextAsUtf8(std::string_view text) { return IsUtf8(text) ? std::string(text) : GbkToUtf8(text); }

std::string EscapedText(std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    const auto escape = [&out](uint8_t byte) {
        out += "\\x";
        out += kHex[byte >> 4];
        out += kHex[byte & 0x0F];
    };
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<uint8_t>(text[i]);
        if (byte < 0x80) {
            if (byte < 0x20 || byte == 0x7F || byte == '\\')
                escape(byte);
            else
                out += static_cast<char>(byte);
            ++i;
            continue;
        }
        size_t length = 0;
        for (size_t n = 2; n <= 4 && length == 0 && i + n <= text.size(); ++n)
            if (IsUtf8(text.substr(i, n))) length = n;
        // U+0080 to U+009F (C2 80 to C2 9F) are the C1 controls.
        const bool c1 = length == 2 && byte == 0xC2 && static_cast<uint8_t>(text[i + 1]) < 0xA0;
        if (length == 0 || c1) {
            escape(byte);
            ++i;
            continue;
        }
        out.append(text.substr(i, length));
        i += length;
    }
    return out;
}

}  // namespace vexu
