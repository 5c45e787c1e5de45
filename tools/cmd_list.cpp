#include <cstdio>

#include "link/dev_manage.h"
#include "tools/cli.h"
#include "tools/cli_session.h"

namespace vexu::cli {

// Lists every HID interface that answers with the programmer box's ids.
// It only looks: no box is opened for a session.
int RunList(const GlobalOptions& options) {
    Reporter out(options, "list");
    std::string error;
    std::unique_ptr<HidBackend> backend = MakeBackend(options, error);
    if (!backend) return out.Finish(kExitFailed, error);
    std::vector<HidDeviceInfo> devices;
    if (!backend->Enumerate(devices)) return out.Finish(kExitFailed, "cannot list the HID devices");
    int boxes = 0;
    for (const HidDeviceInfo& device : devices) {
        for (const HidInterfaceInfo& interface : device.interfaces) {
            HidHandle handle = backend->Open(interface.path);
            if (!handle) continue;
            uint16_t vendorId = 0;
            uint16_t productId = 0;
            if (backend->GetAttributes(handle, vendorId, productId) && vendorId == kProgrammerVendorId &&
                productId == kProgrammerProductId) {
                char line[64];
                snprintf(line, sizeof line, "  VID:0x%04X PID:0x%04X", vendorId, productId);
                out.Say(interface.path + line);
                out.Emit(JsonObject().Text("event", "box").Text("path", interface.path));
                ++boxes;
            }
            backend->Close(handle);
        }
    }
    if (boxes == 0)
        return out.Finish(kExitNoBox,
                          "no programmer box found (" + std::to_string(devices.size()) + " HID devices examined)");
    out.Say(std::to_string(boxes) + (boxes == 1 ? " programmer box" : " programmer boxes"));
    return out.Finish(kExitOk, "", out.Result(kExitOk, "").Number("boxes", boxes));
}

}  // namespace vexu::cli
