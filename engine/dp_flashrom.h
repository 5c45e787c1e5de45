// The FlashROM: eight 128-bit user pages, of which the image's
// page-selection mask (block 7) picks the ones to erase, program and
// verify. Plain images hold 128 bits per selected page, highest page first;
// encrypted images hold two 128-bit frames per selected page, lowest page
// first. Encrypted pages cannot be read back, so they are not verified.
#pragma once

constexpr unsigned DP_FROM_PAGES = 8;
constexpr unsigned DP_FROM_PAGE_BITS = 128;

void dp_action_erase_from();
void dp_action_program_from();
void dp_action_verify_from();

// Erases the selected pages, keeping the UROW.
void dp_rom_erase();
// Programs the selected pages: encrypted, or plain followed by their verify.
void dp_rom_program();
void dp_rom_write();
// Compares every selected page with the image; DPE_FROM_VERIFY_FAILED.
void dp_rom_check();
void dp_rom_write_enc();
