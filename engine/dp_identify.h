// The reporting actions "read_idcode" and "device_info", and the user row
// (UROW): reading it, and programming it back after an erase with the
// design name, design checksum and programming cycle count.
#pragma once

// UROW layout (128 bits, byte 0 first as captured).
constexpr unsigned DP_UROW_DESIGN_NAME = 4;     // bytes 4-12, byte 12 bits 0-5
constexpr unsigned DP_UROW_DESIGN_NAME_BYTES = 9;
constexpr unsigned DP_UROW_CYCLE_LOW = 12;      // bits 6-7: cycle count bits 0-1
constexpr unsigned DP_UROW_CYCLE_HIGH = 13;     // cycle count bits 2-9
constexpr unsigned DP_UROW_CHECKSUM = 14;       // bytes 14-15, little-endian

void dp_action_read_idcode();
void dp_action_device_info();

void dp_report_silsig();
// Reads the UROW into the UROW buffer and the cycle count; writes its line.
void dp_fetch_urow();
void dp_report_design_info();
// The FlashROM information report: all eight pages, highest first.
void dp_rom_report();
void dp_report_factory_row();
void dp_report_security();

// Programs the UROW from what dp_fetch_urow read before the erase.
void dp_write_urow();
