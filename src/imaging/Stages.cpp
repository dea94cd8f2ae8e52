#include "imaging/Stages.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "imaging/BayerPhase.h"
#include "imaging/Conversions.h"

namespace veltcam::stages {
namespace {

using kernels::ActiveKernels;
using kernels::KernelSet;

// Sample layout of a pixel family.
struct Family {
    bool sixteen = false;
    int samplesPerPixel = 1;
};

Family FamilyOf(int bytesPerPixel) {
    switch (bytesPerPixel) {
        case 2:
            return {true, 1};
        case 3:
            return {false, 3};
        case 4:
            return {false, 4};
        case 6:
            return {true, 3};
        case 8:
            return {true, 4};
        default:
            return {false, 1};
    }
}

inline int Inside(int i, int n) {
    if (i < 0) {
        i += 4;
    } else if (i >= n) {
        i -= 4;
    }
    return std::clamp(i, 0, n - 1);
}

// ---------------------------------------------------------------- demosaic

struct DemosaicOp {
    const KernelSet* k;
    int phase;
    uint32_t redFactor;
    uint32_t blueFactor;
    int height;  // raw height, for the border rows
};

int DemosaicKernel(const PixelOpArgs& a) {
    const auto& p = *static_cast<const DemosaicOp*>(a.params);
    const bool sixteen = a.srcBytesPerPixel == 2;
    const int outSamples = a.dstBytesPerPixel / a.srcBytesPerPixel;
    const int redRow = RedRow(p.phase);
    const int width = a.rect.Width();
    for (int y = a.rect.top; y < a.rect.bottom; ++y) {
        // Rows of the red and blue samples inside the quad (rows y-1, y) and the
        // farther row of each (y-2 or y+1); outside rows move four rows inwards.
        const bool redHere = (y & 1) == redRow;
        const int ry = redHere ? y : y - 1;
        const int ry2 = redHere ? y - 2 : y + 1;
        const int by = redHere ? y - 1 : y;
        const int by2 = redHere ? y + 1 : y - 2;
        kernels::DemosaicRow row;
        row.redNear = a.SrcRow(Inside(ry, p.height)) + a.rect.left * a.srcBytesPerPixel;
        row.redFar = a.SrcRow(Inside(ry2, p.height)) + a.rect.left * a.srcBytesPerPixel;
        row.blueNear = a.SrcRow(Inside(by, p.height)) + a.rect.left * a.srcBytesPerPixel;
        row.blueFar = a.SrcRow(Inside(by2, p.height)) + a.rect.left * a.srcBytesPerPixel;
        row.out = a.DstRow(a.dstY + y - a.rect.top) + a.dstX * a.dstBytesPerPixel;
        row.width = width;
        row.redColumn = RedColumn(p.phase);
        row.outSamples = outSamples;
        row.redFactor = p.redFactor;
        row.blueFactor = p.blueFactor;
        (sixteen ? p.k->demosaic16 : p.k->demosaic8)(row);
    }
    return 1;
}

// ---------------------------------------------------------------- per-sample curves

struct SampleOp {
    const KernelSet* k;
    const uint8_t* lut8 = nullptr;
    const uint16_t* lut16 = nullptr;
    float factor = 1.0f;
    bool brightness = false;
};

int SampleKernel(const PixelOpArgs& a) {
    const auto& p = *static_cast<const SampleOp*>(a.params);
    const Family f = FamilyOf(a.dstBytesPerPixel);
    for (int y = a.rect.top; y < a.rect.bottom; ++y) {
        kernels::SampleRun run;
        run.samples = a.DstRow(a.dstY + y - a.rect.top) + a.dstX * a.dstBytesPerPixel;
        run.count = a.rect.Width() * f.samplesPerPixel;
        run.skipFourth = f.samplesPerPixel == 4;
        if (p.brightness) {
            (f.sixteen ? p.k->brightness16 : p.k->brightness8)(run, p.factor);
        } else if (f.sixteen) {
            p.k->lut16(run, p.lut16);
        } else {
            p.k->lut8(run, p.lut8);
        }
    }
    return 1;
}

void RunSampleOp(DibImage& image, const SampleOp& op, int firstRow, int endRow) {
    const PixelRect rows{0, firstRow, image.Width(), endRow};
    ApplyPixelOp(image, SampleKernel, image, &rows, 0, firstRow, &op);
}

bool IsSixteen(const DibImage& image) {
    return image.Bits() == 16 || image.Bits() == 48 || image.Bits() == 64;
}

// Tables are rebuilt only when their setting changes; the bytes are the same as
// building them every frame. One cache per thread: every camera delivers its
// frames on a thread of its own.
template <class T, size_t kSize>
struct TableCache {
    int key = std::numeric_limits<int>::min();
    std::vector<T> table;
    template <class Build>
    const T* Get(int k, Build build) {
        if (table.size() != kSize || key != k) {
            table.resize(kSize);
            build(k, table.data());
            key = k;
        }
        return table.data();
    }
};

// ---------------------------------------------------------------- sharpness

// The unsharpened rows live in a ring at the top of the work image, row y in work
// row y % ring: the rows still needed stay in the cache instead of a whole-frame
// copy going out to memory and coming back.
constexpr int kSharpenRingRows = 32;

int SharpenRingRows(int height) { return std::min(kSharpenRingRows, height); }

struct SharpenOp {
    const KernelSet* k;
    int amount;
    const int32_t* differences;  // centre of the difference table
    int height;
    int ringRows;
    const DibImage* ring;  // the unsharpened rows (the pixel op's source is the image)
};

int SharpenKernel(const PixelOpArgs& a) {
    const auto& p = *static_cast<const SharpenOp*>(a.params);
    const Family f = FamilyOf(a.dstBytesPerPixel);
    const int first = std::max(a.rect.top, 2);
    const int end = std::min(a.rect.bottom, p.height - 2);
    for (int y = first; y < end; ++y) {
        kernels::SharpenRow row;
        for (int i = 0; i < 4; ++i) row.copyRows[i] = p.ring->Row((y - 2 + i) % p.ringRows);
        row.out = a.DstRow(y);
        row.width = a.rect.Width();
        row.channels = std::min(f.samplesPerPixel, 3);
        row.pixelSamples = f.samplesPerPixel;
        row.amount = p.amount;
        row.differenceTable = p.differences;
        (f.sixteen ? p.k->sharpen16 : p.k->sharpen8)(row);
    }
    return 1;
}

// ---------------------------------------------------------------- hue and saturation

struct HueOp {
    const KernelSet* k;
    kernels::HueSaturation params;
};

int HueKernel(const PixelOpArgs& a) {
    const auto& p = *static_cast<const HueOp*>(a.params);
    const Family f = FamilyOf(a.dstBytesPerPixel);
    for (int y = a.rect.top; y < a.rect.bottom; ++y) {
        uint8_t* row = a.DstRow(a.dstY + y - a.rect.top) + a.dstX * a.dstBytesPerPixel;
        if (!f.sixteen) {
            p.k->hueSaturation8(row, a.rect.Width(), a.dstBytesPerPixel, p.params);
            continue;
        }
        p.k->hueSaturation16(reinterpret_cast<uint16_t*>(row), a.rect.Width(), f.samplesPerPixel,
                             p.params);
    }
    return 1;
}

// ---------------------------------------------------------------- gray mode

struct GrayGainOp {
    int phase;
    int gain[4];
    int offset[4];
};

template <class T, int kMax>
void GrayGainRows(const PixelOpArgs& a, const GrayGainOp& p) {
    for (int y = a.rect.top; y < a.rect.bottom; ++y) {
        T* row = reinterpret_cast<T*>(a.DstRow(y));
        for (int x = a.rect.left; x < a.rect.right; ++x) {
            const int c = GrayChannelAt(p.phase, x, y);
            const int v = p.offset[c] + p.gain[c] * row[x] / 128;
            row[x] = static_cast<T>(std::clamp(v, 0, kMax));
        }
    }
}

int GrayGainKernel(const PixelOpArgs& a) {
    const auto& p = *static_cast<const GrayGainOp*>(a.params);
    if (a.dstBytesPerPixel == 2) {
        GrayGainRows<uint16_t, 65535>(a, p);
    } else {
        GrayGainRows<uint8_t, 255>(a, p);
    }
    return 1;
}

// Sample of a monochrome raw image as 8 bits: 16-bit samples by their high byte.
inline int Sample8(const DibImage& raw, int x, int y) {
    if (raw.Bits() == 16) return reinterpret_cast<const uint16_t*>(raw.Row(y))[x] >> 8;
    return raw.Row(y)[x];
}

inline uint32_t Sample(const DibImage& raw, int x, int y) {
    if (raw.Bits() == 16) return reinterpret_cast<const uint16_t*>(raw.Row(y))[x];
    return raw.Row(y)[x];
}

}  // namespace

// ---------------------------------------------------------------- public

uint32_t GainFactor(int gainPercent) {
    // gain * 128 / 100 is trunc(gain * 1.28) for every gain in range.
    return static_cast<uint32_t>(std::clamp(gainPercent, 0, 400) * 128 / 100);
}

int DemosaicRows(DibImage& color, const DibImage& raw, const DemosaicParams& params, int firstRow,
                 int endRow) {
    if (raw.Height() != color.Height()) return 0;
    return DemosaicRowsAt(color, firstRow, raw, params, firstRow, endRow);
}

int DemosaicRowsAt(DibImage& color, int colorRow, const DibImage& raw, const DemosaicParams& params,
                   int firstRow, int endRow) {
    // Rows beyond the colour image are clipped away by the pixel op.
    if (!raw.IsValid() || !color.IsValid() || raw.Width() != color.Width()) return 0;
    const bool pairOk = (raw.Bits() == 8 && (color.Bits() == 24 || color.Bits() == 32)) ||
                        (raw.Bits() == 16 && (color.Bits() == 48 || color.Bits() == 64));
    if (!pairOk) return 0;
    DemosaicOp op{&ActiveKernels(), params.phase & 3, GainFactor(params.redGain),
                  GainFactor(params.blueGain), raw.Height()};
    PixelRect rect{0, firstRow, raw.Width(), endRow};
    return ApplyPixelOp(color, DemosaicKernel, raw, &rect, 0, colorRow, &op);
}

int Demosaic(DibImage& color, const DibImage& raw, const DemosaicParams& params) {
    return DemosaicRows(color, raw, params, 0, raw.Height());
}

void BayerSums::Add(const BayerSums& other) {
    for (int c = 0; c < 3; ++c) {
        sum[c] += other.sum[c];
        count[c] += other.count[c];
    }
}

namespace {

// Sums of the even and the odd columns of a row: each holds one colour of the
// mosaic, so a row costs two running sums instead of a lookup per sample.
template <class T>
void SumColumnParities(const T* row, int width, uint64_t& even, uint64_t& odd) {
    uint64_t e = 0, o = 0;
    int x = 0;
    for (; x + 1 < width; x += 2) {
        e += row[x];
        o += row[x + 1];
    }
    if (x < width) e += row[x];
    even += e;
    odd += o;
}

}  // namespace

void AddBayerSums(const DibImage& raw, int phase, int firstRow, int endRow, BayerSums& sums) {
    if (!raw.IsValid()) return;
    const int w = raw.Width();
    const uint64_t evenCount = static_cast<uint64_t>((w + 1) / 2);
    const uint64_t oddCount = static_cast<uint64_t>(w / 2);
    for (int y = std::max(firstRow, 0); y < std::min(endRow, raw.Height()); ++y) {
        uint64_t even = 0, odd = 0;
        if (raw.Bits() == 16) {
            SumColumnParities(reinterpret_cast<const uint16_t*>(raw.Row(y)), w, even, odd);
        } else {
            SumColumnParities(raw.Row(y), w, even, odd);
        }
        const int c0 = BayerColorAt(phase, 0, y);
        const int c1 = BayerColorAt(phase, 1, y);
        sums.sum[c0] += even;
        sums.count[c0] += evenCount;
        sums.sum[c1] += odd;
        sums.count[c1] += oddCount;
    }
}

void WhiteBalanceFromSums(const BayerSums& sums, ImageSettings& settings) {
    if (sums.count[kBayerRed] == 0 || sums.count[kBayerGreen] == 0 || sums.count[kBayerBlue] == 0) {
        return;
    }
    // Totals stay far below 2^53 (a full 16-bit frame sums to under 2^38), so
    // the doubles hold them exactly however the frame was split.
    auto mean = [&](int c) {
        return static_cast<double>(sums.sum[c]) / static_cast<double>(sums.count[c]);
    };
    const double mr = mean(kBayerRed);
    const double mg = mean(kBayerGreen);
    const double mb = mean(kBayerBlue);
    const double s = mg + mr + mb;
    const double l = s / mg / 3;  // infinite for a black green channel: gains become 0
    auto gain = [&](double m, int current) {
        if (m == 0) return current;
        return static_cast<int>(std::min(s / m / 3 * 100 / l, 400.0));
    };
    settings.bayerGainRed = gain(mr, settings.bayerGainRed);
    settings.bayerGainGreen = 100;
    settings.bayerGainBlue = gain(mb, settings.bayerGainBlue);
}

void AutoWhiteBalance(const DibImage& raw, int phase, ImageSettings& settings) {
    if (!raw.IsValid()) return;
    BayerSums sums;
    AddBayerSums(raw, phase, 0, raw.Height(), sums);
    WhiteBalanceFromSums(sums, settings);
}

void BuildGammaTable8(int gamma, uint8_t table[256]) {
    const double exponent = gamma == 0 ? std::numeric_limits<double>::infinity() : 100.0 / gamma;
    table[0] = 0;
    for (int i = 1; i < 256; ++i) {
        const double v = std::pow(i / 255.0, exponent) * 255.0;
        table[i] = static_cast<uint8_t>(std::min(255.0, std::trunc(v)));
    }
}

void BuildGammaTable16(int gamma, uint16_t* table) {
    const double exponent = gamma == 0 ? std::numeric_limits<double>::infinity() : 100.0 / gamma;
    table[0] = 0;
    for (int i = 1; i < 65536; ++i) {
        const double v = std::pow(i / 65535.0, exponent) * 65535.0;
        table[i] = static_cast<uint16_t>(std::min(65535.0, std::trunc(v)));
    }
}

void BuildContrastTable8(int contrast, uint8_t table[256]) {
    const int c = std::clamp(contrast, -127, 127);
    for (int i = 0; i < 256; ++i) {
        if (i < c) {
            table[i] = 0;
        } else if (i > 255 - c) {
            table[i] = 255;
        } else {
            table[i] = static_cast<uint8_t>(256.0 / (256 - 2 * c) * (i - c));
        }
    }
}

void BuildContrastTable16(int contrast, uint16_t* table) {
    const int t = std::clamp(contrast, -127, 127) * 256;
    for (int i = 0; i < 65536; ++i) {
        if (i < t) {
            table[i] = 0;
        } else if (i > 65535 - t) {
            table[i] = 65535;
        } else {
            table[i] = static_cast<uint16_t>(65536.0 / (65536 - 2 * t) * (i - t));
        }
    }
}

float BrightnessFactor(int brightness) {
    const int k = std::clamp(brightness, -255, 255);
    if (k < 0) return 1.0f - static_cast<float>(-k) / 255.0f;
    return 1.0f + static_cast<float>(10 * k) / 255.0f;
}

const uint8_t* GammaTable8(int gamma) {
    thread_local TableCache<uint8_t, 256> cache;
    return cache.Get(gamma, BuildGammaTable8);
}
const uint16_t* GammaTable16(int gamma) {
    thread_local TableCache<uint16_t, 65536> cache;
    return cache.Get(gamma, BuildGammaTable16);
}
const uint8_t* ContrastTable8(int contrast) {
    thread_local TableCache<uint8_t, 256> cache;
    return cache.Get(contrast, BuildContrastTable8);
}
const uint16_t* ContrastTable16(int contrast) {
    thread_local TableCache<uint16_t, 65536> cache;
    return cache.Get(contrast, BuildContrastTable16);
}

// Key of a gamma and contrast pair: gamma 0..(2^16-1) in the high half.
int CurvePairKey(int gamma, int contrast) {
    return static_cast<int>((static_cast<uint32_t>(gamma & 0xFFFF) << 16) |
                            static_cast<uint32_t>(contrast & 0xFFFF));
}

const uint8_t* GammaContrastTable8(int gamma, int contrast) {
    thread_local TableCache<uint8_t, 256> cache;
    return cache.Get(CurvePairKey(gamma, contrast), [gamma, contrast](int, uint8_t* table) {
        const uint8_t* g = GammaTable8(gamma);
        const uint8_t* c = ContrastTable8(contrast);
        for (int i = 0; i < 256; ++i) table[i] = c[g[i]];
    });
}

const uint16_t* GammaContrastTable16(int gamma, int contrast) {
    thread_local TableCache<uint16_t, 65536> cache;
    return cache.Get(CurvePairKey(gamma, contrast), [gamma, contrast](int, uint16_t* table) {
        const uint16_t* g = GammaTable16(gamma);
        const uint16_t* c = ContrastTable16(contrast);
        for (int i = 0; i < 65536; ++i) table[i] = c[g[i]];
    });
}

void ApplyCurveRows(DibImage& image, const uint8_t* table8, const uint16_t* table16, int firstRow,
                    int endRow) {
    SampleOp op{&ActiveKernels()};
    op.lut8 = table8;
    op.lut16 = table16;
    if (IsSixteen(image) ? table16 == nullptr : table8 == nullptr) return;
    RunSampleOp(image, op, firstRow, endRow);
}

void Gamma(DibImage& image, int gamma) {
    if (IsSixteen(image)) {
        ApplyCurveRows(image, nullptr, GammaTable16(gamma), 0, image.Height());
    } else {
        ApplyCurveRows(image, GammaTable8(gamma), nullptr, 0, image.Height());
    }
}

void Contrast(DibImage& image, int contrast) {
    if (IsSixteen(image)) {
        ApplyCurveRows(image, nullptr, ContrastTable16(contrast), 0, image.Height());
    } else {
        ApplyCurveRows(image, ContrastTable8(contrast), nullptr, 0, image.Height());
    }
}

void BrightnessRows(DibImage& image, int brightness, int firstRow, int endRow) {
    SampleOp op{&ActiveKernels()};
    op.brightness = true;
    op.factor = BrightnessFactor(brightness);
    RunSampleOp(image, op, firstRow, endRow);
}

void Brightness(DibImage& image, int brightness) {
    BrightnessRows(image, brightness, 0, image.Height());
}

bool PrepareSharpenRing(DibImage& work, const DibImage& image) {
    if (!image.IsValid()) return false;
    const int ring = SharpenRingRows(image.Height());
    if (work.Width() != image.Width() || work.Height() < ring || work.Bits() != image.Bits()) {
        if (!work.Create(image.Width(), ring, image.Bits())) return false;
    }
    return true;
}

int SharpenRingSlot(int imageHeight, int y) { return y % SharpenRingRows(imageHeight); }

void KeepRowsForSharpening(DibImage& work, const DibImage& image, int firstRow, int endRow) {
    const size_t bytes = static_cast<size_t>(image.RowBytes());
    for (int y = firstRow; y < endRow; ++y) {
        std::memcpy(work.Row(SharpenRingSlot(image.Height(), y)), image.Row(y), bytes);
    }
}

void SharpenFromRing(DibImage& image, const DibImage& work, int amount, int firstRow, int endRow) {
    const bool sixteen = IsSixteen(image);
    const int s = std::clamp(amount, 0, 30);
    const int range = sixteen ? 65535 : 255;
    // trunc(s * k / 10) for every difference k of copy and blur.
    thread_local TableCache<int32_t, 131071> cache16;
    thread_local TableCache<int32_t, 511> cache8;
    auto build = [range](int key, int32_t* table) {
        for (int k = -range; k <= range; ++k) table[k + range] = key * k / 10;
    };
    const int32_t* table = sixteen ? cache16.Get(s, build) : cache8.Get(s, build);
    SharpenOp op{
        &ActiveKernels(), s, table + range, image.Height(), SharpenRingRows(image.Height()), &work};
    const PixelRect rows{0, firstRow, image.Width(), endRow};
    ApplyPixelOp(image, SharpenKernel, image, &rows, 0, firstRow, &op);
}

int SharpenBand(DibImage& image, DibImage& work, int amount, int top, int bottom, int finished) {
    if (bottom - top > kSharpenBandRows) return -1;
    if (!PrepareSharpenRing(work, image)) return -1;
    KeepRowsForSharpening(work, image, top, bottom);
    const int ready = bottom == image.Height() ? bottom : bottom - 1;
    SharpenFromRing(image, work, amount, finished, ready);
    return ready;
}

void Sharpness(DibImage& image, DibImage& work, int amount) {
    int finished = 0;
    for (int top = 0; top < image.Height() && finished >= 0; top += kSharpenBandRows) {
        finished = SharpenBand(image, work, amount, top,
                               std::min(image.Height(), top + kSharpenBandRows), finished);
    }
}

kernels::HueSaturation HueSaturationParams(int hue, int saturation) {
    // Hue in 1/1530 turns (255 steps per 60-degree sector).
    const int h = std::clamp(hue, -360, 360);
    const int64_t scaled = static_cast<int64_t>(h) * 65536;
    int64_t u = scaled >= 0 ? scaled / 360 : -((-scaled + 359) / 360);  // rounded down
    u = ((u % 65536) + 65536) % 65536;
    const int v = static_cast<int>((u * 6) >> 8);
    int a = v - 2 * ((v + 256) >> 9);
    while (a < 0) a += 1530;
    while (a >= 1530) a -= 1530;
    kernels::HueSaturation p;
    p.hueSteps = a;
    p.saturationScale = std::clamp(saturation, -255, 255) + 256;
    return p;
}

void HueSaturationRows(DibImage& image, int hue, int saturation, int firstRow, int endRow) {
    if (image.Bits() < 24) return;
    HueOp op{&ActiveKernels(), HueSaturationParams(hue, saturation)};
    const PixelRect rows{0, firstRow, image.Width(), endRow};
    ApplyPixelOp(image, HueKernel, image, &rows, 0, firstRow, &op);
}

void HueSaturation(DibImage& image, int hue, int saturation) {
    HueSaturationRows(image, hue, saturation, 0, image.Height());
}

void GraySums::Add(const GraySums& other) {
    for (int c = 0; c < 4; ++c) {
        sum[c] += other.sum[c];
        count[c] += other.count[c];
    }
}

namespace {

// Gray balance statistics of one row: samples 1..254 (on the 8-bit scale) of
// the even and of the odd columns.
template <class T, int kShift>
void GrayRowSums(const T* row, int width, uint64_t sum[2], uint64_t count[2]) {
    for (int x = 0; x < width; ++x) {
        const int v = row[x] >> kShift;
        if (v < 1 || v > 254) continue;
        sum[x & 1] += static_cast<uint64_t>(v);
        ++count[x & 1];
    }
}

}  // namespace

void AddGraySums(const DibImage& raw, int bayerMode, int firstRow, int endRow, GraySums& sums) {
    if (!raw.IsValid()) return;
    for (int y = std::max(firstRow, 0); y < std::min(endRow, raw.Height()); ++y) {
        uint64_t sum[2] = {}, count[2] = {};
        if (raw.Bits() == 16) {
            GrayRowSums<uint16_t, 8>(reinterpret_cast<const uint16_t*>(raw.Row(y)), raw.Width(),
                                     sum, count);
        } else {
            GrayRowSums<uint8_t, 0>(raw.Row(y), raw.Width(), sum, count);
        }
        for (int parity = 0; parity < 2; ++parity) {
            const int c = GrayChannelAt(bayerMode, parity, y);
            sums.sum[c] += sum[parity];
            sums.count[c] += count[parity];
        }
    }
}

void GrayBalanceFromSums(const GraySums& sums, ImageSettings& settings) {
    float mean[4];
    for (int c = 0; c < 4; ++c) {
        mean[c] = sums.count[c] == 0
                      ? 0.0f
                      : static_cast<float>(sums.sum[c]) / static_cast<float>(sums.count[c]);
    }
    // Channel order R, G1, G2, B; G1 is the reference. A channel without a mean
    // keeps its gain; computed gains stay in the setting's range.
    auto gain = [&](int c) {
        if (mean[c] == 0.0f) return settings.grayGain[c];
        const float g = mean[1] / mean[c] * 128.0f;
        return static_cast<int>(std::clamp(g, 0.0f, 255.0f));
    };
    settings.grayGain[0] = gain(0);
    settings.grayGain[1] = 128;
    settings.grayGain[2] = gain(2);
    settings.grayGain[3] = gain(3);
}

void GrayBalance(const DibImage& raw, ImageSettings& settings) {
    if (!raw.IsValid()) return;
    GraySums sums;
    AddGraySums(raw, settings.bayerMode, 0, raw.Height(), sums);
    GrayBalanceFromSums(sums, settings);
}

void FinishGrayBalance(const GraySums& sums, ImageSettings& settings, IPipelineHost* host) {
    GrayBalanceFromSums(sums, settings);
    // A negative count ("all frames") balances every frame and stays as it is.
    if (settings.grayBalanceFrames > 0) --settings.grayBalanceFrames;
    if (host != nullptr) host->ImageSettingsChanged();
}

void GrayGainsRows(DibImage& raw, const ImageSettings& settings, int firstRow, int endRow) {
    if (!raw.IsValid()) return;
    GrayGainOp op{};
    op.phase = settings.bayerMode & 3;
    bool neutral = true;
    for (int c = 0; c < 4; ++c) {
        op.gain[c] = std::clamp(settings.grayGain[c], 0, 255);
        op.offset[c] = std::clamp(settings.grayOffset[c], -255, 255);
        if (op.gain[c] != 128) neutral = false;
    }
    if (neutral && op.offset[0] == 128 && op.offset[1] == 128 && op.offset[2] == 128) return;
    const PixelRect rows{0, firstRow, raw.Width(), endRow};
    ApplyPixelOp(raw, GrayGainKernel, raw, &rows, 0, firstRow, &op);
}

void GrayChannelGains(DibImage& raw, ImageSettings& settings, IPipelineHost* host) {
    if (!raw.IsValid()) return;
    if (settings.grayBalanceFrames != 0) {
        GraySums sums;
        AddGraySums(raw, settings.bayerMode, 0, raw.Height(), sums);
        FinishGrayBalance(sums, settings, host);
    }
    GrayGainsRows(raw, settings, 0, raw.Height());
}

void ColorToGrayRows(DibImage& raw8, const DibImage& color24, int firstRow, int endRow) {
    if (raw8.Bits() != 8 || color24.Bits() != 24) return;
    const PixelRect rows{0, firstRow, color24.Width(), endRow};
    ApplyPixelOp(raw8, conversions::ColorToGray, color24, &rows, 0, firstRow, nullptr);
}

void ColorToGrayRaw(DibImage& raw8, const DibImage& color24) {
    ColorToGrayRows(raw8, color24, 0, color24.Height());
}

double AutoIrisFactor(const DibImage& raw) { return AutoIrisPercent(raw) / 100.0; }

int AutoIrisPercent(const DibImage& raw) {
    const int w = raw.Width();
    const int h = raw.Height();
    auto mean = [&](double l, double t, double r, double b) -> int {
        const int x0 = static_cast<int>(l * w), y0 = static_cast<int>(t * h);
        const int x1 = static_cast<int>(r * w), y1 = static_cast<int>(b * h);
        if (x1 <= x0 || y1 <= y0) return 0;
        uint64_t sum = 0;
        for (int y = y0; y < y1; ++y) {
            for (int x = x0; x < x1; ++x) sum += Sample(raw, x, y);
        }
        uint64_t m = sum / (static_cast<uint64_t>(x1 - x0) * static_cast<uint64_t>(y1 - y0));
        // 16-bit frames are metered on the same 8-bit scale as the thresholds.
        if (raw.Bits() == 16) m >>= 8;
        return static_cast<int>(m);
    };
    const int m[5] = {mean(0.1, 0.1, 0.2, 0.2), mean(0.1, 0.8, 0.2, 0.9),
                      mean(0.45, 0.45, 0.55, 0.55), mean(0.8, 0.1, 0.9, 0.2),
                      mean(0.8, 0.8, 0.9, 0.9)};
    // The factor in hundredths: summing 0.15 steps in binary floating point would
    // land just beside the intended factors (0.25 as 0.2499...) and lose a unit.
    int f;
    if (m[0] > 200) {
        f = 85;
    } else if (m[0] > 160) {
        f = 90;
    } else if (m[0] < 50) {
        f = 110;
    } else if (m[0] < 100) {
        f = 105;
    } else {
        f = 100;
    }
    for (int i = 1; i < 5; ++i) {
        if (m[i] > 200) {
            f -= 15;
        } else if (m[i] > 160) {
            f -= 10;
        } else if (m[i] < 50) {
            f += 10;
        } else if (m[i] < 100) {
            f += 5;
        }
    }
    return f;
}

void AutoIris(const DibImage& raw, int mode, IPipelineHost& host) {
    if (!raw.IsValid() || (mode != 1 && mode != 2)) return;
    const int f = AutoIrisPercent(raw);
    if (f > 60 && f < 120) return;
    int lo = 0;
    int hi = 0;
    if (mode == 2) {
        const int g = std::max(host.GlobalGain(), 4);
        int gain = g * f / 100;
        if (f > 100 && gain <= 4) gain = 4;
        host.GainLimits(lo, hi);
        host.ApplyGlobalGain(std::clamp(gain, lo, std::max(lo, hi)));
    } else {
        const int e = host.ExposureUnits();
        int units = static_cast<uint16_t>(e * f / 100);
        if (units < 1) units = 1;
        host.ExposureLimits(lo, hi);
        host.ApplyExposure(std::clamp(units, lo, std::max(lo, hi)));
    }
}

}  // namespace veltcam::stages
