#include "common/image_buffers.h"

uint8_t* g_fpgaData = nullptr;
uint32_t g_fpgaSize = 0;
uint8_t* g_eepromData = nullptr;
uint32_t g_eepromSize = 0;
