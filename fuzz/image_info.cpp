// "vexu-cli image info" on arbitrary bytes: the inspector and the report it
// prints. Whatever the header and directory claim, every read stays within
// the input (an exact-size copy, so the sanitizers see any read past it),
// and the report is made without fault.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/image/image_info.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> bytes(data, data + size);
    const vexu::image::ImageInfo info = vexu::image::InspectImage(bytes.data(), bytes.size());
    const std::string report = vexu::image::FormatImageInfo(info, bytes.data(), bytes.size());
    // The image is never taken to be larger than the file.
    if (info.imageSize > bytes.size() || info.fileSize != bytes.size()) __builtin_trap();
    (void)report;
    return 0;
}
