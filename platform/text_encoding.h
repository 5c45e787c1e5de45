// Texts that come from outside the program in one of two encodings: UTF-8,
// which this system writes, or the simplified-Chinese Windows code page
// (GBK, code page 936), in which records made on Windows hold their texts.
#pragma once

#include <string>
#include <string_view>

namespace vexu {

// Whether the bytes are well-formed UTF-8: no stray continuation bytes, no
// sequence cut short, no overlong form, no surrogate, nothing past U+10FFFF.
bool IsUtf8(std::string_view text);

// GBK text as UTF-8. A byte, or a pair of bytes, that is not a GBK
// character becomes U+FFFD; the rest of the text is still converted.
std::string GbkToUtf8(std::string_view text);

// A text whose encoding is not recorded: valid UTF-8 is taken as it is,
// anything else is read as GBK. Always valid UTF-8.
std::string TextAsUtf8(std::string_view text);

// A text from a file or a record made safe to print on a terminal or in a
// message: control characters (C0, DEL and the C1 range, which start
// terminal titles, colours and cursor moves), bytes that are not UTF-8 and
// the backslash itself are written as \xNN (the backslash as \x5C). Every
// other character stays as it is, so the text still reads as it was; and
// since the backslash is escaped too, two different texts never print the
// same.
std::string EscapedText(std::string_view text);

}  // namespace vexu
