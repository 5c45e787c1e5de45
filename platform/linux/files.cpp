#include "platform/files.h"

#include <cstdlib>

namespace vexu {

std::filesystem::path UserStateDirectory() {
    const char* state = std::getenv("XDG_STATE_HOME");
    // A relative XDG_STATE_HOME is invalid and to be ignored.
    if (state && state[0] == '/') return state;
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && home[0] ? home : ".") / ".local" / "state";
}

FILE* OpenFile(const std::filesystem::path& path, const char* mode) { return std::fopen(path.c_str(), mode); }

std::string PathText(const std::filesystem::path& path) { return path.string(); }

}  // namespace vexu
