// The FPGA array: erasing, row-by-row programming and two-pass verification
// in plain and encrypted form, the RLOCK row, authentication of encrypted
// row data, and the erase operation that every erase of the device goes
// through (array, FlashROM pages, security settings), keeping the UROW.
//
// Every step takes its inputs from the engine state, returns nothing and
// reports through the engine error code: a step that finds it non-zero does
// nothing, so the first failure decides the run.
#pragma once

#include <cstdint>

// The 23-bit erase word, kept in shift buffer bytes 0-2 and shifted from bit 0.
constexpr uint32_t DP_ERASE_ARRAY = 0x000001;
constexpr uint32_t DP_ERASE_SECURITY = 0x00000E;
constexpr uint32_t DP_ERASE_PRESENT = 0x000100;   // the erase of "erase" and "program"
constexpr uint32_t DP_ERASE_KEEP_UROW = 0x004000; // read the UROW before, program it back after
constexpr unsigned DP_ERASE_FROM_PAGE_SHIFT = 15; // FlashROM page k is erase-word bit 15 + k
constexpr unsigned DP_ERASE_WORD_BITS = 23;

// Plain rows carry factor x 208 bits in 26-bit frames, encrypted rows
// factor x 256 bits in 128-bit frames.
constexpr uint32_t DP_PLAIN_ROW_BITS_PER_FACTOR = 208;
constexpr uint32_t DP_ENCRYPTED_ROW_BITS_PER_FACTOR = 256;

// Verify modes shifted before each verify pass.
constexpr uint8_t DP_VERIFY_AFTER_PROGRAM = 0;
constexpr uint8_t DP_VERIFY_STANDALONE = 3;

// Replaces the run's error code: a step that turns the failure of one of
// its sub-steps (a poll's time-out) into its own code.
void dp_set_error(uint8_t code);

// ---- Actions.
void dp_action_erase();
void dp_action_erase_all();
void dp_action_enc_data_authentication();
void dp_action_erase_array();
void dp_action_program_array();
void dp_action_verify_array();

// ---- Erase.
// The erase word of the current shift buffer, and setting it (the rest of
// the shift buffer is cleared).
uint32_t dp_erase_word();
void dp_set_erase_word(uint32_t word);
// Prints title, sets the erase word, adds flags to the device security
// word and runs dp_erase_apply.
void dp_erase_with(const char* title, uint32_t eraseWord, uint32_t securityFlags);
// The FlashROM page-selection mask of the image (block 7).
uint8_t dp_rom_page_mask();
// The erase of "erase" and "program": everything the image carries.
void dp_erase_present();
void dp_array_erase();
// Shifts the erase word, waits for the erase, keeps the UROW.
void dp_erase_apply();
// Polls the erase to its end; false when the device never reported it done
// or the poll could not read the device's status.
bool dp_erase_wait();

// ---- Rows.
void dp_row_address_reset();
void dp_row_address_next();
// Load the row at the data bit index and advance it; false when the row
// could not be shifted (the image lacks it or the command failed).
bool dp_row_send();
bool dp_row_send_enc();
// Program pulse and busy poll; false when the pulse command failed or the
// poll left an error.
bool dp_row_pulse();
// Both verify passes of the current row; DPE_ROW_VERIFY_FAILED with the row.
void dp_row_check();

// ---- Array loops.
// Programs the rows, verifies them right away (verify mode 0) and programs
// the RLOCK row, plain or encrypted as the image holds the rows.
void dp_array_program();
void dp_array_write();
void dp_array_check();
void dp_array_write_enc();
void dp_array_check_enc();
void dp_array_authenticate();
void dp_auth_status_check();

// ---- RLOCK.
void dp_rlock_write();
void dp_rlock_write_enc();
