// The image dialog without its window: sliders over the image settings, the Bayer
// and gray-mode radios, white balance "Once" / "All frames", the gray page's balance
// boxes, Default, and Cancel putting back the settings the dialog opened with.
// Changes reach the settings at once, so the running picture shows them.
#pragma once

#include <array>

#include "sdk/CVeltCam.h"

namespace veltcam::ui {

class CImageDialogModel {
  public:
    enum Slider {
        kBrightness,
        kContrast,
        kHue,
        kSaturation,
        kSharpness,
        kRedGain,
        kGreenGain,
        kBlueGain,
        kGamma,
        kGrayGainFirst,                         // R, G1, G2, B
        kGrayOffsetFirst = kGrayGainFirst + 4,  // R, G1, G2, B
        kSliderCount = kGrayOffsetFirst + 4,
    };
    struct SliderRange {
        int min;
        int max;
        int tick;
    };
    // The trackbar's range and tick frequency.
    static SliderRange Range(Slider slider);

    // `settings` and `whiteBalanceOnce` are the SDK object's, edited in place.
    CImageDialogModel(ImageSettings& settings, std::array<bool, 2>& whiteBalanceOnce,
                      int colorModeIndex);

    bool HasGrayPage() const { return monochrome_; }
    bool IsEnabled(Slider slider) const;
    bool AreColorControlsEnabled() const { return !monochrome_; }  // white balance, Bayer radios
    int Value(Slider slider) const;
    // A typed or dragged value; limited to what the setting's setter accepts.
    void SetValue(Slider slider, int value);
    int BayerMode() const { return settings_.bayerMode; }
    void SelectBayerMode(int mode);
    int GrayMode() const { return settings_.grayMode; }
    void SelectGrayMode(int mode);

    // Image page: balance the next colour frame once, or every frame while checked.
    void WhiteBalanceOnce();
    void SetWhiteBalanceAllFrames(bool checked);
    bool IsWhiteBalanceAllFramesChecked() const;
    // Gray page: gains from the next frame, or toggle balancing on every frame.
    void GrayBalanceOnce();
    void ToggleGrayBalanceAllFrames();

    void Default();
    // OK keeps the edited settings; anything else restores the saved ones.
    void Finish(bool ok);

  private:
    int& Field(Slider slider) const;

    ImageSettings& settings_;
    std::array<bool, 2>& whiteBalanceOnce_;
    ImageSettings saved_;
    std::array<bool, 2> savedOnce_;
    bool monochrome_;
};

}  // namespace veltcam::ui
