#include "run/build_info.h"

#include <cstdio>

std::string VersionText(const char* program) {
    const EmbeddedImageFacts& images = kEmbeddedImageFacts;
    char fpga[96];
    snprintf(fpga, sizeof fpga, "FPGA data image: ID code 0x%08X, CRC 0x%04X%s", static_cast<unsigned>(images.fpgaIdCode),
             static_cast<unsigned>(images.fpgaCrc), images.fpgaIsDemo ? " (demo image)" : "");
    std::string text = std::string(program) + " " + kVexuVersion + "\n";
    text += std::string("source revision ") + kSourceRevision + "\n";
    text += std::string(fpga) + "\n";
    text += "serial-flash image: " + std::to_string(images.eepromSize) + " bytes, SHA-256 " + images.eepromSha256 +
            (images.eepromIsDemo ? " (demo image)" : "") + "\n";
    return text;
}
