// The resources the build linked into this test program: what the loaders
// give back must be exactly the plain files the build embedded, whether the
// demo images and default record or files given to the build.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/app_setting.h"
#include "embedded_resource_files.h"
#include "platform/trace.h"
#include "common/image_buffers.h"
#include "run/image_load.h"
#include "tools/image/demo_images.h"
#include "tools/image/image_files.h"

namespace {

std::vector<uint8_t> ReadPlain(const char* path) {
    std::vector<uint8_t> bytes;
    std::string error;
    EXPECT_TRUE(vexu::image::ReadBinaryFile(path, bytes, error)) << error;
    return bytes;
}

class EmbeddedResourcesTest : public ::testing::Test {
protected:
    void TearDown() override { FreeImageData(); }
};

TEST_F(EmbeddedResourcesTest, ImagesLoadBackAsTheEmbeddedPlainFiles) {
    vexu::TraceCapture trace;
    LoadEepromData();
    LoadFpgaData();
    EXPECT_TRUE(trace.Contains("LoadFile() TRUE EEPROMDATA \r\n"));
    EXPECT_TRUE(trace.Contains("LoadFile() TRUE FPGADATA \r\n"));

    const std::vector<uint8_t> fpga = ReadPlain(kEmbeddedFpgaPlainFile);
    const std::vector<uint8_t> eeprom = ReadPlain(kEmbeddedEepromPlainFile);
    ASSERT_EQ(g_fpgaSize, fpga.size());
    ASSERT_EQ(g_eepromSize, eeprom.size());
    EXPECT_TRUE(std::equal(fpga.begin(), fpga.end(), g_fpgaData));
    EXPECT_TRUE(std::equal(eeprom.begin(), eeprom.end(), g_eepromData));

    // The stored form is the scrambled one: the raw resource is not the plain image.
    std::vector<uint8_t> raw(g_fpgaSize);
    ASSERT_EQ(LoadFile(raw.data(), g_fpgaSize, kFpgaDataResourceId, kFpgaDataResourceType), 1);
    EXPECT_NE(raw, fpga);
    DecodeData(raw.data(), static_cast<uint32_t>(raw.size()));
    EXPECT_EQ(raw, fpga);
}

TEST_F(EmbeddedResourcesTest, DemoImagesAreWhatTheBuilderMakes) {
    if (!kEmbeddedFpgaIsDemo || !kEmbeddedEepromIsDemo) GTEST_SKIP() << "the build embedded images of its own";
    LoadEepromData();
    LoadFpgaData();
    const std::vector<uint8_t> fpga = vexu::image::MakeDemoFpgaImage();
    const std::vector<uint8_t> eeprom = vexu::image::MakeDemoEepromImage();
    ASSERT_EQ(g_fpgaSize, fpga.size());
    ASSERT_EQ(g_eepromSize, vexu::image::kDemoEepromSize);
    EXPECT_TRUE(std::equal(fpga.begin(), fpga.end(), g_fpgaData));
    EXPECT_TRUE(std::equal(eeprom.begin(), eeprom.end(), g_eepromData));
}

TEST_F(EmbeddedResourcesTest, SettingsRecordLoadsPlainWithLoadFileAlone) {
    AppSetting setting;
    std::memset(&setting, 0xEE, sizeof setting);
    ASSERT_EQ(LoadFile(&setting, kAppSettingSize, kAppSettingResourceId, kAppSettingResourceType), 1);
    EXPECT_EQ(GetDataSize(kAppSettingResourceId, kAppSettingResourceType), kAppSettingSize);
    const std::vector<uint8_t> plain = ReadPlain(kEmbeddedSettingsPlainFile);
    ASSERT_EQ(plain.size(), kAppSettingSize);
    const AppSettingBytes loaded = AppSettingToBytes(setting);
    EXPECT_TRUE(std::equal(plain.begin(), plain.end(), loaded.begin()));
    if (kEmbeddedSettingsAreDefault) {
        const AppSettingBytes defaults = AppSettingToBytes(DefaultAppSetting());
        EXPECT_EQ(loaded, defaults);
    }
}

}  // namespace
