// A setting dialog's access to plain records, without a lock: a model test owns the
// records and watches every change the model makes to them.
#pragma once

#include <array>

#include "ui/SettingsAccess.h"

namespace veltcam::test {

class RecordSettings final : public ui::CSettingsAccess {
  public:
    RecordSettings(ImageSettings& image, std::array<bool, 2>& whiteBalanceOnce)
        : image_(&image), once_(&whiteBalanceOnce) {}
    // The analog dialog touches only the camera settings and the Bayer mode.
    RecordSettings(CameraSettings& camera, int& bayerMode)
        : camera_(&camera), bayerMode_(&bayerMode) {}

    void WithImageSettings(const ImageAccess& access) override {
        if (image_ != nullptr) {
            access(*image_, *once_);
            return;
        }
        ImageSettings image;
        image.bayerMode = *bayerMode_;
        std::array<bool, 2> once{};
        access(image, once);
        *bayerMode_ = image.bayerMode;
    }
    void WithCameraSettings(const CameraAccess& access) override { access(*camera_); }

  private:
    ImageSettings* image_ = nullptr;
    std::array<bool, 2>* once_ = nullptr;
    CameraSettings* camera_ = nullptr;
    int* bayerMode_ = nullptr;
};

}  // namespace veltcam::test
