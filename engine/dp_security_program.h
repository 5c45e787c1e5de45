// Erasing and programming the device's security segment: the pass key, the
// optional AES key, the security register (user lock bits and silicon
// signature) with its read-back, and the silicon signature alone.
#pragma once

#include <cstdint>

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
