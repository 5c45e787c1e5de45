#include "run/image_load.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/resources.h"
#include "platform/trace.h"
#include "common/image_buffers.h"

namespace {

using vexu::EmbeddedResource;
using vexu::ScopedResourceTable;
using vexu::TraceCapture;

TEST(ScramblingTest, DecodeAndEncodeAreInverseForEveryByte) {
    for (int value = 0; value < 256; ++value) {
        uint8_t byte = static_cast<uint8_t>(value);
        EncodeData(&byte, 1);
        DecodeData(&byte, 1);
        EXPECT_EQ(byte, value);
        DecodeData(&byte, 1);
        EncodeData(&byte, 1);
        EXPECT_EQ(byte, value);
    }
}

TEST(ScramblingTest, DecodeRotatesLeftByTwoThenXorsTheKey) {
    const struct {
        uint8_t stored;
        uint8_t plain;
    } cases[] = {
        {0x00, 0x3A},  // 0x00 -> 0x00 ^ 0x3A
        {0x01, 0x3E},  // 0x04 ^ 0x3A
        {0x40, 0x3B},  // top bits wrap round: 0x01 ^ 0x3A
        {0xC0, 0x39},  // 0x03 ^ 0x3A
        {0xFF, 0xC5},  // 0xFF ^ 0x3A
        {0x8E, 0x00},  // 0x3A rotated right by 2
    };
    for (const auto& c : cases) {
        uint8_t byte = c.stored;
        EXPECT_EQ(DecodeData(&byte, 1), 1u);
        EXPECT_EQ(byte, c.plain) << std::hex << int(c.stored);
    }
}

TEST(ScramblingTest, LengthZeroLeavesTheBufferAndReturnsZero) {
    uint8_t bytes[2] = {0x12, 0x34};
    EXPECT_EQ(DecodeData(bytes, 0), 0u);
    EXPECT_EQ(EncodeData(bytes, 0), 0u);
    EXPECT_EQ(bytes[0], 0x12);
    EXPECT_EQ(bytes[1], 0x34);
    EXPECT_EQ(DecodeData(nullptr, 5), 0u);
}

// A resource table of the test's own.
class ImageLoadTest : public ::testing::Test {
protected:
    void TearDown() override { FreeImageData(); }
    static const uint8_t* Bytes(const char* text) { return reinterpret_cast<const uint8_t*>(text); }
};

TEST_F(ImageLoadTest, LoadFileCutsAtCapacityAndZeroFillsBeyondTheResource) {
    const EmbeddedResource table[] = {{146, "APPSETTING", Bytes("ABCDEFGH"), 8}};
    ScopedResourceTable scope(table, 1);
    TraceCapture trace;

    uint8_t small[5];
    std::memset(small, 0xEE, sizeof small);
    EXPECT_EQ(LoadFile(small, 3, 146, "APPSETTING"), 1);
    EXPECT_EQ(std::memcmp(small, "ABC", 3), 0);
    EXPECT_EQ(small[3], 0xEE);  // nothing written past the capacity

    uint8_t large[12];
    std::memset(large, 0xEE, sizeof large);
    EXPECT_EQ(LoadFile(large, sizeof large, 146, "APPSETTING"), 1);
    EXPECT_EQ(std::memcmp(large, "ABCDEFGH", 8), 0);
    for (size_t i = 8; i < sizeof large; ++i) EXPECT_EQ(large[i], 0) << i;

    EXPECT_EQ(trace.Count("LoadFile() TRUE APPSETTING \r\n"), 2u);
}

TEST_F(ImageLoadTest, LoadFileFailuresLeaveTheBufferZeroAndSayWhy) {
    const EmbeddedResource table[] = {
        {144, "FPGADATA", Bytes("x"), 0},       // empty
        {145, "EEPROMDATA", nullptr, 64},        // listed, but its bytes cannot be loaded
    };
    ScopedResourceTable scope(table, 2);
    const struct {
        uint32_t id;
        const char* type;
        const char* line;
    } cases[] = {
        {146, "APPSETTING", "LoadFile() 查找资源 FALSE \r\n"},
        {144, "EEPROMDATA", "LoadFile() 查找资源 FALSE \r\n"},  // the id must match as well as the type
        {144, "fpgadata", "LoadFile() 查找资源 FALSE \r\n"},
        {144, nullptr, "LoadFile() 查找资源 FALSE \r\n"},
        {144, "FPGADATA", "LoadFile() 资源大小为0 FALSE \r\n"},
        {145, "EEPROMDATA", "LoadFile() 加载资源 FALSE \r\n"},
    };
    for (const auto& c : cases) {
        TraceCapture trace;
        uint8_t buffer[4] = {1, 2, 3, 4};
        EXPECT_EQ(LoadFile(buffer, sizeof buffer, c.id, c.type), 0);
        EXPECT_EQ(trace.Text(), c.line);
        for (uint8_t byte : buffer) EXPECT_EQ(byte, 0);
    }
}

TEST_F(ImageLoadTest, GetDataSizeOfAMissingTypeIsZeroWithItsLine) {
    const EmbeddedResource table[] = {{144, "FPGADATA", Bytes("abc"), 3}};
    ScopedResourceTable scope(table, 1);
    TraceCapture trace;
    EXPECT_EQ(GetDataSize(144, "FPGADATA"), 3u);
    EXPECT_EQ(trace.Text(), "");
    EXPECT_EQ(GetDataSize(144, "NOSUCHTYPE"), 0u);
    EXPECT_EQ(trace.Text(), "GetDataSize() 查找资源 FALSE \r\n");
}

TEST_F(ImageLoadTest, LoadersUnscrambleTheirImages) {
    std::vector<uint8_t> fpga = {0x00, 0x11, 0x22, 0xFF, 0x3A};
    std::vector<uint8_t> eeprom(300);
    for (size_t i = 0; i < eeprom.size(); ++i) eeprom[i] = static_cast<uint8_t>(i * 13);
    std::vector<uint8_t> storedFpga = fpga;
    std::vector<uint8_t> storedEeprom = eeprom;
    EncodeData(storedFpga.data(), static_cast<uint32_t>(storedFpga.size()));
    EncodeData(storedEeprom.data(), static_cast<uint32_t>(storedEeprom.size()));
    const EmbeddedResource table[] = {
        {kFpgaDataResourceId, kFpgaDataResourceType, storedFpga.data(), static_cast<uint32_t>(storedFpga.size())},
        {kEepromDataResourceId, kEepromDataResourceType, storedEeprom.data(),
         static_cast<uint32_t>(storedEeprom.size())},
    };
    ScopedResourceTable scope(table, 2);
    TraceCapture trace;
    LoadEepromData();
    LoadFpgaData();
    ASSERT_EQ(g_fpgaSize, fpga.size());
    ASSERT_EQ(g_eepromSize, eeprom.size());
    EXPECT_EQ(std::vector<uint8_t>(g_fpgaData, g_fpgaData + g_fpgaSize), fpga);
    EXPECT_EQ(std::vector<uint8_t>(g_eepromData, g_eepromData + g_eepromSize), eeprom);
    EXPECT_FALSE(trace.Contains("No "));

    // Loading again replaces the buffers (no leak under the sanitizer).
    LoadFpgaData();
    EXPECT_EQ(std::vector<uint8_t>(g_fpgaData, g_fpgaData + g_fpgaSize), fpga);
}

TEST_F(ImageLoadTest, AMissingOrUnloadableImageIsNoImage) {
    const uint8_t stored[4] = {1, 2, 3, 4};
    const struct {
        const char* name;
        std::vector<EmbeddedResource> table;
    } cases[] = {
        {"no resources at all", {}},
        {"only other types", {{kFpgaDataResourceId, "OTHER", stored, 4}, {kEepromDataResourceId, "OTHER", stored, 4}}},
        {"empty resources", {{kFpgaDataResourceId, "FPGADATA", stored, 0}, {kEepromDataResourceId, "EEPROMDATA", stored, 0}}},
        // The size is known but the bytes cannot be loaded: this must not
        // become a buffer of unscrambled zeros (0x3A bytes) that a run programs.
        {"size read, load failed",
         {{kFpgaDataResourceId, "FPGADATA", nullptr, 80156}, {kEepromDataResourceId, "EEPROMDATA", nullptr, 262144}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Start from loaded images, so that the loaders must also drop them.
        const EmbeddedResource loaded[] = {{kFpgaDataResourceId, "FPGADATA", stored, 4},
                                           {kEepromDataResourceId, "EEPROMDATA", stored, 4}};
        {
            ScopedResourceTable before(loaded, 2);
            LoadEepromData();
            LoadFpgaData();
            ASSERT_EQ(g_fpgaSize, 4u);
        }
        ScopedResourceTable scope(c.table.data(), c.table.size());
        TraceCapture trace;
        LoadEepromData();
        LoadFpgaData();
        EXPECT_EQ(g_fpgaData, nullptr);
        EXPECT_EQ(g_fpgaSize, 0u);
        EXPECT_EQ(g_eepromData, nullptr);
        EXPECT_EQ(g_eepromSize, 0u);
        EXPECT_EQ(trace.Count("No Eeprom Data\r\n"), 1u);
        EXPECT_EQ(trace.Count("No Fpga Data\r\n"), 1u);
        const std::string text = trace.Text();
        EXPECT_LT(text.find("No Eeprom Data"), text.find("No Fpga Data"));
    }
}

}  // namespace
