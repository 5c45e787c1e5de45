// Makes the seed corpus of the fuzz targets (fuzz/corpus/<target>/):
//   engine_image, image_info  small images built with the image tool for the
//                             simulated devices, plus truncated and
//                             bit-flipped copies (the demo image, 65 KiB,
//                             only for the engine);
//   app_setting               settings records of every length class;
//   sim_box                   report sequences the host really sends,
//                             recorded from engine and serial-flash runs
//                             against the simulated box, in the target's
//                             input form.
// Usage: vexu-fuzz-seeds CORPUS_DIR (the folder that holds the target
// folders). The output is the same on every run.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "common/app_setting.h"
#include "engine/dp_frame.h"
#include "engine/dp_state.h"
#include "link/dev_manage.h"
#include "platform/clock.h"
#include "platform/messages.h"
#include "run/eeprom_job.h"
#include "run/fpga_job.h"
#include "common/image_buffers.h"
#include "run/thread_action.h"
#include "sim/simulator.h"
#include "tools/image/demo_images.h"
#include "tools/image/image_builder.h"

namespace {

namespace fs = std::filesystem;
using namespace vexu::image;

constexpr uint32_t kClass2IdCode = 0x031921CF;  // 1244 rows, factor 3, NVM blocks
constexpr uint32_t kSmallIdCode = 0x049011CF;   // 625 rows, factor 2

fs::path g_corpus;

void Write(const std::string& target, const std::string& name, const std::vector<uint8_t>& bytes) {
    const fs::path folder = g_corpus / target;
    fs::create_directories(folder);
    std::ofstream file(folder / name, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!file) {
        fprintf(stderr, "cannot write %s\n", (folder / name).c_str());
        exit(1);
    }
}

std::vector<uint8_t> Build(const ImageParts& parts) {
    std::vector<uint8_t> image;
    std::string error;
    if (!BuildImage(parts, image, error)) {
        fprintf(stderr, "seed image: %s\n", error.c_str());
        exit(1);
    }
    return image;
}

Key128 KeyFromText(const char* text) {
    Key128 key{};
    memcpy(key.data(), text, key.size());
    return key;
}

ImageParts Named(uint32_t idCode, const char* name) {
    ImageParts parts;
    parts.idCode = idCode;
    parts.designName = DesignNameFromText(name);
    parts.designChecksum = 0x1234;
    return parts;
}

// Small images: everything but the array, each part on its own.
std::vector<std::pair<std::string, std::vector<uint8_t>>> SmallImages() {
    std::vector<std::pair<std::string, std::vector<uint8_t>>> images;

    ImageParts flashRom = Named(kDemoIdCode, "FROMONLY1");
    FlashRomParts pages;
    pages.mask = 0x25;
    for (size_t page = 0; page < kFlashRomPageCount; ++page)
        for (size_t i = 0; i < kFlashRomPageSize; ++i) pages.pages[page][i] = static_cast<uint8_t>(page * 16 + i);
    flashRom.flashRom = pages;
    images.emplace_back("flashrom.dat", Build(flashRom));

    ImageParts security = Named(kDemoIdCode, "SECURITY1");
    security.userLock = 0x000C;
    security.passKey = KeyFromText("FuzzSeedPassKey1");
    security.silsig = 0x11223344;
    images.emplace_back("security.dat", Build(security));

    ImageParts aes = Named(kDemoIdCode, "AESKEY001");
    aes.aesKey = Key128{};
    aes.flashRom = pages;
    aes.encryptFlashRom = true;
    images.emplace_back("encrypted_flashrom.dat", Build(aes));

    ImageParts nvm = Named(kClass2IdCode, "NVMBLOCK1");
    nvm.nvm[0].present = true;
    nvm.nvm[0].segments = {{0x000100, 3, {}}, {0x000400, 1, {}}};
    for (NvmSegment& segment : nvm.nvm[0].segments)
        for (uint32_t w = 0; w < 40; ++w) segment.words.push_back(0xA5000000u | w);
    nvm.nvm[1].present = true;
    nvm.nvm[1].encrypted = true;
    nvm.encryptionKey = Key128{};
    NvmSegment encrypted{0x000800, 0, {}};
    for (uint32_t w = 0; w < 32; ++w) encrypted.words.push_back(0x5A000000u | w);
    nvm.nvm[1].segments = {encrypted};
    // No security settings: an image with encrypted parts carries none.
    images.emplace_back("class2_nvm.dat", Build(nvm));

    ImageParts m7 = Named(kSmallIdCode, "VARIANTM7");
    m7.variantMarker = 7;
    m7.silsig = 0xCAFEF00D;
    images.emplace_back("variant_m7.dat", Build(m7));

    ImageParts bsr = Named(kDemoIdCode, "BSRONLY01");
    DeviceGeometry geometry;
    GeometryForIdCode(kDemoIdCode, geometry);
    bsr.boundaryScan.assign(geometry.BoundaryScanBytes(), 0x5A);
    images.emplace_back("boundary_scan.dat", Build(bsr));
    return images;
}

// Every image as it is, cut short and with a few bits flipped in the
// header, the directory and the data.
void ImageSeeds(const std::string& target, bool withDemo) {
    auto images = SmallImages();
    for (const auto& [name, bytes] : images) {
        Write(target, name, bytes);
        std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(bytes.size() * 2 / 3));
        Write(target, "cut_" + name, cut);
        std::vector<uint8_t> flipped = bytes;
        for (size_t at : {size_t{24}, size_t{40}, size_t{70}, flipped.size() / 2})
            if (at < flipped.size()) flipped[at] ^= static_cast<uint8_t>(1u << (at % 8));
        Write(target, "flipped_" + name, flipped);
    }
    const std::vector<uint8_t> header(images[0].second.begin(), images[0].second.begin() + 60);
    Write(target, "header_only.dat", header);
    if (withDemo) Write(target, "demo.dat", MakeDemoFpgaImage());
}

void SettingSeeds() {
    const AppSettingBytes record = AppSettingToBytes(DefaultAppSetting());
    Write("app_setting", "default.bin", std::vector<uint8_t>(record.begin(), record.end()));
    std::vector<uint8_t> unterminated(record.begin(), record.end());
    memset(unterminated.data() + offsetof(AppSetting, title), 'T', kSettingTextSize);
    memset(unterminated.data() + offsetof(AppSetting, linkText), 0xE4, kSettingTextSize);
    Write("app_setting", "unterminated_texts.bin", unterminated);
    Write("app_setting", "short.bin", std::vector<uint8_t>(record.begin(), record.begin() + 500));
    std::vector<uint8_t> longer(record.begin(), record.end());
    longer.resize(kAppSettingSize + 100, 0xEE);
    Write("app_setting", "long.bin", longer);
}

// A HID backend in front of the simulator that writes down every report in
// the sim_box target's input form.
class SeedRecorder final : public vexu::HidBackend {
public:
    explicit SeedRecorder(vexu::HidBackend& inner) : inner_(inner) {}
    bool Enumerate(std::vector<vexu::HidDeviceInfo>& devices) override { return inner_.Enumerate(devices); }
    vexu::HidHandle Open(const std::string& path) override { return inner_.Open(path); }
    bool GetAttributes(vexu::HidHandle handle, uint16_t& vendorId, uint16_t& productId) override {
        return inner_.GetAttributes(handle, vendorId, productId);
    }
    bool SetFeature(vexu::HidHandle handle, const uint8_t* report, size_t length) override {
        Head(report[0], false);
        sequence_.insert(sequence_.end(), report + 1, report + length);
        return inner_.SetFeature(handle, report, length);
    }
    bool GetFeature(vexu::HidHandle handle, uint8_t* report, size_t length) override {
        Head(report[0], true);
        return inner_.GetFeature(handle, report, length);
    }
    void Close(vexu::HidHandle handle) override { inner_.Close(handle); }
    std::string PathOf(vexu::HidHandle handle) override { return inner_.PathOf(handle); }

    std::vector<uint8_t> Take() { return std::move(sequence_); }

private:
    // Report ids 1 to 3 as 0 to 2, bit 2 for a fetch, the id's own length.
    void Head(uint8_t id, bool fetch) {
        sequence_.push_back(static_cast<uint8_t>((id - 1) | (fetch ? 4 : 0)));
    }

    vexu::HidBackend& inner_;
    std::vector<uint8_t> sequence_;
};

// Records what the host sends while body runs against a fresh simulator.
template <typename Body>
std::vector<uint8_t> Record(const char* scenario, Body body) {
    std::string error;
    std::unique_ptr<vexu::sim::SimBackend> sim = vexu::sim::MakeSimulator(scenario, error);
    if (!sim) {
        fprintf(stderr, "simulator: %s\n", error.c_str());
        exit(1);
    }
    SeedRecorder recorder(*sim);
    vexu::RecordingTarget events;
    CDevManage::SetBackend(&recorder);
    CDevManage::Start(kProgrammerVendorId, kProgrammerProductId, &events);
    body();
    CDevManage::End();
    CDevManage::SetBackend(nullptr);
    return recorder.Take();
}

void BoxSeeds() {
    ImageParts parts = Named(kDemoIdCode, "BOXSEED01");
    parts.silsig = 0x01020304;
    std::vector<uint8_t> image = Build(parts);
    g_fpgaData = image.data();
    g_fpgaSize = static_cast<uint32_t>(image.size());
    for (const char* action : {"read_idcode", "device_info"}) {
        dp_reset_state();
        Write("sim_box", std::string(action) + ".seq", Record("", [action] {
                  EnableJtagPort();
                  RunFpgaJob(action);
                  DisableJtagPort();
              }));
    }
    // Framed scans, FlashROM and NVM programming.
    const auto small = SmallImages();
    struct Recorded {
        const char* imageName;
        const char* action;
        const char* scenario;
    };
    const Recorded recorded[] = {{"flashrom.dat", "program_from", ""},
                                 {"class2_nvm.dat", "program_nvm", "idcode=0x031921CF"}};
    for (const Recorded& r : recorded) {
        for (const auto& [imageName, bytes] : small) {
            if (imageName != r.imageName) continue;
            image = bytes;
            g_fpgaData = image.data();
            g_fpgaSize = static_cast<uint32_t>(image.size());
            dp_reset_state();
            const char* action = r.action;
            Write("sim_box", std::string(action) + ".seq", Record(r.scenario, [action] {
                      EnableJtagPort();
                      RunFpgaJob(action);
                      DisableJtagPort();
                  }));
        }
    }
    g_fpgaData = nullptr;
    g_fpgaSize = 0;
    Write("sim_box", "serial_flash_id.seq", Record("flash=M25P40", [] {
              EnableEepromPort();
              if (EntryEepromMode()) {
                  ReadEepromType();
                  ExitEepromMode();
              }
              DisableEepromPort();
          }));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    g_corpus = argv[1];
    vexu::VirtualClock clock;
    vexu::ScopedClock scopedClock(clock);
    ImageSeeds("engine_image", true);
    ImageSeeds("image_info", false);
    SettingSeeds();
    BoxSeeds();
    return 0;
}
