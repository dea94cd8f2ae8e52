#include "sdk/CSdkPipelineHost.h"

#include "core/CVeltCamD3A7Base.h"
#include "sdk/CVeltCam.h"
#include "ui/DialogMessages.h"

namespace veltcam {

int CSdkPipelineHost::GlobalGain() { return cam_.core_->GetGain(); }

void CSdkPipelineHost::GainLimits(int& minimum, int& maximum) {
    minimum = cam_.core_->GetGainMin();
    maximum = cam_.core_->GetGainMax();
}

// Stored as the global and all four colour gains, as the application's setter does.
void CSdkPipelineHost::ApplyGlobalGain(int gain) {
    cam_.SetGlobalGain(gain);
    cam_.PostToDialog(&CVeltCam::analogDialog_, ui::kAnalogDialogShowGain,
                      static_cast<uintptr_t>(gain));
}

int CSdkPipelineHost::ExposureUnits() { return cam_.cameraSettings_.exposureUnits; }

void CSdkPipelineHost::ExposureLimits(int& minimum, int& maximum) {
    minimum = cam_.core_->GetExposureTimeMin();
    maximum = cam_.core_->GetExposureTimeMax();
}

void CSdkPipelineHost::ApplyExposure(int units) {
    CVeltCamD3A7Base& core = *cam_.core_;
    core.SetExposureTime(units);
    cam_.cameraSettings_.exposureUnits = units;
    if (core.IsExposureMsSupported()) core.GetExposureMs(&cam_.cameraSettings_.exposureMs);
    cam_.PostToDialog(&CVeltCam::analogDialog_, ui::kAnalogDialogShowExposure,
                      static_cast<uintptr_t>(units));
}

void CSdkPipelineHost::ImageSettingsChanged() {
    cam_.PostToDialog(&CVeltCam::imageDialog_, ui::kImageDialogRefresh, 0);
}

}  // namespace veltcam
