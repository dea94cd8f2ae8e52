#include "ui/AnalogDialogModel.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace veltcam::ui {

namespace {

// Unit labels in TimeUnit order. The micro sign is kept as UTF-8 so that it shows
// on any system code page, not only a Japanese one.
constexpr const char* kUnitLabels[] = {"ns", "\xC2\xB5s", "ms", "sec"};
constexpr double kUnitsPerSecond[] = {1e9, 1e6, 1e3, 1.0};

CAnalogDialogModel::SliderRange SliderOver(IntRange range) {
    return {range.min, range.max, (range.max - range.min) / 8};
}

}  // namespace

CAnalogDialogModel::TimeUnit CAnalogDialogModel::UnitOf(double seconds) {
    if (seconds > 1.0) return kSeconds;
    if (seconds >= 0.001) return kMilliseconds;
    if (seconds >= 0.000001) return kMicroseconds;
    return kNanoseconds;
}

double CAnalogDialogModel::InUnit(double seconds, TimeUnit unit) {
    return seconds * kUnitsPerSecond[unit];
}

CAnalogDialogModel::CAnalogDialogModel(CAnalogCamera& camera, CSettingsAccess& settings)
    : camera_(camera),
      settings_(settings),
      colorPage_(camera.HasColorOutput()),
      hasRealExposure_(camera.HasRealExposure()),
      hasBlackLevel_(camera.HasBlackLevel()),
      hasCooling_(camera.HasCooling()),
      hasShortExposure_(camera.HasShortExposure()),
      hasGainMode_(camera.GainMode() != -1) {
    // The dialog opens on what the camera runs with, which auto iris or the
    // sensor's own limits may have moved away from the cached values.
    CameraSettings running;
    running.globalGain = camera_.Gain();
    for (int channel = 0; channel < 4; ++channel) {
        running.colorGain[channel] = camera_.ColorGain(channel);
    }
    running.exposureUnits = camera_.Exposure();
    if (hasRealExposure_) running.exposureMs = camera_.RealExposure() * 1000.0;
    running.mirrorV = camera_.MirrorV();
    running.mirrorH = camera_.MirrorH();
    const int gainMode = hasGainMode_ ? camera_.GainMode() : 0;
    Change([&](CameraSettings& s) {
        s.globalGain = running.globalGain;
        s.colorGain = running.colorGain;
        s.exposureUnits = running.exposureUnits;
        if (hasRealExposure_) s.exposureMs = running.exposureMs;
        s.mirrorV = running.mirrorV;
        s.mirrorH = running.mirrorH;
        saved_ = s;
        if (hasGainMode_) s.setting104 = gainMode;
    });
    settings_.WithImageSettings(
        [this](ImageSettings& s, std::array<bool, 2>&) { savedBayerMode_ = s.bayerMode; });
    if (hasCooling_) cooling_ = camera_.Cooling();

    ranges_[kGlobalGain] = SliderOver(camera_.GainRange());
    const SliderRange color = SliderOver(camera_.ColorGainRange());
    for (Slider s : {kColorGainG1, kColorGainR, kColorGainB, kColorGainG2}) ranges_[s] = color;
    ranges_[kExposure] = SliderOver(camera_.ExposureRange());
    if (hasBlackLevel_) ranges_[kBlackLevel] = SliderOver(camera_.BlackLevelRange());

    if (hasRealExposure_) {
        const DoubleRange range = camera_.RealExposureRange();
        const TimeUnit first = UnitOf(range.min);
        const TimeUnit last = UnitOf(range.max);
        for (int unit = first; unit <= last; ++unit) {
            units_.push_back(static_cast<TimeUnit>(unit));
            unitItems_.push_back(kUnitLabels[unit]);
        }
        char text[96];
        std::snprintf(text, sizeof text, "range: %d%s - %d%s",
                      static_cast<int>(InUnit(range.min, first)), kUnitLabels[first],
                      static_cast<int>(InUnit(range.max, last)), kUnitLabels[last]);
        rangeText_ = text;
        // Show the current time in its own unit when the list has it.
        auto own = std::find(units_.begin(), units_.end(), UnitOf(camera_.RealExposure()));
        unitSelection_ = own == units_.end() ? 0 : static_cast<int>(own - units_.begin());
    }
}

CameraSettings CAnalogDialogModel::Current() const {
    CameraSettings current;
    settings_.WithCameraSettings([&](CameraSettings& s) { current = s; });
    return current;
}

void CAnalogDialogModel::Change(const std::function<void(CameraSettings&)>& change) {
    settings_.WithCameraSettings(change);
}

int& CAnalogDialogModel::Field(CameraSettings& settings, Slider slider) {
    switch (slider) {
        case kGlobalGain:
            return settings.globalGain;
        case kColorGainG1:
            return settings.colorGain[1];
        case kColorGainR:
            return settings.colorGain[0];
        case kColorGainB:
            return settings.colorGain[3];
        case kColorGainG2:
            return settings.colorGain[2];
        case kExposure:
            return settings.exposureUnits;
        default:
            return settings.setting106;  // black level
    }
}

bool CAnalogDialogModel::IsShown(Slider slider) const {
    switch (slider) {
        case kColorGainG1:
        case kColorGainR:
        case kColorGainB:
        case kColorGainG2:
            return colorPage_;
        case kExposure:
            return !hasRealExposure_;
        case kBlackLevel:
            return !colorPage_ && hasBlackLevel_;
        default:
            return true;
    }
}

bool CAnalogDialogModel::IsEnabled(Slider slider) const {
    // The colour gains are shown for information; the global gain drives the sensor.
    return IsShown(slider) && (slider == kGlobalGain || slider >= kExposure);
}

int CAnalogDialogModel::Value(Slider slider) const {
    CameraSettings current = Current();
    return Field(current, slider);
}

void CAnalogDialogModel::SetValue(Slider slider, int value) {
    // The cache keeps what the camera really runs with, so the same limit applies
    // to both; an out-of-range gain never reaches the sensor's registers.
    const SliderRange range = ranges_[slider];
    value = std::clamp(value, range.min, std::max(range.min, range.max));
    Change([&](CameraSettings& s) { Field(s, slider) = value; });
    switch (slider) {
        case kGlobalGain:
            camera_.SetGain(value);
            break;
        case kColorGainG1:
            camera_.SetColorGain(1, value);
            break;
        case kColorGainR:
            camera_.SetColorGain(0, value);
            break;
        case kColorGainB:
            camera_.SetColorGain(3, value);
            break;
        case kColorGainG2:
            camera_.SetColorGain(2, value);
            break;
        case kExposure:
            SendExposure(value);
            break;
        default:
            if (hasBlackLevel_) camera_.SetBlackLevel(value);
            break;
    }
}

void CAnalogDialogModel::SendExposure(int units) {
    camera_.SetExposure(units);
    ReadExposureBack();
}

void CAnalogDialogModel::ReadExposureBack() {
    const int units = camera_.Exposure();
    const double ms = hasRealExposure_ ? camera_.RealExposure() * 1000.0 : 0.0;
    Change([&](CameraSettings& s) {
        s.exposureUnits = units;
        if (hasRealExposure_) s.exposureMs = ms;
    });
}

void CAnalogDialogModel::SelectUnit(int item) {
    if (item >= 0 && item < static_cast<int>(units_.size())) unitSelection_ = item;
}

std::string CAnalogDialogModel::RealExposureText() const {
    if (!hasRealExposure_ || units_.empty()) return "";
    char text[64];
    std::snprintf(text, sizeof text, "%g",
                  InUnit(Current().exposureMs / 1000.0, units_[unitSelection_]));
    return text;
}

bool CAnalogDialogModel::SetRealExposureText(const std::string& text) {
    if (!hasRealExposure_ || units_.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || errno != 0 || !std::isfinite(value)) return false;
    camera_.SetRealExposure(value / kUnitsPerSecond[units_[unitSelection_]]);
    ReadExposureBack();
    return true;
}

void CAnalogDialogModel::SetMirrorV(bool on) {
    const int mirror = on ? 1 : 0;
    Change([mirror](CameraSettings& s) { s.mirrorV = mirror; });
    camera_.SetMirrorV(mirror);
}

void CAnalogDialogModel::SetMirrorH(bool on) {
    const int mirror = on ? 1 : 0;
    Change([mirror](CameraSettings& s) { s.mirrorH = mirror; });
    camera_.SetMirrorH(mirror);
}

void CAnalogDialogModel::SetAutoIrisGain(bool checked) {
    Change([checked](CameraSettings& s) { s.autoIris = checked ? 2 : 0; });
}

void CAnalogDialogModel::SetAutoIrisExposure(bool checked) {
    Change([checked](CameraSettings& s) { s.autoIris = checked ? 1 : 0; });
}

void CAnalogDialogModel::SetCooling(bool on) {
    if (!hasCooling_) return;
    cooling_ = on ? 1 : 0;
    camera_.SetCooling(cooling_);
}

void CAnalogDialogModel::SetShortExposure(bool on) {
    if (!hasShortExposure_) return;
    const int value = on ? 1 : 0;
    Change([value](CameraSettings& s) { s.setting105 = value; });
    camera_.SetShortExposure(value);
}

void CAnalogDialogModel::SelectGainMode(int item) {
    if (!hasGainMode_ || item < 0 || item > 1) return;
    Change([item](CameraSettings& s) { s.setting104 = item; });
    camera_.SetGainMode(item);
}

void CAnalogDialogModel::Default() {
    SetValue(kGlobalGain, camera_.GainDefault());
    const int color = camera_.ColorGainDefault();
    for (Slider s : {kColorGainG1, kColorGainR, kColorGainB, kColorGainG2}) SetValue(s, color);
    if (hasRealExposure_) {
        camera_.SetRealExposure(camera_.RealExposureDefault());
        ReadExposureBack();
    } else {
        SetValue(kExposure, camera_.ExposureDefault());
    }
    if (hasBlackLevel_) SetValue(kBlackLevel, camera_.BlackLevelDefault());
    SetCooling(true);
    SetShortExposure(false);
    SelectGainMode(0);
}

void CAnalogDialogModel::Finish(bool ok) {
    if (ok) return;
    camera_.SetGain(saved_.globalGain);
    for (int channel = 0; channel < 4; ++channel) {
        camera_.SetColorGain(channel, saved_.colorGain[channel]);
    }
    if (hasRealExposure_) {
        camera_.SetRealExposure(saved_.exposureMs / 1000.0);
    } else {
        camera_.SetExposure(saved_.exposureUnits);
    }
    camera_.SetMirrorV(saved_.mirrorV);
    camera_.SetMirrorH(saved_.mirrorH);
    Change([this](CameraSettings& s) { s = saved_; });
    settings_.WithImageSettings(
        [this](ImageSettings& s, std::array<bool, 2>&) { s.bayerMode = savedBayerMode_; });
}

}  // namespace veltcam::ui
