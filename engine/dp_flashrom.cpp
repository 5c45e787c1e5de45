#include "engine/dp_flashrom.h"

#include "engine/dp_array.h"
#include "engine/dp_image.h"
#include "engine/dp_jtag.h"
#include "engine/dp_state.h"

namespace {

constexpr uint8_t kInstrPageSelect = 0x9F;
constexpr uint8_t kInstrPageProgram = 0x9B;
constexpr uint8_t kInstrPageCompare = 0x9C;
constexpr uint8_t kInstrEncryptedFirstFrame = 0xA5;
constexpr uint8_t kInstrEncryptedSecondFrame = 0xA6;
constexpr uint32_t kPageNumberBits = 3;
constexpr uint8_t kCompareMatchBits = 0x03;
constexpr uint32_t kEncryptedFrameDelayUs = 48;

// Visits every page the image selects, stopping at the first failure: plain
// data is stored highest page first, encrypted data lowest page first.
template <typename Visit>
void ForSelectedPages(bool lowestFirst, Visit visit) {
    const uint8_t mask = dp_rom_page_mask();
    for (unsigned i = 0; i < DP_FROM_PAGES && !dp_failed(); ++i) {
        const uint8_t page = static_cast<uint8_t>(lowestFirst ? i : DP_FROM_PAGES - 1 - i);
        if (mask & (1u << page)) visit(page);
    }
}

void SelectPage(uint8_t page) {
    dp_ir(kInstrPageSelect, DP_PAUSE_IR);
    dp_dr_in(kPageNumberBits, &page, DP_UPDATE_DR);
}

// Shifts the page's next 128 image bits after the instruction.
void LoadPageBits(uint8_t instruction, uint8_t waitCycles) {
    dp_ir(instruction, DP_PAUSE_IR);
    dp_block_in(DP_BLOCK_FROM_PAGES, DP_FROM_PAGE_BITS, DP_IDLE);
    dp_wait(waitCycles);
}

}  // namespace

void dp_action_erase_from() {
    if (dp_failed()) return;
    g_dpState.securityWord |= DP_SEC_ERASED_IN_RUN | DP_SEC_SECURITY_ERASED_IN_RUN;
    dp_rom_erase();
}

void dp_action_program_from() {
    dp_rom_erase();
    dp_rom_program();
}

void dp_rom_program() {
    if (g_dpState.supportFlags & DP_SUPPORT_FROM_ENCRYPTED) {
        dp_rom_write_enc();
    } else {
        dp_rom_write();
        dp_rom_check();
    }
}

void dp_action_verify_from() {
    if (!(g_dpState.supportFlags & DP_SUPPORT_FROM_ENCRYPTED)) dp_rom_check();
}

void dp_rom_erase() {
    dp_erase_with("\r\nErase FlashROM...",
                  DP_ERASE_KEEP_UROW | uint32_t{dp_rom_page_mask()} << DP_ERASE_FROM_PAGE_SHIFT,
                  DP_SEC_ERASED_IN_RUN | DP_SEC_SECURITY_ERASED_IN_RUN);
}

void dp_rom_write() {
    if (dp_failed()) return;
    dp_trace_text("\r\nProgramming FlashROM...");
    g_dpState.dataBitIndex = 0;
    ForSelectedPages(false, [](uint8_t page) {
        SelectPage(page);
        LoadPageBits(kInstrPageProgram, 5);
        g_dpState.dataBitIndex += DP_FROM_PAGE_BITS;
        dp_wait_ready();
    });
}

void dp_rom_check() {
    if (dp_failed()) return;
    dp_trace_text("\r\nVerifying FlashROM...");
    dp_enter_mode_c0();
    g_dpState.dataBitIndex = 0;
    ForSelectedPages(false, [](uint8_t page) {
        SelectPage(page);
        LoadPageBits(kInstrPageCompare, 3);
        dp_wait_ready();
        if (dp_failed()) return;
        dp_ir(kInstrPageCompare, DP_PAUSE_IR);
        dp_dr_out(DP_FROM_PAGE_BITS, g_dpState.shiftBuffer, DP_PAUSE_DR);
        if ((g_dpState.shiftBuffer[0] & kCompareMatchBits) != kCompareMatchBits) {
            dp_fail(DPE_FROM_VERIFY_FAILED);
            return;
        }
        g_dpState.dataBitIndex += DP_FROM_PAGE_BITS;
    });
}

void dp_rom_write_enc() {
    if (dp_failed()) return;
    dp_trace_text("\r\nProgramming FlashROM...");
    g_dpState.dataBitIndex = 0;
    // Encrypted frames carry their page themselves: no page select.
    ForSelectedPages(true, [](uint8_t) {
        dp_decryptor_reset();
        LoadPageBits(kInstrEncryptedFirstFrame, 1);
        dp_delay(kEncryptedFrameDelayUs);
        g_dpState.dataBitIndex += DP_FROM_PAGE_BITS;
        LoadPageBits(kInstrEncryptedSecondFrame, 5);
        g_dpState.dataBitIndex += DP_FROM_PAGE_BITS;
        dp_wait_ready();
    });
}
