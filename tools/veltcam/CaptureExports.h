// The capture exports arrive in the library one by one; the build defines
// VELTCAM_TOOL_HAS_<Name> for each one the library already exports, so the tool
// links against any stage of it and the commands that need a missing export
// say so instead of failing to build.
#pragma once

#include <string>

#include "Failures.h"

namespace veltcam::tool {

[[noreturn]] inline void MissingExport(const std::string& name) {
    throw CSdkFailure("VeltCam_" + name +
                      " is not in this build of the SDK yet: ERR_NOT_SUPPORTED");
}

}  // namespace veltcam::tool
