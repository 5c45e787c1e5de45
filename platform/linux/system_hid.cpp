#include "platform/system_hid.h"

#include "platform/hidapi_backend.h"

namespace vexu {

std::unique_ptr<HidBackend> MakeSystemHidBackend() { return MakeHidapiBackend(); }

std::unique_ptr<HotplugMonitor> MakeSystemHotplugMonitor() { return MakeUdevHotplugMonitor(); }

const char* HidAccessHint() {
    return "the udev rule 70-vexu-programmer.rules (in packaging/, installed with the program) grants access to the "
           "user at the seat";
}

}  // namespace vexu
