// What the analog dialog drives, answered by the camera core. Real exposure times
// are milliseconds at the core and seconds in the dialog.
#pragma once

#include "core/CVeltCamD3A7Base.h"
#include "sdk/CCoreSettingsCamera.h"
#include "ui/AnalogDialogModel.h"

namespace veltcam {

class CCoreAnalogCamera final : public ui::CAnalogCamera {
public:
    explicit CCoreAnalogCamera(CVeltCamD3A7Base& core) : core_(core), stored_(core) {}

    bool HasColorOutput() override { return core_.AllowsColor24And64() != 0; }

    IntRange GainRange() override { return {core_.GetGainMin(), core_.GetGainMax()}; }
    int GainDefault() override { return core_.GetGainDefault(); }
    int Gain() override { return core_.GetGain(); }
    void SetGain(int value) override { core_.SetGain(value); }

    IntRange ColorGainRange() override { return {core_.GetColorGainMin(), core_.GetColorGainMax()}; }
    int ColorGainDefault() override { return core_.GetColorGainDefault(); }
    int ColorGain(int channel) override { return stored_.ColorGain(channel); }
    void SetColorGain(int channel, int value) override;

    IntRange ExposureRange() override {
        return {core_.GetExposureTimeMin(), core_.GetExposureTimeMax()};
    }
    int ExposureDefault() override { return core_.GetExposureTimeDefault(); }
    int Exposure() override { return core_.GetExposureTime(); }
    void SetExposure(int units) override { core_.SetExposureTime(units); }

    bool HasRealExposure() override { return core_.IsExposureMsSupported() != 0; }
    DoubleRange RealExposureRange() override;
    double RealExposureDefault() override;
    double RealExposure() override { return stored_.ExposureMs() / 1000.0; }
    void SetRealExposure(double seconds) override { core_.SetExposureMs(seconds * 1000.0); }

    int MirrorV() override { return core_.GetMirrorV(); }
    int MirrorH() override { return core_.GetMirrorH(); }
    void SetMirrorV(int on) override { core_.SetMirrorV(on); }
    void SetMirrorH(int on) override { core_.SetMirrorH(on); }

    bool HasBlackLevel() override { return stored_.IsBlackLevelSupported(); }
    IntRange BlackLevelRange() override { return stored_.BlackLevelRange(); }
    int BlackLevelDefault() override;
    void SetBlackLevel(int value) override;
    bool HasCooling() override { return core_.IsPeltierSupported() != 0; }
    int Cooling() override;
    void SetCooling(int on) override { core_.SetPeltier(on); }
    bool HasShortExposure() override;
    void SetShortExposure(int on) override;
    int GainMode() override;
    void SetGainMode(int mode) override;

private:
    CVeltCamD3A7Base& core_;
    CCoreSettingsCamera stored_;  // the questions settings loading asks too
};

}  // namespace veltcam
