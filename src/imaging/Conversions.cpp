#include "imaging/Conversions.h"

#include <algorithm>
#include <cstring>

namespace veltcam::conversions {
namespace {

inline uint16_t Load16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline void Store16(uint8_t* p, unsigned v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

// Calls fn(destination row, source row, pixels) for every row of the rectangle,
// the source rows in reverse order when `flipped`.
template <class Fn>
int EachRow(const PixelOpArgs& a, bool flipped, Fn fn) {
    const int h = a.rect.Height();
    const int w = a.rect.Width();
    for (int r = 0; r < h; ++r) {
        const int sy = flipped ? a.rect.bottom - 1 - r : a.rect.top + r;
        const uint8_t* s = a.SrcRow(sy) + static_cast<size_t>(a.rect.left) * a.srcBytesPerPixel;
        uint8_t* d = a.DstRow(a.dstY + r) + static_cast<size_t>(a.dstX) * a.dstBytesPerPixel;
        fn(d, s, w);
    }
    return 1;
}

// 16-bit monochrome to 8 bits through `fn(sample)`.
template <class Fn>
int Mono16To8(const PixelOpArgs& a, bool flipped, Fn fn) {
    return EachRow(a, flipped, [&](uint8_t* d, const uint8_t* s, int w) {
        for (int x = 0; x < w; ++x) d[x] = static_cast<uint8_t>(fn(Load16(s + 2 * x)));
    });
}

template <int kShift>
int Mono16Shift(const PixelOpArgs& a) {
    return EachRow(a, false, [](uint8_t* d, const uint8_t* s, int w) {
        for (int x = 0; x < w; ++x) Store16(d + 2 * x, Load16(s + 2 * x) << kShift);
    });
}

int Color16HighBytes(const PixelOpArgs& a, bool flipped) {
    const int sp = a.srcBytesPerPixel;
    const int dp = a.dstBytesPerPixel;
    return EachRow(a, flipped, [=](uint8_t* d, const uint8_t* s, int w) {
        for (int x = 0; x < w; ++x) {
            for (int c = 0; c < 3; ++c) d[x * dp + c] = s[x * sp + 2 * c + 1];
        }
    });
}

// 48/64-bit colour scaled by `kShift`; `kSwap` exchanges B and R; a 64-bit
// destination gets an opaque fourth sample.
template <int kShift, bool kSwap>
int Color16Scale(const PixelOpArgs& a) {
    const int sp = a.srcBytesPerPixel;
    const int dp = a.dstBytesPerPixel;
    return EachRow(a, false, [=](uint8_t* d, const uint8_t* s, int w) {
        for (int x = 0; x < w; ++x) {
            const uint8_t* ps = s + x * sp;
            uint8_t* pd = d + x * dp;
            const unsigned b = Load16(ps), g = Load16(ps + 2), r = Load16(ps + 4);
            Store16(pd, (kSwap ? r : b) << kShift);
            Store16(pd + 2, g << kShift);
            Store16(pd + 4, (kSwap ? b : r) << kShift);
            if (dp == 8) Store16(pd + 6, 65535);
        }
    });
}

int Color24Copy(const PixelOpArgs& a, bool flipped) {
    const int sp = a.srcBytesPerPixel;
    const int dp = a.dstBytesPerPixel;
    return EachRow(a, flipped, [=](uint8_t* d, const uint8_t* s, int w) {
        for (int x = 0; x < w; ++x) {
            d[x * dp] = s[x * sp];
            d[x * dp + 1] = s[x * sp + 1];
            d[x * dp + 2] = s[x * sp + 2];
        }
    });
}

// Nearest source index for destination index i, clamped to the source.
inline int Nearest(int i, int srcSize, int dstSize) {
    const int64_t s = static_cast<int64_t>(i) * srcSize / dstSize;
    return static_cast<int>(std::clamp<int64_t>(s, 0, srcSize - 1));
}

int PreviewScaleBytes(const PixelOpArgs& a, int samples) {
    const auto* p = static_cast<const PreviewScaleParams*>(a.params);
    if (p == nullptr || p->srcWidth <= 0 || p->srcHeight <= 0 || p->dstWidth <= 0 ||
        p->dstHeight <= 0) {
        return 0;
    }
    const int sp = a.srcBytesPerPixel;
    const int dp = a.dstBytesPerPixel;
    for (int y = 0; y < p->dstHeight; ++y) {
        const uint8_t* s = a.SrcRow(Nearest(y, p->srcHeight, p->dstHeight));
        uint8_t* d = a.DstRow(p->dstHeight - 1 - y);
        for (int x = 0; x < p->dstWidth; ++x) {
            const uint8_t* ps = s + static_cast<size_t>(Nearest(x, p->srcWidth, p->dstWidth)) * sp;
            std::memcpy(d + static_cast<size_t>(x) * dp, ps, samples);
        }
    }
    return 1;
}

int RepitchRows(const PixelOpArgs& a) {
    const size_t packed = static_cast<size_t>(a.rect.Width()) * a.dstBytesPerPixel;
    // Rows move towards the end of the buffer, so the last row goes first and each
    // row is moved from its end (memmove), never overwriting unread data.
    for (int y = a.rect.Height() - 1; y > 0; --y) {
        std::memmove(a.dst + static_cast<size_t>(y) * a.dstPitch, a.dst + y * packed, packed);
    }
    return 1;
}

int MirrorSamples(const PixelOpArgs& a, bool flipped) {
    const int bpp = a.srcBytesPerPixel;
    return EachRow(a, flipped, [=](uint8_t* d, const uint8_t* s, int w) {
        for (int x = 0; x < w; ++x) std::memcpy(d + x * bpp, s + (w - 1 - x) * bpp, bpp);
    });
}

}  // namespace

int Mono10To8Flipped(const PixelOpArgs& a) {
    return Mono16To8(a, true, [](unsigned v) { return v >> 2; });
}
int Mono12To8Flipped(const PixelOpArgs& a) {
    return Mono16To8(a, true, [](unsigned v) { return v >> 4; });
}
int MonoHighByteFlipped(const PixelOpArgs& a) {
    return Mono16To8(a, true, [](unsigned v) { return v >> 8; });
}
int MonoHighByte(const PixelOpArgs& a) {
    return Mono16To8(a, false, [](unsigned v) { return v >> 8; });
}
int Mono12To16(const PixelOpArgs& a) { return Mono16Shift<4>(a); }
int Mono10To16(const PixelOpArgs& a) { return Mono16Shift<6>(a); }
int Color48HighBytesFlipped(const PixelOpArgs& a) { return Color16HighBytes(a, true); }
int Color48HighBytes(const PixelOpArgs& a) { return Color16HighBytes(a, false); }
int Color48Scale12(const PixelOpArgs& a) { return Color16Scale<4, false>(a); }
int Color48Scale10(const PixelOpArgs& a) { return Color16Scale<6, false>(a); }
int Color48Scale12Swapped(const PixelOpArgs& a) { return Color16Scale<4, true>(a); }
int Color48Scale10Swapped(const PixelOpArgs& a) { return Color16Scale<6, true>(a); }
int Color64Scale12(const PixelOpArgs& a) { return Color16Scale<4, false>(a); }
int Color64Scale10(const PixelOpArgs& a) { return Color16Scale<6, false>(a); }
int Color64Scale12Swapped(const PixelOpArgs& a) { return Color16Scale<4, true>(a); }
int Color64Scale10Swapped(const PixelOpArgs& a) { return Color16Scale<6, true>(a); }
int Color24CopyFlipped(const PixelOpArgs& a) { return Color24Copy(a, true); }
int Color32To24(const PixelOpArgs& a) { return Color24Copy(a, false); }

int RowCopyFlipped(const PixelOpArgs& a) {
    const size_t bytes = static_cast<size_t>(std::min(a.dstPitch, a.srcPitch));
    for (int r = 0; r < a.rect.Height(); ++r) {
        std::memcpy(a.DstRow(a.dstY + r), a.SrcRow(a.rect.bottom - 1 - r), bytes);
    }
    return 1;
}

int SwapRedBlue(const PixelOpArgs& a) {
    const int sp = a.srcBytesPerPixel;
    const int dp = a.dstBytesPerPixel;
    return EachRow(a, false, [=](uint8_t* d, const uint8_t* s, int w) {
        for (int x = 0; x < w; ++x) {
            const uint8_t b = s[x * sp], g = s[x * sp + 1], r = s[x * sp + 2];
            d[x * dp] = r;
            d[x * dp + 1] = g;
            d[x * dp + 2] = b;
        }
    });
}

int Color32WithAlpha(const PixelOpArgs& a) {
    return EachRow(a, false, [](uint8_t* d, const uint8_t* s, int w) {
        for (int x = 0; x < w; ++x) {
            d[4 * x] = s[4 * x];
            d[4 * x + 1] = s[4 * x + 1];
            d[4 * x + 2] = s[4 * x + 2];
            d[4 * x + 3] = static_cast<uint8_t>(~s[4 * x + 3]);
        }
    });
}

int ColorToGray(const PixelOpArgs& a) {
    const int sp = a.srcBytesPerPixel;
    return EachRow(a, false, [=](uint8_t* d, const uint8_t* s, int w) {
        for (int x = 0; x < w; ++x) {
            const uint8_t* p = s + x * sp;
            d[x] = static_cast<uint8_t>((30 * p[2] + 59 * p[1] + 11 * p[0]) / 100);
        }
    });
}

int PreviewScale8(const PixelOpArgs& a) { return PreviewScaleBytes(a, 1); }
int PreviewScale24(const PixelOpArgs& a) { return PreviewScaleBytes(a, 3); }

int PreviewScale(DibImage& dst, const DibImage& src) {
    PreviewScaleParams p{src.Width(), src.Height(), dst.Width(), dst.Height()};
    return ApplyPixelOp(dst, src.Bits() == 8 ? PreviewScale8 : PreviewScale24, src, nullptr, 0, 0,
                        &p);
}

int Repitch8(const PixelOpArgs& a) { return RepitchRows(a); }
int Repitch16(const PixelOpArgs& a) { return RepitchRows(a); }

int MirrorRows(const PixelOpArgs& a) { return MirrorSamples(a, false); }
int Turn180(const PixelOpArgs& a) { return MirrorSamples(a, true); }

int FlipRows(const PixelOpArgs& a) {
    const size_t bytes = static_cast<size_t>(a.rect.Width()) * a.srcBytesPerPixel;
    for (int r = 0; r < a.rect.Height(); ++r) {
        std::memcpy(
            a.DstRow(a.dstY + r) + static_cast<size_t>(a.dstX) * a.dstBytesPerPixel,
            a.SrcRow(a.rect.bottom - 1 - r) + static_cast<size_t>(a.rect.left) * a.srcBytesPerPixel,
            bytes);
    }
    return 1;
}

int CopyRows(const PixelOpArgs& a) {
    const size_t bytes = static_cast<size_t>(a.rect.Width()) * a.srcBytesPerPixel;
    for (int r = 0; r < a.rect.Height(); ++r) {
        std::memcpy(
            a.DstRow(a.dstY + r) + static_cast<size_t>(a.dstX) * a.dstBytesPerPixel,
            a.SrcRow(a.rect.top + r) + static_cast<size_t>(a.rect.left) * a.srcBytesPerPixel,
            bytes);
    }
    return 1;
}

}  // namespace veltcam::conversions

namespace veltcam {

void Repitch(DibImage& raw) {
    if (!raw.IsValid()) return;
    const int64_t packed = static_cast<int64_t>(raw.Width()) * raw.Bits() / 8;
    if (packed == raw.RowBytes()) return;
    ApplyPixelOp(raw, raw.Bits() == 16 ? conversions::Repitch16 : conversions::Repitch8, raw,
                 nullptr, 0, 0, nullptr);
}

void MirrorRaw(DibImage& raw, bool horizontal, bool vertical) {
    if (!raw.IsValid() || (!horizontal && !vertical)) return;
    // The temporary image lives only for this call, whichever way it leaves.
    DibImage temp;
    if (!temp.CreateLike(raw)) return;
    if (horizontal) {
        ApplyPixelOp(temp, vertical ? conversions::Turn180 : conversions::MirrorRows, raw, nullptr,
                     0, 0, nullptr);
        std::memcpy(raw.Pixels(), temp.Pixels(), raw.SizeBytes());
    } else {
        ApplyPixelOp(temp, conversions::CopyRows, raw, nullptr, 0, 0, nullptr);
        ApplyPixelOp(raw, conversions::FlipRows, temp, nullptr, 0, 0, nullptr);
    }
}

}  // namespace veltcam
