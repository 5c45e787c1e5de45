#include "platform/digest.h"

#include <gcrypt.h>

namespace vexu {

std::string Sha256Hex(const uint8_t* data, size_t size) {
    // libgcrypt is set up once per process before its first use (the
    // simulator's AES may have done it already; doing it again is harmless).
    static const bool ready = [] {
        if (!gcry_check_version(GCRYPT_VERSION)) return false;
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        return true;
    }();
    if (!ready) return {};
    unsigned char digest[32];
    gcry_md_hash_buffer(GCRY_MD_SHA256, digest, data, size);
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : digest) {
        text += kHex[byte >> 4];
        text += kHex[byte & 15];
    }
    return text;
}

}  // namespace vexu
