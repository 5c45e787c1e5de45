#include "platform/terminal.h"

#include <unistd.h>

namespace vexu {

bool IsTerminal(FILE* stream) { return stream && isatty(fileno(stream)) == 1; }

}  // namespace vexu
