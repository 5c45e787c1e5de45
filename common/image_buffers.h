// The two process-wide image buffers, filled once at start-up by the image
// loaders and only read afterwards (the FPGA engine may replace
// g_fpgaSize with the size its image's header records).
#pragma once

#include <cstdint>

extern uint8_t* g_fpgaData;
extern uint32_t g_fpgaSize;
extern uint8_t* g_eepromData;
extern uint32_t g_eepromSize;
