// AES-128 over libgcrypt (Windows: Debian's mingw-w64 build, linked
// statically).
#include <gcrypt.h>

#include <cstring>

#include "sim/aes128.h"

namespace vexu::sim::aes128 {
namespace {

// The library is set up once per process before its first use; after that
// its calls may come from any thread.
bool Ready() {
    static const bool ready = [] {
        if (!gcry_check_version(GCRYPT_VERSION)) return false;
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        return true;
    }();
    return ready;
}

// One pass of an AES-128 cipher mode over the whole input (no padding: the
// callers pass whole blocks to ECB, and CTR takes any length). libgcrypt
// works in place when given no separate input.
void RunCipher(int mode, bool encrypt, const uint8_t* key, const uint8_t* counter, const uint8_t* in,
               size_t length, uint8_t* out) {
    gcry_cipher_hd_t handle = nullptr;
    bool ok = Ready() && gcry_cipher_open(&handle, GCRY_CIPHER_AES128, mode, 0) == 0 &&
              gcry_cipher_setkey(handle, key, 16) == 0 && (!counter || gcry_cipher_setctr(handle, counter, 16) == 0);
    if (ok) {
        const uint8_t* source = in == out ? nullptr : in;
        const size_t sourceLength = source ? length : 0;
        ok = (encrypt ? gcry_cipher_encrypt(handle, out, length, source, sourceLength)
                      : gcry_cipher_decrypt(handle, out, length, source, sourceLength)) == 0;
    }
    if (handle) gcry_cipher_close(handle);
    if (!ok) std::memset(out, 0, length);
}

}  // namespace

Block EncryptBlock(Key key, const Block& in) {
    Block out{};
    RunCipher(GCRY_CIPHER_MODE_ECB, true, key.data(), nullptr, in.data(), in.size(), out.data());
    return out;
}

Block DecryptBlock(Key key, const Block& in) {
    Block out{};
    RunCipher(GCRY_CIPHER_MODE_ECB, false, key.data(), nullptr, in.data(), in.size(), out.data());
    return out;
}

void Ctr(Key key, const Block& counter, const uint8_t* in, size_t length, uint8_t* out) {
    RunCipher(GCRY_CIPHER_MODE_CTR, true, key.data(), counter.data(), in, length, out);
}

Block Cmac(Key key, std::span<const uint8_t> message) {
    Block tag{};
    gcry_mac_hd_t handle = nullptr;
    size_t length = tag.size();
    const bool ok = Ready() && gcry_mac_open(&handle, GCRY_MAC_CMAC_AES, 0, nullptr) == 0 &&
                    gcry_mac_setkey(handle, key.data(), key.size()) == 0 &&
                    gcry_mac_write(handle, message.data(), message.size()) == 0 &&
                    gcry_mac_read(handle, tag.data(), &length) == 0 && length == tag.size();
    if (handle) gcry_mac_close(handle);
    if (!ok) tag.fill(0);
    return tag;
}

}  // namespace vexu::sim::aes128
