#include "platform/hidapi_backend.h"
#include "tools/cli.h"

namespace vexu::cli {

std::unique_ptr<HidBackend> MakeBackend(const GlobalOptions& options, std::string& error) {
    if (options.simulate) {
        error = "the simulated box is not available in this build";
        return nullptr;
    }
    return MakeHidapiBackend();
}

}  // namespace vexu::cli
