// Whole-file reads and writes for the image tool and the build.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vexu::image {

// Reads the whole file; false with a reason when it cannot be read.
bool ReadBinaryFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error);
// Creates or replaces the file; false with a reason when it cannot be written.
bool WriteBinaryFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error);

}  // namespace vexu::image
