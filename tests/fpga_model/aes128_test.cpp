// AES-128 of the simulator, whichever library the platform builds it on:
// the published test vectors of the block cipher (FIPS-197, SP 800-38A),
// of CTR mode (SP 800-38A F.5.1) and of AES-CMAC (RFC 4493).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/aes128.h"

namespace vexu::sim {
namespace {

std::vector<uint8_t> Hex(const std::string& text) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2) bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

aes128::Block HexBlock(const std::string& text) {
    const std::vector<uint8_t> bytes = Hex(text);
    aes128::Block block{};
    std::copy(bytes.begin(), bytes.end(), block.begin());
    return block;
}

const std::string kSp800Key = "2b7e151628aed2a6abf7158809cf4f3c";
const std::string kSp800Plain =
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";

TEST(Aes128, BlockCipherKnownAnswers) {
    struct Case {
        std::string key, plain, cipher;
    };
    const Case cases[] = {
        {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff", "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {kSp800Key, kSp800Plain.substr(0, 32), "3ad77bb40d7a3660a89ecaf32466ef97"},
        {kSp800Key, kSp800Plain.substr(32, 32), "f5d3d58503b9699de785895a96fdbaaf"},
        {kSp800Key, kSp800Plain.substr(64, 32), "43b1cd7f598ece23881b00e3ed030688"},
        {kSp800Key, kSp800Plain.substr(96, 32), "7b0c785e27e8ad3f8223207104725dd4"},
    };
    for (const Case& c : cases) {
        const std::vector<uint8_t> key = Hex(c.key);
        const aes128::Key k(key.data(), 16);
        EXPECT_EQ(aes128::EncryptBlock(k, HexBlock(c.plain)), HexBlock(c.cipher)) << c.plain;
        EXPECT_EQ(aes128::DecryptBlock(k, HexBlock(c.cipher)), HexBlock(c.plain)) << c.cipher;
    }
}

// The counter counts through the whole block: the second block's counter
// carries from byte 15 into byte 14.
TEST(Aes128, CtrKnownAnswersAnyLengthAndInPlace) {
    const std::vector<uint8_t> key = Hex(kSp800Key);
    const aes128::Key k(key.data(), 16);
    const aes128::Block counter = HexBlock("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
    const std::vector<uint8_t> plain = Hex(kSp800Plain);
    const std::vector<uint8_t> cipher = Hex(
        "874d6191b620e3261bef6864990db6ce9806f66b7970fdff8617187bb9fffdff"
        "5ae4df3edbd5d35e5b4f09020db03eab1e031dda2fbe03d1792170a0f3009cee");
    for (size_t length : {size_t{64}, size_t{40}, size_t{26}, size_t{1}}) {
        std::vector<uint8_t> out(length, 0xEE);
        aes128::Ctr(k, counter, plain.data(), length, out.data());
        EXPECT_EQ(out, std::vector<uint8_t>(cipher.begin(), cipher.begin() + length)) << length;
        aes128::Ctr(k, counter, out.data(), length, out.data());
        EXPECT_EQ(out, std::vector<uint8_t>(plain.begin(), plain.begin() + length)) << "in place, " << length;
    }
}

TEST(Aes128, CmacKnownAnswers) {
    const std::vector<uint8_t> key = Hex(kSp800Key);
    const std::vector<uint8_t> message = Hex(kSp800Plain);
    struct Case {
        size_t length;
        std::string tag;
    };
    const Case cases[] = {
        {0, "bb1d6929e95937287fa37d129b756746"},
        {16, "070a16b46b4d4144f79bdd9dd04a287c"},
        {40, "dfa66747de9ae63030ca32611497c827"},
        {64, "51f0bebf7e3b9d92fc49741779363cfe"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(aes128::Cmac(aes128::Key(key.data(), 16), std::span<const uint8_t>(message.data(), c.length)),
                  HexBlock(c.tag))
            << c.length << " bytes";
    }
}

}  // namespace
}  // namespace vexu::sim
