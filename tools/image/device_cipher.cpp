#include "tools/image/image_cipher.h"

namespace vexu::image {

// The simulated device's encrypted formats are not part of this build yet.
const ImageCipher* DeviceCipher() { return nullptr; }

}  // namespace vexu::image
