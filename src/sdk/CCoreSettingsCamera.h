// Answers the settings store's questions about the camera from the camera core.
#pragma once

#include "core/CVeltCamD3A7Base.h"
#include "ui/SettingsPersistence.h"

namespace veltcam {

class CCoreSettingsCamera final : public CSettingsCamera {
public:
    explicit CCoreSettingsCamera(CVeltCamD3A7Base& core) : core_(core) {}

    bool Allows8And32BitOutput() override { return core_.AllowsMono8AndColor32() != 0; }
    bool Allows16BitOutput() override { return core_.AllowsMono16() != 0; }
    bool Allows24To64BitOutput() override { return core_.AllowsColor24And64() != 0; }

    std::optional<IntRange> GainRange() override;
    std::optional<IntRange> ColorGainRange() override;
    std::optional<IntRange> ExposureRange() override;

    int Gain() override { return core_.GetGain(); }
    int ColorGain(int channel) override;
    int ExposureUnits() override { return core_.GetExposureTime(); }
    int MirrorV() override { return core_.GetMirrorV(); }
    int MirrorH() override { return core_.GetMirrorH(); }

    bool IsBlackLevelSupported() override { return core_.IsFeatureSupported(kBlackLevelGroup) != 0; }
    IntRange BlackLevelRange() override { return FeatureRange(kBlackLevelGroup); }
    int BlackLevel() override;
    bool IsGainModeSupported() override { return core_.IsFeatureSupported(kGainModeGroup) != 0; }
    IntRange GainModeRange() override { return FeatureRange(kGainModeGroup); }
    bool IsExposureMsSupported() override { return core_.IsExposureMsSupported() != 0; }
    DoubleRange ExposureMsRange() override;
    double ExposureMs() override;

    // The sensor's optional features behind settings 104 (gain mode), 105 and 106
    // (black level).
    static constexpr int kGainModeGroup = 0;
    static constexpr int kShortExposureGroup = 1;
    static constexpr int kBlackLevelGroup = 2;
    // A feature's value slots: current, minimum, maximum, default.
    static constexpr int kFeatureValue = 0;
    static constexpr int kFeatureMin = 1;
    static constexpr int kFeatureMax = 2;
    static constexpr int kFeatureDefault = 3;

private:
    // Ranges are only known while a camera is open.
    bool HasSensor() const { return core_.HasSensor(); }
    IntRange FeatureRange(int group);

    CVeltCamD3A7Base& core_;
};

}  // namespace veltcam
