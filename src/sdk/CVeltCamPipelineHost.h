// What the image pipeline drives outside itself, served by one SDK object: auto
// iris reads and sets the camera's gain or exposure through the same setters the
// application uses, so the stored settings and the camera stay in step.
#pragma once

#include "imaging/ProcessFrame.h"

namespace veltcam {

class CVeltCam;

class CVeltCamPipelineHost final : public IPipelineHost {
  public:
    explicit CVeltCamPipelineHost(CVeltCam& cam) : cam_(cam) {}

    int GlobalGain() override;
    void GainLimits(int& minimum, int& maximum) override;
    void ApplyGlobalGain(int gain) override;
    int ExposureUnits() override;
    void ExposureLimits(int& minimum, int& maximum) override;
    void ApplyExposure(int units) override;

  private:
    CVeltCam& cam_;
};

}  // namespace veltcam
