#include "platform/terminal.h"

#include <unistd.h>

namespace vexu {

bool IsTerminal(FILE* stream) { return stream && isatty(fileno(stream)) == 1; }

// POSIX streams never translate line ends.
void UseBinaryStdio() {}

}  // namespace vexu
