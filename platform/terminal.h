// Whether an output stream is a terminal (progress bars are drawn only there).
#pragma once

#include <cstdio>

namespace vexu {

bool IsTerminal(FILE* stream);

}  // namespace vexu
