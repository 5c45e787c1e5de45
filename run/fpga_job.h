// The FPGA job: the run worker's entry into the FPGA engine. One call runs
// one action and turns the engine's error code into the message the user
// sees.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "run/run_record.h"

// Calibrates the engine delay, runs the named action once and returns 1
// when the engine ended with code 0, otherwise 0 (the failure text then
// holds the code's message).
int RunFpgaJob(const char* actionName);
// The message for an engine error code; "????????" for a code without one.
std::string FpgaErrorMessage(uint32_t code);
// The text of the last failed job; a later success leaves it in place.
std::string GetFpgaError();
// What the last job wrote into the FPGA's user row (design name, checksum,
// programming cycles); nothing when it did not program the row.
std::optional<RunDesign> GetProgrammedDesign();
