// Texts of unrecorded encoding: well-formed UTF-8 is told from everything
// else, and what is not UTF-8 is read as GBK, a byte that is not GBK standing
// for U+FFFD.
#include "platform/text_encoding.h"

#include <gtest/gtest.h>

#include <set>

namespace {

TEST(TextEncoding, Utf8IsToldFromEverythingElse) {
    struct Case {
        const char* what;
        std::string text;
        bool utf8;
    };
    const Case cases[] = {
        {"empty", "", true},
        {"ASCII", "SPI FLASH", true},
        {"two bytes", "\xC3\xA9", true},
        {"Chinese", "\xE4\xB8\xAD\xE6\x96\x87", true},
        {"four bytes", "\xF0\x9F\x98\x80", true},
        {"highest code point", "\xF4\x8F\xBF\xBF", true},
        {"GBK Chinese", "\xD6\xD0\xCE\xC4", false},
        {"stray continuation byte", "\x80", false},
        {"cut short at the end", "\xE4\xB8", false},
        {"cut short by ASCII", "\xE4\x41\xAD", false},
        {"overlong slash", "\xC0\xAF", false},
        {"overlong three bytes", "\xE0\x80\xAF", false},
        {"surrogate", "\xED\xA0\x80", false},
        {"past U+10FFFF", "\xF4\x90\x80\x80", false},
        {"five-byte lead", "\xF8\x88\x80\x80\x80", false},
        {"0xFF", "A\xFF", false},
    };
    for (const Case& c : cases) EXPECT_EQ(vexu::IsUtf8(c.text), c.utf8) << c.what;
}

TEST(TextEncoding, GbkTextsBecomeUtf8) {
    struct Case {
        const char* what;
        std::string text;
        std::string utf8;
    };
    const Case cases[] = {
        {"GBK Chinese", "\xD6\xD0\xCE\xC4\xB1\xEA\xCC\xE2", "中文标题"},
        {"mixed with ASCII", "FPGA \xD0\xBE\xC6\xAC\xD0\xCD\xBA\xC5", "FPGA 芯片型号"},
        // GBK bytes that happen to be well-formed UTF-8 as well are read as
        // UTF-8: "芯片" alone in GBK is "оƬ".
        {"GBK that is UTF-8 too", "\xD0\xBE\xC6\xAC", "\xD0\xBE\xC6\xAC"},
        {"the euro sign of code page 936", "\x80", "€"},
        {"full-width space", "\xA1\xA1", "\xE3\x80\x80"},
        {"not GBK at all", "A\xFF" "B", "A\xEF\xBF\xBD" "B"},
        {"a lead byte at the end", "\xD6\xD0\xCE", "中\xEF\xBF\xBD"},
        {"a lead byte before a space", "\xD6 \xD6\xD0", "\xEF\xBF\xBD 中"},
        {"UTF-8 stays as it is", "\xE4\xB8\xAD\xE6\x96\x87", "中文"},
        {"ASCII", "SPI FLASH", "SPI FLASH"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string shown = vexu::TextAsUtf8(c.text);
        EXPECT_EQ(shown, c.utf8);
        EXPECT_TRUE(vexu::IsUtf8(shown));
    }
    // A long text goes through in pieces and comes out whole.
    std::string gbk;
    std::string utf8;
    for (int i = 0; i < 300; ++i) {
        gbk += "\xD6\xD0";
        utf8 += "中";
    }
    EXPECT_EQ(vexu::GbkToUtf8(gbk), utf8);
}

// Texts from files and records shown on a terminal: nothing in them can
// move the cursor, set a title or colour, or start a line, and two
// different texts never show the same.
TEST(EscapedText, ControlCharactersAndStrayBytesAreShownAsEscapes) {
    struct Case {
        std::string text;
        const char* shown;
    };
    const Case cases[] = {
        {"VX00000001", "VX00000001"},
        {"设备 é", "设备 é"},
        {"\x1B]0;owned\x07", "\\x1B]0;owned\\x07"},
        {"\x1B[31mred", "\\x1B[31mred"},
        {"ok\r\nFAIL", "ok\\x0D\\x0AFAIL"},
        {"del\x7F", "del\\x7F"},
        {"c1 \xC2\x9B" "2J", "c1 \\xC2\\x9B2J"},  // U+009B, the one-byte CSI
        {"gbk \xB2\xE2", "gbk \\xB2\\xE2"},
        {"a\\x1B", "a\\x5Cx1B"},  // a backslash cannot fake an escape
        {std::string("nul\0", 4), "nul\\x00"},
    };
    std::set<std::string> shown;
    for (const Case& c : cases) {
        EXPECT_EQ(vexu::EscapedText(c.text), c.shown) << c.text;
        EXPECT_TRUE(shown.insert(vexu::EscapedText(c.text)).second) << c.text;
    }
}

}  // namespace
