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

CImageDialogModel::CImageDialogModel(CSettingsAccess& settings, int colorModeIndex)
    : settings_(settings), monochrome_(colorModeIndex == 0 || colorModeIndex == 1) {
    settings_.WithImageSettings([this](ImageSettings& s, std::array<bool, 2>& once) {
        saved_ = s;
        savedOnce_ = once;
    });
}

ImageSettings CImageDialogModel::Current() const {
    ImageSettings current;
    settings_.WithImageSettings([&](ImageSettings& s, std::array<bool, 2>&) { current = s; });
    return current;
}

void CImageDialogModel::Change(const std::function<void(ImageSettings&)>& change) {
    settings_.WithImageSettings([&](ImageSettings& s, std::array<bool, 2>&) { change(s); });
}

int& CImageDialogModel::Field(ImageSettings& s, Slider slider) {
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

int CImageDialogModel::Value(Slider slider) const {
    ImageSettings current = Current();
    return Field(current, slider);
}

int CImageDialogModel::BayerMode() const { return Current().bayerMode; }

int CImageDialogModel::GrayMode() const { return Current().grayMode; }

void CImageDialogModel::SetValue(Slider slider, int value) {
    // Values reach the pipeline as they are: a contrast of 128 would divide by zero
    // there, so a typed value is limited like the setters limit theirs.
    SliderRange range = Range(slider);
    int max = slider >= kGrayGainFirst && slider < kGrayOffsetFirst ? kGrayGainMax : range.max;
    const int limited = std::clamp(value, range.min, max);
    Change([&](ImageSettings& s) { Field(s, slider) = limited; });
}

void CImageDialogModel::SelectBayerMode(int mode) {
    if (mode >= 0 && mode <= 3) Change([&](ImageSettings& s) { s.bayerMode = mode; });
}

void CImageDialogModel::SelectGrayMode(int mode) {
    if (mode >= 0 && mode <= 2) Change([&](ImageSettings& s) { s.grayMode = mode; });
}

void CImageDialogModel::WhiteBalanceOnce() {
    // The pipeline balances the next colour frame and then clears all three.
    settings_.WithImageSettings([](ImageSettings& s, std::array<bool, 2>& once) {
        s.bayerGainAuto = 1;
        once = {true, true};
    });
}

void CImageDialogModel::SetWhiteBalanceAllFrames(bool checked) {
    settings_.WithImageSettings([checked](ImageSettings& s, std::array<bool, 2>& once) {
        s.bayerGainAuto = checked ? 1 : 0;
        once = {false, false};
    });
}

bool CImageDialogModel::IsWhiteBalanceAllFramesChecked() const {
    bool checked = false;
    settings_.WithImageSettings([&](ImageSettings& s, std::array<bool, 2>& once) {
        checked = s.bayerGainAuto != 0 && !once[0] && !once[1];
    });
    return checked;
}

void CImageDialogModel::GrayBalanceOnce() {
    Change([](ImageSettings& s) { s.grayBalanceFrames = 1; });
}

void CImageDialogModel::ToggleGrayBalanceAllFrames() {
    // -1 balances every frame; the pipeline counts only positive values down.
    Change([](ImageSettings& s) { s.grayBalanceFrames = s.grayBalanceFrames == 0 ? -1 : 0; });
}

void CImageDialogModel::Default() {
    Change([this](ImageSettings& s) {
        s.brightness = s.contrast = s.hue = s.saturation = s.sharpness = 0;
        s.bayerGainRed = s.bayerGainGreen = s.bayerGainBlue = 100;
        s.gamma = 100;
        s.bayerMode = 3;
        if (monochrome_) {
            s.grayGain.fill(128);
            s.grayOffset.fill(128);
        }
    });
}

void CImageDialogModel::Finish(bool ok) {
    if (ok) return;
    settings_.WithImageSettings([this](ImageSettings& s, std::array<bool, 2>& once) {
        s = saved_;
        once = savedOnce_;
    });
}

}  // namespace veltcam::ui
