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
#pragma once

#include <cstdint>
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

}  // namespace vexu
