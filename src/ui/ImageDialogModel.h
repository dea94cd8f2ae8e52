// The image dialog without its window: sliders over the image settings, the Bayer
// and gray-mode radios, white balance "Once" / "All frames", the gray page's balance
// boxes, Default, and Cancel putting back the settings the dialog opened with.
// Changes reach the settings at once, so the running picture shows them.
#pragma once

#include <array>

#include "ui/SettingsAccess.h"

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

    // Edits the image settings and once-flags that `settings` reaches.
    CImageDialogModel(CSettingsAccess& settings, int colorModeIndex);

    bool HasGrayPage() const { return monochrome_; }
    bool IsEnabled(Slider slider) const;
    bool AreColorControlsEnabled() const { return !monochrome_; }  // white balance, Bayer radios
    int Value(Slider slider) const;
    // A typed or dragged value; limited to what the setting's setter accepts.
    void SetValue(Slider slider, int value);
    int BayerMode() const;
    void SelectBayerMode(int mode);
    int GrayMode() const;
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
    static int& Field(ImageSettings& settings, Slider slider);
    ImageSettings Current() const;
    // Changes the settings under the owner's lock.
    void Change(const std::function<void(ImageSettings&)>& change);

    CSettingsAccess& settings_;
    ImageSettings saved_;
    std::array<bool, 2> savedOnce_;
    bool monochrome_;
};

}  // namespace veltcam::ui
