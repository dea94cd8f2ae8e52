#include "sdk/CCoreSettingsCamera.h"

namespace veltcam {

std::optional<IntRange> CCoreSettingsCamera::GainRange() {
    if (!HasSensor()) return std::nullopt;
    return IntRange{core_.GetGainMin(), core_.GetGainMax()};
}

std::optional<IntRange> CCoreSettingsCamera::ColorGainRange() {
    if (!HasSensor()) return std::nullopt;
    return IntRange{core_.GetColorGainMin(), core_.GetColorGainMax()};
}

std::optional<IntRange> CCoreSettingsCamera::ExposureRange() {
    if (!HasSensor()) return std::nullopt;
    return IntRange{core_.GetExposureTimeMin(), core_.GetExposureTimeMax()};
}

int CCoreSettingsCamera::ColorGain(int channel) {
    switch (channel) {
        case 0: return core_.GetColorGainRed();
        case 1: return core_.GetColorGainGreen1();
        case 2: return core_.GetColorGainGreen2();
        case 3: return core_.GetColorGainBlue();
        default: return 0;
    }
}

int CCoreSettingsCamera::BlackLevel() {
    int value = 0;
    core_.GetFeatureValue(kBlackLevelGroup, kFeatureValue, &value);
    return value;
}

IntRange CCoreSettingsCamera::FeatureRange(int group) {
    IntRange range;
    core_.GetFeatureValue(group, kFeatureMin, &range.min);
    core_.GetFeatureValue(group, kFeatureMax, &range.max);
    return range;
}

DoubleRange CCoreSettingsCamera::ExposureMsRange() {
    DoubleRange range;
    core_.GetExposureMsMin(&range.min);
    core_.GetExposureMsMax(&range.max);
    return range;
}

double CCoreSettingsCamera::ExposureMs() {
    double ms = 0.0;
    core_.GetExposureMs(&ms);
    return ms;
}

}  // namespace veltcam
