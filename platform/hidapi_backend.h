// HID services for real programmer boxes: hidapi over Linux hidraw.
#pragma once

#include <memory>

#include "platform/hid_backend.h"

namespace vexu {

std::unique_ptr<HidBackend> MakeHidapiBackend();

}  // namespace vexu
