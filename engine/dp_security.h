// The device's security segment: the security register read at the start of
// every run, the pass-key presentation, the AES key check, and the check of
// the device's lock bits and UROW against the image ("verify_device_info").
#pragma once

#include <cstdint>

// Security register length: 56 bits for device class 2, otherwise 44.
uint32_t dp_security_register_bits();

// Fills bits 0-23 of the device security word; keeps bits 24-31.
void dp_read_security_word();
// Presents the image's pass key; sets the pass-key-matched flag when the
// device answers 01, and the all-zero flag for an image with security
// settings whose pass key is all zero.
void dp_sec_match_pass_key();
// Sends the image's AES check block; DPE_AES_KEY_CHECK_FAILED unless the
// device answers with both top bits of byte 15 set.
void dp_sec_check_aes_key();

void dp_action_verify_device_info();

// ---- Erasing and programming the segment: the pass key, the optional AES
// key, the security register (user lock bits and silicon signature) with its
// read-back, and the silicon signature alone.
void dp_action_erase_security();
void dp_action_program_security();

void dp_sec_erase();
// Pass key, AES key when the image has one, pass-key match, register.
void dp_sec_write();
void dp_sec_write_pass_key();
void dp_sec_write_aes_key();
// Programs the register from the image's lock bits and signature and reads
// it back; DPE_SECURITY_PROGRAM_FAILED on the first difference.
void dp_sec_write_settings();
// Writes the image's signature with the lock bits the device holds.
void dp_silsig_write();

// The register image the programming steps shift, in the shift buffer.
void dp_build_security_register(uint32_t userLock, uint32_t signature);
void dp_build_silsig_register(uint32_t securityWord, uint32_t signature);
