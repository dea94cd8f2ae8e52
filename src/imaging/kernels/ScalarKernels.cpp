// Scalar references of the row kernels: the arithmetic exactly as the pipeline
// defines it, one sample at a time, with no concern for speed. The fast versions
// are checked against these.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "imaging/kernels/Kernels.h"

namespace veltcam::kernels {
namespace {

// Neighbour positions outside the row move four samples inwards, which keeps
// their colour in the Bayer lattice; rows shorter than four samples clamp on top.
inline int Inside(int i, int n) {
    if (i < 0) {
        i += 4;
    } else if (i >= n) {
        i -= 4;
    }
    return std::clamp(i, 0, n - 1);
}

template <class T, uint32_t kMax>
void DemosaicColumns(const DemosaicRow& a, int x0, int x1) {
    const T* rn = static_cast<const T*>(a.redNear);
    const T* rf = static_cast<const T*>(a.redFar);
    const T* bn = static_cast<const T*>(a.blueNear);
    const T* bf = static_cast<const T*>(a.blueFar);
    T* out = static_cast<T*>(a.out);
    const int w = a.width;
    // Products at or above this clip to full scale: (S * F) >> 11 would exceed kMax.
    constexpr uint32_t kClip = (kMax + 1) << 11;
    for (int x = x0; x < x1; ++x) {
        const bool redHere = (x & 1) == a.redColumn;
        // Red and blue columns inside the quad, and the farther ones of each.
        const int rx = Inside(redHere ? x : x - 1, w);
        const int rx2 = Inside(redHere ? x - 2 : x + 1, w);
        const int bx = Inside(redHere ? x - 1 : x, w);
        const int bx2 = Inside(redHere ? x + 1 : x - 2, w);
        const uint32_t sr = 9u * rn[rx] + 3u * rn[rx2] + 3u * rf[rx] + rf[rx2];
        const uint32_t sb = 9u * bn[bx] + 3u * bn[bx2] + 3u * bf[bx] + bf[bx2];
        const uint32_t green = (static_cast<uint32_t>(rn[bx]) + bn[rx]) >> 1;
        const uint32_t pr = sr * a.redFactor;
        const uint32_t pb = sb * a.blueFactor;
        T* px = out + static_cast<size_t>(x) * a.outSamples;
        px[0] = static_cast<T>(pb >= kClip ? kMax : pb >> 11);
        px[1] = static_cast<T>(green);
        px[2] = static_cast<T>(pr >= kClip ? kMax : pr >> 11);
    }
}

template <class T, uint32_t kMax>
void DemosaicScalar(const DemosaicRow& a) {
    DemosaicColumns<T, kMax>(a, 0, a.width);
}

template <class T, class Table>
void LutScalar(const SampleRun& run, const Table* table) {
    T* s = static_cast<T*>(run.samples);
    for (int i = 0; i < run.count; ++i) {
        if (run.skipFourth && (i & 3) == 3) continue;
        s[i] = static_cast<T>(table[s[i]]);
    }
}

template <class T, int kMax>
void BrightnessScalar(const SampleRun& run, float factor) {
    T* s = static_cast<T*>(run.samples);
    for (int i = 0; i < run.count; ++i) {
        if (run.skipFourth && (i & 3) == 3) continue;
        const float scaled = static_cast<float>(s[i]) * factor;
        s[i] = static_cast<T>(std::min(static_cast<int>(scaled), kMax));
    }
}

void HueSaturation8Scalar(uint8_t* row, int width, int pixelBytes, const HueSaturation& p) {
    for (int x = 0; x < width; ++x) {
        uint8_t* px = row + static_cast<size_t>(x) * pixelBytes;
        int b = px[0], g = px[1], r = px[2];
        HueSaturationPixel(r, g, b, p);
        px[0] = static_cast<uint8_t>(b);
        px[1] = static_cast<uint8_t>(g);
        px[2] = static_cast<uint8_t>(r);
    }
}

void HueSaturation16Scalar(uint16_t* row, int width, int pixelSamples, const HueSaturation& p) {
    for (int x = 0; x < width; ++x) {
        uint16_t* px = row + static_cast<size_t>(x) * pixelSamples;
        int b = px[0] >> 8, g = px[1] >> 8, r = px[2] >> 8;
        HueSaturationPixel(r, g, b, p);
        px[0] = static_cast<uint16_t>(b << 8);
        px[1] = static_cast<uint16_t>(g << 8);
        px[2] = static_cast<uint16_t>(r << 8);
    }
}

template <class T, int kMax>
void SharpenPixels(const SharpenRow& a, int x0, int x1) {
    const T* c[4];
    for (int i = 0; i < 4; ++i) c[i] = static_cast<const T*>(a.copyRows[i]);
    T* out = static_cast<T*>(a.out);
    const int ps = a.pixelSamples;
    for (int x = x0; x < x1; ++x) {
        for (int ch = 0; ch < a.channels; ++ch) {
            int sum = 0;
            for (int r = 0; r < 4; ++r) {
                for (int dx = -2; dx <= 1; ++dx) sum += c[r][(x + dx) * ps + ch];
            }
            const int blur = sum >> 4;
            const int o = c[2][x * ps + ch];
            const int v = o + a.differenceTable[o - blur];
            out[x * ps + ch] = static_cast<T>(std::clamp(v, 0, kMax));
        }
    }
}

template <class T, int kMax>
void SharpenScalar(const SharpenRow& a) {
    SharpenPixels<T, kMax>(a, 2, a.width - 2);
}

void FlatField8Scalar(const FlatFieldRow& a) {
    uint8_t* s = static_cast<uint8_t*>(a.samples);
    const uint8_t* dark = static_cast<const uint8_t*>(a.dark);
    const uint8_t* white = static_cast<const uint8_t*>(a.white);
    for (int i = 0; i < a.count; ++i) {
        const int d = dark[i];
        const int w = white[i];
        if (w == d) continue;
        // A white reference below the dark one still divides (by a negative span).
        const int v = ((s[i] - d) * 256) / (w - d);
        s[i] = static_cast<uint8_t>(std::clamp(v, 0, 255));
    }
}

void FlatField16Scalar(const FlatFieldRow& a) {
    uint16_t* s = static_cast<uint16_t*>(a.samples);
    const uint16_t* dark = static_cast<const uint16_t*>(a.dark);
    const uint16_t* white = static_cast<const uint16_t*>(a.white);
    for (int i = 0; i < a.count; ++i) {
        const int64_t d = dark[i];
        const int64_t w = white[i];
        if (w <= d) continue;
        const int64_t v = ((s[i] - d) * 65536) / (w - d);
        s[i] = static_cast<uint16_t>(std::clamp<int64_t>(v, 0, 65535));
    }
}

template <class T>
void DetectDefectsScalar(const DefectDetectRow& a) {
    const T* up = static_cast<const T*>(a.above);
    const T* row = static_cast<const T*>(a.row);
    const T* down = static_cast<const T*>(a.below);
    const uint8_t* flags = a.flags;
    T* marks = static_cast<T*>(a.marks);
    marks[0] = 0;
    marks[a.width - 1] = 0;
    for (int x = 1; x < a.width - 1; ++x) {
        const int mean = (row[x - 1] + row[x + 1] + up[x] + down[x]) >> 2;
        const bool odd = std::abs(row[x] - mean) >= a.threshold;
        marks[x] = (flags[x] != 0 || odd) ? 1 : 0;
    }
}

template <class T>
void NearestUnmarkedScalar(const NearestUnmarkedRow& a) {
    T* row = static_cast<T*>(a.row);
    T* nearest = static_cast<T*>(a.nearest);
    const T* marks = static_cast<const T*>(a.marks);
    for (int c = 0; c < a.width; ++c) {
        if (marks[c] == 0) {
            nearest[c] = row[c];
        } else if (a.fillMarked) {
            row[c] = nearest[c];
        }
    }
}

template <class T>
void ReplaceMarkedScalar(const ReplaceMarkedRow& a) {
    T* row = static_cast<T*>(a.row);
    T* nearest = static_cast<T*>(a.nearest);
    const T* marks = static_cast<const T*>(a.marks);
    const int w = a.width;
    int x = 1;
    while (x < w - 1) {
        if (marks[x] == 0) {
            ++x;
            continue;
        }
        // A run of marked samples, bounded by the unmarked ones at x-1 and end.
        int end = x;
        while (marks[end] != 0) ++end;
        const unsigned sides = static_cast<unsigned>(row[x - 1]) + row[end];
        for (int c = x; c < end; ++c) row[c] = static_cast<T>((sides + row[c] + nearest[c]) / 4);
        x = end;
    }
    for (int c = 0; c < w; ++c) {
        if (marks[c] == 0) nearest[c] = row[c];
    }
}

}  // namespace

void DemosaicColumnsScalar8(const DemosaicRow& a, int x0, int x1) {
    DemosaicColumns<uint8_t, 255>(a, x0, x1);
}
void DemosaicColumnsScalar16(const DemosaicRow& a, int x0, int x1) {
    DemosaicColumns<uint16_t, 65535>(a, x0, x1);
}
void SharpenPixelsScalar8(const SharpenRow& a, int x0, int x1) {
    SharpenPixels<uint8_t, 255>(a, x0, x1);
}
void SharpenPixelsScalar16(const SharpenRow& a, int x0, int x1) {
    SharpenPixels<uint16_t, 65535>(a, x0, x1);
}

void HueSaturationPixel(int& r, int& g, int& b, const HueSaturation& p) {
    const int mx = std::max({r, g, b});
    const int mn = std::min({r, g, b});
    const int d = mx - mn;
    const int l2 = mx + mn;
    // Sector of the hexcone and the position inside it; red wins ties with green,
    // blue only counts when strictly the largest.
    int base;
    int pos;
    if (r >= g && r >= b) {
        base = 1;
        pos = g - b;
    } else if (g >= b) {
        base = 3;
        pos = b - r;
    } else {
        base = 5;
        pos = r - g;
    }
    if (pos < 0) {
        base -= 1;
        pos += d;
    }
    const int saturated = (d * p.saturationScale * 256 + 32768) >> 16;
    const int chroma = std::min(saturated, l2 < 256 ? l2 : 511 - l2);
    const int low = (l2 - chroma) >> 1;
    const int span = ((l2 + chroma) >> 1) - low;
    r = g = b = low;
    if (d == 0) return;
    int f = ((pos * (0xFF0000 / d) + 0x8000) >> 16) + p.hueSteps % 255;
    int sector = base + p.hueSteps / 255 + (f > 254 ? 1 : 0);
    if (f >= 255) f -= 255;
    const int ramp = (f * span + 128) >> 8;
    switch (sector % 6) {
        case 0:
            r += span;
            b += span - ramp;
            break;
        case 1:
            r += span;
            g += ramp;
            break;
        case 2:
            r += span - ramp;
            g += span;
            break;
        case 3:
            g += span;
            b += ramp;
            break;
        case 4:
            g += span - ramp;
            b += span;
            break;
        default:
            b += span;
            r += ramp;
            break;
    }
}

const KernelSet& ScalarKernels() {
    static const KernelSet set{
        "scalar",
        DemosaicScalar<uint8_t, 255>,
        DemosaicScalar<uint16_t, 65535>,
        LutScalar<uint8_t, uint8_t>,
        LutScalar<uint16_t, uint16_t>,
        BrightnessScalar<uint8_t, 255>,
        BrightnessScalar<uint16_t, 65535>,
        HueSaturation8Scalar,
        HueSaturation16Scalar,
        SharpenScalar<uint8_t, 255>,
        SharpenScalar<uint16_t, 65535>,
        FlatField8Scalar,
        FlatField16Scalar,
        DetectDefectsScalar<uint8_t>,
        DetectDefectsScalar<uint16_t>,
        NearestUnmarkedScalar<uint8_t>,
        NearestUnmarkedScalar<uint16_t>,
        ReplaceMarkedScalar<uint8_t>,
        ReplaceMarkedScalar<uint16_t>,
    };
    return set;
}

namespace {
std::atomic<const KernelSet*> g_override{nullptr};
}  // namespace

void OverrideKernels(const KernelSet* set) { g_override.store(set); }

const KernelSet& ActiveKernels() {
    if (const KernelSet* o = g_override.load(std::memory_order_relaxed)) return *o;
    static const KernelSet& set = []() -> const KernelSet& {
        const char* force = std::getenv("VELTCAM_FORCE_SCALAR");
        if (force != nullptr && force[0] != '\0' && std::strcmp(force, "0") != 0) {
            return ScalarKernels();
        }
        return FastKernels();
    }();
    return set;
}

}  // namespace veltcam::kernels
