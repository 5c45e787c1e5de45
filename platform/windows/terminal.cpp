#include "platform/terminal.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace vexu {

// A console, not a pipe or a file: only a console has a console mode.
bool IsTerminal(FILE* stream) {
    if (!stream) return false;
    const intptr_t handle = _get_osfhandle(_fileno(stream));
    DWORD mode = 0;
    return handle != -1 && GetConsoleMode(reinterpret_cast<HANDLE>(handle), &mode) != 0;
}

// The C runtime opens the standard streams in text mode, which would write
// every "\n" as "\r\n" and read "\r\n" as "\n".
void UseBinaryStdio() {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

}  // namespace vexu
