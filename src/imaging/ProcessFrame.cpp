#include "imaging/ProcessFrame.h"

#include <algorithm>
#include <vector>

#include "imaging/BayerPhase.h"
#include "imaging/Conversions.h"
#include "imaging/Stages.h"

namespace veltcam {
namespace {

bool IsSixteenBitMode(int index) {
    return index == kColorMono16 || index == kColorRgb48 || index == kColorRgb64;
}

// The white balance (when on) and the demosaic parameters of a colour frame.
stages::DemosaicParams PrepareDemosaic(PipelineFrame& frame, const DibImage& raw) {
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
    return {phase, s.bayerGainRed, s.bayerGainBlue};
}

void DemosaicFrame(PipelineFrame& frame, DibImage& color, const DibImage& raw) {
    stages::Demosaic(color, raw, PrepareDemosaic(frame, raw));
}

// Rows are taken through every stage a band at a time, so that a band is still in
// the processor's cache for the next stage instead of every stage walking the
// whole frame through memory. Each stage sees exactly the rows it would see
// frame by frame: the sharpening lags one row behind the band, as its 4 x 4
// block reaches one row below the pixel.
constexpr int kBandRows = stages::kSharpenBandRows;

void ConvertInBands(PipelineFrame& frame, DibImage& out, const DibImage* raw,
                    const stages::DemosaicParams& demosaic) {
    const ImageSettings& s = *frame.settings;
    const bool sixteen = out.Bits() == 16 || out.Bits() == 48 || out.Bits() == 64;
    const bool colour = out.Bits() >= 24;
    const bool hue = colour && (s.hue != 0 || s.saturation != 0);
    const int hueValue = s.hue, saturation = s.saturation;
    const int gamma = s.gamma, contrast = s.contrast, brightness = s.brightness;
    const int sharpness = frame.sharpenWork != nullptr ? s.sharpness : 0;

    // Gamma and contrast follow each other directly: one table does both.
    const uint8_t* curve8 = nullptr;
    const uint16_t* curve16 = nullptr;
    std::vector<uint8_t> both8;
    std::vector<uint16_t> both16;
    if (gamma != 100 || contrast != 0) {
        if (sixteen) {
            const uint16_t* g = gamma != 100 ? stages::GammaTable16(gamma) : nullptr;
            const uint16_t* c = contrast != 0 ? stages::ContrastTable16(contrast) : nullptr;
            if (g != nullptr && c != nullptr) {
                both16.resize(65536);
                for (int i = 0; i < 65536; ++i) both16[i] = c[g[i]];
                curve16 = both16.data();
            } else {
                curve16 = g != nullptr ? g : c;
            }
        } else {
            const uint8_t* g = gamma != 100 ? stages::GammaTable8(gamma) : nullptr;
            const uint8_t* c = contrast != 0 ? stages::ContrastTable8(contrast) : nullptr;
            if (g != nullptr && c != nullptr) {
                both8.resize(256);
                for (int i = 0; i < 256; ++i) both8[i] = c[g[i]];
                curve8 = both8.data();
            } else {
                curve8 = g != nullptr ? g : c;
            }
        }
    }

    const int height = out.Height();
    int finished = 0;  // rows before this one have passed every stage
    for (int top = 0; top < height; top += kBandRows) {
        const int bottom = std::min(height, top + kBandRows);
        if (raw != nullptr) stages::DemosaicRows(out, *raw, demosaic, top, bottom);
        if (hue) stages::HueSaturationRows(out, hueValue, saturation, top, bottom);
        if (curve8 != nullptr || curve16 != nullptr) {
            stages::ApplyCurveRows(out, curve8, curve16, top, bottom);
        }
        // Rows that no later band changes: all of them at the end, otherwise all
        // but the last, whose sharpening needs the next band's first row.
        int ready = bottom;
        if (sharpness != 0) {
            ready = stages::SharpenBand(out, *frame.sharpenWork, sharpness, top, bottom, finished);
            if (ready < 0) return;
        }
        if (brightness != 0) stages::BrightnessRows(out, brightness, finished, ready);
        finished = ready;
    }
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
    if (mode >= kColorRgb24) {
        if (out->Width() != raw->Width() || out->Height() != raw->Height()) return;
        const stages::DemosaicParams demosaic = PrepareDemosaic(frame, *raw);
        ConvertInBands(frame, *out, raw, demosaic);
    } else {
        ConvertInBands(frame, *out, nullptr, {});
    }
}

}  // namespace veltcam
