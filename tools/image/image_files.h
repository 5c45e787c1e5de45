// Whole-file reads and writes for the image tool and the build.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "run/image_load.h"

namespace vexu::image {

// Reads the whole of a regular file of at most maxBytes (by default the
// largest FPGA data image, which no part of one can exceed); false with one
// line naming the file (as what) and the reason: not a regular file, too
// large, cannot be opened or read.
bool ReadBinaryFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error,
                    const char* what = "file", uint64_t maxBytes = kMaxFpgaImageBytes);
// Creates or replaces the file as a whole (a temporary file renamed over
// it): on any failure the file is as it was and no partial file remains.
bool WriteBinaryFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error);

}  // namespace vexu::image
