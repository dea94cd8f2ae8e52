// Error codes by name, so that messages read the same as the header's enum.
#include <string>

#include "Failures.h"
#include "VeltCamSdk.h"

namespace veltcam::tool {

std::string ErrorName(int code) {
    switch (code) {
        case ERR_NONE:
            return "ERR_NONE";
        case ERR_NOT_READY:
            return "ERR_NOT_READY";
        case ERR_NO_DEVICE:
            return "ERR_NO_DEVICE";
        case ERR_THREAD:
            return "ERR_THREAD";
        case ERR_WINDOW:
            return "ERR_WINDOW";
        case ERR_MEMORY:
            return "ERR_MEMORY";
        case ERR_DEVICE_IO:
            return "ERR_DEVICE_IO";
        case ERR_IMAGE_SIZE:
            return "ERR_IMAGE_SIZE";
        case ERR_TRANSFER:
            return "ERR_TRANSFER";
        case ERR_PARAMETER:
            return "ERR_PARAMETER";
        case ERR_NOT_SUPPORTED:
            return "ERR_NOT_SUPPORTED";
        case ERR_FAILED:
            return "ERR_FAILED";
        case ERR_TIMEOUT:
            return "ERR_TIMEOUT";
        case ERR_MASK_FILE:
            return "ERR_MASK_FILE";
        default:
            return "code " + std::to_string(code);
    }
}

}  // namespace veltcam::tool
