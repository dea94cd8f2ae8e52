#include "files/WriterKernels.h"

#include <cstring>

namespace veltcam::writer_kernels {
namespace {

template <class Fn>
int EachRow(const PixelOpArgs& a, bool flipped, Fn fn) {
    const int w = a.rect.Width();
    for (int r = 0; r < a.rect.Height(); ++r) {
        const int sy = flipped ? a.rect.bottom - 1 - r : a.rect.top + r;
        const uint8_t* s = a.SrcRow(sy) + static_cast<size_t>(a.rect.left) * a.srcBytesPerPixel;
        uint8_t* d = a.DstRow(a.dstY + r) + static_cast<size_t>(a.dstX) * a.dstBytesPerPixel;
        fn(d, s, w);
    }
    return 1;
}

// Samples are moved as byte pairs, so the little-endian order is kept without
// assembling values.
template <bool kSwap>
int Color16Copy(const PixelOpArgs& a) {
    const int sp = a.srcBytesPerPixel;
    const int dp = a.dstBytesPerPixel;
    return EachRow(a, false, [=](uint8_t* d, const uint8_t* s, int w) {
        for (int x = 0; x < w; ++x) {
            const uint8_t* ps = s + static_cast<size_t>(x) * sp;
            uint8_t* pd = d + static_cast<size_t>(x) * dp;
            std::memcpy(pd, ps + (kSwap ? 4 : 0), 2);
            std::memcpy(pd + 2, ps + 2, 2);
            std::memcpy(pd + 4, ps + (kSwap ? 0 : 4), 2);
            if (dp == 8) pd[6] = pd[7] = 0xFF;
        }
    });
}

}  // namespace

int Color64OpaqueAlpha(const PixelOpArgs& a) { return Color16Copy<false>(a); }
int Color48Swapped(const PixelOpArgs& a) { return Color16Copy<true>(a); }
int Color64SwappedOpaqueAlpha(const PixelOpArgs& a) { return Color16Copy<true>(a); }

int Gray8To24Flipped(const PixelOpArgs& a) {
    return EachRow(a, true, [](uint8_t* d, const uint8_t* s, int w) {
        for (int x = 0; x < w; ++x) d[3 * x] = d[3 * x + 1] = d[3 * x + 2] = s[x];
    });
}

}  // namespace veltcam::writer_kernels
