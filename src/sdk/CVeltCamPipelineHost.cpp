#include "sdk/CVeltCamPipelineHost.h"

#include "core/CVeltCamD3A7Base.h"
#include "sdk/CVeltCam.h"

namespace veltcam {
namespace {

constexpr int kIdGlobalGain = 13;
constexpr int kIdExposure = 18;

}  // namespace

int CVeltCamPipelineHost::GlobalGain() { return cam_.Core()->GetGain(); }

void CVeltCamPipelineHost::GainLimits(int& minimum, int& maximum) {
    minimum = cam_.Core()->GetGainMin();
    maximum = cam_.Core()->GetGainMax();
}

// Stored as the global and all four colour gains, as the application's own
// global-gain setter does.
void CVeltCamPipelineHost::ApplyGlobalGain(int gain) { cam_.SetFilterValue(kIdGlobalGain, gain); }

int CVeltCamPipelineHost::ExposureUnits() { return cam_.CameraValues().exposureUnits; }

void CVeltCamPipelineHost::ExposureLimits(int& minimum, int& maximum) {
    minimum = cam_.Core()->GetExposureTimeMin();
    maximum = cam_.Core()->GetExposureTimeMax();
}

void CVeltCamPipelineHost::ApplyExposure(int units) { cam_.SetFilterValue(kIdExposure, units); }

}  // namespace veltcam
