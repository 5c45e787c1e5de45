// Files the user names and files the program writes.
//
// A file given by the user is read only when it is a regular file no larger
// than what it stands for can be: a directory, a device such as /dev/zero, a
// pipe or a 2 GB file is refused before a byte is read, with one line that
// names the file and the reason.
//
// A file the program writes is never left half written: a whole file goes
// to a temporary file in the same directory that replaces the target only
// once every byte is on disk; a line appended to a log goes on in one piece
// or not at all.
//
// Besides: the user's state directory, files opened by path in binary mode
// (no line-end translation), and a path as UTF-8 text for messages. On
// Windows paths are wide strings; these keep every character of them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vexu {

// Reads the whole of a regular file of at most maxBytes. what names the
// file for the user ("FPGA data image"); on failure error holds one line:
//   cannot open the FPGA data image x.dat: No such file or directory
//   the FPGA data image /tmp is not a regular file (a directory)
//   the FPGA data image big.dat has 2147483648 bytes; an FPGA data image has at most 8388608
//   cannot read the FPGA data image x.dat: Input/output error
// An empty path is refused as well ("no file named for the FPGA data image").
bool ReadUserFile(const std::string& path, uint64_t maxBytes, const char* what, std::vector<uint8_t>& bytes,
                  std::string& error);

// Creates or replaces the file with exactly these bytes: they are written
// to a temporary file next to it, flushed to disk, and renamed over it. On
// any failure (full disk, no permission, no such directory) the target is
// as it was, no temporary file remains, and error holds one line naming
// the file and the reason.
bool WriteFileWhole(const std::string& path, std::string_view bytes, std::string& error);

// Appends the text to an open file descriptor in one piece: when it cannot
// all be written, the file is cut back to its length before the append.
// False with the reason in error.
bool AppendWhole(int fd, std::string_view text, std::string& error);

// Opens a file for appending with AppendWhole: write-only, created when
// missing (emptied first with truncate), binary, not inherited by programs
// this one starts. -1 with the reason in error.
int OpenForAppend(const std::filesystem::path& path, bool truncate, std::string& error);
// Closes what OpenForAppend opened; false with the reason when the close
// reports a write that failed.
bool CloseAppended(int fd, std::string& error);

// A write beyond a limit on file sizes then fails as on a full disk,
// instead of ending the program half way through a file (Linux's SIGXFSZ).
void FailWritesBeyondFileSizeLimit();

// Where a program keeps state between runs for this user (the run log):
// Linux $XDG_STATE_HOME, or ~/.local/state when it is unset or not an
// absolute path; Windows %LOCALAPPDATA%.
std::filesystem::path UserStateDirectory();

// fopen with a path; mode as fopen's, always binary ("ab", "wb", "rb").
FILE* OpenFile(const std::filesystem::path& path, const char* mode);

// The path as UTF-8 text.
std::string PathText(const std::filesystem::path& path);
// The path whose UTF-8 text PathText gave: on Windows every character is
// kept (a path made straight from a std::string takes it in the ANSI code
// page).
std::filesystem::path PathFromText(const std::string& text);

}  // namespace vexu
