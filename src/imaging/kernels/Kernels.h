// Row kernels of the image pipeline.
//
// Every hot loop of the pipeline is one of these: integer (or exactly rounded
// float) arithmetic over a whole row. Each exists as a plain scalar reference,
// written straight from the arithmetic, and as a SIMD version chosen at run time
// for the processor at hand. Both must give the same bytes for every input; the
// tests run them side by side. Setting VELTCAM_FORCE_SCALAR (to anything but
// empty or "0") makes the pipeline use the references only; setting
// VELTCAM_SIMD_TARGET to avx3_dl, avx512 (or avx3), avx2, sse4, ssse3 or scalar
// caps the fast set at that instruction set, for measuring what processors
// without the better ones get.
#pragma once

#include <cstdint>

namespace veltcam::kernels {

// One output row of the quad-centre bilinear demosaic. Output pixel x takes the
// colour at the centre of the raw quad whose lower-right sample is (x, y). The
// four source rows are already chosen by the caller (the rows that hold the red
// samples nearest and farther from the quad centre, and likewise for blue), so
// one row kernel serves every Bayer phase and the border rows.
struct DemosaicRow {
    const void* redNear = nullptr;   // row of the red sample inside the quad
    const void* redFar = nullptr;    // the red row 1.5 rows from the quad centre
    const void* blueNear = nullptr;  // row of the blue sample inside the quad
    const void* blueFar = nullptr;
    void* out = nullptr;       // output row: B, G, R (, unused) per pixel
    int width = 0;             // pixels in the row (also the raw width)
    int redColumn = 0;         // column parity (0 or 1) of the red samples
    int outSamples = 3;        // samples per output pixel: 3 or 4
    uint32_t redFactor = 128;  // gain factors, 128 = unity
    uint32_t blueFactor = 128;
};

// Hexcone hue rotation and saturation scale of one row of 8-bit colour pixels.
struct HueSaturation {
    int hueSteps = 0;           // hue offset in 1/1530 turns, 0..1529
    int saturationScale = 256;  // saturation + 256
};

// Samples in a row that a per-sample stage touches: `count` samples, and when
// `skipFourth` is set every fourth one (the unused sample of 32/64-bit pixels)
// is left as it is.
struct SampleRun {
    void* samples = nullptr;
    int count = 0;
    bool skipFourth = false;
};

// One row of the unsharp mask: rows y-2..y+1 of the unsharpened copy, the output
// row, and the sharpening amount. Only columns 2..width-3 are written.
struct SharpenRow {
    const void* copyRows[4] = {};  // copy rows y-2, y-1, y, y+1
    void* out = nullptr;
    int width = 0;
    int channels = 3;                          // colour samples per pixel that are sharpened
    int pixelSamples = 3;                      // samples per pixel (1, 3 or 4)
    int amount = 0;                            // 1..30, tenths
    const int32_t* differenceTable = nullptr;  // centre: trunc(amount * k / 10)
};

// One row of flat-field correction against the dark and white references:
// ((s - dark) * 2^bits) / (white - dark), clamped. The fast versions multiply by
// a per-pixel reciprocal of the span instead of dividing (see the functions
// below, computed when the references change); the reference divides and
// ignores them.
struct FlatFieldRow {
    void* samples = nullptr;
    const void* dark = nullptr;
    const void* white = nullptr;
    // 8-bit frames: FlatFieldReciprocal8 per pixel. 16-bit frames: the low and
    // high halves of FlatFieldReciprocal16 per pixel.
    const uint16_t* reciprocal = nullptr;
    const uint16_t* reciprocalHigh = nullptr;
    int count = 0;
};

// floor(65536 / |span|) for an 8-bit span of white minus dark (0xFFFF for 0 and
// 1, where no quotient needs it). Multiplied by (|s - dark| << 8) and taken
// the high 16 bits it is the quotient or one below, never more: the error is
// (|s - dark| << 8) * frac / 65536 < 1. One comparison settles which.
inline uint16_t FlatFieldReciprocal8(int span) {
    const int b = span < 0 ? -span : span;
    return b <= 1 ? uint16_t{0xFFFF} : static_cast<uint16_t>(65536 / b);
}

// floor(2^32 / span) for a 16-bit span 1..65535 (0xFFFFFFFF for 1 and for no
// span). For n = s - dark < span, (n * this) >> 16 = n * high + ((n * low) >> 16)
// fits 16 bits and is floor(n * 65536 / span) or one below (the error is
// n * frac / 65536 < 1); one comparison of (q + 1) * span with n * 65536 settles
// which.
inline uint32_t FlatFieldReciprocal16(int span) {
    return span <= 1 ? 0xFFFFFFFFu : static_cast<uint32_t>((uint64_t{1} << 32) / span);
}

// One row of defect detection: marks pixels 1..width-2 of the row whose flags
// are set or that differ from the mean of their four neighbours by threshold
// or more.
struct DefectDetectRow {
    const void* above = nullptr;
    const void* row = nullptr;
    const void* below = nullptr;
    // Hot or dead at the reference position, one byte per pixel whatever the
    // frame's sample width (nonzero: flagged).
    const uint8_t* flags = nullptr;
    void* marks = nullptr;  // work flags, same sample width as the frame
    int width = 0;
    int threshold = 0;
};

// One row of the replacement sweeps of the defect correction: for every column,
// `nearest` becomes the row's sample where the column is unmarked and keeps its
// value where it is marked; with `fillMarked`, marked samples of the row take
// that nearest value as well.
struct NearestUnmarkedRow {
    void* row = nullptr;
    void* nearest = nullptr;
    const void* marks = nullptr;
    int width = 0;
    bool fillMarked = false;
};

// One row of the upward replacement sweep of the defect correction (the
// NearestUnmarkedRow fields, `fillMarked` unused). Every marked sample becomes
// (left + right + row + nearest) / 4: left and right are the nearest unmarked
// samples of the row on either side, the sample itself holds the nearest
// unmarked one above (the downward sweep left it there) and `nearest` the one
// below. Then `nearest` takes the row's unmarked samples for the row above.
// Columns 0 and width-1 are never marked, so left and right always exist.
using ReplaceMarkedRow = NearestUnmarkedRow;

struct KernelSet {
    const char* name;
    void (*demosaic8)(const DemosaicRow&);
    void (*demosaic16)(const DemosaicRow&);
    void (*lut8)(const SampleRun&, const uint8_t* table);
    void (*lut16)(const SampleRun&, const uint16_t* table);
    void (*brightness8)(const SampleRun&, float factor);
    void (*brightness16)(const SampleRun&, float factor);
    // `pixelBytes` 3 or 4: 8-bit colour pixels.
    void (*hueSaturation8)(uint8_t* row, int width, int pixelBytes, const HueSaturation&);
    // `pixelSamples` 3 or 4: 16-bit colour pixels, worked on their high bytes.
    void (*hueSaturation16)(uint16_t* row, int width, int pixelSamples, const HueSaturation&);
    void (*sharpen8)(const SharpenRow&);
    void (*sharpen16)(const SharpenRow&);
    void (*flatField8)(const FlatFieldRow&);
    void (*flatField16)(const FlatFieldRow&);
    void (*detectDefects8)(const DefectDetectRow&);
    void (*detectDefects16)(const DefectDetectRow&);
    void (*nearestUnmarked8)(const NearestUnmarkedRow&);
    void (*nearestUnmarked16)(const NearestUnmarkedRow&);
    void (*replaceMarked8)(const ReplaceMarkedRow&);
    void (*replaceMarked16)(const ReplaceMarkedRow&);
};

// The references.
const KernelSet& ScalarKernels();
// The SIMD versions for this processor (references where there is none).
const KernelSet& FastKernels();
// What the pipeline uses: the fast set unless VELTCAM_FORCE_SCALAR is set.
const KernelSet& ActiveKernels();
// Makes ActiveKernels return `set` (null: back to the normal choice). For tests
// and benchmarks that compare the two sets on whole frames.
void OverrideKernels(const KernelSet* set);

// Reference arithmetic over part of a row, for the columns a fast kernel leaves:
// demosaic output columns [x0, x1) (borders included) and sharpened pixels
// [x0, x1) (interior pixels only).
void DemosaicColumnsScalar8(const DemosaicRow& a, int x0, int x1);
void DemosaicColumnsScalar16(const DemosaicRow& a, int x0, int x1);
void SharpenPixelsScalar8(const SharpenRow& a, int x0, int x1);
void SharpenPixelsScalar16(const SharpenRow& a, int x0, int x1);

// Reference of one hexcone pixel, shared by the 8- and 16-bit stages.
void HueSaturationPixel(int& r, int& g, int& b, const HueSaturation& p);

}  // namespace veltcam::kernels
