// Whether this build's engine carries the composite actions ("program",
// "verify"). Without them a run's FPGA step ends with engine code 152, and
// the end-to-end tests check that honest failure instead of a programmed
// board.
#pragma once

#if __has_include("engine/dp_composite.h")
inline constexpr bool kEngineProgramsTheFpga = true;
#else
inline constexpr bool kEngineProgramsTheFpga = false;
#endif
