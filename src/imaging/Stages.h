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
// Same, written from row `colorRow` of `color` on (an image of the output's size
// and format) instead of at the rows' own place.
int DemosaicRowsAt(DibImage& color, int colorRow, const DibImage& raw, const DemosaicParams& params,
                   int firstRow, int endRow);

// Automatic white balance on a raw image: red and blue gains that bring their
// means to the green mean (100 * mG / mR, at most 400). A channel whose mean is
// 0 keeps its gain. Writes the gains into `settings`.
void AutoWhiteBalance(const DibImage& raw, int phase, ImageSettings& settings);

// The balance's statistics are integer sums per colour, gathered over row ranges
// and added up: bands of a frame on several threads give the totals of one pass.
struct BayerSums {
    uint64_t sum[3] = {};  // by BayerColor
    uint64_t count[3] = {};
    void Add(const BayerSums& other);
};
void AddBayerSums(const DibImage& raw, int phase, int firstRow, int endRow, BayerSums& sums);
void WhiteBalanceFromSums(const BayerSums& sums, ImageSettings& settings);

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
// Contrast after gamma as one table, cached the same way.
const uint8_t* GammaContrastTable8(int gamma, int contrast);
const uint16_t* GammaContrastTable16(int gamma, int contrast);

// Rows [firstRow, endRow) of an image through a per-sample table (8- or 16-bit
// by the image's format).
void ApplyCurveRows(DibImage& image, const uint8_t* table8, const uint16_t* table16, int firstRow,
                    int endRow);
void HueSaturationRows(DibImage& image, int hue, int saturation, int firstRow, int endRow);
void BrightnessRows(DibImage& image, int brightness, int firstRow, int endRow);
// Sharpening keeps the unsharpened rows in a ring at the top of `work` (row y
// in work row SharpenRingSlot(height, y)): the rows still needed stay in cache.
// PrepareSharpenRing makes `work` an image like `image` (false when it cannot).
// SharpenFromRing sharpens image rows [firstRow, endRow) (those inside 2 .. H-3)
// from ring rows y-2 .. y+1, which must hold those rows unsharpened.
bool PrepareSharpenRing(DibImage& work, const DibImage& image);
int SharpenRingSlot(int imageHeight, int y);
void KeepRowsForSharpening(DibImage& work, const DibImage& image, int firstRow, int endRow);
void SharpenFromRing(DibImage& image, const DibImage& work, int amount, int firstRow, int endRow);

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
// The same in pieces for bands of rows: sums per gray channel (samples 1..254 on
// the 8-bit scale), the balance from the totals (which also counts the balance
// down and tells the host), and the gains and offsets over rows.
struct GraySums {
    uint64_t sum[4] = {};  // R, G1, G2, B
    uint64_t count[4] = {};
    void Add(const GraySums& other);
};
void AddGraySums(const DibImage& raw, int bayerMode, int firstRow, int endRow, GraySums& sums);
void GrayBalanceFromSums(const GraySums& sums, ImageSettings& settings);
void FinishGrayBalance(const GraySums& sums, ImageSettings& settings, IPipelineHost* host);
void GrayGainsRows(DibImage& raw, const ImageSettings& settings, int firstRow, int endRow);

// Gray mode 2: each raw sample becomes the gray value of its demosaiced pixel.
void ColorToGrayRaw(DibImage& raw8, const DibImage& color24);
void ColorToGrayRows(DibImage& raw8, const DibImage& color24, int firstRow, int endRow);

// Auto iris: the exposure factor from the five metering windows, and one step of
// the loop (nothing when the factor lies between 0.6 and 1.2).
double AutoIrisFactor(const DibImage& raw);
int AutoIrisPercent(const DibImage& raw);
void AutoIris(const DibImage& raw, int mode, IPipelineHost& host);

}  // namespace veltcam::stages
