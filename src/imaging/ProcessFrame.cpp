#include "imaging/ProcessFrame.h"

#include "imaging/BayerPhase.h"
#include "imaging/Conversions.h"
#include "imaging/Stages.h"

namespace veltcam {
namespace {

bool IsSixteenBitMode(int index) {
    return index == kColorMono16 || index == kColorRgb48 || index == kColorRgb64;
}

// Demosaic of the frame, with the white balance first when it is switched on.
void DemosaicFrame(PipelineFrame& frame, DibImage& color, const DibImage& raw) {
    ImageSettings& s = *frame.settings;
    const int phase =
        AdjustedBayerPhase(s.bayerMode, frame.mirrorV, frame.mirrorH, frame.subSampleMode);
    if (s.bayerGainAuto != 0) {
        stages::AutoWhiteBalance(raw, phase, s);
        if (frame.host != nullptr) frame.host->ImageSettingsChanged();
        std::array<bool, 2>* once = frame.whiteBalanceOnce;
        if (once != nullptr && (*once)[0] && (*once)[1]) {
            s.bayerGainAuto = 0;
            *once = {false, false};
        }
    }
    stages::Demosaic(color, raw, {phase, s.bayerGainRed, s.bayerGainBlue});
}

}  // namespace

DibImage* RawImageOf(const PipelineFrame& frame) {
    if (frame.colorModeIndex < kColorMono8 || frame.colorModeIndex > kColorRgb64) return nullptr;
    return IsSixteenBitMode(frame.colorModeIndex) ? frame.raw16 : frame.raw8;
}

DibImage* OutputImageOf(const PipelineFrame& frame) {
    switch (frame.colorModeIndex) {
        case kColorMono8:
            return frame.raw8;
        case kColorMono16:
            return frame.raw16;
        case kColorRgb24:
            return frame.color24;
        case kColorRgb32:
            return frame.color32;
        case kColorRgb48:
            return frame.color48;
        case kColorRgb64:
            return frame.color64;
        default:
            return nullptr;
    }
}

void ProcessFrame(PipelineFrame& frame) {
    DibImage* raw = RawImageOf(frame);
    if (raw == nullptr || !raw->IsValid() || frame.settings == nullptr) return;
    ImageSettings& s = *frame.settings;
    const int mode = frame.colorModeIndex;

    if ((frame.autoIrisMode == 1 || frame.autoIrisMode == 2) && frame.host != nullptr) {
        stages::AutoIris(*raw, frame.autoIrisMode, *frame.host);
    }

    if (frame.corrections.maskFilter != 0 || frame.corrections.dotFilter != 0) {
        // Mask loading and saving never see half-corrected data, nor the corrections
        // half-loaded references.
        std::unique_lock<std::mutex> lock;
        if (frame.maskLock != nullptr) lock = std::unique_lock<std::mutex>(*frame.maskLock);
        if (frame.corrections.maskFilter != 0) FlatField(*raw, frame.mask, frame.window);
        if (frame.corrections.dotFilter != 0) {
            CorrectDefects(*raw, frame.mask,
                           raw->Bits() == 16 ? kDefectThreshold16 : kDefectThreshold8,
                           frame.window);
        }
    }

    if (mode == kColorMono8 || mode == kColorMono16) {
        if (s.grayMode == 1) {
            stages::GrayChannelGains(*raw, s, frame.host);
        } else if (s.grayMode == 2 && mode == kColorMono8 && frame.color24 != nullptr) {
            // The 16-bit monochrome output has no 8-bit colour source to take gray
            // values from, so gray mode 2 leaves it as it is.
            DemosaicFrame(frame, *frame.color24, *raw);
            stages::ColorToGrayRaw(*raw, *frame.color24);
        }
    }

    MirrorRaw(*raw, frame.mirrorH && !frame.sensorMirrorsH, frame.mirrorV && !frame.sensorMirrorsV);

    DibImage* out = OutputImageOf(frame);
    if (out == nullptr || !out->IsValid()) return;
    if (mode >= kColorRgb24) DemosaicFrame(frame, *out, *raw);

    if (mode >= kColorRgb24 && (s.hue != 0 || s.saturation != 0)) {
        stages::HueSaturation(*out, s.hue, s.saturation);
    }
    if (s.gamma != 100) stages::Gamma(*out, s.gamma);
    if (s.contrast != 0) stages::Contrast(*out, s.contrast);
    if (s.sharpness != 0 && frame.sharpenWork != nullptr) {
        stages::Sharpness(*out, *frame.sharpenWork, s.sharpness);
    }
    if (s.brightness != 0) stages::Brightness(*out, s.brightness);
}

}  // namespace veltcam
