// SIMD versions of the row kernels, compiled once per instruction set and chosen
// at run time for the processor at hand (the DLL has to run on any x86-64).
//
// Each kernel works on whole vectors in the part of the row where no neighbour
// falls outside it, and hands the few remaining pixels (borders, row tails) to the
// scalar reference, so both give the same bytes by construction of the edges and
// by exact integer arithmetic in the middle.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "imaging/kernels/FastKernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>

#include "imaging/kernels/Kernels.h"

HWY_BEFORE_NAMESPACE();
namespace veltcam::kernels {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Integer forms of what this Highway release offers for floats only.
template <class V>
HWY_INLINE V MulAddI(V a, V b, V c) {
    return hn::Add(hn::Mul(a, b), c);
}
template <class V>
HWY_INLINE auto GeI(V a, V b) {
    return hn::Not(hn::Lt(a, b));
}
template <class V>
HWY_INLINE auto LeI(V a, V b) {
    return hn::Not(hn::Gt(a, b));
}

// ------------------------------------------------------------------ demosaic

// 8-bit raw to 24/32-bit colour. Lanes are 16-bit, one output pixel each; the
// vector starts on an even column, so lane parity is column parity.
void Demosaic8(const DemosaicRow& a) {
    const hn::ScalableTag<int16_t> d16;
    const hn::Rebind<uint8_t, decltype(d16)> d8;
    const int n = static_cast<int>(hn::Lanes(d16));
    const int w = a.width;
    const auto* rn = static_cast<const uint8_t*>(a.redNear);
    const auto* rf = static_cast<const uint8_t*>(a.redFar);
    const auto* bn = static_cast<const uint8_t*>(a.blueNear);
    const auto* bf = static_cast<const uint8_t*>(a.blueFar);
    auto* out = static_cast<uint8_t*>(a.out);

    // Lanes whose column holds the red sample of the quad (the others hold blue).
    const auto lane = hn::And(hn::Iota(d16, 0), hn::Set(d16, 1));
    const auto redHere = hn::Eq(lane, hn::Set(d16, static_cast<int16_t>(a.redColumn)));
    // (S * F) >> 11 == MulHigh(S, F << 5): S <= 4080 and F << 5 <= 16384.
    const auto fr = hn::Set(d16, static_cast<int16_t>(a.redFactor << 5));
    const auto fb = hn::Set(d16, static_cast<int16_t>(a.blueFactor << 5));
    const auto three = hn::Set(d16, 3);
    const auto full = hn::Set(d16, 255);

    auto load = [&](const uint8_t* p) { return hn::PromoteTo(d16, hn::LoadU(d8, p)); };

    int x = 2;
    if (w >= 4 && n >= 2) {
        for (; x + n <= w - 1; x += n) {
            const auto rnM2 = load(rn + x - 2), rnM1 = load(rn + x - 1), rn0 = load(rn + x),
                       rnP1 = load(rn + x + 1);
            const auto rfM2 = load(rf + x - 2), rfM1 = load(rf + x - 1), rf0 = load(rf + x),
                       rfP1 = load(rf + x + 1);
            const auto bnM2 = load(bn + x - 2), bnM1 = load(bn + x - 1), bn0 = load(bn + x),
                       bnP1 = load(bn + x + 1);
            const auto bfM2 = load(bf + x - 2), bfM1 = load(bf + x - 1), bf0 = load(bf + x),
                       bfP1 = load(bf + x + 1);
            // Vertical pairs 3 * near row + far row of each column.
            const auto vrM2 = MulAddI(rnM2, three, rfM2);
            const auto vrM1 = MulAddI(rnM1, three, rfM1);
            const auto vr0 = MulAddI(rn0, three, rf0);
            const auto vrP1 = MulAddI(rnP1, three, rfP1);
            const auto vbM2 = MulAddI(bnM2, three, bfM2);
            const auto vbM1 = MulAddI(bnM1, three, bfM1);
            const auto vb0 = MulAddI(bn0, three, bf0);
            const auto vbP1 = MulAddI(bnP1, three, bfP1);
            // Red in this column: near x, far x-2; else near x-1, far x+1. Blue the
            // other way round.
            const auto sr =
                hn::IfThenElse(redHere, MulAddI(vr0, three, vrM2), MulAddI(vrM1, three, vrP1));
            const auto sb =
                hn::IfThenElse(redHere, MulAddI(vbM1, three, vbP1), MulAddI(vb0, three, vbM2));
            const auto green =
                hn::ShiftRight<1>(hn::IfThenElse(redHere, hn::Add(rnM1, bn0), hn::Add(rn0, bnM1)));
            const auto red = hn::Min(hn::MulHigh(sr, fr), full);
            const auto blue = hn::Min(hn::MulHigh(sb, fb), full);
            const auto r8 = hn::DemoteTo(d8, red);
            const auto g8 = hn::DemoteTo(d8, green);
            const auto b8 = hn::DemoteTo(d8, blue);
            if (a.outSamples == 3) {
                hn::StoreInterleaved3(b8, g8, r8, d8, out + 3 * x);
            } else {
                hn::Vec<decltype(d8)> ob, og, orr, oa;
                hn::LoadInterleaved4(d8, out + 4 * x, ob, og, orr, oa);
                hn::StoreInterleaved4(b8, g8, r8, oa, d8, out + 4 * x);
            }
        }
    } else {
        x = 0;
    }
    DemosaicColumnsScalar8(a, 0, std::min(2, w));
    DemosaicColumnsScalar8(a, std::max(x, 2), w);
}

// 16-bit raw to 48/64-bit colour in 32-bit lanes: S * F reaches 2^29.
void Demosaic16(const DemosaicRow& a) {
    const hn::ScalableTag<int32_t> d32;
    const hn::Rebind<uint16_t, decltype(d32)> d16;
    const int n = static_cast<int>(hn::Lanes(d32));
    const int w = a.width;
    const auto* rn = static_cast<const uint16_t*>(a.redNear);
    const auto* rf = static_cast<const uint16_t*>(a.redFar);
    const auto* bn = static_cast<const uint16_t*>(a.blueNear);
    const auto* bf = static_cast<const uint16_t*>(a.blueFar);
    auto* out = static_cast<uint16_t*>(a.out);

    const auto lane = hn::And(hn::Iota(d32, 0), hn::Set(d32, 1));
    const auto redHere = hn::Eq(lane, hn::Set(d32, a.redColumn));
    const auto fr = hn::Set(d32, static_cast<int32_t>(a.redFactor));
    const auto fb = hn::Set(d32, static_cast<int32_t>(a.blueFactor));
    const auto three = hn::Set(d32, 3);
    const auto full = hn::Set(d32, 65535);

    auto load = [&](const uint16_t* p) { return hn::PromoteTo(d32, hn::LoadU(d16, p)); };

    int x = 2;
    if (w >= 4 && n >= 2) {
        for (; x + n <= w - 1; x += n) {
            const auto vrM2 = MulAddI(load(rn + x - 2), three, load(rf + x - 2));
            const auto vrM1 = MulAddI(load(rn + x - 1), three, load(rf + x - 1));
            const auto vr0 = MulAddI(load(rn + x), three, load(rf + x));
            const auto vrP1 = MulAddI(load(rn + x + 1), three, load(rf + x + 1));
            const auto bnM1 = load(bn + x - 1), bn0 = load(bn + x);
            const auto vbM2 = MulAddI(load(bn + x - 2), three, load(bf + x - 2));
            const auto vbM1 = MulAddI(bnM1, three, load(bf + x - 1));
            const auto vb0 = MulAddI(bn0, three, load(bf + x));
            const auto vbP1 = MulAddI(load(bn + x + 1), three, load(bf + x + 1));
            const auto sr =
                hn::IfThenElse(redHere, MulAddI(vr0, three, vrM2), MulAddI(vrM1, three, vrP1));
            const auto sb =
                hn::IfThenElse(redHere, MulAddI(vbM1, three, vbP1), MulAddI(vb0, three, vbM2));
            const auto green = hn::ShiftRight<1>(hn::IfThenElse(
                redHere, hn::Add(load(rn + x - 1), bn0), hn::Add(load(rn + x), bnM1)));
            const auto red = hn::Min(hn::ShiftRight<11>(hn::Mul(sr, fr)), full);
            const auto blue = hn::Min(hn::ShiftRight<11>(hn::Mul(sb, fb)), full);
            const auto r16 = hn::DemoteTo(d16, red);
            const auto g16 = hn::DemoteTo(d16, green);
            const auto b16 = hn::DemoteTo(d16, blue);
            if (a.outSamples == 3) {
                hn::StoreInterleaved3(b16, g16, r16, d16, out + 3 * x);
            } else {
                hn::Vec<decltype(d16)> ob, og, orr, oa;
                hn::LoadInterleaved4(d16, out + 4 * x, ob, og, orr, oa);
                hn::StoreInterleaved4(b16, g16, r16, oa, d16, out + 4 * x);
            }
        }
    } else {
        x = 0;
    }
    DemosaicColumnsScalar16(a, 0, std::min(2, w));
    DemosaicColumnsScalar16(a, std::max(x, 2), w);
}

// ------------------------------------------------------------------ 8-bit tables

// 256-entry byte table through 16 in-register 16-byte tables: the low nibble picks
// the entry, the high nibble the table (a binary tree of selects on its bits).
void Lut8(const SampleRun& run, const uint8_t* table) {
    const hn::ScalableTag<uint8_t> d;
    const size_t n = hn::Lanes(d);
    auto* s = static_cast<uint8_t*>(run.samples);
    const size_t count = static_cast<size_t>(run.count);
    hn::Vec<decltype(d)> t[16];
    for (int g = 0; g < 16; ++g) t[g] = hn::LoadDup128(d, table + 16 * g);
    const auto lowMask = hn::Set(d, 15);
    const auto bit4 = hn::Set(d, 16), bit5 = hn::Set(d, 32), bit6 = hn::Set(d, 64),
               bit7 = hn::Set(d, 128);
    size_t i = 0;
    for (; i + n <= count; i += n) {
        const auto v = hn::LoadU(d, s + i);
        const auto lo = hn::And(v, lowMask);
        const auto m4 = hn::TestBit(v, bit4);
        const auto m5 = hn::TestBit(v, bit5);
        const auto m6 = hn::TestBit(v, bit6);
        const auto m7 = hn::TestBit(v, bit7);
        hn::Vec<decltype(d)> l1[8];
        for (int g = 0; g < 8; ++g) {
            l1[g] = hn::IfThenElse(m4, hn::TableLookupBytes(t[2 * g + 1], lo),
                                   hn::TableLookupBytes(t[2 * g], lo));
        }
        hn::Vec<decltype(d)> l2[4];
        for (int g = 0; g < 4; ++g) l2[g] = hn::IfThenElse(m5, l1[2 * g + 1], l1[2 * g]);
        const auto l3a = hn::IfThenElse(m6, l2[1], l2[0]);
        const auto l3b = hn::IfThenElse(m6, l2[3], l2[2]);
        auto r = hn::IfThenElse(m7, l3b, l3a);
        if (run.skipFourth) {
            // Lanes that hold the unused fourth sample of 32-bit pixels keep it.
            const auto lane = hn::Iota(d, static_cast<uint8_t>(i & 3));
            r = hn::IfThenElse(hn::Eq(hn::And(lane, hn::Set(d, 3)), hn::Set(d, 3)), v, r);
        }
        hn::StoreU(r, d, s + i);
    }
    for (; i < count; ++i) {
        if (run.skipFourth && (i & 3) == 3) continue;
        s[i] = table[s[i]];
    }
}

void Brightness8(const SampleRun& run, float factor) {
    // A pure function of the sample: its table is exact by construction.
    uint8_t table[256];
    for (int v = 0; v < 256; ++v) {
        const float scaled = static_cast<float>(v) * factor;
        table[v] = static_cast<uint8_t>(std::min(static_cast<int>(scaled), 255));
    }
    Lut8(run, table);
}

void Brightness16(const SampleRun& run, float factor) {
    const hn::ScalableTag<float> df;
    const hn::Rebind<int32_t, decltype(df)> di;
    const hn::Rebind<uint16_t, decltype(df)> d16;
    const size_t n = hn::Lanes(df);
    auto* s = static_cast<uint16_t*>(run.samples);
    const size_t count = static_cast<size_t>(run.count);
    const auto f = hn::Set(df, factor);
    const auto full = hn::Set(di, 65535);
    size_t i = 0;
    for (; i + n <= count; i += n) {
        const auto v = hn::PromoteTo(di, hn::LoadU(d16, s + i));
        // The same single-precision product as the reference, truncated.
        auto r = hn::Min(hn::ConvertTo(di, hn::Mul(hn::ConvertTo(df, v), f)), full);
        if (run.skipFourth) {
            const auto lane = hn::Iota(di, static_cast<int32_t>(i & 3));
            r = hn::IfThenElse(hn::Eq(hn::And(lane, hn::Set(di, 3)), hn::Set(di, 3)), v, r);
        }
        hn::StoreU(hn::DemoteTo(d16, r), d16, s + i);
    }
    for (; i < count; ++i) {
        if (run.skipFourth && (i & 3) == 3) continue;
        const float scaled = static_cast<float>(s[i]) * factor;
        s[i] = static_cast<uint16_t>(std::min(static_cast<int>(scaled), 65535));
    }
}

// ------------------------------------------------------------------ hue and saturation

// The hexcone arithmetic of HueSaturationPixel, in 32-bit lanes.
template <class D, class V>
void HueSaturationVec(D d, V& r, V& g, V& b, const HueSaturation& p) {
    const auto zero = hn::Zero(d);
    const auto mx = hn::Max(r, hn::Max(g, b));
    const auto mn = hn::Min(r, hn::Min(g, b));
    const auto dd = hn::Sub(mx, mn);
    const auto l2 = hn::Add(mx, mn);
    // Sector: red wins ties with green, blue only when strictly largest.
    const auto isR = hn::And(GeI(r, g), GeI(r, b));
    const auto isG = hn::AndNot(isR, GeI(g, b));
    auto base =
        hn::IfThenElse(isR, hn::Set(d, 1), hn::IfThenElse(isG, hn::Set(d, 3), hn::Set(d, 5)));
    auto pos =
        hn::IfThenElse(isR, hn::Sub(g, b), hn::IfThenElse(isG, hn::Sub(b, r), hn::Sub(r, g)));
    const auto neg = hn::Lt(pos, zero);
    base = hn::IfThenElse(neg, hn::Sub(base, hn::Set(d, 1)), base);
    pos = hn::IfThenElse(neg, hn::Add(pos, dd), pos);

    const auto sat =
        hn::ShiftRight<8>(hn::Add(hn::Mul(dd, hn::Set(d, p.saturationScale)), hn::Set(d, 128)));
    const auto limit =
        hn::IfThenElse(hn::Lt(l2, hn::Set(d, 256)), l2, hn::Sub(hn::Set(d, 511), l2));
    const auto chroma = hn::Min(sat, limit);
    const auto low = hn::ShiftRight<1>(hn::Sub(l2, chroma));
    const auto span = hn::Sub(hn::ShiftRight<1>(hn::Add(l2, chroma)), low);

    // floor(0xFF0000 / d): single-precision quotient, corrected to the exact floor.
    const auto dsafe = hn::Max(dd, hn::Set(d, 1));
    const hn::Rebind<float, D> df;
    const auto num = hn::Set(d, 0xFF0000);
    auto q = hn::ConvertTo(d, hn::Div(hn::ConvertTo(df, num), hn::ConvertTo(df, dsafe)));
    q = hn::IfThenElse(hn::Gt(hn::Mul(q, dsafe), num), hn::Sub(q, hn::Set(d, 1)), q);
    q = hn::IfThenElse(LeI(hn::Mul(hn::Add(q, hn::Set(d, 1)), dsafe), num),
                       hn::Add(q, hn::Set(d, 1)), q);

    auto f = hn::Add(hn::ShiftRight<16>(hn::Add(hn::Mul(pos, q), hn::Set(d, 0x8000))),
                     hn::Set(d, p.hueSteps % 255));
    const auto wrap = hn::Gt(f, hn::Set(d, 254));
    auto k = hn::Add(base, hn::Set(d, p.hueSteps / 255));
    k = hn::IfThenElse(wrap, hn::Add(k, hn::Set(d, 1)), k);
    f = hn::IfThenElse(wrap, hn::Sub(f, hn::Set(d, 255)), f);
    k = hn::IfThenElse(GeI(k, hn::Set(d, 6)), hn::Sub(k, hn::Set(d, 6)), k);
    const auto ramp = hn::ShiftRight<8>(hn::Add(hn::Mul(f, span), hn::Set(d, 128)));

    const auto top = hn::Add(low, span);
    const auto up = hn::Add(low, ramp);
    const auto down = hn::Sub(top, ramp);
    const auto k0 = hn::Eq(k, zero), k1 = hn::Eq(k, hn::Set(d, 1)), k2 = hn::Eq(k, hn::Set(d, 2)),
               k3 = hn::Eq(k, hn::Set(d, 3)), k4 = hn::Eq(k, hn::Set(d, 4)),
               k5 = hn::Eq(k, hn::Set(d, 5));
    auto nr =
        hn::IfThenElse(hn::Or(k0, k1), top, hn::IfThenElse(k2, down, hn::IfThenElse(k5, up, low)));
    auto ng =
        hn::IfThenElse(hn::Or(k2, k3), top, hn::IfThenElse(k4, down, hn::IfThenElse(k1, up, low)));
    auto nb =
        hn::IfThenElse(hn::Or(k4, k5), top, hn::IfThenElse(k0, down, hn::IfThenElse(k3, up, low)));
    const auto gray = hn::Eq(dd, zero);
    r = hn::IfThenElse(gray, low, nr);
    g = hn::IfThenElse(gray, low, ng);
    b = hn::IfThenElse(gray, low, nb);
}

void HueSaturation8(uint8_t* row, int width, int pixelBytes, const HueSaturation& p) {
    const hn::ScalableTag<int32_t> d32;
    const hn::Rebind<uint8_t, decltype(d32)> d8;
    const int n = static_cast<int>(hn::Lanes(d32));
    int x = 0;
    for (; x + n <= width; x += n) {
        uint8_t* px = row + static_cast<size_t>(x) * pixelBytes;
        hn::Vec<decltype(d8)> b8, g8, r8, a8;
        if (pixelBytes == 3) {
            hn::LoadInterleaved3(d8, px, b8, g8, r8);
        } else {
            hn::LoadInterleaved4(d8, px, b8, g8, r8, a8);
        }
        auto b = hn::PromoteTo(d32, b8);
        auto g = hn::PromoteTo(d32, g8);
        auto r = hn::PromoteTo(d32, r8);
        HueSaturationVec(d32, r, g, b, p);
        b8 = hn::DemoteTo(d8, b);
        g8 = hn::DemoteTo(d8, g);
        r8 = hn::DemoteTo(d8, r);
        if (pixelBytes == 3) {
            hn::StoreInterleaved3(b8, g8, r8, d8, px);
        } else {
            hn::StoreInterleaved4(b8, g8, r8, a8, d8, px);
        }
    }
    if (x < width) {
        ScalarKernels().hueSaturation8(row + static_cast<size_t>(x) * pixelBytes, width - x,
                                       pixelBytes, p);
    }
}

// ------------------------------------------------------------------ sharpness

// 8-bit unsharp mask over the flat sample array of a row: sample i's 4 x 4 block
// is the 4 rows at samples i - 2p, i - p, i, i + p for pixel size p. 16-bit lanes:
// the block sum is at most 4080.
void Sharpen8(const SharpenRow& a) {
    const hn::ScalableTag<int16_t> d16;
    const hn::Rebind<uint8_t, decltype(d16)> d8;
    const int n = static_cast<int>(hn::Lanes(d16));
    const int ps = a.pixelSamples;
    const uint8_t* c[4];
    for (int i = 0; i < 4; ++i) c[i] = static_cast<const uint8_t*>(a.copyRows[i]);
    auto* out = static_cast<uint8_t*>(a.out);
    const int first = 2 * ps;
    const int end = (a.width - 2) * ps;  // exclusive
    if (end <= first) return;
    const auto amount = hn::Set(d16, static_cast<int16_t>(a.amount));
    const auto tenth = hn::Set(d16, 6554);  // (x * 6554) >> 16 == x / 10 for x <= 16388
    const auto full = hn::Set(d16, 255);
    const auto zero = hn::Zero(d16);
    const auto keepFourth = hn::Eq(hn::And(hn::Iota(d16, 0), hn::Set(d16, 3)), hn::Set(d16, 3));
    auto column = [&](int i) {
        return hn::Add(hn::Add(hn::PromoteTo(d16, hn::LoadU(d8, c[0] + i)),
                               hn::PromoteTo(d16, hn::LoadU(d8, c[1] + i))),
                       hn::Add(hn::PromoteTo(d16, hn::LoadU(d8, c[2] + i)),
                               hn::PromoteTo(d16, hn::LoadU(d8, c[3] + i))));
    };
    int i = first;
    // The fourth-sample mask assumes vectors start on a pixel boundary.
    const int step = (ps == 4 && n % 4 != 0) ? 0 : n;
    if (step > 0) {
        for (; i + n <= end; i += n) {
            const auto sum = hn::Add(hn::Add(column(i - 2 * ps), column(i - ps)),
                                     hn::Add(column(i), column(i + ps)));
            const auto blur = hn::ShiftRight<4>(sum);
            const auto o = hn::PromoteTo(d16, hn::LoadU(d8, c[2] + i));
            const auto diff = hn::Sub(o, blur);
            // trunc(amount * diff / 10), |amount * diff| <= 7650
            const auto prod = hn::Mul(diff, amount);
            const auto mag = hn::MulHigh(hn::Abs(prod), tenth);
            const auto q = hn::IfThenElse(hn::Lt(prod, zero), hn::Neg(mag), mag);
            auto r = hn::Min(hn::Max(hn::Add(o, q), zero), full);
            if (ps == 4) {
                r = hn::IfThenElse(keepFourth, hn::PromoteTo(d16, hn::LoadU(d8, out + i)), r);
            }
            hn::StoreU(hn::DemoteTo(d8, r), d8, out + i);
        }
    }
    // The rest by the reference, one pixel at a time from the first unfinished one.
    const int nextPixel = i / ps;
    if (nextPixel < a.width - 2) {
        SharpenPixelsScalar8(a, std::max(nextPixel, 2), a.width - 2);
    }
}

// ------------------------------------------------------------------ corrections

void FlatField8(const FlatFieldRow& a) {
    const hn::ScalableTag<int32_t> d32;
    const hn::Rebind<float, decltype(d32)> df;
    const hn::Rebind<uint8_t, decltype(d32)> d8;
    const int n = static_cast<int>(hn::Lanes(d32));
    auto* s = static_cast<uint8_t*>(a.samples);
    const auto* dark = static_cast<const uint8_t*>(a.dark);
    const auto* white = static_cast<const uint8_t*>(a.white);
    const auto zero = hn::Zero(d32);
    const auto full = hn::Set(d32, 255);
    int i = 0;
    for (; i + n <= a.count; i += n) {
        const auto v = hn::PromoteTo(d32, hn::LoadU(d8, s + i));
        const auto dk = hn::PromoteTo(d32, hn::LoadU(d8, dark + i));
        const auto wt = hn::PromoteTo(d32, hn::LoadU(d8, white + i));
        const auto span = hn::Sub(wt, dk);
        const auto same = hn::Eq(span, zero);
        // |numerator| < 2^24: the single-precision quotient truncates to the exact
        // integer quotient.
        const auto num = hn::ShiftLeft<8>(hn::Sub(v, dk));
        const auto den = hn::IfThenElse(same, hn::Set(d32, 1), span);
        const auto q = hn::ConvertTo(d32, hn::Div(hn::ConvertTo(df, num), hn::ConvertTo(df, den)));
        const auto r = hn::IfThenElse(same, v, hn::Min(hn::Max(q, zero), full));
        hn::StoreU(hn::DemoteTo(d8, r), d8, s + i);
    }
    if (i < a.count) {
        FlatFieldRow rest{s + i, dark + i, white + i, a.count - i};
        ScalarKernels().flatField8(rest);
    }
}

void FlatField16(const FlatFieldRow& a) {
    // Numerators reach 2^32: double precision, exact up to 2^53.
    const hn::ScalableTag<double> df;
    const hn::Rebind<int32_t, decltype(df)> d32;
    const hn::Rebind<uint16_t, decltype(df)> d16;
    const int n = static_cast<int>(hn::Lanes(df));
    auto* s = static_cast<uint16_t*>(a.samples);
    const auto* dark = static_cast<const uint16_t*>(a.dark);
    const auto* white = static_cast<const uint16_t*>(a.white);
    const auto zero = hn::Zero(df);
    const auto full = hn::Set(df, 65535.0);
    int i = 0;
    for (; i + n <= a.count; i += n) {
        const auto v = hn::PromoteTo(df, hn::PromoteTo(d32, hn::LoadU(d16, s + i)));
        const auto dk = hn::PromoteTo(df, hn::PromoteTo(d32, hn::LoadU(d16, dark + i)));
        const auto wt = hn::PromoteTo(df, hn::PromoteTo(d32, hn::LoadU(d16, white + i)));
        const auto span = hn::Sub(wt, dk);
        const auto apply = hn::Gt(span, zero);
        const auto den = hn::IfThenElse(apply, span, hn::Set(df, 1.0));
        const auto q = hn::Trunc(hn::Div(hn::Mul(hn::Sub(v, dk), hn::Set(df, 65536.0)), den));
        const auto r = hn::IfThenElse(apply, hn::Min(hn::Max(q, zero), full), v);
        hn::StoreU(hn::DemoteTo(d16, hn::DemoteTo(d32, r)), d16, s + i);
    }
    if (i < a.count) {
        FlatFieldRow rest{s + i, dark + i, white + i, a.count - i};
        ScalarKernels().flatField16(rest);
    }
}

template <class T>
void DetectDefectsT(const DefectDetectRow& a) {
    const hn::ScalableTag<int32_t> d32;
    const hn::Rebind<T, decltype(d32)> dt;
    const int n = static_cast<int>(hn::Lanes(d32));
    const auto* up = static_cast<const T*>(a.above);
    const auto* row = static_cast<const T*>(a.row);
    const auto* down = static_cast<const T*>(a.below);
    const auto* hot = static_cast<const T*>(a.hot);
    const auto* dead = static_cast<const T*>(a.dead);
    auto* marks = static_cast<T*>(a.marks);
    const auto threshold = hn::Set(d32, a.threshold);
    const auto zero = hn::Zero(d32);
    const auto one = hn::Set(d32, 1);
    auto load = [&](const T* p) { return hn::PromoteTo(d32, hn::LoadU(dt, p)); };
    marks[0] = 0;
    marks[a.width - 1] = 0;
    int x = 1;
    for (; x + n <= a.width - 1; x += n) {
        const auto sum = hn::Add(hn::Add(load(row + x - 1), load(row + x + 1)),
                                 hn::Add(load(up + x), load(down + x)));
        const auto mean = hn::ShiftRight<2>(sum);
        const auto odd = GeI(hn::Abs(hn::Sub(load(row + x), mean)), threshold);
        const auto flagged = hn::Or(hn::Ne(load(hot + x), zero), hn::Ne(load(dead + x), zero));
        const auto m = hn::IfThenElseZero(hn::Or(odd, flagged), one);
        hn::StoreU(hn::DemoteTo(dt, m), dt, marks + x);
    }
    for (; x < a.width - 1; ++x) {
        const int mean = (row[x - 1] + row[x + 1] + up[x] + down[x]) >> 2;
        const int diff = row[x] - mean;
        marks[x] =
            (hot[x] != 0 || dead[x] != 0 || diff >= a.threshold || -diff >= a.threshold) ? 1 : 0;
    }
}

void DetectDefects8(const DefectDetectRow& a) { DetectDefectsT<uint8_t>(a); }
void DetectDefects16(const DefectDetectRow& a) { DetectDefectsT<uint16_t>(a); }

// Highway's target name of this instantiation, for reports.
const char* TargetName() { return hwy::TargetName(HWY_TARGET); }

}  // namespace HWY_NAMESPACE
}  // namespace veltcam::kernels
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace veltcam::kernels {

HWY_EXPORT(Demosaic8);
HWY_EXPORT(Demosaic16);
HWY_EXPORT(Lut8);
HWY_EXPORT(Brightness8);
HWY_EXPORT(Brightness16);
HWY_EXPORT(HueSaturation8);
HWY_EXPORT(Sharpen8);
HWY_EXPORT(FlatField8);
HWY_EXPORT(FlatField16);
HWY_EXPORT(DetectDefects8);
HWY_EXPORT(DetectDefects16);
HWY_EXPORT(TargetName);

namespace {

void Demosaic8Fast(const DemosaicRow& a) { HWY_DYNAMIC_DISPATCH(Demosaic8)(a); }
void Demosaic16Fast(const DemosaicRow& a) { HWY_DYNAMIC_DISPATCH(Demosaic16)(a); }
void Lut8Fast(const SampleRun& r, const uint8_t* t) { HWY_DYNAMIC_DISPATCH(Lut8)(r, t); }
void Brightness8Fast(const SampleRun& r, float f) { HWY_DYNAMIC_DISPATCH(Brightness8)(r, f); }
void Brightness16Fast(const SampleRun& r, float f) { HWY_DYNAMIC_DISPATCH(Brightness16)(r, f); }
void HueSaturation8Fast(uint8_t* row, int width, int pixelBytes, const HueSaturation& p) {
    HWY_DYNAMIC_DISPATCH(HueSaturation8)(row, width, pixelBytes, p);
}
void Sharpen8Fast(const SharpenRow& a) { HWY_DYNAMIC_DISPATCH(Sharpen8)(a); }
void FlatField8Fast(const FlatFieldRow& a) { HWY_DYNAMIC_DISPATCH(FlatField8)(a); }
void FlatField16Fast(const FlatFieldRow& a) { HWY_DYNAMIC_DISPATCH(FlatField16)(a); }
void DetectDefects8Fast(const DefectDetectRow& a) { HWY_DYNAMIC_DISPATCH(DetectDefects8)(a); }
void DetectDefects16Fast(const DefectDetectRow& a) { HWY_DYNAMIC_DISPATCH(DetectDefects16)(a); }

}  // namespace

const KernelSet& FastKernels() {
    static const KernelSet set{
        HWY_DYNAMIC_DISPATCH(TargetName)(),
        Demosaic8Fast,
        Demosaic16Fast,
        Lut8Fast,
        ScalarKernels().lut16,  // a gather is no faster than the scalar lookup
        Brightness8Fast,
        Brightness16Fast,
        HueSaturation8Fast,
        Sharpen8Fast,
        ScalarKernels().sharpen16,
        FlatField8Fast,
        FlatField16Fast,
        DetectDefects8Fast,
        DetectDefects16Fast,
    };
    return set;
}

}  // namespace veltcam::kernels
#endif  // HWY_ONCE
