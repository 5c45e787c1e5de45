// Digests of the data the programmer writes, for the run records: which
// image went onto a board.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vexu {

// SHA-256 of the bytes as 64 lower-case hexadecimal digits.
std::string Sha256Hex(const uint8_t* data, size_t size);

}  // namespace vexu
