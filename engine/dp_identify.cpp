#include "engine/dp_identify.h"

#include <cstring>

#include "engine/dp_image.h"
#include "engine/dp_jtag.h"
#include "engine/dp_state.h"

namespace {

constexpr const char* kRule = "\r\n==================================================";
constexpr unsigned kFlashRomPages = 8;
constexpr unsigned kCycleCountWrap = 1023;  // the 10-bit count skips 1023: 1022 -> 0, 1023 -> 1
constexpr uint8_t kUrowProgrammedFlag = 0x40;  // byte 3

// One line of the security report per set bit, in the order printed.
struct SecurityLine {
    uint32_t bit;
    const char* text;
    bool class2Only;
};

constexpr SecurityLine kSecurityLines[] = {
    {DP_SEC_FROM_WRITE_PROTECTED, "\r\nFlashROM Write/Erase protected by pass key.", false},
    {DP_SEC_FROM_READ_PROTECTED, "\r\nFlashROM Read protected by pass key.", false},
    {DP_SEC_ARRAY_WRITE_PROTECTED, "\r\nArray Write/Erase protected by pass key.", false},
    {DP_SEC_ARRAY_VERIFY_PROTECTED, "\r\nArray Verify protected by pass key.", false},
    {DP_SEC_FROM_ENCRYPTION, "\r\nEncrypted FlashROM Programming Enabled.", false},
    {DP_SEC_ARRAY_ENCRYPTION, "\r\nEncrypted FPGA Array Programming Enabled.", false},
    {DP_SEC_NVM_WRITE_PROTECTED(0), "\r\nNVM block 0 Write protected by pass key.", true},
    {DP_SEC_NVM_READ_PROTECTED(0), "\r\nNVM block 0 Read protected by pass key.", true},
    {DP_SEC_NVM_WRITE_PROTECTED(1), "\r\nNVM block 1 Write protected by pass key.", true},
    {DP_SEC_NVM_READ_PROTECTED(1), "\r\nNVM block 1 Read protected by pass key.", true},
    {DP_SEC_NVM_ENCRYPTION(0), "\r\nEncrypted NVM block 0 Programming Enabled.", true},
    {DP_SEC_NVM_ENCRYPTION(1), "\r\nEncrypted NVM block 1 Programming Enabled.", true},
};

// Instruction 0x9F selects a FlashROM or UROW page by its 3-bit number.
void SelectPage(uint8_t page, uint8_t endState) {
    dp_ir(0x9F, DP_PAUSE_IR);
    dp_dr_in(3, &page, endState);
}

// IR(0xA8) to idle, then the UROW into the buffer.
void ReadUrowInto(uint8_t* buffer) {
    dp_enter_mode_c0();
    dp_ir(0xA8, DP_IDLE);
    dp_wait(3);
    dp_delay(264);
    dp_dr_out(128, buffer, DP_PAUSE_DR);
}

uint8_t ImageByte(uint8_t block, uint32_t offset) { return static_cast<uint8_t>(dp_image_bytes(block, offset, 1)); }

}  // namespace

void dp_action_read_idcode() {
    dp_ir(0x0F, DP_IDLE);
    dp_dr_out(32, g_dpState.shiftBuffer, DP_PAUSE_DR);
    const uint8_t* b = g_dpState.shiftBuffer;
    dp_trace_text("\r\nIDCODE: ");
    dp_trace_value(uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24, 0);
}

void dp_action_device_info() {
    dp_report_silsig();
    dp_fetch_urow();
    dp_report_design_info();
    if (!(g_dpState.securityWord & DP_SEC_FROM_READ_PROTECTED) || (g_dpState.supportFlags & DP_SUPPORT_SECURITY))
        dp_rom_report();
    dp_report_factory_row();
    dp_report_security();
}

void dp_report_silsig() {
    dp_ir(0x0E, DP_IDLE);
    dp_wait(3);
    dp_dr_out(32, g_dpState.shiftBuffer, DP_PAUSE_DR);
    dp_trace_text("\r\nSILSIG: ");
    dp_trace_bytes(g_dpState.shiftBuffer, 4, 0);
}

void dp_fetch_urow() {
    ReadUrowInto(g_dpState.urowBuffer);
    const uint8_t* urow = g_dpState.urowBuffer;
    g_dpState.cycleCount = (urow[DP_UROW_CYCLE_LOW] >> 6) | (uint32_t{urow[DP_UROW_CYCLE_HIGH]} << 2);
    dp_trace_text("\r\nFPGA_SLOG_UROW = ");
    dp_trace_bytes(urow, DP_BUFFER_BYTES, 0);
}

void dp_report_design_info() {
    dp_trace_text("\r\nUser information: ");
    dp_trace_text("\r\nCYCLE COUNT: ");
    dp_trace_value(g_dpState.cycleCount, 1);
    dp_trace_text("\r\nCHECKSUM = ");
    dp_trace_bytes(&g_dpState.urowBuffer[DP_UROW_CHECKSUM], 2, 0);
    dp_trace_text("\r\nDesign Name = ");
    dp_trace_bytes(&g_dpState.urowBuffer[DP_UROW_DESIGN_NAME], DP_UROW_DESIGN_NAME_BYTES, 0);
    dp_trace_text(kRule);
}

void dp_rom_report() {
    dp_trace_text("\r\n\nFlashROM Information: ");
    dp_enter_mode_c0();
    for (int page = kFlashRomPages - 1; page >= 0; --page) {
        SelectPage(static_cast<uint8_t>(page), DP_UPDATE_DR);
        dp_ir(0x93, DP_PAUSE_IR);
        dp_dr_in(128, nullptr, DP_IDLE);
        dp_wait(3);
        dp_delay(100);
        dp_dr_out(128, g_dpState.shiftBuffer, DP_PAUSE_DR);
        dp_trace_text("\r\n");
        dp_trace_bytes(g_dpState.shiftBuffer, DP_BUFFER_BYTES, 0);
    }
    dp_trace_text(kRule);
}

void dp_report_factory_row() {
    dp_trace_text("\r\nReading Factory Row...");
    dp_enter_mode_c0();
    dp_ir(0xF9, DP_PAUSE_IR);
    dp_dr_in(3, nullptr, DP_IDLE);
    dp_wait(3);
    dp_ir(0xBF, DP_IDLE);
    dp_wait(3);
    dp_delay(264);
    dp_dr_out(128, g_dpState.shiftBuffer, DP_PAUSE_DR);
    dp_trace_text("\r\nFSN: ");
    dp_trace_bytes(g_dpState.shiftBuffer, DP_BUFFER_BYTES, 0);
}

void dp_report_security() {
    dp_trace_text("\r\nSecurity Setting : ");
    for (const SecurityLine& line : kSecurityLines) {
        if (line.class2Only && g_dpState.deviceClass != 2) continue;
        if (g_dpState.securityWord & line.bit) dp_trace_text(line.text);
    }
    dp_trace_text(kRule);
}

void dp_write_urow() {
    dp_trace_text("\r\nProgramming UROW...");
    memset(g_dpState.shiftBuffer, 0xFF, sizeof g_dpState.shiftBuffer);
    for (uint8_t page = 0; page < kFlashRomPages; ++page) {
        SelectPage(page, DP_PAUSE_DR);
        dp_ir(0x9B, DP_PAUSE_IR);
        dp_dr_in(128, g_dpState.shiftBuffer, DP_IDLE);
        dp_wait(3);
        dp_delay(10000);
    }

    uint32_t& security = g_dpState.securityWord;
    uint8_t* urow = g_dpState.urowBuffer;
    if (!(security & DP_SEC_ERASED_IN_RUN)) {
        uint32_t next = g_dpState.cycleCount + 1;
        if (next == kCycleCountWrap) next = 0;
        else if (next == kCycleCountWrap + 1) next = 1;
        g_dpState.cycleCount = next;
    } else {
        memset(urow, 0xFF, DP_BUFFER_BYTES);
    }
    if ((security & DP_SEC_PASS_KEY_ZERO) && (security & DP_SEC_ARRAY_WRITE_PROTECTED))
        security |= DP_SEC_SECURITY_ERASED_IN_RUN;
    if (!(security & (DP_SEC_ERASED_IN_RUN | DP_SEC_SECURITY_ERASED_IN_RUN))) {
        urow[DP_UROW_CHECKSUM] = ImageByte(DP_BLOCK_CHECKSUM, 0);
        urow[DP_UROW_CHECKSUM + 1] = ImageByte(DP_BLOCK_CHECKSUM, 1);
        for (unsigned i = 0; i < DP_UROW_DESIGN_NAME_BYTES; ++i)
            urow[DP_UROW_DESIGN_NAME + i] = ImageByte(DP_BLOCK_DESIGN_NAME, i);
    }
    const uint32_t cycles = g_dpState.cycleCount;
    // The count replaces the one read before the erase; when the design
    // name is not rewritten (an erase of the security settings or the
    // FlashROM), byte 12 still holds the old count's bits.
    if (!(security & DP_SEC_ERASED_IN_RUN)) urow[DP_UROW_CYCLE_LOW] &= 0x3F;
    urow[DP_UROW_CYCLE_LOW] = static_cast<uint8_t>(urow[DP_UROW_CYCLE_LOW] | ((cycles << 6) & 0xFF));
    urow[DP_UROW_CYCLE_HIGH] = static_cast<uint8_t>((cycles >> 2) & 0xFF);
    urow[3] |= kUrowProgrammedFlag;

    dp_ir(0xA7, DP_PAUSE_IR);
    dp_dr_in(128, urow, DP_IDLE);
    dp_wait(3);
    dp_wait_ready();
    if (dp_failed()) {
        g_dpState.errorCode = DPE_UROW_PROGRAM_FAILED;
        return;
    }

    ReadUrowInto(g_dpState.shiftBuffer);
    if (memcmp(g_dpState.shiftBuffer, urow, DP_BUFFER_BYTES) != 0) {
        dp_fail(DPE_UROW_PROGRAM_FAILED);
        return;
    }
    g_dpState.urowWritten = 1;
    memcpy(g_dpState.urowProgrammed, urow, DP_BUFFER_BYTES);
}
