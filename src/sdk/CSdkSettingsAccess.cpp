#include "sdk/CSdkSettingsAccess.h"

#include <mutex>

#include "sdk/CVeltCam.h"

namespace veltcam {

void CSdkSettingsAccess::WithImageSettings(const ImageAccess& access) {
    std::lock_guard<std::recursive_mutex> lock(cam_.imageLock_);
    access(cam_.imageSettings_, cam_.whiteBalanceOnce_);
}

void CSdkSettingsAccess::WithCameraSettings(const CameraAccess& access) {
    std::lock_guard<std::recursive_mutex> lock(cam_.imageLock_);
    access(cam_.cameraSettings_);
}

}  // namespace veltcam
