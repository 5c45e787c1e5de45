#include "platform/json.h"

#include <cstdio>

namespace vexu {

namespace {

// Length of the valid UTF-8 sequence at text[i], 0 when the bytes there do
// not form one (overlong forms, surrogates and values past U+10FFFF
// included).
size_t Utf8SequenceLength(std::string_view text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
    const uint8_t lead = byte(i);
    size_t length;
    uint8_t secondLow = 0x80;
    uint8_t secondHigh = 0xBF;
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) secondLow = 0xA0;
        if (lead == 0xED) secondHigh = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) secondLow = 0x90;
        if (lead == 0xF4) secondHigh = 0x8F;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    if (byte(i + 1) < secondLow || byte(i + 1) > secondHigh) return 0;
    for (size_t k = 2; k < length; ++k)
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    return length;
}

}  // namespace

std::string JsonQuote(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (size_t i = 0; i < text.size();) {
        const char c = text[i];
        const auto u = static_cast<uint8_t>(c);
        if (u >= 0x80) {
            const size_t length = Utf8SequenceLength(text, i);
            if (length == 0) {
                // A byte that is not part of UTF-8 is kept, reversibly, as
                // the lone surrogate U+DC00 + byte: no UTF-8 text holds a
                // surrogate, so no other text is written the same way.
                static const char kHex[] = "0123456789abcdef";
                out += "\\udc";
                out += kHex[u >> 4];
                out += kHex[u & 0x0F];
                ++i;
            } else {
                out.append(text.substr(i, length));
                i += length;
            }
            continue;
        }
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (u < 0x20) {
                    char escape[8];
                    snprintf(escape, sizeof escape, "\\u%04x", u);
                    out += escape;
                } else {
                    out += c;
                }
        }
        ++i;
    }
    out += '"';
    return out;
}

JsonObject& JsonObject::Key(std::string_view key) {
    if (body_.size() > 1) body_ += ',';
    body_ += JsonQuote(key);
    body_ += ':';
    return *this;
}

JsonObject& JsonObject::Text(std::string_view key, std::string_view value) {
    Key(key).body_ += JsonQuote(value);
    return *this;
}

JsonObject& JsonObject::Number(std::string_view key, int64_t value) {
    Key(key).body_ += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::Real(std::string_view key, double value, int decimals) {
    char text[64];
    // NaN and infinity have no JSON form.
    if (value != value || value > 1e300 || value < -1e300) return Null(key);
    snprintf(text, sizeof text, "%.*f", decimals, value);
    Key(key).body_ += text;
    return *this;
}

JsonObject& JsonObject::Bool(std::string_view key, bool value) {
    Key(key).body_ += value ? "true" : "false";
    return *this;
}

JsonObject& JsonObject::Null(std::string_view key) {
    Key(key).body_ += "null";
    return *this;
}

JsonObject& JsonObject::Raw(std::string_view key, std::string_view json) {
    Key(key).body_ += json;
    return *this;
}

}  // namespace vexu
