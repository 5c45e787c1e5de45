// JSON text for machine readers: the command line's --json lines and the
// run log. Strings are escaped so that every line is valid JSON whatever
// the text holds: quotes, backslashes and control characters are escaped,
// and each byte that is not part of valid UTF-8 is written as the lone
// surrogate escape \udcXX (U+DC80 to U+DCFF, the byte XX), which the
// reader turns back into that byte: a text with bytes that are not UTF-8
// (a serial number, a path) reads back exactly, and two different texts
// are never written the same. Readers that take only Unicode see one
// replacement character per such byte.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vexu {

// The text as a JSON string literal, quotes included.
std::string JsonQuote(std::string_view text);

// One JSON object built member by member, in the order added.
//
//   JsonObject().Text("event", "progress").Number("percent", 42).Str()
//   -> {"event":"progress","percent":42}
class JsonObject {
public:
    JsonObject& Text(std::string_view key, std::string_view value);
    JsonObject& Number(std::string_view key, int64_t value);
    // Fixed-point with the given number of decimals.
    JsonObject& Real(std::string_view key, double value, int decimals = 3);
    JsonObject& Bool(std::string_view key, bool value);
    JsonObject& Null(std::string_view key);
    // A value that is already JSON (an object or an array).
    JsonObject& Raw(std::string_view key, std::string_view json);
    std::string Str() const { return body_ + "}"; }

private:
    JsonObject& Key(std::string_view key);
    std::string body_ = "{";
};

}  // namespace vexu
