// Files by path, the same on every platform: the user's state directory,
// opening a file in binary mode (no line-end translation), and a path as
// UTF-8 text for messages. On Windows paths are wide strings; these keep
// every character of them.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

namespace vexu {

// Where a program keeps state between runs for this user (the run log):
// Linux $XDG_STATE_HOME, or ~/.local/state when it is unset or not an
// absolute path; Windows %LOCALAPPDATA%.
std::filesystem::path UserStateDirectory();

// fopen with a path; mode as fopen's, always binary ("ab", "wb", "rb").
FILE* OpenFile(const std::filesystem::path& path, const char* mode);

// The path as UTF-8 text.
std::string PathText(const std::filesystem::path& path);

}  // namespace vexu
