#include "sim/idcode_device.h"

namespace vexu::sim {

void IdcodeDevice::CaptureDr() { shift_ = SelectsIdcode() ? idcode_ : 0; }

bool IdcodeDevice::ShiftDr(bool tdi) {
    const bool tdo = shift_ & 1;
    const unsigned length = SelectsIdcode() ? 32 : 1;
    shift_ = (shift_ >> 1) | (static_cast<uint32_t>(tdi) << (length - 1));
    return tdo;
}

}  // namespace vexu::sim
