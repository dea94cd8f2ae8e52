// The setting-ID interface: one getter and one setter that reach every image and
// camera setting by number. The named exports are thin forms of these two.
#include "core/CVeltCamD3A7Base.h"
#include "sdk/CCoreSettingsCamera.h"
#include "sdk/CVeltCam.h"

namespace veltcam {
namespace {

// Image settings stored in the object, with the range their setter accepts.
struct StoredSetting {
    int id;
    int min;
    int max;
    int ImageSettings::*field;
};

constexpr StoredSetting kStoredSettings[] = {
    {1, -255, 255, &ImageSettings::brightness},
    {2, -127, 127, &ImageSettings::contrast},
    {3, -360, 360, &ImageSettings::hue},
    {4, -255, 255, &ImageSettings::saturation},
    {5, 0, 30, &ImageSettings::sharpness},
    {7, 0, 400, &ImageSettings::bayerGainRed},
    {8, 0, 400, &ImageSettings::bayerGainGreen},
    {9, 0, 400, &ImageSettings::bayerGainBlue},
    {11, 0, 200, &ImageSettings::gamma},
    {12, 0, 3, &ImageSettings::bayerMode},
    {19, 0, 2, &ImageSettings::grayMode},
};

const StoredSetting* FindStored(int id) {
    for (const auto& setting : kStoredSettings) {
        if (setting.id == id) return &setting;
    }
    return nullptr;
}

constexpr int kIdBayerGainRgb = 6;
constexpr int kIdBayerGainAuto = 10;
constexpr int kIdGlobalGain = 13;
constexpr int kIdColorGainFirst = 14;  // red, green 1, green 2, blue
constexpr int kIdExposure = 18;
constexpr int kIdGrayGainFirst = 20;    // R, G1, G2, B
constexpr int kIdGrayOffsetFirst = 24;  // R, G1, G2, B
constexpr int kIdGrayBalanceFrames = 28;
constexpr int kIdPeltier = 100;
constexpr int kIdTemperature = 101;
constexpr int kIdDotFilter = 102;
constexpr int kIdMaskFilter = 103;
constexpr int kIdFeatureFirst = 104;  // 104, 105, 106
constexpr int kIdFeatureLast = 106;

}  // namespace

int CVeltCam::GetFilterValue(int id, int* ok) {
    if (!core_) {
        if (ok != nullptr) *ok = 0;
        Report(kErrNotReady);
        return 0;
    }
    if (ok != nullptr) *ok = 1;
    // The display thread reads and updates these settings under the image lock
    // while it converts a frame.
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    if (const StoredSetting* stored = FindStored(id)) return imageSettings_.*(stored->field);
    const ImageSettings& s = imageSettings_;
    switch (id) {
        case kIdBayerGainRgb:
            return (s.bayerGainRed & 0xFF) | (s.bayerGainGreen & 0xFF) << 8 |
                   (s.bayerGainBlue & 0xFF) << 16;
        case kIdBayerGainAuto: return s.bayerGainAuto;
        case kIdGlobalGain: return core_->GetGain();
        case kIdColorGainFirst: return core_->GetColorGainRed();
        case kIdColorGainFirst + 1: return core_->GetColorGainGreen1();
        case kIdColorGainFirst + 2: return core_->GetColorGainGreen2();
        case kIdColorGainFirst + 3: return core_->GetColorGainBlue();
        case kIdExposure: return core_->GetExposureTime();
        case kIdPeltier: {
            int value = 0;
            if (!core_->IsPeltierSupported() || !core_->GetPeltier(&value)) {
                if (ok != nullptr) *ok = 0;
                Report(kErrNotSupported);
                return -1;
            }
            return value;
        }
        case kIdTemperature:
            if (ok != nullptr) *ok = 0;
            Report(kErrNotSupported);
            return -1;
        case kIdDotFilter:
        case kIdMaskFilter: return GetCorrectionSwitch(id);
        default: break;
    }
    if (id >= kIdGrayGainFirst && id < kIdGrayGainFirst + 4) return s.grayGain[id - kIdGrayGainFirst];
    if (id >= kIdGrayOffsetFirst && id < kIdGrayOffsetFirst + 4) {
        return s.grayOffset[id - kIdGrayOffsetFirst];
    }
    if (id >= kIdFeatureFirst && id <= kIdFeatureLast) return FeatureGet(id, ok);
    if (ok != nullptr) *ok = 0;
    Report(kErrParameter);
    return 0;
}

int CVeltCam::SetFilterValue(int id, int value) {
    if (!core_) {
        Report(kErrNotReady);
        return 0;
    }
    auto refuse = [this] {
        Report(kErrParameter);
        return 0;
    };
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    if (const StoredSetting* stored = FindStored(id)) {
        if (value < stored->min || value > stored->max) return refuse();
        imageSettings_.*(stored->field) = value;
        return 1;
    }
    ImageSettings& s = imageSettings_;
    switch (id) {
        case kIdBayerGainRgb:
            // Each byte is a gain of 0..255 percent: within every gain's range.
            s.bayerGainRed = value & 0xFF;
            s.bayerGainGreen = (value >> 8) & 0xFF;
            s.bayerGainBlue = (value >> 16) & 0xFF;
            return 1;
        case kIdBayerGainAuto: s.bayerGainAuto = value != 0 ? 1 : 0; return 1;
        case kIdGlobalGain: return SetGlobalGain(value);
        case kIdColorGainFirst:
        case kIdColorGainFirst + 1:
        case kIdColorGainFirst + 2:
        case kIdColorGainFirst + 3: return SetColorGain(id - kIdColorGainFirst, value);
        case kIdExposure: return SetExposureUnits(value);
        case kIdGrayBalanceFrames:
            if (value < 0 || value > 1) return refuse();
            s.grayBalanceFrames = value;
            return 1;
        case kIdPeltier:
            if (!core_->IsPeltierSupported()) {
                Report(kErrNotSupported);
                return 0;
            }
            return core_->SetPeltier(value);
        case kIdDotFilter:
        case kIdMaskFilter: return SetCorrectionSwitch(id, value) ? 1 : refuse();
        default: break;
    }
    if (id >= kIdGrayGainFirst && id < kIdGrayGainFirst + 4) {
        if (value < 0 || value > 255) return refuse();
        s.grayGain[id - kIdGrayGainFirst] = value;
        return 1;
    }
    if (id >= kIdGrayOffsetFirst && id < kIdGrayOffsetFirst + 4) {
        if (value < -255 || value > 255) return refuse();
        s.grayOffset[id - kIdGrayOffsetFirst] = value;
        return 1;
    }
    if (id >= kIdFeatureFirst && id <= kIdFeatureLast) return FeatureSet(id, value);
    return refuse();  // unknown IDs, 29..36 (channel gain and offset) and 101 included
}

// Settings 104..106 reach the sensor's optional features (gain mode, short
// exposure, black level); this camera's sensor has none of them.
int CVeltCam::FeatureGet(int id, int* ok) {
    const int group = id - kIdFeatureFirst;
    int value = 0;
    if (!core_->IsFeatureSupported(group)) {
        if (ok != nullptr) *ok = 0;
        Report(kErrNotSupported);
        return 0;
    }
    if (!core_->GetFeatureValue(group, 0, &value)) {
        if (ok != nullptr) *ok = 0;
        Report(kErrDeviceIo);
        return 0;
    }
    if (id != kIdFeatureFirst) Report(kErrNone);
    return id == kIdFeatureFirst + 1 ? (value != 0 ? 1 : 0) : value;
}

int CVeltCam::FeatureSet(int id, int value) {
    const int group = id - kIdFeatureFirst;
    if (!core_->IsFeatureSupported(group)) {
        Report(kErrNotSupported);
        return 0;
    }
    if (!core_->SetFeature(group, value)) {
        Report(kErrDeviceIo);
        return 0;
    }
    if (id == kIdFeatureFirst) cameraSettings_.setting104 = value;
    if (id == kIdFeatureFirst + 1) cameraSettings_.setting105 = value;
    if (id == kIdFeatureLast) {
        cameraSettings_.setting106 = value;
        Report(kErrNone);
    }
    return 1;
}

}  // namespace veltcam
