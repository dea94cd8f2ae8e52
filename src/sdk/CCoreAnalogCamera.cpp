#include "sdk/CCoreAnalogCamera.h"

namespace veltcam {
namespace {

constexpr int kFeatureValue = CCoreSettingsCamera::kFeatureValue;
constexpr int kFeatureDefault = CCoreSettingsCamera::kFeatureDefault;
constexpr int kBlackLevel = CCoreSettingsCamera::kBlackLevelGroup;
constexpr int kShortExposure = CCoreSettingsCamera::kShortExposureGroup;
constexpr int kGainMode = CCoreSettingsCamera::kGainModeGroup;

int FeatureValue(CVeltCamD3A7Base& core, int group, int which) {
    int value = 0;
    core.GetFeatureValue(group, which, &value);
    return value;
}

}  // namespace

void CCoreAnalogCamera::SetColorGain(int channel, int value) {
    switch (channel) {
        case 0: core_.SetColorGainRed(value); break;
        case 1: core_.SetColorGainGreen1(value); break;
        case 2: core_.SetColorGainGreen2(value); break;
        default: core_.SetColorGainBlue(value); break;
    }
}

DoubleRange CCoreAnalogCamera::RealExposureRange() {
    const DoubleRange ms = stored_.ExposureMsRange();
    return {ms.min / 1000.0, ms.max / 1000.0};
}

double CCoreAnalogCamera::RealExposureDefault() {
    double ms = 0.0;
    core_.GetExposureMsDefault(&ms);
    return ms / 1000.0;
}

int CCoreAnalogCamera::BlackLevelDefault() {
    return FeatureValue(core_, kBlackLevel, kFeatureDefault);
}

void CCoreAnalogCamera::SetBlackLevel(int value) { core_.SetFeature(kBlackLevel, value); }

int CCoreAnalogCamera::Cooling() {
    int on = 0;
    core_.GetPeltier(&on);
    return on;
}

bool CCoreAnalogCamera::HasShortExposure() {
    return core_.IsFeatureSupported(kShortExposure) != 0;
}

void CCoreAnalogCamera::SetShortExposure(int on) { core_.SetFeature(kShortExposure, on); }

int CCoreAnalogCamera::GainMode() {
    if (!core_.IsFeatureSupported(kGainMode)) return -1;
    return FeatureValue(core_, kGainMode, kFeatureValue);
}

void CCoreAnalogCamera::SetGainMode(int mode) { core_.SetFeature(kGainMode, mode); }

}  // namespace veltcam
