// "image info" and the engine decide alike on an image's blocks: for every
// action on every broken image, the action image info calls refused is
// refused by the engine with the same code before the device sees a
// report, and the action it calls runnable gets past the check.
#include "sim_fixture.h"
#include "tools/image/image_info.h"

namespace vexu::test {
namespace {

using image::ImageParts;

// Points the first directory entry of the block elsewhere and reseals the CRC.
std::vector<uint8_t> WithOffset(std::vector<uint8_t> bytes, uint8_t block, uint32_t offset) {
    const size_t directory = bytes[image::kDirectoryPositionOffset];
    for (size_t i = 0; i < bytes[directory - 1]; ++i) {
        const size_t entry = directory + image::kDirectoryEntrySize * i;
        if (bytes[entry] != block) continue;
        image::PutLe(&bytes[entry + 1], offset, 4);
        break;
    }
    image::PutLe(&bytes[bytes.size() - 2], image::Crc16Kermit(bytes.data(), bytes.size() - 2), 2);
    return bytes;
}

std::vector<uint8_t> Built(const ImageParts& parts) {
    std::vector<uint8_t> bytes;
    std::string error;
    EXPECT_TRUE(image::BuildImage(parts, bytes, error)) << error;
    return bytes;
}

class ImageCheckTest : public SimEngineTest {};

TEST_F(ImageCheckTest, ImageInfoAndTheEngineAgreeOnEveryAction) {
    const std::vector<uint8_t> demo = image::MakeDemoFpgaImage();
    ImageParts noRlock = image::DemoFpgaParts();
    noRlock.rlock.clear();
    noRlock.supportFlags = image::DeriveSupportFlags(image::DemoFpgaParts());
    ImageParts nvm;
    nvm.idCode = 0x032141CF;
    nvm.nvm[1] = {true, false, {{0x100, 2, std::vector<uint32_t>(40, 0x5A5A5A5A)}}};
    std::vector<uint8_t> nvmShortData = Built(nvm);
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        std::string board;
        size_t refusals;  // actions image info calls refused
    };
    const Case cases[] = {
        {"the demo image", demo, "", 0},
        {"RLOCK absent", Built(noRlock), "", 2},
        {"FlashROM mask past the end", WithOffset(demo, image::kBlockFlashRomMask, 70000), "", 6},
        {"array rows into the CRC", WithOffset(demo, image::kBlockArrayRows, static_cast<uint32_t>(demo.size() - 1)),
         "", 4},
        {"pass key absent", WithOffset(demo, image::kBlockPassKey, 0), "", 2},
        {"NVM data cut short", WithOffset(nvmShortData, image::NvmBlockId(1, image::kNvmData),
                                          static_cast<uint32_t>(nvmShortData.size() - 60)),
         "idcode=0x032141CF", 4},
        // A CRC that does not hold stops every action first, block faults or not.
        {"CRC broken as well", [&] {
             std::vector<uint8_t> bytes = Built(noRlock);
             bytes[bytes.size() / 2] ^= 0x10;
             return bytes;
         }(), "", 18},
    };
    for (const Case& c : cases) {
        const image::ImageInfo info = image::InspectImage(c.bytes.data(), c.bytes.size());
        ASSERT_EQ(info.actions.size(), 18u) << c.what;
        size_t refusals = 0;
        for (const image::ActionVerdict& action : info.actions) {
            SCOPED_TRACE(std::string(c.what) + ": " + action.name);
            const bool refused = !action.problems.empty() || action.engineCode == DPE_IMAGE_CRC_MISMATCH;
            refusals += refused;
            Start(c.board);
            Load(c.bytes);
            const uint64_t before = Reports();
            const uint8_t code = Run(action.name.c_str());
            if (refused) {
                EXPECT_EQ(code, action.engineCode);
                EXPECT_EQ(Reports(), before);
                if (!action.problems.empty()) {
                    EXPECT_EQ(g_dpState.imageProblem.block, action.problems.front().block);
                }
            } else {
                EXPECT_EQ(g_dpState.imageProblem.kind, DpImageProblem::kNone) << trace.Text().substr(0, 400);
                EXPECT_GT(Reports(), before);
                if (action.engineCode != 0) {
                    EXPECT_EQ(code, action.engineCode);
                }
            }
        }
        EXPECT_EQ(refusals, c.refusals) << c.what;
        EXPECT_EQ(info.HasErrors(), c.refusals > 0) << c.what;
    }
}

// Each fault of the image is one finding, however many actions it stops.
TEST_F(ImageCheckTest, EachFaultIsReportedOnce) {
    const std::vector<uint8_t> demo = image::MakeDemoFpgaImage();
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        const char* block;
    };
    const Case cases[] = {
        {"RLOCK offset 0", WithOffset(demo, image::kBlockRlock, 0), "block 6 ("},
        {"RLOCK beyond the end", WithOffset(demo, image::kBlockRlock, 0xFFFFFF00), "block 6 ("},
        {"array rows into the CRC", WithOffset(demo, image::kBlockArrayRows, static_cast<uint32_t>(demo.size() - 1)),
         "block 5 ("},
    };
    for (const Case& c : cases) {
        const image::ImageInfo info = image::InspectImage(c.bytes.data(), c.bytes.size());
        size_t mentions = 0;
        for (const image::Finding& finding : info.findings) mentions += finding.text.find(c.block) != std::string::npos;
        EXPECT_EQ(mentions, 1u) << c.what;
    }
}

}  // namespace
}  // namespace vexu::test
