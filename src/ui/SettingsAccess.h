// How a setting dialog reaches the SDK object's settings while frames stream.
//
// The display thread converts every frame from these records (and the balances and
// auto iris write back into them), so a dialog never holds a reference into them:
// it reads and changes them only through this interface, whose owner runs each
// access under the same image lock its setters take.
#pragma once

#include <array>
#include <functional>

#include "imaging/ImageSettings.h"
#include "ui/SettingsRecords.h"

namespace veltcam::ui {

class CSettingsAccess {
  public:
    // `whiteBalanceOnce`: the two once-flags next to the white balance switch.
    using ImageAccess =
        std::function<void(ImageSettings& settings, std::array<bool, 2>& whiteBalanceOnce)>;
    using CameraAccess = std::function<void(CameraSettings& settings)>;

    virtual ~CSettingsAccess() = default;

    // Runs `access` on the records under the owner's lock; a read is an access that
    // copies out and changes nothing. `access` must not call back into the owner.
    virtual void WithImageSettings(const ImageAccess& access) = 0;
    virtual void WithCameraSettings(const CameraAccess& access) = 0;
};

}  // namespace veltcam::ui
