// The data image reader: directory lookup and its cache, bounded reads,
// support flags, the CRC trailer and the image-fed shifts.
#include <cstring>
#include <numeric>

#include "engine_fixture.h"

namespace vexu::test {
namespace {

std::vector<uint8_t> Bytes(size_t n, uint8_t first) {
    std::vector<uint8_t> bytes(n);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

using ImageTest = EngineTest;

TEST_F(ImageTest, DirectoryLookupFirstEntryWinsAndOffsetZeroMeansAbsent) {
    Load(HealthyImage()
             .Block(DP_BLOCK_PASS_KEY, {0xA1})
             .Block(DP_BLOCK_PASS_KEY, {0xB2})
             .RawEntry(DP_BLOCK_AES_KEY, 0)
             .Block(DP_BLOCK_AES_KEY, {0xC3})
             .Build());
    EXPECT_EQ(dp_image_bytes(DP_BLOCK_PASS_KEY, 0, 1), 0xA1u);
    EXPECT_EQ(dp_image_bytes(DP_BLOCK_AES_KEY, 0, 1), 0u);
    EXPECT_EQ(g_dpState.returnBytes, 0u);
    EXPECT_EQ(dp_image_pointer(DP_BLOCK_AES_KEY, 0), nullptr);
    EXPECT_FALSE(dp_image_has_block(DP_BLOCK_AES_KEY));
    EXPECT_FALSE(dp_image_has_block(DP_BLOCK_USER_LOCK));  // no entry at all
    EXPECT_TRUE(dp_image_has_block(DP_BLOCK_PASS_KEY));
}

TEST_F(ImageTest, HeaderReadLeavesTheOneEntryCacheAlone) {
    DatImage built = HealthyImage().Variant(7).Block(DP_BLOCK_AES_CHECK, Bytes(16, 0x50)).Block(DP_BLOCK_PASS_KEY, Bytes(16, 0x70));
    Load(built.Build());
    EXPECT_EQ(dp_image_bytes(DP_BLOCK_AES_CHECK, 0, 1), 0x50u);
    // Spoil the directory entry of block 31: only a new walk would notice.
    const size_t directory = image[24];
    for (size_t i = 0; i < image[directory - 1]; ++i)
        if (image[directory + 9 * i] == DP_BLOCK_AES_CHECK) image[directory + 9 * i] = 0xEE;
    EXPECT_EQ(dp_image_bytes(DP_BLOCK_HEADER, DP_HEADER_VARIANT, 1), 7u);
    EXPECT_EQ(dp_image_bytes(DP_BLOCK_AES_CHECK, 1, 1), 0x51u);
    // Another block takes the cache; block 31 then needs a walk, which now fails.
    EXPECT_EQ(dp_image_bytes(DP_BLOCK_PASS_KEY, 0, 1), 0x70u);
    EXPECT_FALSE(dp_image_has_block(DP_BLOCK_AES_CHECK));
}

TEST_F(ImageTest, ReadsStopAtTheEndOfTheImage) {
    Load(HealthyImage().Block(DP_BLOCK_USER_LOCK, {0x11, 0x22}).Build());
    const uint32_t size = static_cast<uint32_t>(image.size());
    const uint32_t lastByte = image.back();
    EXPECT_EQ(dp_image_bytes(DP_BLOCK_HEADER, size - 1, 2), lastByte);
    EXPECT_EQ(dp_image_bytes(DP_BLOCK_HEADER, size, 4), 0u);
    EXPECT_EQ(g_dpState.returnBytes, 0u);
    EXPECT_EQ(dp_image_bytes(DP_BLOCK_HEADER, 0xFFFFFFFF, 4), 0u);
    EXPECT_EQ(dp_image_pointer(DP_BLOCK_HEADER, 0xFFFFFFFF), nullptr);
    // Block 32 is followed only by the CRC: a 4-byte read takes its 2 bytes
    // and the CRC, nothing beyond.
    const uint32_t crc = image[size - 2] | image[size - 1] << 8;
    EXPECT_EQ(dp_image_bytes(DP_BLOCK_USER_LOCK, 0, 4), 0x2211u | crc << 16);
    EXPECT_EQ(dp_image_bytes(DP_BLOCK_USER_LOCK, 3, 4), uint32_t{image[size - 1]});
}

TEST_F(ImageTest, ReadsAreBoundedByTheLoadedBytesWhateverTheHeaderSays) {
    DatImage built = HealthyImage().Block(DP_BLOCK_USER_LOCK, {0x11, 0x22, 0x33});
    std::vector<uint8_t> bytes = built.SizeField(0x7FFFFFFF).Build();
    const uint32_t lock = built.OffsetOf(DP_BLOCK_USER_LOCK);
    bytes.resize(lock + 2);  // the image ends inside block 32
    Load(bytes);
    EXPECT_EQ(dp_image_bytes(DP_BLOCK_USER_LOCK, 0, 4), 0x2211u);
    EXPECT_EQ(g_dpState.imageSize, 0x7FFFFFFFu);  // the walk took the header's word
    EXPECT_EQ(dp_image_bytes(DP_BLOCK_USER_LOCK, 2, 1), 0u);
    EXPECT_EQ(g_dpState.returnBytes, 0u);

    // A header that records fewer bytes than were loaded ends the image early.
    std::vector<uint8_t> shorter = HealthyImage().Block(DP_BLOCK_USER_LOCK, {0x11, 0x22, 0x33}).Build();
    shorter[25] = static_cast<uint8_t>(lock + 1);
    shorter[26] = static_cast<uint8_t>((lock + 1) >> 8);
    shorter[27] = shorter[28] = 0;
    Load(shorter);
    EXPECT_EQ(dp_image_bytes(DP_BLOCK_USER_LOCK, 0, 3), 0x11u);
}

TEST_F(ImageTest, BlockOffsetBeyondTheImageReadsAsAbsent) {
    Load(HealthyImage().RawEntry(DP_BLOCK_SILSIG, 0xFFFFFFF0).Build());
    EXPECT_FALSE(dp_image_has_block(DP_BLOCK_SILSIG));
    EXPECT_EQ(dp_image_bytes(DP_BLOCK_SILSIG, 0x20, 4), 0u);  // no wrap around 2^32
}

TEST_F(ImageTest, AnyNonZeroSupportByteSetsItsFlag) {
    for (unsigned i = 0; i < 16; ++i) {
        for (uint8_t value : {0x01, 0x80, 0xFF}) {
            DatImage built;
            built.Support(0).SupportByte(i, value);
            Load(built.Build());
            dp_load_support_flags();
            EXPECT_EQ(g_dpState.supportFlags, 1u << i) << "byte " << i << " value " << int(value);
        }
    }
}

TEST_F(ImageTest, Crc16KermitCheckValue) {
    const char* digits = "123456789";
    EXPECT_EQ(dp_crc16_kermit(reinterpret_cast<const uint8_t*>(digits), 9), 0x2189);
    EXPECT_EQ(dp_crc16_kermit(nullptr, 0), 0);
}

TEST_F(ImageTest, CrcMismatchTracesBothValuesAndStopsBeforeTheDevice) {
    std::vector<uint8_t> bytes = HealthyImage().Build();
    const uint16_t stored = bytes[bytes.size() - 2] | bytes[bytes.size() - 1] << 8;
    bytes[40] ^= 0x01;  // a support byte changes after the CRC was sealed
    const uint16_t computed = dp_crc16_kermit(bytes.data(), static_cast<uint32_t>(bytes.size() - 2));
    ASSERT_NE(computed, stored);
    Load(bytes);
    EXPECT_EQ(Run("read_idcode"), DPE_IMAGE_CRC_MISMATCH);
    char expected[128];
    snprintf(expected, sizeof expected, "\r\nCRC verification failed.  Expected CRC = %X Actual CRC = %X\r\n", computed,
             stored);
    EXPECT_EQ(trace->Text(), expected);
    EXPECT_TRUE(box.Transfers().empty());
}

TEST_F(ImageTest, ImagesThatCannotHoldTheirCrcFailTheCheck) {
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    std::vector<uint8_t> truncated = HealthyImage().Build();
    truncated.pop_back();
    std::vector<uint8_t> zeroSize = HealthyImage().SizeField(0).Build();
    const Case cases[] = {
        {"no image", {}},
        {"two bytes", {0x00, 0x00}},
        {"header larger than the loaded bytes", truncated},
        {"size field 0", zeroSize},
    };
    for (const Case& c : cases) {
        dp_reset_state();
        trace->Clear();
        if (c.bytes.empty()) {
            g_fpgaData = nullptr;
            g_fpgaSize = 0;
            g_dpState.actionCode = DP_ACTION_READ_IDCODE;
            EXPECT_EQ(dp_engine_run(), DPE_IMAGE_CRC_MISMATCH) << c.what;
        } else {
            Load(c.bytes);
            EXPECT_EQ(Run("read_idcode"), DPE_IMAGE_CRC_MISMATCH) << c.what;
        }
        EXPECT_TRUE(trace->Contains("\r\nCRC verification failed.  Expected CRC = ")) << c.what;
    }
    EXPECT_TRUE(box.Transfers().empty());
}

TEST_F(ImageTest, TheCrcVerdictIsTheSameOnEveryRun) {
    Load(HealthyImage().Build());
    for (int run = 0; run < 3; ++run) {
        dp_crc_check_image();
        EXPECT_EQ(g_dpState.errorCode, DPE_SUCCESS) << "run " << run;
        dp_block_lookup(DP_BLOCK_CHECKSUM);
    }
}

// ---- Image-fed shifts ----

TEST_F(ImageTest, ShiftFromAMissingBlockWritesItsLinesAndShiftsNothing) {
    Load(HealthyImage().Build());
    dp_get_and_shift_in(DP_BLOCK_RLOCK, 128, 0);
    EXPECT_EQ(trace->Text(), "\r\n dp_get_and_shift_in()...return_bytes < requested_bytes ");
    trace->Clear();
    uint8_t capture[16] = {};
    dp_get_and_shift_in_out(DP_BLOCK_RLOCK, 128, 0, capture);
    EXPECT_EQ(trace->Text(),
              "\r\n dp_get_and_shift_in_out()...return_bytes < requested_bytes "
              "\r\nError: Page buffer size is not big enough...");
    EXPECT_TRUE(box.Transfers().empty());
    EXPECT_EQ(g_dpState.errorCode, DPE_SUCCESS);
}

TEST_F(ImageTest, ABoundaryScanRowGoesOutInOneShift) {
    const std::vector<uint8_t> bsr = Bytes(132, 1);
    Load(HealthyImage().Block(DP_BLOCK_BSR, bsr).Build());
    dp_get_and_shift_in(DP_BLOCK_BSR, 1056, 0);
    ASSERT_EQ(box.scans.size(), 1u);
    EXPECT_EQ(box.scans[0].bits, 1056u);
    EXPECT_EQ(box.scans[0].bitOffset, 0u);
    EXPECT_EQ(box.scans[0].in, bsr);
    // Command report with 48 bytes, then two reports 2 (48 and 36 bytes).
    ASSERT_EQ(box.Transfers().size(), 3u);
    const std::vector<uint8_t> command = box.Transfers()[0].bytes;
    EXPECT_EQ(command[1], 0xF1);
    EXPECT_EQ(command[10], 0);
    EXPECT_EQ(command[11], 1);
    EXPECT_EQ(command[12] | command[13] << 8, 1056);
}

TEST_F(ImageTest, ShiftStartsAtTheByteHoldingTheStartBit) {
    const std::vector<uint8_t> rows = Bytes(32, 0x40);
    DatImage built = HealthyImage().Block(DP_BLOCK_RLOCK, rows);
    Load(built.Build());
    dp_get_and_shift_in(DP_BLOCK_RLOCK, 20, 13);
    ASSERT_EQ(box.Transfers().size(), 1u);
    const std::vector<uint8_t> command = box.Transfers()[0].bytes;
    EXPECT_EQ(command[10], 5);                    // bit offset 13 mod 8
    EXPECT_EQ(command[12] | command[13] << 8, 20);
    // (5 + 20 + 7) / 8 = 4 bytes from block byte 1 on.
    EXPECT_EQ(std::vector<uint8_t>(command.begin() + 16, command.begin() + 20),
              std::vector<uint8_t>(rows.begin() + 1, rows.begin() + 5));
    EXPECT_EQ(command[20], 0);  // nothing beyond the requested bytes
    EXPECT_EQ(g_dpState.requestedBytes, 4u);
    EXPECT_EQ(g_dpState.pagePointer, image.data() + built.OffsetOf(DP_BLOCK_RLOCK) + 1);
}

TEST_F(ImageTest, ShiftInOutIgnoresTheSubByteStartBit) {
    const std::vector<uint8_t> key = Bytes(16, 0x90);
    Load(HealthyImage().Block(DP_BLOCK_AES_CHECK, key).Build());
    uint8_t capture[2] = {0xAA, 0xAA};
    box.answers[0] = {0x5A, 0xA5};
    dp_get_and_shift_in_out(DP_BLOCK_AES_CHECK, 16, 13, capture);
    ASSERT_EQ(box.scans.size(), 1u);
    EXPECT_EQ(box.scans[0].in, std::vector<uint8_t>({key[1], key[2]}));
    EXPECT_EQ(capture[0], 0x5A);
    EXPECT_EQ(capture[1], 0xA5);
}

TEST_F(ImageTest, ShiftThatWouldRunPastTheImageEndIsRefused) {
    // Block 32 is the last block: 3 bytes and the 2-byte CRC remain.
    Load(HealthyImage().Block(DP_BLOCK_USER_LOCK, {1, 2, 3}).Build());
    dp_get_and_shift_in(DP_BLOCK_USER_LOCK, 41, 0);  // 6 bytes
    EXPECT_TRUE(trace->Contains("dp_get_and_shift_in()...return_bytes < requested_bytes"));
    EXPECT_TRUE(box.Transfers().empty());
    dp_get_and_shift_in(DP_BLOCK_USER_LOCK, 37, 3);  // bits 3..39: exactly 5 bytes
    EXPECT_EQ(box.Transfers().size(), 1u);
    uint8_t capture[8];
    trace->Clear();
    dp_get_and_shift_in_out(DP_BLOCK_USER_LOCK, 48, 0, capture);
    EXPECT_TRUE(trace->Contains("Page buffer size is not big enough"));
    EXPECT_EQ(box.Transfers().size(), 1u);
}

TEST_F(ImageTest, ArrayRowShiftsTraceTheirPage) {
    DatImage built = HealthyImage().Block(DP_BLOCK_ARRAY_ROWS, {0xAB, 0x0C, 0xDE, 0xF0});
    Load(built.Build());
    dp_get_and_shift_in(DP_BLOCK_ARRAY_ROWS, 16, 10);
    char expected[160];
    snprintf(expected, sizeof expected,
             "page_start_bit_index=2   bits_to_shift=16   page_buffer_ptr=%u   terminate=1\r\n  CDEF0",
             built.OffsetOf(DP_BLOCK_ARRAY_ROWS) + 1);
    EXPECT_EQ(trace->Text(), expected);
}

TEST_F(ImageTest, ArrayRowTraceNeverReadsPastTheImage) {
    // The 8-bit row sits on the last byte before the CRC; its trace shows
    // the bytes that exist and nothing beyond the image.
    std::vector<uint8_t> bytes = HealthyImage().Block(DP_BLOCK_ARRAY_ROWS, {0x7E}).Build();
    bytes.resize(bytes.size() - 2);  // drop the CRC: the row is the last byte
    Load(bytes);
    dp_get_and_shift_in(DP_BLOCK_ARRAY_ROWS, 8, 0);
    EXPECT_TRUE(trace->Contains("\r\n  7E00")) << trace->Text();
}

}  // namespace
}  // namespace vexu::test
