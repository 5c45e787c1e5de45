#include "common/app_setting.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/trace.h"
#include "support/temp_dir.h"
#include "tools/image/image_files.h"

namespace {

// Runs a test in a directory of its own, for BuildSettingFile's fixed name.
class ScratchDirectory {
public:
    ScratchDirectory() : previous_(std::filesystem::current_path()) {
        std::filesystem::current_path(dir_.Path());
    }
    ~ScratchDirectory() { std::filesystem::current_path(previous_); }
    std::string Path() const { return dir_.Path().string(); }

private:
    vexu::test::TempDir dir_;
    std::filesystem::path previous_;
};

std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, size_t offset, size_t count) {
    return std::vector<uint8_t>(bytes.begin() + offset, bytes.begin() + offset + count);
}

TEST(AppSettingTest, BuildSettingFileWritesTheDefaultRecordByteForByte) {
    ScratchDirectory scratch;
    ASSERT_EQ(BuildSettingFile(), 1);
    std::vector<uint8_t> file;
    std::string error;
    ASSERT_TRUE(vexu::image::ReadBinaryFile("AppSetting.bin", file, error)) << error;
    ASSERT_EQ(file.size(), 1404u);

    // Fields at their offsets, little-endian, texts zero-filled after the text.
    EXPECT_EQ(Slice(file, 0, 4), (std::vector<uint8_t>{0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Slice(file, 4, 4), (std::vector<uint8_t>{0xED, 0x9D, 0x9D, 0x00}));
    EXPECT_EQ(Slice(file, 44, 4), (std::vector<uint8_t>{0x64, 0x64, 0x64, 0x00}));
    EXPECT_EQ(Slice(file, 96, 4), (std::vector<uint8_t>{0xDA, 0x25, 0x1C, 0x00}));
    EXPECT_EQ(Slice(file, 112, 4), (std::vector<uint8_t>{0xFF, 0x00, 0x00, 0x00}));
    const struct {
        size_t offset;
        const char* text;
    } texts[] = {{116, "Vexu Dual Programmer v1.0"}, {372, "FPGA CHIP"}, {628, "SPI FLASH"}};
    for (const auto& t : texts) {
        const size_t length = std::strlen(t.text);
        EXPECT_EQ(std::string(file.begin() + t.offset, file.begin() + t.offset + length), t.text);
        for (size_t i = length; i < 256; ++i) ASSERT_EQ(file[t.offset + i], 0) << t.text << " byte " << i;
    }
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&file[884]), 8), "https://");
    EXPECT_EQ(Slice(file, 1396, 8), (std::vector<uint8_t>{1, 0, 0, 0, 1, 0, 0, 0}));

    const AppSettingBytes defaults = AppSettingToBytes(DefaultAppSetting());
    EXPECT_TRUE(std::equal(file.begin(), file.end(), defaults.begin()));
}

TEST(AppSettingTest, AnUnwritableFileIsReportedNotIgnored) {
    vexu::TraceCapture trace;
    EXPECT_EQ(BuildSettingFile("/nonexistent-directory/AppSetting.bin"), 0);
    EXPECT_TRUE(trace.Contains("BuildSettingFile()"));
}

TEST(AppSettingTest, BytesRoundTripAndShortInputLeavesZeros) {
    AppSetting setting = DefaultAppSetting();
    setting.linkHoverTextColor = 0x00123456;
    setting.showFpga = 0;
    SetSettingText(setting.eepromCaption, "SPI ROM FLASH");
    const AppSettingBytes bytes = AppSettingToBytes(setting);
    const AppSetting back = AppSettingFromBytes(bytes.data(), bytes.size());
    EXPECT_EQ(AppSettingToBytes(back), bytes);
    EXPECT_EQ(back.linkHoverTextColor, 0x00123456u);
    EXPECT_EQ(SettingText(back.eepromCaption), "SPI ROM FLASH");

    // A record cut after the colours: texts empty, both parts off.
    const AppSetting cut = AppSettingFromBytes(bytes.data(), 116);
    EXPECT_EQ(cut.linkHoverTextColor, 0x00123456u);
    EXPECT_EQ(SettingText(cut.title), "");
    EXPECT_EQ(cut.showFpga, 0u);
    EXPECT_EQ(cut.showEeprom, 0u);
}

TEST(AppSettingTest, TextsAreReadOnlyWithinTheirField) {
    AppSetting setting = DefaultAppSetting();
    // No terminating zero: the title runs straight into the FPGA caption.
    std::memset(setting.title, 'T', sizeof setting.title);
    EXPECT_EQ(SettingText(setting.title), std::string(256, 'T'));
    // 255 characters fit whole; bytes after the zero never show.
    SetSettingText(setting.title, std::string(300, 'x'));
    EXPECT_EQ(SettingText(setting.title), std::string(255, 'x'));
    SetSettingText(setting.fpgaCaption, "ABC");
    setting.fpgaCaption[10] = 'Z';
    EXPECT_EQ(SettingText(setting.fpgaCaption), "ABC");
}

TEST(AppSettingTest, FieldsAreSetByNameWithTheirRules) {
    size_t count = 0;
    const AppSettingField* fields = AppSettingFields(count);
    ASSERT_EQ(count, 36u);
    EXPECT_EQ(fields[35].offset, 1400u);

    const std::string tooLong(256, 'x');
    const struct {
        const char* field;
        const char* value;
        bool accepted;
        const char* shown;
    } cases[] = {
        {"linkTextColor", "0x00112233", true, "0x00112233"},
        {"linkTextColor", "255", true, "0x000000FF"},
        {"linkTextColor", "0x01000000", false, nullptr},  // not a 0x00BBGGRR colour
        {"linkTextColor", "-1", false, nullptr},
        {"linkTextColor", "green", false, nullptr},
        {"showEeprom", "0", true, "0"},
        {"showEeprom", "2", false, nullptr},
        {"title", "Station 4", true, "Station 4"},
        {"title", tooLong.c_str(), false, nullptr},
        // Written as UTF-8; other bytes would be read back as GBK.
        {"fpgaCaption", "\xE8\x8A\xAF\xE7\x89\x87", true, "\xE8\x8A\xAF\xE7\x89\x87"},
        {"fpgaCaption", "\xD0\xCD\xBA\xC5", false, nullptr},
        {"linkText", "caf\xE9", false, nullptr},
    };
    for (const auto& c : cases) {
        AppSetting setting = DefaultAppSetting();
        const AppSettingField* field = FindAppSettingField(c.field);
        ASSERT_NE(field, nullptr) << c.field;
        std::string error;
        EXPECT_EQ(SetAppSettingField(setting, *field, c.value, error), c.accepted) << c.field << " " << c.value;
        if (c.accepted) {
            EXPECT_EQ(FormatAppSettingField(setting, *field), c.shown);
        } else {
            EXPECT_FALSE(error.empty());
            EXPECT_EQ(AppSettingToBytes(setting), AppSettingToBytes(DefaultAppSetting()));
        }
    }
    EXPECT_EQ(FindAppSettingField("Title"), nullptr);

    // A text field holds bytes: 85 three-byte characters fit, 86 do not, and
    // the refusal counts in bytes.
    std::string threeByteChars;
    for (int i = 0; i < 85; ++i) threeByteChars += "\xE7\xA8\x8B";
    AppSetting setting = DefaultAppSetting();
    std::string error;
    EXPECT_TRUE(SetAppSettingField(setting, *FindAppSettingField("title"), threeByteChars, error)) << error;
    EXPECT_FALSE(SetAppSettingField(setting, *FindAppSettingField("title"), threeByteChars + "\xE7\xA8\x8B", error));
    EXPECT_EQ(error, "title holds at most 255 bytes, not 258");
}


}  // namespace
