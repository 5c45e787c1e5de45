// AES-128 for the simulated FPGA's encrypted data: the block cipher and the
// two modes built on it that the data formats use (sim/fpga_crypto.h). One
// implementation per platform, each over a library the platform has:
// OpenSSL on Linux (aes128_openssl.cpp), libgcrypt on Windows
// (aes128_gcrypt.cpp). Both pass the same published test vectors.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vexu::sim::aes128 {

using Block = std::array<uint8_t, 16>;
using Key = std::span<const uint8_t, 16>;

// One block in ECB mode.
Block EncryptBlock(Key key, const Block& in);
Block DecryptBlock(Key key, const Block& in);

// CTR mode from the initial counter block, the whole 128-bit block counting
// up (big-endian); encrypting and decrypting are the same. out may be in.
void Ctr(Key key, const Block& counter, const uint8_t* in, size_t length, uint8_t* out);

// AES-CMAC (RFC 4493) of a message of any length, including none.
Block Cmac(Key key, std::span<const uint8_t> message);

// The library cannot fail on these fixed-size arguments short of running
// out of memory; should it fail, the output is all zeros, which no tag of
// the data formats accepts.

}  // namespace vexu::sim::aes128
