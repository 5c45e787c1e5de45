// The process's standard streams: whether one is a terminal (progress bars
// are drawn only there), and raw bytes on all of them.
#pragma once

#include <cstdio>

namespace vexu {

bool IsTerminal(FILE* stream);

// Standard input, output and error pass bytes as they are: no line-end
// translation, so that JSON lines, logs and traces are the same bytes on
// every platform. Call before the first output.
void UseBinaryStdio();

}  // namespace vexu
