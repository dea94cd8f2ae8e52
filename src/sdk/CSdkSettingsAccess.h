// The SDK object's image and camera settings as the setting dialogs reach them:
// every access runs under the object's image lock, the lock its setters and the
// display thread's conversion take, so a dialog edit never meets a frame halfway.
#pragma once

#include "ui/SettingsAccess.h"

namespace veltcam {

class CVeltCam;

class CSdkSettingsAccess final : public ui::CSettingsAccess {
  public:
    explicit CSdkSettingsAccess(CVeltCam& cam) : cam_(cam) {}

    void WithImageSettings(const ImageAccess& access) override;
    void WithCameraSettings(const CameraAccess& access) override;

  private:
    CVeltCam& cam_;
};

}  // namespace veltcam
