// What the image pipeline drives outside itself, answered by the SDK object for
// the frame being converted on its display thread: auto iris sets gain or exposure
// through the camera core, and gains rewritten by a balance or by auto iris are
// posted to an open setting dialog, which reads them on its own thread.
#pragma once

#include "imaging/ProcessFrame.h"

namespace veltcam {

class CVeltCam;

class CSdkPipelineHost final : public IPipelineHost {
  public:
    explicit CSdkPipelineHost(CVeltCam& cam) : cam_(cam) {}

    int GlobalGain() override;
    void GainLimits(int& minimum, int& maximum) override;
    void ApplyGlobalGain(int gain) override;
    int ExposureUnits() override;
    void ExposureLimits(int& minimum, int& maximum) override;
    void ApplyExposure(int units) override;
    void ImageSettingsChanged() override;

  private:
    CVeltCam& cam_;
};

}  // namespace veltcam
