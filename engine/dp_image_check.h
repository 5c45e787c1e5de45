// The check of an action's blocks against the data image, made before the
// engine sends anything for the action: every block the action will read
// must be listed in the directory and hold, before the CRC trailer, all the
// bytes the device takes from it. An action the image cannot serve this way
// would otherwise run on zeros or on nothing (a FlashROM left blank, an
// array that fails at its first row after the device was erased).
//
// The engine refuses such an action with code 151 (a block that is absent)
// or 153 (a block that runs past the end of the data); "vexu-cli image
// info" runs the same check for every action and reports what it finds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/device_id_table.h"
#include "engine/dp_state.h"

// A block the action reads: the most bytes any of its steps takes from
// it, and whether the action cannot do without it (blocks such as the
// boundary-scan data are read only when the image carries them).
struct DpBlockNeed {
    uint8_t block = 0;
    uint64_t bytes = 0;
    bool required = false;
};

// The blocks the action reads, in block order. The NVM blocks' sizes come
// from their segment tables; a table that is not all there ends the list
// for its NVM block. Arguments as for dp_check_action_blocks.
std::vector<DpBlockNeed> dp_action_block_needs(const uint8_t* image, uint32_t size, uint8_t actionCode,
                                               uint32_t supportFlags, const DeviceIdRow& device);

// The problems of the blocks the action reads, each block once, in block
// order. image holds size bytes: the image as far as its header's size
// field and the loaded bytes both reach. supportFlags are the image's; the
// device row gives the geometry. An action code the engine does not know
// reads nothing here.
std::vector<DpImageProblem> dp_check_action_blocks(const uint8_t* image, uint32_t size, uint8_t actionCode,
                                                   uint32_t supportFlags, const DeviceIdRow& device);

// What a block holds, in words ("FlashROM page mask"); "unknown block" for
// an id the engine does not use.
const char* dp_block_name(uint8_t id);

// One line for the user:
//   block 7 (FlashROM page mask) is missing from the data file
//   block 8 (FlashROM pages) runs past the end of the data file: it needs 128 bytes from byte 912, 40 are there
std::string dp_image_problem_text(const DpImageProblem& problem);

// The engine's own use, at the start of a run: checks the action in
// g_dpState against the attached image. On a problem it writes its trace
// lines, keeps the problem in g_dpState.imageProblem, sets code 151 or 153
// and returns false. Actions that the action check or the dispatcher
// refuses anyway are left to them.
bool dp_check_image_for_action();
