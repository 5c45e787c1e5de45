#include <cstdio>

#include "link/dev_manage.h"
#include "tools/cli.h"

namespace vexu::cli {

// Lists every HID interface that answers with the programmer box's ids.
int RunList(const GlobalOptions& options) {
    std::string error;
    std::unique_ptr<HidBackend> backend = MakeBackend(options, error);
    if (!backend) {
        fprintf(stderr, "%s\n", error.c_str());
        return kExitFailed;
    }
    std::vector<HidDeviceInfo> devices;
    if (!backend->Enumerate(devices)) {
        fprintf(stderr, "cannot list the HID devices\n");
        return kExitFailed;
    }
    int boxes = 0;
    for (const HidDeviceInfo& device : devices) {
        for (const HidInterfaceInfo& interface : device.interfaces) {
            HidHandle handle = backend->Open(interface.path);
            if (!handle) continue;
            uint16_t vendorId = 0;
            uint16_t productId = 0;
            if (backend->GetAttributes(handle, vendorId, productId) && vendorId == kProgrammerVendorId &&
                productId == kProgrammerProductId) {
                printf("%s  VID:0x%04X PID:0x%04X\n", interface.path.c_str(), vendorId, productId);
                ++boxes;
            }
            backend->Close(handle);
        }
    }
    if (boxes == 0) {
        fprintf(stderr, "no programmer box found (%zu HID devices examined)\n", devices.size());
        return kExitNoBox;
    }
    printf("%d programmer box%s\n", boxes, boxes == 1 ? "" : "es");
    return kExitOk;
}

}  // namespace vexu::cli
