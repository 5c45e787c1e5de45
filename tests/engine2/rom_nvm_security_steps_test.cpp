// FlashROM, NVM and security steps against the scripted box: which image
// bits go to which page, word and register, in which order, and the codes
// of the steps' own checks.
#include <algorithm>

#include "engine/dp_composite.h"
#include "step_fixture.h"

namespace vexu::test {
namespace {

class RomNvmSecurityTest : public StepTest {
protected:
    // (instruction, data) of every data scan with data under the instructions.
    std::vector<std::pair<uint8_t, std::vector<uint8_t>>> DataIn(std::initializer_list<uint8_t> irs) const {
        std::vector<std::pair<uint8_t, std::vector<uint8_t>>> found;
        for (const JtagScan& scan : box.scans) {
            if (scan.instruction || scan.in.empty()) continue;
            if (std::find(irs.begin(), irs.end(), scan.ir) != irs.end()) found.push_back({scan.ir, scan.in});
        }
        return found;
    }
};

std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, size_t from, size_t count) {
    return std::vector<uint8_t>(bytes.begin() + from, bytes.begin() + from + count);
}

TEST_F(RomNvmSecurityTest, FlashRomPagesTakeTheirBitsInImageOrder) {
    const std::vector<uint8_t> pages = Pattern(64, 0x40);
    struct Case {
        const char* what;
        uint8_t mask;
        bool encrypted;
        std::vector<std::pair<uint8_t, std::vector<uint8_t>>> scans;
    };
    const Case cases[] = {
        // Plain: highest page first, a page select before each page.
        {"plain 0x05", 0x05, false,
         {{0x9F, {2}}, {0x9B, Slice(pages, 0, 16)}, {0x9F, {0}}, {0x9B, Slice(pages, 16, 16)}}},
        // Encrypted: lowest page first, two frames each, no page select.
        {"encrypted 0x05", 0x05, true,
         {{0xA5, Slice(pages, 0, 16)},
          {0xA6, Slice(pages, 16, 16)},
          {0xA5, Slice(pages, 32, 16)},
          {0xA6, Slice(pages, 48, 16)}}},
        {"plain 0", 0x00, false, {}},
        {"encrypted 0", 0x00, true, {}},
    };
    for (const Case& c : cases) {
        DatImage image = HealthyImage();
        image.Support(DP_SUPPORT_FROM | (c.encrypted ? DP_SUPPORT_FROM_ENCRYPTED : 0));
        image.Block(DP_BLOCK_FROM_MASK, {c.mask});
        image.Block(DP_BLOCK_FROM_PAGES, pages);
        Prepare(image.Build());
        if (c.encrypted)
            dp_rom_write_enc();
        else
            dp_rom_write();
        EXPECT_EQ(g_dpState.errorCode, DPE_SUCCESS) << c.what;
        EXPECT_EQ(DataIn({0x9F, 0x9B, 0xA5, 0xA6}), c.scans) << c.what;
        // One busy poll per page; a decryptor reset before every encrypted page.
        EXPECT_EQ(InstructionCount(0x84), c.scans.size() / 2) << c.what;
        EXPECT_EQ(InstructionCount(0xDD), c.encrypted ? c.scans.size() / 2 : 0u) << c.what;
    }

    // The compare reads each page's result after its own poll; a result
    // without both low bits set is code 20 at that page.
    DatImage image = HealthyImage();
    image.Support(DP_SUPPORT_FROM).Block(DP_BLOCK_FROM_MASK, {0x05}).Block(DP_BLOCK_FROM_PAGES, pages);
    Prepare(image.Build());
    box.answers[0x9C] = {0x03};
    dp_rom_check();
    EXPECT_EQ(g_dpState.errorCode, DPE_SUCCESS);
    EXPECT_EQ(DataIn({0x9F, 0x9C}), (std::vector<std::pair<uint8_t, std::vector<uint8_t>>>{
                                        {0x9F, {2}}, {0x9C, Slice(pages, 0, 16)}, {0x9F, {0}}, {0x9C, Slice(pages, 16, 16)}}));
    Prepare(image.Build());
    box.answers[0x9C] = {0x01};
    dp_rom_check();
    EXPECT_EQ(g_dpState.errorCode, DPE_FROM_VERIFY_FAILED);
    EXPECT_EQ(DataIn({0x9C}).size(), 1u);  // page 2 only
    EXPECT_EQ(trace->Text(), "\r\nVerifying FlashROM...");
}

// The five image blocks of NVM block k for the segments.
struct Segment {
    uint32_t start;
    uint8_t pageValue;
    uint32_t words;
};

// dataWords: words of data in the image (default: what the segments name).
DatImage NvmImage(uint8_t k, const std::vector<Segment>& segments, bool encrypted = false, int64_t dataWords = -1,
                  int64_t announcedSegments = -1) {
    std::vector<uint8_t> counts, count, addresses((22 * segments.size() + 7) / 8 + 4, 0), values(4, 0), data;
    const size_t announced = announcedSegments >= 0 ? static_cast<size_t>(announcedSegments) : segments.size();
    count = {static_cast<uint8_t>(announced), static_cast<uint8_t>(announced >> 8)};
    uint32_t totalWords = 0;
    for (size_t s = 0; s < segments.size(); ++s) {
        const std::vector<uint8_t> le = Le32(segments[s].words);
        counts.insert(counts.end(), le.begin(), le.end());
        for (unsigned bit = 0; bit < 22; ++bit)
            if (segments[s].start >> bit & 1) addresses[(22 * s + bit) / 8] |= 1 << ((22 * s + bit) % 8);
        for (unsigned bit = 0; bit < 3; ++bit)
            if (segments[s].pageValue >> bit & 1) values[(3 * s + bit) / 8] |= 1 << ((3 * s + bit) % 8);
        totalWords += segments[s].words;
    }
    if (dataWords >= 0) totalWords = static_cast<uint32_t>(dataWords);
    data = Pattern(encrypted ? totalWords / 32 * 256 + 256 : 4 * totalWords, 0x21);
    if (encrypted) values = Pattern(16 * (totalWords / 32 + 1), 0x77);
    DatImage image = HealthyImage(kClass2DeviceId);
    image.Support(DP_SUPPORT_NVM(k) | (encrypted ? DP_SUPPORT_NVM_ENCRYPTED(k) : DP_SUPPORT_NVM_VERIFY));
    image.Block(dp_nvm_image_block(k, DP_NVM_WORD_COUNTS), counts);
    image.Block(dp_nvm_image_block(k, DP_NVM_SEGMENT_COUNT), count);
    image.Block(dp_nvm_image_block(k, DP_NVM_START_ADDRESSES), addresses);
    image.Block(dp_nvm_image_block(k, DP_NVM_DATA), data);
    image.Block(dp_nvm_image_block(k, DP_NVM_PAGE_VALUES), values);
    return image;
}

uint64_t Register35(const std::vector<uint8_t>& bytes) {
    uint64_t value = 0;
    for (size_t i = 0; i < bytes.size() && i < 5; ++i) value |= uint64_t{bytes[i]} << (8 * i);
    return value & ((uint64_t{1} << 35) - 1);
}

TEST_F(RomNvmSecurityTest, PlainNvmProgrammingLoadsEveryWordAndProgramsWholePages) {
    // Segments: 40 words (one whole page and 8 more), none, 64 words.
    Prepare(NvmImage(1, {{0x12345, 5, 40}, {0x2A000, 1, 0}, {0x00100, 2, 64}}).Build(), kClass2DeviceId);
    dp_nvm_write(1);
    ASSERT_EQ(g_dpState.errorCode, DPE_SUCCESS);
    EXPECT_EQ(trace->Text(), "\r\nProgramming NVM block 1");
    // Every segment loads its address register, also the one without words:
    // bit 12 and the start address from bit 13.
    std::vector<uint64_t> loads;
    for (const JtagScan& scan : DataScans(0xB8))
        if (scan.out.empty()) loads.push_back(Register35(scan.in));
    EXPECT_EQ(loads, (std::vector<uint64_t>{0x1000 | uint64_t{0x12345} << 13, 0x1000 | uint64_t{0x2A000} << 13,
                                            0x1000 | uint64_t{0x00100} << 13}));
    // 104 words, each 32 bits of the data block in order.
    const std::vector<JtagScan> words = DataScans(0xB9);
    ASSERT_EQ(words.size(), 104u);
    const std::vector<uint8_t> data = Pattern(4 * 104, 0x21);
    for (size_t w = 0; w < words.size(); ++w) EXPECT_EQ(words[w].in, Slice(data, 4 * w, 4)) << w;
    // Pages programmed: two for the first segment (a whole page, then its
    // last 8 words), two for the third, with the segment's value in bits 2-4.
    std::vector<uint8_t> programs;
    for (const JtagScan& scan : DataScans(0xBA))
        if (scan.out.empty()) programs.push_back(scan.in.at(0));
    EXPECT_EQ(programs, (std::vector<uint8_t>{5 << 2, 5 << 2, 2 << 2, 2 << 2}));
    // No "." before the hundredth word of a segment.
    const std::vector<std::string> lines = trace->Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "."), 0);
}

TEST_F(RomNvmSecurityTest, PlainNvmVerifyAddressesEveryWordAndReadsAheadAtEachPage) {
    Prepare(NvmImage(0, {{0x00400, 3, 64}}).Build(), kClass2DeviceId);
    const std::vector<uint8_t> data = Pattern(4 * 64, 0x21);
    // The device returns the word the last address load named.
    extra = [&](uint8_t ir, unsigned, const std::vector<uint8_t>&) -> std::vector<uint8_t> {
        if (ir != 0xB7) return {};
        const std::vector<uint8_t> address = box.LastDataIn(0xB8);
        const uint64_t reg = Register35(address);
        const uint32_t word = static_cast<uint32_t>((reg >> 15) & 31) + 32 * static_cast<uint32_t>((reg >> 21) - 4);
        std::vector<uint8_t> out = Slice(data, 4 * word, 4);
        out.push_back(0);
        return out;
    };
    dp_nvm_check(0);
    ASSERT_EQ(g_dpState.errorCode, DPE_SUCCESS) << trace->Text();
    // One read start per word, and 32 more before word 32.
    size_t readStarts = 0;
    for (const JtagScan& scan : DataScans(0xB7)) readStarts += !scan.in.empty();
    EXPECT_EQ(readStarts, 64u + 32u);
    // Verify addresses: bit 12, word index in bits 15-19, page from bit 21.
    std::vector<uint64_t> loads;
    for (const JtagScan& scan : DataScans(0xB8))
        if (scan.out.empty()) loads.push_back(Register35(scan.in));
    ASSERT_EQ(loads.size(), 64u);
    EXPECT_EQ(loads[0], 0x1000u | uint64_t{4} << 21);
    EXPECT_EQ(loads[31], 0x1000u | uint64_t{31} << 15 | uint64_t{4} << 21);
    EXPECT_EQ(loads[32], 0x1000u | uint64_t{5} << 21);
    // A "." (and its posted text) at words 0 of the segment only.
    const std::vector<std::string> lines = trace->Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "."), 1);
    EXPECT_EQ(window.Count(WM_RUN_TEXT), 1u);
    EXPECT_EQ(GetMsgText(), ".");
}

TEST_F(RomNvmSecurityTest, EncryptedNvmSendsWholePagesAsFramesAndATrailer) {
    // 70 words: two whole pages; the six words left are not sent.
    Prepare(NvmImage(2, {{0x80000, 0, 70}}, true).Build(), kClass2DeviceId);
    dp_nvm_write_enc(2);
    ASSERT_EQ(g_dpState.errorCode, DPE_SUCCESS);
    const auto frames = DataIn({0x0C, 0x0D});
    ASSERT_EQ(frames.size(), 34u);
    const std::vector<uint8_t> data = Pattern(2 * 256 + 256, 0x21);
    const std::vector<uint8_t> trailers = Pattern(16 * 3, 0x77);
    for (size_t page = 0; page < 2; ++page) {
        for (size_t f = 0; f < 16; ++f) {
            EXPECT_EQ(frames[17 * page + f], (std::pair<uint8_t, std::vector<uint8_t>>{
                                                  0x0C, Slice(data, 256 * page + 16 * f, 16)}));
        }
        EXPECT_EQ(frames[17 * page + 16],
                  (std::pair<uint8_t, std::vector<uint8_t>>{0x0D, Slice(trailers, 16 * page, 16)}));
    }
    EXPECT_EQ(InstructionCount(0xDD), 1u);  // one decryptor reset per segment

    // A refused frame (captured bit 4) ends the block with code 41.
    Prepare(NvmImage(2, {{0x80000, 0, 64}}, true).Build(), kClass2DeviceId);
    size_t offered = 0;
    extra = [&](uint8_t ir, unsigned, const std::vector<uint8_t>&) -> std::vector<uint8_t> {
        if (ir != 0x0C && ir != 0x0D) return {};
        return {static_cast<uint8_t>(++offered == 20 ? 0x10 : 0x00)};
    };
    dp_nvm_write_enc(2);
    EXPECT_EQ(g_dpState.errorCode, DPE_NVM_PROGRAM_FAILED);
    EXPECT_EQ(offered, 20u);
}

TEST_F(RomNvmSecurityTest, NvmSegmentsThatRunPastTheImageAreRefused) {
    // A word count far beyond the data the image holds: nothing is sent for
    // the segment, and the step stops with its code.
    struct Case {
        const char* what;
        bool encrypted;
        void (*step)(uint8_t);
        uint8_t code;
    };
    const Case cases[] = {
        {"plain programming", false, dp_nvm_write, DPE_NVM_PROGRAM_FAILED},
        {"verify", false, dp_nvm_check, 39},
        {"encrypted programming", true, dp_nvm_write_enc, DPE_NVM_PROGRAM_FAILED},
    };
    for (const Case& c : cases) {
        Prepare(NvmImage(0, {{0x00000, 0, 0x40000000}}, c.encrypted, 64).Build(), kClass2DeviceId);
        c.step(0);
        EXPECT_EQ(g_dpState.errorCode, c.code) << c.what;
        EXPECT_TRUE(box.Transfers().empty()) << c.what;
        EXPECT_EQ(trace->Text(), std::string(c.step == dp_nvm_check ? "\r\nVerifying" : "\r\nProgramming") +
                                     " NVM block 0\r\nNVM data missing from the data file.")
            << c.what;
    }
}

TEST_F(RomNvmSecurityTest, NvmSegmentCountBeyondTheSegmentTablesIsRefused) {
    // The image holds the tables of two empty segments but announces 65535:
    // refused before anything is sent, instead of loading and polling the
    // address register 65535 times for segments that are not there.
    struct Case {
        const char* what;
        bool encrypted;
        void (*step)(uint8_t);
        uint8_t code;
    };
    const Case cases[] = {
        {"plain programming", false, dp_nvm_write, DPE_NVM_PROGRAM_FAILED},
        {"verify", false, dp_nvm_check, 39},
        {"encrypted programming", true, dp_nvm_write_enc, DPE_NVM_PROGRAM_FAILED},
    };
    for (const Case& c : cases) {
        Prepare(NvmImage(3, {{0x00100, 1, 0}, {0x00200, 2, 0}}, c.encrypted, -1, 0xFFFF).Build(), kClass2DeviceId);
        c.step(3);
        EXPECT_EQ(g_dpState.errorCode, c.code) << c.what;
        EXPECT_TRUE(box.Transfers().empty()) << c.what;
        EXPECT_EQ(trace->Text(), std::string(c.step == dp_nvm_check ? "\r\nVerifying" : "\r\nProgramming") +
                                     " NVM block 3\r\nNVM data missing from the data file.")
            << c.what;
    }
    // The same two segments announced as two go through.
    for (const Case& c : cases) {
        Prepare(NvmImage(3, {{0x00100, 1, 0}, {0x00200, 2, 0}}, c.encrypted).Build(), kClass2DeviceId);
        c.step(3);
        EXPECT_EQ(g_dpState.errorCode, DPE_SUCCESS) << c.what << trace->Text();
    }
}

TEST_F(RomNvmSecurityTest, SecurityRegisterImagesAndTheirReadBack) {
    struct Case {
        const char* what;
        uint32_t deviceId;
        std::vector<uint8_t> userLock;
        std::vector<uint8_t> settings;  // register shifted by the settings programming
        std::vector<uint8_t> silsig;    // register shifted by the SILSIG programming
    };
    // Signature 0x87654321; device security word 0x00ABCDEF plus flags.
    const Case cases[] = {
        {"class 2", kClass2DeviceId, {0x11, 0x22, 0xF3},
         {0x11, 0xA2, 0x33, 0x21, 0x43, 0x65, 0x87}, {0xEF, 0xCD, 0xAB, 0x21, 0x43, 0x65, 0x87}},
        {"class 1", kTestDeviceId, {0x11, 0x2E},
         {0x15, 0x22 | 0x10, 0x32, 0x54, 0x76, 0x08}, {0xBC, 0x0A | 0x10, 0x32, 0x54, 0x76, 0x08}},
    };
    for (const Case& c : cases) {
        DatImage image = HealthyImage(c.deviceId);
        image.Support(DP_SUPPORT_SECURITY).Block(DP_BLOCK_SILSIG, Le32(0x87654321)).Block(DP_BLOCK_USER_LOCK, c.userLock);
        Prepare(image.Build(), c.deviceId);
        g_dpState.securityWord = 0x00ABCDEF | DP_SEC_PASS_KEY_MATCHED;
        dp_sec_write_settings();
        EXPECT_EQ(g_dpState.errorCode, DPE_SUCCESS) << c.what;
        EXPECT_EQ(box.LastDataIn(0xA3), c.settings) << c.what;
        dp_silsig_write();
        EXPECT_EQ(g_dpState.errorCode, DPE_SUCCESS) << c.what;
        EXPECT_EQ(box.LastDataIn(0xA3), c.silsig) << c.what;
    }

    // Read-back: the bits outside the compared masks may differ, others not.
    struct ReadBack {
        const char* what;
        uint32_t deviceId;
        size_t byte;
        uint8_t flip;
        uint8_t code;
    };
    const ReadBack readBacks[] = {
        {"class 2 byte 2 bits 6-7", kClass2DeviceId, 2, 0xC0, DPE_SUCCESS},
        {"class 2 byte 2 bit 5", kClass2DeviceId, 2, 0x20, DPE_SECURITY_PROGRAM_FAILED},
        {"class 2 byte 6", kClass2DeviceId, 6, 0x01, DPE_SECURITY_PROGRAM_FAILED},
        {"class 1 byte 1 bits 2-3", kTestDeviceId, 1, 0x0C, DPE_SUCCESS},
        {"class 1 byte 5 high half", kTestDeviceId, 5, 0xF0, DPE_SUCCESS},
        {"class 1 byte 5 bit 0", kTestDeviceId, 5, 0x01, DPE_SECURITY_PROGRAM_FAILED},
        {"class 1 byte 0", kTestDeviceId, 0, 0x80, DPE_SECURITY_PROGRAM_FAILED},
    };
    for (const ReadBack& r : readBacks) {
        DatImage image = HealthyImage(r.deviceId);
        image.Support(DP_SUPPORT_SECURITY).Block(DP_BLOCK_SILSIG, Le32(0x87654321)).Block(DP_BLOCK_USER_LOCK, {1, 2, 3});
        Prepare(image.Build(), r.deviceId);
        extra = [&](uint8_t ir, unsigned, const std::vector<uint8_t>&) -> std::vector<uint8_t> {
            if (ir != 0xA4) return {};
            std::vector<uint8_t> held = box.LastDataIn(0xA3);
            held.at(r.byte) ^= r.flip;
            return held;
        };
        dp_sec_write_settings();
        EXPECT_EQ(g_dpState.errorCode, r.code) << r.what;
        EXPECT_EQ(trace->Text(), "") << r.what;  // no text of its own
    }
}

TEST_F(RomNvmSecurityTest, SecurityProgrammingOrderAndItsFailures) {
    const std::vector<uint8_t> passKey = Pattern(16, 0x90);
    const std::vector<uint8_t> aesKey = Pattern(16, 0xA0);
    struct Case {
        const char* what;
        uint32_t support;
        uint8_t matchAnswer;   // two low bits of the pass-key presentation
        bool silsigPollBusy;   // the poll after the SILSIG programming never ends
        std::vector<uint8_t> instructions;
        uint8_t code;
    };
    const Case cases[] = {
        {"pass key only", DP_SUPPORT_SECURITY, 0x01, false, {0x8B, 0x84, 0x92, 0xA3, 0x84, 0xA4}, DPE_SUCCESS},
        {"with AES key", DP_SUPPORT_SECURITY | DP_SUPPORT_AES_KEY, 0x01, false,
         {0x8B, 0x84, 0x91, 0x84, 0xDD, 0x0A, 0x92, 0xA3, 0x84, 0xA4}, DPE_SUCCESS},
        // The key was programmed, but the device does not match it: no register.
        {"no match after programming", DP_SUPPORT_SECURITY, 0x03, false, {0x8B, 0x84, 0x92}, DPE_PASS_KEY_MISMATCH},
    };
    for (const Case& c : cases) {
        DatImage image = HealthyImage();
        image.Support(c.support).Block(DP_BLOCK_PASS_KEY, passKey).Block(DP_BLOCK_AES_KEY, aesKey);
        image.Block(DP_BLOCK_AES_CHECK, Pattern(16, 0xC0));
        image.Block(DP_BLOCK_USER_LOCK, {0, 0});
        Prepare(image.Build());
        // The pass key matched when the run began: the new match decides.
        g_dpState.securityWord = DP_SEC_PASS_KEY_MATCHED;
        box.answers[0x92] = {c.matchAnswer};
        dp_sec_write();
        EXPECT_EQ(g_dpState.errorCode, c.code) << c.what;
        EXPECT_EQ(box.Instructions(), c.instructions) << c.what;
        EXPECT_EQ(box.LastDataIn(0x8B), passKey) << c.what;
        EXPECT_EQ(trace->Text(), "\r\nProgramming Security...") << c.what;
    }

    // The SILSIG poll that runs out becomes code 16.
    DatImage image = HealthyImage();
    image.Support(DP_SUPPORT_ARRAY).Block(DP_BLOCK_SILSIG, Le32(1));
    Prepare(image.Build());
    box.answers[0x84] = {0x01};
    dp_silsig_write();
    EXPECT_EQ(g_dpState.errorCode, DPE_SECURITY_PROGRAM_FAILED);
    EXPECT_EQ(trace->Text(), "\r\nProgramming SILSIG...");
}

TEST_F(RomNvmSecurityTest, CompositeSequencesRunTheirStepsInOrder) {
    struct Case {
        const char* what;
        const char* action;
        uint32_t support;
        std::vector<const char*> titles;  // the steps' first lines, in order
        std::vector<const char*> absent;
        uint32_t eraseWord;  // 0: no erase
    };
    const Case cases[] = {
        {"array only", "program", DP_SUPPORT_ARRAY,
         {"\r\nErase...", "\r\nProgramming FPGA Array...", "\r\nVerifying FPGA Array...", "\r\nProgramming RLOCK...",
          "\r\nProgramming SILSIG..."},
         {"FlashROM", "NVM", "Programming Security"},
         0x004101},
        {"array and encrypted FlashROM", "verify", DP_SUPPORT_ARRAY | DP_SUPPORT_FROM | DP_SUPPORT_FROM_ENCRYPTED,
         {"\r\nVerifying FPGA Array..."}, {"FlashROM", "NVM", "Erase"}, 0},
        {"plain FlashROM", "verify", DP_SUPPORT_FROM, {"\r\nVerifying FlashROM..."}, {"FPGA Array", "Erase"}, 0},
    };
    for (const Case& c : cases) {
        DatImage image = ArrayImage(kTestDeviceId, 2, 1244);
        image.Support(c.support).Block(DP_BLOCK_FROM_MASK, {0x00});
        Load(image.Build());
        box.Reset();
        box.scans.clear();
        // Encrypted FlashROM data needs a device that takes it (bit 18).
        box.answers[0xA4] = {static_cast<uint8_t>(c.support & DP_SUPPORT_FROM_ENCRYPTED ? 0x40 : 0x00), 0x00};
        trace->Clear();
        EXPECT_EQ(Run(c.action), DPE_SUCCESS) << c.what;
        const std::string text = trace->Text();
        size_t at = 0;
        for (const char* title : c.titles) {
            const size_t found = text.find(title, at);
            EXPECT_NE(found, std::string::npos) << c.what << ": " << title;
            at = found == std::string::npos ? at : found;
        }
        for (const char* word : c.absent) EXPECT_EQ(text.find(word), std::string::npos) << c.what << ": " << word;
        EXPECT_EQ(ShiftedEraseWord(), c.eraseWord ? c.eraseWord : 0xFFFFFFFF) << c.what;
    }
}

}  // namespace
}  // namespace vexu::test
