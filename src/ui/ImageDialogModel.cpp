#include "ui/ImageDialogModel.h"

#include <algorithm>

namespace veltcam::ui {

namespace {

constexpr CImageDialogModel::SliderRange kRanges[] = {
    {-255, 255, 64},  // brightness
    {-127, 127, 32},  // contrast
    {-360, 360, 90},  // hue
    {-255, 255, 64},  // saturation
    {0, 30, 4},       // sharpness
    {0, 400, 32},     // red gain
    {0, 400, 32},     // green gain
    {0, 400, 32},     // blue gain
    {0, 200, 32},     // gamma
};

// The gray gains' setter takes 0..255 although the trackbar reaches 400.
constexpr int kGrayGainMax = 255;

}  // namespace

CImageDialogModel::SliderRange CImageDialogModel::Range(Slider slider) {
    if (slider < kGrayGainFirst) return kRanges[slider];
    if (slider < kGrayOffsetFirst) return {0, 400, 32};
    return {-255, 255, 32};
}

CImageDialogModel::CImageDialogModel(ImageSettings& settings, std::array<bool, 2>& whiteBalanceOnce,
                                     int colorModeIndex)
    : settings_(settings),
      whiteBalanceOnce_(whiteBalanceOnce),
      saved_(settings),
      savedOnce_(whiteBalanceOnce),
      monochrome_(colorModeIndex == 0 || colorModeIndex == 1) {}

int& CImageDialogModel::Field(Slider slider) const {
    ImageSettings& s = settings_;
    switch (slider) {
        case kBrightness:
            return s.brightness;
        case kContrast:
            return s.contrast;
        case kHue:
            return s.hue;
        case kSaturation:
            return s.saturation;
        case kSharpness:
            return s.sharpness;
        case kRedGain:
            return s.bayerGainRed;
        case kGreenGain:
            return s.bayerGainGreen;
        case kBlueGain:
            return s.bayerGainBlue;
        case kGamma:
            return s.gamma;
        default:
            break;
    }
    if (slider < kGrayOffsetFirst) return s.grayGain[slider - kGrayGainFirst];
    return s.grayOffset[slider - kGrayOffsetFirst];
}

bool CImageDialogModel::IsEnabled(Slider slider) const {
    if (slider >= kGrayGainFirst) return monochrome_;
    bool colourOnly = slider == kHue || slider == kSaturation || slider == kRedGain ||
                      slider == kGreenGain || slider == kBlueGain;
    return !colourOnly || !monochrome_;
}

int CImageDialogModel::Value(Slider slider) const { return Field(slider); }

void CImageDialogModel::SetValue(Slider slider, int value) {
    // Values reach the pipeline as they are: a contrast of 128 would divide by zero
    // there, so a typed value is limited like the setters limit theirs.
    SliderRange range = Range(slider);
    int max = slider >= kGrayGainFirst && slider < kGrayOffsetFirst ? kGrayGainMax : range.max;
    Field(slider) = std::clamp(value, range.min, max);
}

void CImageDialogModel::SelectBayerMode(int mode) {
    if (mode >= 0 && mode <= 3) settings_.bayerMode = mode;
}

void CImageDialogModel::SelectGrayMode(int mode) {
    if (mode >= 0 && mode <= 2) settings_.grayMode = mode;
}

void CImageDialogModel::WhiteBalanceOnce() {
    // The pipeline balances the next colour frame and then clears all three.
    settings_.bayerGainAuto = 1;
    whiteBalanceOnce_ = {true, true};
}

void CImageDialogModel::SetWhiteBalanceAllFrames(bool checked) {
    settings_.bayerGainAuto = checked ? 1 : 0;
    whiteBalanceOnce_ = {false, false};
}

bool CImageDialogModel::IsWhiteBalanceAllFramesChecked() const {
    return settings_.bayerGainAuto != 0 && !whiteBalanceOnce_[0] && !whiteBalanceOnce_[1];
}

void CImageDialogModel::GrayBalanceOnce() { settings_.grayBalanceFrames = 1; }

void CImageDialogModel::ToggleGrayBalanceAllFrames() {
    // -1 balances every frame; the pipeline counts only positive values down.
    settings_.grayBalanceFrames = settings_.grayBalanceFrames == 0 ? -1 : 0;
}

void CImageDialogModel::Default() {
    ImageSettings& s = settings_;
    s.brightness = s.contrast = s.hue = s.saturation = s.sharpness = 0;
    s.bayerGainRed = s.bayerGainGreen = s.bayerGainBlue = 100;
    s.gamma = 100;
    s.bayerMode = 3;
    if (monochrome_) {
        s.grayGain.fill(128);
        s.grayOffset.fill(128);
    }
}

void CImageDialogModel::Finish(bool ok) {
    if (ok) return;
    settings_ = saved_;
    whiteBalanceOnce_ = savedOnce_;
}

}  // namespace veltcam::ui
