// The colour and tone stages of the pipeline, each run over a whole image through
// ApplyPixelOp with one kernel per pixel family (8-bit mono, 16-bit mono, 8-bit
// colour, 16-bit colour). Colour pixels are B, G, R(, unused); the unused fourth
// sample of 32- and 64-bit pixels is never touched.
#pragma once

#include <cstdint>

#include "imaging/PixelOp.h"
#include "imaging/ProcessFrame.h"
#include "imaging/kernels/Kernels.h"

namespace veltcam::stages {

// Demosaic gain factor: trunc(gain * 1.28), with the gain first limited to 0..400
// so the products stay in range; 100 gives 128 (unity).
uint32_t GainFactor(int gainPercent);

// Quad-centre bilinear demosaic of an 8-bit raw image into a 24/32-bit image or of
// a 16-bit raw image into a 48/64-bit image of the same size. `phase` is the
// adjusted Bayer phase; green is never scaled.
struct DemosaicParams {
    int phase = 0;
    int redGain = 100;
    int blueGain = 100;
};
int Demosaic(DibImage& color, const DibImage& raw, const DemosaicParams& params);

// Same, for the rows [firstRow, endRow) only (neighbours still come from the
// whole raw image).
int DemosaicRows(DibImage& color, const DibImage& raw, const DemosaicParams& params, int firstRow,
                 int endRow);

// Automatic white balance on a raw image: red and blue gains that bring their
// means to the green mean (100 * mG / mR, at most 400). A channel whose mean is
// 0 keeps its gain. Writes the gains into `settings`.
void AutoWhiteBalance(const DibImage& raw, int phase, ImageSettings& settings);

// Per-sample curves.
void BuildGammaTable8(int gamma, uint8_t table[256]);
void BuildGammaTable16(int gamma, uint16_t* table);  // 65536 entries
void BuildContrastTable8(int contrast, uint8_t table[256]);
void BuildContrastTable16(int contrast, uint16_t* table);
float BrightnessFactor(int brightness);

// Cached per-thread tables, rebuilt only when their setting changes.
const uint8_t* GammaTable8(int gamma);
const uint16_t* GammaTable16(int gamma);
const uint8_t* ContrastTable8(int contrast);
const uint16_t* ContrastTable16(int contrast);

// Rows [firstRow, endRow) of an image through a per-sample table (8- or 16-bit
// by the image's format).
void ApplyCurveRows(DibImage& image, const uint8_t* table8, const uint16_t* table16, int firstRow,
                    int endRow);
void HueSaturationRows(DibImage& image, int hue, int saturation, int firstRow, int endRow);
void BrightnessRows(DibImage& image, int brightness, int firstRow, int endRow);
// Sharpening a frame band by band, top to bottom, in bands of at most
// kSharpenBandRows rows: keeps the band's rows [top, bottom) as they are now in
// `work` (made an image of the same format when it is not), then sharpens the
// rows from `finished` (the previous call's result, 0 at first) to the one
// before the last of the band, which waits for the next band's first row; the
// last band finishes the frame. Returns the new `finished`, or -1 when `work`
// cannot be made. Rows outside 2 .. H-3 are left as they are.
constexpr int kSharpenBandRows = 16;
int SharpenBand(DibImage& image, DibImage& work, int amount, int top, int bottom, int finished);

void Gamma(DibImage& image, int gamma);
void Contrast(DibImage& image, int contrast);
void Brightness(DibImage& image, int brightness);
// 4 x 4 box unsharp mask of the interior, using `work` for the unsharpened rows.
void Sharpness(DibImage& image, DibImage& work, int amount);
void HueSaturation(DibImage& image, int hue, int saturation);
kernels::HueSaturation HueSaturationParams(int hue, int saturation);

// Gray mode 1 on a monochrome raw image: the one-shot gain balance while the
// balance count is not 0, then the per-channel gains and offsets.
void GrayChannelGains(DibImage& raw, ImageSettings& settings, IPipelineHost* host);
// One-shot balance only (gains into `settings`); exposed for tests.
void GrayBalance(const DibImage& raw, ImageSettings& settings);

// Gray mode 2: each raw sample becomes the gray value of its demosaiced pixel.
void ColorToGrayRaw(DibImage& raw8, const DibImage& color24);

// Auto iris: the exposure factor from the five metering windows, and one step of
// the loop (nothing when the factor lies between 0.6 and 1.2).
double AutoIrisFactor(const DibImage& raw);
int AutoIrisPercent(const DibImage& raw);
void AutoIris(const DibImage& raw, int mode, IPipelineHost& host);

}  // namespace veltcam::stages
