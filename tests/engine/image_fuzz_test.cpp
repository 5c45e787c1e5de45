// Random and damaged data images through the reader and whole engine runs:
// whatever the header and directory say, nothing is read outside the
// loaded bytes (the sanitizer build turns any such read into a failure),
// and every pointer handed out lies inside them. VEXU_FUZZ_ITERATIONS runs
// longer than the brief default.
#include <cstdlib>
#include <random>

#include "engine_fixture.h"

namespace vexu::test {
namespace {

int Iterations(int fallback) {
    const char* text = std::getenv("VEXU_FUZZ_ITERATIONS");
    return text ? std::max(1, std::atoi(text)) : fallback;
}

class ImageFuzzTest : public EngineTest {
protected:
    std::mt19937 random{20240611};

    uint32_t Below(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(random); }
    uint32_t AnyWord() { return std::uniform_int_distribution<uint32_t>()(random); }

    // A well-formed image with some of the blocks, then damaged.
    std::vector<uint8_t> Damaged() {
        DatImage built = HealthyImage();
        built.Support(AnyWord() & 0xFFFF).Variant(static_cast<uint8_t>(Below(9)));
        for (uint8_t id : {2, 3, 5, 6, 7, 8, 29, 30, 31, 32})
            if (Below(2)) built.Block(id, std::vector<uint8_t>(Below(64), static_cast<uint8_t>(AnyWord())));
        if (Below(4) == 0) built.RawEntry(static_cast<uint8_t>(Below(40)), AnyWord());
        std::vector<uint8_t> bytes = built.Build();
        switch (Below(6)) {
            case 0:  // bytes flipped anywhere, the header and directory most of all
                for (uint32_t n = 1 + Below(8); n > 0; --n) bytes[Below(std::min<uint32_t>(bytes.size(), 160))] ^= 1 << Below(8);
                break;
            case 1:  // cut short
                bytes.resize(Below(static_cast<uint32_t>(bytes.size())));
                break;
            case 2:  // a size field of any value, with a matching CRC where it fits
                for (int i = 0; i < 4; ++i) bytes[25 + i] = static_cast<uint8_t>(AnyWord());
                SealCrc(bytes);
                break;
            case 3:  // a directory anywhere, of any length
                bytes[24] = static_cast<uint8_t>(AnyWord());
                bytes[bytes[24] ? bytes[24] - 1 : 0] = static_cast<uint8_t>(AnyWord());
                SealCrc(bytes);
                break;
            case 4:  // pure noise
                bytes.assign(Below(200), 0);
                for (uint8_t& b : bytes) b = static_cast<uint8_t>(AnyWord());
                break;
            default:  // well-formed
                break;
        }
        return bytes;
    }

    void ExpectInside(const uint8_t* pointer) {
        if (!pointer) return;
        EXPECT_GE(pointer, image.data());
        EXPECT_LT(pointer, image.data() + image.size());
        EXPECT_LE(g_dpState.returnBytes, image.data() + image.size() - pointer);
    }

    // Every reader operation on the loaded image, with arguments near the
    // edges and anywhere.
    void Probe() {
        dp_crc_check_image();
        g_dpState.errorCode = DPE_SUCCESS;
        dp_load_support_flags();
        for (uint8_t id = 0; id < 40; ++id) {
            dp_image_has_block(id);
            const uint32_t offsets[] = {0, 1, 7, Below(300), g_dpState.imageSize - 1, AnyWord()};
            for (uint32_t offset : offsets) {
                dp_image_bytes(id, offset, static_cast<uint8_t>(Below(6)));
                ExpectInside(dp_image_pointer(id, offset));
                ExpectInside(dp_image_pointer(id, offset * 8 + Below(8)));
            }
            const uint32_t bits[] = {0, 1, 8, 128, Below(2000), 1056};
            for (uint32_t count : bits) {
                dp_get_and_shift_in(id, count, Below(4) ? Below(64) : AnyWord());
                uint8_t capture[32];
                dp_get_and_shift_in_out(id, static_cast<uint8_t>(count), Below(4) ? Below(64) * 8 : AnyWord(), capture);
            }
        }
        box.Reset();
        box.scans.clear();
    }
};

TEST_F(ImageFuzzTest, ReaderStaysInsideTheImage) {
    const int iterations = Iterations(100);
    for (int i = 0; i < iterations; ++i) {
        Load(Damaged());
        Probe();
        // A second pass with the lookup state of the first, as a later run has.
        Probe();
    }
}

TEST_F(ImageFuzzTest, EngineRunsOnDamagedImagesEndCleanly) {
    const char* actions[] = {"read_idcode", "device_info", "verify_device_info", "program", "verify_nvm"};
    const int iterations = Iterations(150);
    for (int i = 0; i < iterations; ++i) {
        Load(Damaged());
        for (const char* action : actions) {
            const uint8_t code = Run(action);
            // Either the image was refused before the device saw anything (a
            // CRC that does not hold, a block the action needs that is not
            // all there), or the run went its way and left through dp_exit.
            if (code == DPE_IMAGE_CRC_MISMATCH || g_dpState.imageProblem.kind != DpImageProblem::kNone) {
                EXPECT_TRUE(code == DPE_IMAGE_CRC_MISMATCH || code == DPE_IMAGE_LACKS_DATA ||
                            code == DPE_IMAGE_BLOCK_OUTSIDE)
                    << action << " " << int{code};
                EXPECT_TRUE(box.Transfers().empty()) << action;
            } else {
                EXPECT_EQ(trace->Count("dp_exit() \r\n"), 1u) << action;
            }
            trace->Clear();
            box.Reset();
            box.scans.clear();
        }
    }
}

}  // namespace
}  // namespace vexu::test
