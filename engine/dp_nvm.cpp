#include "engine/dp_nvm.h"

#include "engine/dp_image.h"
#include "engine/dp_jtag.h"
#include "engine/dp_state.h"

namespace {

constexpr uint8_t kInstrAddress = 0xB8;
constexpr uint8_t kInstrPageLoad = 0xB9;
constexpr uint8_t kInstrPageProgram = 0xBA;
constexpr uint8_t kInstrRead = 0xB7;
constexpr uint8_t kInstrEncryptedFrame = 0x0C;
constexpr uint8_t kInstrEncryptedTrailer = 0x0D;

constexpr uint32_t kAddressBits = 35;
constexpr uint32_t kPageFieldBits = 5;
constexpr uint64_t kAddressSelect = 1u << 12;
constexpr unsigned kProgramAddressShift = 13;
constexpr unsigned kVerifyWordShift = 15;
constexpr unsigned kVerifyPageShift = 21;
constexpr uint32_t kVerifyPageMask = 0x3FFF;
constexpr unsigned kPageOfAddressShift = 8;
constexpr uint8_t kAddressBusyBits = 0x06;  // address register bits 33-34, in byte 4
constexpr uint8_t kPageBusyBits = 0x1C;
constexpr uint8_t kFrameRefusedBit = 0x10;

constexpr unsigned kProgramPollTries = 10000;
constexpr unsigned kVerifyPollTries = 10001;
constexpr uint32_t kPollDelayUs = 100;
constexpr uint32_t kAddressSettleUs = 20;
constexpr uint32_t kReadSettleUs = 30;
constexpr uint32_t kEncryptedFrameDelayUs = 10000;
constexpr uint32_t kUnitsPerMark = 100;  // one "." per hundred words (plain) or pages (encrypted)

// NVM verification failed; the image lacks the words a segment names.
constexpr uint8_t kNvmVerifyFailed = 39;

uint8_t ImageBlock(uint8_t k, DpNvmPart part) { return dp_nvm_image_block(k, part); }

// A field of width bits at bit position bit of the block (width <= 25).
uint32_t ImageField(uint8_t blockId, uint32_t bit, unsigned width) {
    return (dp_image_bytes(blockId, bit / 8, 4) >> (bit % 8)) & ((1u << width) - 1);
}

uint32_t WordCount(uint8_t k, uint32_t segment) {
    return dp_image_bytes(ImageBlock(k, DP_NVM_WORD_COUNTS), 4 * segment, 4);
}
uint32_t StartAddress(uint8_t k, uint32_t segment) {
    return ImageField(ImageBlock(k, DP_NVM_START_ADDRESSES), 22 * segment, 22);
}
uint8_t PageProgramField(uint8_t k, uint32_t segment) {
    return static_cast<uint8_t>(ImageField(ImageBlock(k, DP_NVM_PAGE_VALUES), 3 * segment, 3) << 2);
}

// Prints the block's title and number, restarts the data and returns the
// number of segments.
uint32_t BeginBlock(const char* title, uint8_t k) {
    dp_trace_text(title);
    dp_trace_value(k, 1);
    g_dpState.dataBitIndex = 0;
    return dp_image_bytes(ImageBlock(k, DP_NVM_SEGMENT_COUNT), 0, 2);
}

// True when bits of the block from startBit lie inside the image. A word
// count that runs past the image's end is a damaged image: the segment is
// refused before anything is sent for it, instead of programming or
// comparing words that are not there.
bool InImage(uint8_t blockId, uint64_t startBit, uint64_t bits) {
    if (bits == 0) return true;
    if (startBit > UINT32_MAX) return false;
    dp_image_pointer(blockId, static_cast<uint32_t>(startBit));
    return g_dpState.returnBytes >= (startBit % 8 + bits + 7) / 8;
}

// True when the image holds the table entries of every segment the block
// announces: word counts, and where the step uses them the start addresses
// and the page-programming values. A segment count beyond its tables is a
// damaged image; taken as it stands it would send the address load and
// poll of up to 65535 segments that are not there.
enum SegmentTables : unsigned { kWordCounts = 0, kStartAddresses = 1, kPageValues = 2 };
bool SegmentTablesInImage(uint8_t k, uint32_t segments, unsigned tables) {
    if (!InImage(ImageBlock(k, DP_NVM_WORD_COUNTS), 0, 32ull * segments)) return false;
    if ((tables & kStartAddresses) && !InImage(ImageBlock(k, DP_NVM_START_ADDRESSES), 0, 22ull * segments))
        return false;
    return !(tables & kPageValues) || InImage(ImageBlock(k, DP_NVM_PAGE_VALUES), 0, 3ull * segments);
}

void RefuseMissingData(uint8_t code) {
    dp_trace_text("\r\nNVM data missing from the data file.");
    dp_fail(code);
}

void Mark() {
    dp_post_text(".", 0);
    dp_trace_text(".");
}

void SetAddressRegister(uint64_t value) {
    dp_clear_urow_buffer();
    for (unsigned i = 0; i < (kAddressBits + 7) / 8; ++i)
        g_dpState.urowBuffer[i] = static_cast<uint8_t>(value >> (8 * i));
}

void LoadAddressRegister() {
    dp_ir(kInstrAddress, DP_PAUSE_IR);
    dp_dr_in(kAddressBits, g_dpState.urowBuffer, DP_IDLE);
    dp_wait(3);
    dp_delay(kAddressSettleUs);
}

// Reads the address register back until its busy bits clear; programming
// clocks 3 cycles before every try.
bool PollAddressRegister(bool clockFirst, unsigned tries) {
    for (unsigned attempt = 0; attempt < tries; ++attempt) {
        if (clockFirst) dp_wait(3);
        dp_delay(kPollDelayUs);
        dp_dr_in_out(kAddressBits, g_dpState.urowBuffer, g_dpState.shiftBuffer, DP_PAUSE_DR);
        if ((g_dpState.shiftBuffer[4] & kAddressBusyBits) == 0) return true;
    }
    dp_fail(DPE_POLL_TIMEOUT);
    return false;
}

// Programs the filled page buffer and waits for the page to be written.
bool ProgramPage(uint8_t pageField) {
    dp_ir(kInstrPageProgram, DP_PAUSE_IR);
    dp_dr_in(kPageFieldBits, &pageField, DP_IDLE);
    dp_wait(3);
    for (unsigned attempt = 0; attempt < kProgramPollTries; ++attempt) {
        dp_delay(kPollDelayUs);
        g_dpState.statusByte = 0;
        dp_dr_in_out(kPageFieldBits, &pageField, &g_dpState.statusByte, DP_PAUSE_DR);
        if ((g_dpState.statusByte & kPageBusyBits) == 0) return true;
    }
    dp_fail(DPE_POLL_TIMEOUT);
    return false;
}

void StartRead() {
    dp_ir(kInstrRead, DP_PAUSE_IR);
    dp_dr_in(kAddressBits, nullptr, DP_IDLE);
    dp_wait(3);
}

uint32_t CapturedWord() {
    const uint8_t* b = g_dpState.shiftBuffer;
    return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

// Reads until the device returns the expected word; a word that never
// matches runs the poll out.
bool ReadWordMatches(uint32_t expected) {
    for (unsigned attempt = 0; attempt < kVerifyPollTries; ++attempt) {
        dp_dr_out(kAddressBits, g_dpState.shiftBuffer, DP_PAUSE_DR);
        if (CapturedWord() == expected) return true;
    }
    dp_fail(DPE_POLL_TIMEOUT);
    return false;
}

// One encrypted frame of the block's data or trailer; false when the device
// refused it.
bool SendEncryptedFrame(uint8_t instruction, uint8_t blockId, uint32_t startBit) {
    dp_ir(instruction, DP_PAUSE_IR);
    dp_block_in_out(blockId, DP_NVM_FRAME_BITS, startBit, g_dpState.shiftBuffer, DP_IDLE);
    dp_wait(3);
    dp_delay(kEncryptedFrameDelayUs);
    if (g_dpState.shiftBuffer[0] & kFrameRefusedBit) {
        dp_fail(DPE_NVM_PROGRAM_FAILED);
        return false;
    }
    return true;
}

}  // namespace

void dp_action_program_nvm() {
    for (uint8_t k = 0; k < DP_NVM_BLOCKS && !dp_failed(); ++k) {
        if (!(g_dpState.supportFlags & DP_SUPPORT_NVM(k))) continue;
        if (g_dpState.supportFlags & DP_SUPPORT_NVM_ENCRYPTED(k))
            dp_nvm_write_enc(k);
        else
            dp_nvm_write(k);
    }
}

void dp_action_verify_nvm() {
    for (uint8_t k = 0; k < DP_NVM_BLOCKS && !dp_failed(); ++k) {
        const uint32_t support = g_dpState.supportFlags;
        if ((support & DP_SUPPORT_NVM(k)) && !(support & DP_SUPPORT_NVM_ENCRYPTED(k))) dp_nvm_check(k);
    }
}

void dp_nvm_write(uint8_t k) {
    if (dp_failed()) return;
    const uint32_t segments = BeginBlock("\r\nProgramming NVM block ", k);
    if (!SegmentTablesInImage(k, segments, kStartAddresses | kPageValues))
        return RefuseMissingData(DPE_NVM_PROGRAM_FAILED);
    const uint8_t dataBlock = ImageBlock(k, DP_NVM_DATA);
    for (uint32_t segment = 0; segment < segments; ++segment) {
        const uint32_t words = WordCount(k, segment);
        const uint8_t pageField = PageProgramField(k, segment);
        if (!InImage(dataBlock, g_dpState.dataBitIndex, uint64_t{words} * DP_NVM_WORD_BITS))
            return RefuseMissingData(DPE_NVM_PROGRAM_FAILED);
        SetAddressRegister(kAddressSelect | uint64_t{StartAddress(k, segment)} << kProgramAddressShift);
        LoadAddressRegister();
        if (!PollAddressRegister(true, kProgramPollTries)) return;
        dp_ir(kInstrPageLoad, DP_PAUSE_IR);
        for (uint32_t word = 1; word <= words; ++word) {
            if (word % kUnitsPerMark == 0) Mark();
            dp_block_in(dataBlock, DP_NVM_WORD_BITS, DP_IDLE);
            dp_wait(3);
            g_dpState.dataBitIndex += DP_NVM_WORD_BITS;
            if (word % DP_NVM_PAGE_WORDS == 0 && !ProgramPage(pageField)) return;
            dp_ir(kInstrPageLoad, DP_PAUSE_IR);
        }
        // The words of a last partial page are programmed too: left in the
        // page buffer they would be lost while the run reports success.
        if (words % DP_NVM_PAGE_WORDS != 0 && !ProgramPage(pageField)) return;
    }
}

void dp_nvm_check(uint8_t k) {
    if (dp_failed()) return;
    const uint32_t segments = BeginBlock("\r\nVerifying NVM block ", k);
    if (!SegmentTablesInImage(k, segments, kStartAddresses)) return RefuseMissingData(kNvmVerifyFailed);
    const uint8_t dataBlock = ImageBlock(k, DP_NVM_DATA);
    for (uint32_t segment = 0; segment < segments; ++segment) {
        const uint32_t words = WordCount(k, segment);
        uint32_t page = StartAddress(k, segment) >> kPageOfAddressShift;
        if (!InImage(dataBlock, g_dpState.dataBitIndex, uint64_t{words} * DP_NVM_WORD_BITS))
            return RefuseMissingData(kNvmVerifyFailed);
        for (uint32_t word = 0; word < words; ++word) {
            if (word % kUnitsPerMark == 0) Mark();
            if (word % DP_NVM_PAGE_WORDS == 0 && word > 0) {
                ++page;
                for (uint32_t i = 0; i < DP_NVM_PAGE_WORDS; ++i) StartRead();
            }
            SetAddressRegister(kAddressSelect | uint64_t{word % DP_NVM_PAGE_WORDS} << kVerifyWordShift |
                               uint64_t{page & kVerifyPageMask} << kVerifyPageShift);
            LoadAddressRegister();
            if (!PollAddressRegister(false, kVerifyPollTries)) return;
            const uint32_t expected = dp_image_bytes(dataBlock, g_dpState.dataBitIndex / 8, 4);
            StartRead();
            dp_delay(kReadSettleUs);
            if (!ReadWordMatches(expected)) return;
            g_dpState.dataBitIndex += DP_NVM_WORD_BITS;
        }
    }
}

void dp_nvm_write_enc(uint8_t k) {
    if (dp_failed()) return;
    const uint32_t segments = BeginBlock("\r\nProgramming NVM block ", k);
    if (!SegmentTablesInImage(k, segments, kWordCounts)) return RefuseMissingData(DPE_NVM_PROGRAM_FAILED);
    const uint8_t dataBlock = ImageBlock(k, DP_NVM_DATA);
    const uint8_t trailerBlock = ImageBlock(k, DP_NVM_PAGE_VALUES);
    uint32_t trailerBitIndex = 0;
    for (uint32_t segment = 0; segment < segments; ++segment) {
        // Only whole pages travel encrypted.
        const uint32_t pages = WordCount(k, segment) / DP_NVM_PAGE_WORDS;
        if (!InImage(dataBlock, g_dpState.dataBitIndex, uint64_t{pages} * DP_NVM_FRAMES_PER_PAGE * DP_NVM_FRAME_BITS) ||
            !InImage(trailerBlock, trailerBitIndex, uint64_t{pages} * DP_NVM_FRAME_BITS))
            return RefuseMissingData(DPE_NVM_PROGRAM_FAILED);
        dp_decryptor_reset();
        for (uint32_t page = 1; page <= pages; ++page) {
            if (page % kUnitsPerMark == 0) Mark();
            for (uint32_t frame = 0; frame < DP_NVM_FRAMES_PER_PAGE; ++frame) {
                const uint32_t startBit = g_dpState.dataBitIndex;
                g_dpState.dataBitIndex += DP_NVM_FRAME_BITS;
                if (!SendEncryptedFrame(kInstrEncryptedFrame, dataBlock, startBit)) return;
            }
            if (!SendEncryptedFrame(kInstrEncryptedTrailer, trailerBlock, trailerBitIndex)) return;
            trailerBitIndex += DP_NVM_FRAME_BITS;
        }
    }
}
