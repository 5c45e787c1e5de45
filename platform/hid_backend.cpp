#include "platform/hid_backend.h"

namespace vexu {

const char* HidOpenErrorText(HidOpenError error) {
    switch (error) {
        case HidOpenError::kNone: return "opened";
        case HidOpenError::kInUse: return "in use by another program";
        case HidOpenError::kDenied: return "permission denied";
        case HidOpenError::kMissing: return "no such device";
        case HidOpenError::kFailed: break;
    }
    return "cannot be opened";
}

}  // namespace vexu
