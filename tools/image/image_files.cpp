#include "tools/image/image_files.h"

#include <string_view>

#include "platform/files.h"

namespace vexu::image {

bool ReadBinaryFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error, const char* what,
                    uint64_t maxBytes) {
    return ReadUserFile(path, maxBytes, what, bytes, error);
}

bool WriteBinaryFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error) {
    return WriteFileWhole(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), error);
}

}  // namespace vexu::image
