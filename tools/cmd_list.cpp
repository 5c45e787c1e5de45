#include <cstdio>

#include "link/dev_manage.h"
#include "tools/cli.h"
#include "tools/cli_session.h"

namespace vexu::cli {

namespace {

// Whether an interface is a programmer box: from the device list when it
// carries the ids, else by opening the interface and reading them.
bool IsBox(HidBackend& backend, const HidInterfaceInfo& interface) {
    if (interface.idsKnown)
        return interface.vendorId == kProgrammerVendorId && interface.productId == kProgrammerProductId;
    HidHandle handle = backend.Open(interface.path);
    if (!handle) return false;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    const bool box = backend.GetAttributes(handle, vendorId, productId) && vendorId == kProgrammerVendorId &&
                     productId == kProgrammerProductId;
    backend.Close(handle);
    return box;
}

}  // namespace

// Lists every HID interface that answers with the programmer box's ids, and
// says of each whether this program could have it now (it is opened and at
// once closed again: no box is held for a session).
int RunList(const GlobalOptions& options) {
    Reporter out(options, "list");
    std::string error;
    std::unique_ptr<HidBackend> backend = MakeBackend(options, error);
    if (!backend) return out.Finish(kExitFailed, error);
    std::vector<HidDeviceInfo> devices;
    if (!backend->Enumerate(devices)) return out.Finish(kExitFailed, "cannot list the HID devices");
    int usable = 0;
    std::vector<BoxRefusal> refusals;
    for (const HidDeviceInfo& device : devices) {
        for (const HidInterfaceInfo& interface : device.interfaces) {
            if (interface.path.empty() || (!options.box.empty() && interface.path != options.box) ||
                !IsBox(*backend, interface))
                continue;
            const HidHandle handle = backend->Open(interface.path);
            std::string problem;
            if (handle) {
                backend->Close(handle);
                ++usable;
            } else {
                refusals.push_back({interface.path, backend->LastOpenError()});
                problem = DescribeRefusal(refusals.back());
            }
            char ids[64];
            snprintf(ids, sizeof ids, "  VID:0x%04X PID:0x%04X", kProgrammerVendorId, kProgrammerProductId);
            std::string line = interface.path + ids;
            if (!interface.location.empty()) line += "  location " + interface.location;
            if (!interface.serial.empty()) line += "  serial " + interface.serial;
            if (!problem.empty()) line += "  (" + problem + ")";
            out.Say(line);
            JsonObject event;
            event.Text("event", "box").Text("path", interface.path);
            auto textOrNull = [&event](const char* key, const std::string& value) {
                if (value.empty())
                    event.Null(key);
                else
                    event.Text(key, value);
            };
            textOrNull("location", interface.location);
            textOrNull("serial", interface.serial);
            event.Bool("available", handle != 0);
            if (!problem.empty()) event.Text("problem", problem);
            out.Emit(event);
        }
    }
    const int boxes = usable + static_cast<int>(refusals.size());
    if (boxes == 0 && !options.box.empty()) return out.Finish(kExitNoBox, NoBoxFailure({}, options.box).text);
    if (boxes == 0)
        return out.Finish(kExitNoBox,
                          "no programmer box found (" + std::to_string(devices.size()) + " HID devices examined)");
    out.Say(std::to_string(boxes) + (boxes == 1 ? " programmer box" : " programmer boxes"));
    if (usable == 0) {
        const NoBox noBox = NoBoxFailure(refusals, options.box);
        return out.Finish(noBox.exit, noBox.text, out.Result(noBox.exit, noBox.text).Number("boxes", boxes));
    }
    return out.Finish(kExitOk, "", out.Result(kExitOk, "").Number("boxes", boxes));
}

}  // namespace vexu::cli
