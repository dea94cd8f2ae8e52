// Per-frame conversion of a raw sensor frame into the output image of the
// current colour mode, with every correction, colour and tone stage in order.
//
// The pipeline is free-standing: the caller (the SDK object's frame delivery)
// hands it one record with the images, the settings, the mask and a host for
// what the pipeline drives outside itself (exposure and gain for auto iris,
// refreshing an open settings dialog).
#pragma once

#include <array>
#include <mutex>

#include "foundation/DibImage.h"
#include "imaging/CPipelineWorkers.h"
#include "imaging/DefectMask.h"
#include "imaging/ImageSettings.h"

namespace veltcam {

// What the pipeline asks of the camera and the SDK object around it.
class IPipelineHost {
  public:
    virtual ~IPipelineHost() = default;
    // Auto iris, gain mode: the camera's global gain and its limits; ApplyGlobalGain
    // sets it on the camera and stores it as the global and all four colour gains.
    virtual int GlobalGain() = 0;
    virtual void GainLimits(int& minimum, int& maximum) = 0;
    virtual void ApplyGlobalGain(int gain) = 0;
    // Auto iris, exposure mode, in 0.1 ms units; ApplyExposure sets and stores it
    // (and reads the real exposure time back where the camera has one).
    virtual int ExposureUnits() = 0;
    virtual void ExposureLimits(int& minimum, int& maximum) = 0;
    virtual void ApplyExposure(int units) = 0;
    // White or gray balance rewrote gains: an open settings dialog should show them.
    virtual void ImageSettingsChanged() {}
};

// Colour-mode indices: 8, 16, 24, 32, 48, 64 bits per pixel.
enum ColorModeIndex : int {
    kColorMono8 = 0,
    kColorMono16 = 1,
    kColorRgb24 = 2,
    kColorRgb32 = 3,
    kColorRgb48 = 4,
    kColorRgb64 = 5,
};

struct PipelineFrame {
    int colorModeIndex = kColorMono8;

    // Image settings: read as each stage starts; the balances write gains back.
    ImageSettings* settings = nullptr;
    // Two once-flags next to the white balance switch, set only by the image
    // dialog's "Once" button: with both set the balance switches itself off after
    // one frame.
    std::array<bool, 2>* whiteBalanceOnce = nullptr;
    int autoIrisMode = 0;  // 0 off, 1 exposure, 2 gain

    // Orientation: mirror flags as set, and which directions the sensor does itself.
    bool mirrorH = false;
    bool mirrorV = false;
    bool sensorMirrorsH = false;
    bool sensorMirrorsV = false;
    int subSampleMode = 0;

    // Corrections, their switches and where the frame lies on the sensor.
    CorrectionSwitches corrections;
    CorrectionWindow window;
    MaskPlanes mask;
    std::mutex* maskLock = nullptr;

    // Images (borrowed): the two raw buffers, the colour outputs and the work image
    // of the sharpness stage.
    DibImage* raw8 = nullptr;
    DibImage* raw16 = nullptr;
    DibImage* color24 = nullptr;
    DibImage* color32 = nullptr;
    DibImage* color48 = nullptr;
    DibImage* color64 = nullptr;
    DibImage* sharpenWork = nullptr;

    IPipelineHost* host = nullptr;  // may be null: auto iris then does nothing

    // Threads to spread the frame over (null: the calling thread does it all),
    // and how many bands of rows to cut it into: 0 is one per thread. The output
    // is the same bytes however the frame is cut.
    CPipelineWorkers* workers = nullptr;
    int bands = 0;
};

// Runs every stage on the current raw buffer; for colour modes fills the output
// image. Nothing is reported: a missing image skips the stages that need it. The
// buffers only some settings need (the defect marks, gray mode 2's colour image)
// are made here with the first frame that needs them; std::bad_alloc when that
// fails, as the frame cannot be converted as set.
void ProcessFrame(PipelineFrame& frame);

// The raw buffer and the output image of the frame's colour mode (null if none).
DibImage* RawImageOf(const PipelineFrame& frame);
DibImage* OutputImageOf(const PipelineFrame& frame);

}  // namespace veltcam
