// JSON text as the command line and the run log write it.
#include <gtest/gtest.h>

#include <set>

#include "platform/json_reader.h"
#include "platform/json.h"

namespace vexu::test {
namespace {

TEST(Json, QuoteEscapesWhatJsonRequires) {
    struct Case {
        std::string text;
        const char* quoted;
    };
    const Case cases[] = {
        {"", R"("")"},
        {"plain text", R"("plain text")"},
        {"say \"hi\"\\", R"("say \"hi\"\\")"},
        {"\r\nUpdating Program...\t\b\f", R"("\r\nUpdating Program...\t\b\f")"},
        {std::string("nul\0 esc\x1b del\x7f", 14), R"("nul\u0000 esc\u001b del)" "\x7f\""},
        {"设备已插入 é €", "\"设备已插入 é €\""},                       // valid UTF-8 stays as it is
        {"\xF0\x9F\x94\x8C plug", "\"\xF0\x9F\x94\x8C plug\""},       // four-byte sequence
        {"gbk \xB2\xE2\xCA\xD4", R"("gbk \udcb2\udce2\udcca\udcd4")"},  // not UTF-8: one escape per byte
        {"cut \xE8\xAE", R"("cut \udce8\udcae")"},                     // sequence cut short at the end
        {"\xC0\xAF \xED\xA0\x80 \xF4\x90\x80\x80", R"("\udcc0\udcaf \udced\udca0\udc80 \udcf4\udc90\udc80\udc80")"},
    };
    for (const Case& c : cases) EXPECT_EQ(JsonQuote(c.text), c.quoted) << c.text;
}

TEST(Json, QuotedTextReadsBackUnchanged) {
    std::string every;
    for (int c = 1; c < 0x80; ++c) every += static_cast<char>(c);
    every += "设备 \xF0\x9F\x94\x8C";
    JsonValue value;
    std::string error;
    ASSERT_TRUE(ParseJson(JsonQuote(every), value, error)) << error;
    EXPECT_EQ(value.text, every);
}

// Texts that differ only in bytes that are not UTF-8 (serials from a file
// in another encoding) are written differently and read back exactly.
TEST(Json, BytesThatAreNotUtf8ReadBackExactlyAndStayApart) {
    const std::string texts[] = {"SN\xB2\xE2", "SN\xB2\xE3", "SN\xEF\xBF\xBD\xEF\xBF\xBD", "SN\xED\xB2\xB2",
                                 "SN\\udcb2\\udce2", "\xFF", "\xC3", "\xC3\xA9"};
    std::set<std::string> written;
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        const std::string quoted = JsonQuote(text);
        EXPECT_TRUE(written.insert(quoted).second) << quoted << " written for two texts";
        JsonValue value;
        std::string error;
        ASSERT_TRUE(ParseJson(quoted, value, error)) << error;
        EXPECT_EQ(value.text, text);
    }
    // A lone surrogate outside the escaped bytes is still not JSON text this
    // program writes.
    for (const char* bad : {R"("\udc00")", R"("\udc7f")", R"("\udd00")", R"("\ud800")"}) {
        JsonValue value;
        std::string error;
        EXPECT_FALSE(ParseJson(bad, value, error)) << bad;
    }
}

TEST(Json, ObjectKeepsMembersInOrder) {
    const std::string text = JsonObject()
                                 .Text("event", "progress")
                                 .Number("percent", -42)
                                 .Real("seconds", 1.0 / 3)
                                 .Real("nan", 0.0 / 0.0)
                                 .Bool("ok", false)
                                 .Null("chip")
                                 .Raw("fpga", JsonObject().Text("result", "off").Str())
                                 .Str();
    EXPECT_EQ(text,
              R"({"event":"progress","percent":-42,"seconds":0.333,"nan":null,"ok":false,"chip":null,)"
              R"("fpga":{"result":"off"}})");
    EXPECT_EQ(JsonObject().Str(), "{}");
}

}  // namespace
}  // namespace vexu::test
