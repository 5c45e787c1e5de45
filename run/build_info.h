// What this build is: its version, the source revision it was made from,
// and the images it carries. The values are filled in at build time (the
// revision by cmake/source_revision.cmake, the images by vexu-resgen from
// the files it embeds) and linked into every executable that carries the
// images.
#pragma once

#include <cstdint>
#include <string>

extern const char* const kVexuVersion;     // "1.0.0"
extern const char* const kSourceRevision;  // git describe of the source, or "unknown"

// The embedded images, as their plain files were when the build embedded them.
struct EmbeddedImageFacts {
    uint32_t fpgaIdCode;       // the FPGA data image's expected ID code
    uint16_t fpgaCrc;          // its CRC-16 trailer
    bool fpgaIsDemo;           // the build's demo image, not a file given to CMake
    uint32_t eepromSize;       // the serial-flash image's length in bytes
    const char* eepromSha256;  // its SHA-256, 64 lower-case hexadecimal digits
    bool eepromIsDemo;
};
extern const EmbeddedImageFacts kEmbeddedImageFacts;

// The --version text of a program (its name first), one fact per line:
//   vexu-cli 1.0.0
//   source revision 0eca60e1a2b3
//   FPGA data image: ID code 0x029121CF, CRC 0x4B1D (demo image)
//   serial-flash image: 262144 bytes, SHA-256 9f0c... (demo image)
std::string VersionText(const char* program);
