// SIMD versions of the row kernels, compiled once per instruction set and chosen
// at run time for the processor at hand (the DLL has to run on any x86-64).
//
// Each kernel works on whole vectors in the part of the row where no neighbour
// falls outside it, and hands the few remaining pixels (borders, row tails) to the
// scalar reference, so both give the same bytes by construction of the edges and
// by exact integer arithmetic in the middle.
// The byte tables use VBMI permutes where the processor has them.
#ifndef HWY_WANT_AVX3_DL
#define HWY_WANT_AVX3_DL
#endif
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "imaging/kernels/FastKernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <type_traits>
#include <vector>

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

#if HWY_TARGET != HWY_SCALAR
// The demosaic works on column pairs: a raw row read as 2N-bit words holds an
// even column in the low half and the odd column in the high half of each lane,
// already widened. Every pair has one red (or green) and one blue (or green)
// column, so the four nearest red samples of both outputs of a pair come from
// the red columns of the pairs k-1, k and k+1; the results of a pair's even and
// odd output go back into one word each, which is the output row in order.
//
// Pair-lane values of a row: the column of parity `odd` in pairs k-1, k, k+1.
template <class D, class V>
struct PairColumns {
    V prev, here, next;
};

template <int kBits, class D, class T>
HWY_INLINE PairColumns<D, hn::Vec<D>> LoadColumns(D d, const T* row, int x, int odd) {
    // Loads of 2-sample words at sample offsets x - 2, x, x + 2.
    const auto* p = reinterpret_cast<const hn::TFromD<D>*>(row + x);
    const auto mask = hn::Set(d, static_cast<hn::TFromD<D>>((1u << kBits) - 1));
    auto pick = [&](hn::Vec<D> v) { return odd ? hn::ShiftRight<kBits>(v) : hn::And(v, mask); };
    return {pick(hn::LoadU(d, p - 1)), pick(hn::LoadU(d, p)), pick(hn::LoadU(d, p + 1))};
}

// One vector of column pairs starting at even column x: returns the B, G, R
// words (even output in the low half, odd output in the high half).
template <int kBits, int kRedColumn, class D, class T>
HWY_INLINE void DemosaicPairs(D d, const DemosaicRow& a, int x, hn::Vec<D>& bOut, hn::Vec<D>& gOut,
                              hn::Vec<D>& rOut) {
    using V = hn::Vec<D>;
    constexpr int rc = kRedColumn;
    const auto* rn = static_cast<const T*>(a.redNear);
    const auto* rf = static_cast<const T*>(a.redFar);
    const auto* bn = static_cast<const T*>(a.blueNear);
    const auto* bf = static_cast<const T*>(a.blueFar);
    const auto rnR = LoadColumns<kBits>(d, rn, x, rc);
    const auto rfR = LoadColumns<kBits>(d, rf, x, rc);
    const auto bnB = LoadColumns<kBits>(d, bn, x, 1 - rc);
    const auto bfB = LoadColumns<kBits>(d, bf, x, 1 - rc);
    // Greens of the quads: the red row at blue columns, the blue row at red columns.
    const auto rnB = LoadColumns<kBits>(d, rn, x, 1 - rc);
    const auto bnR = LoadColumns<kBits>(d, bn, x, rc);
    auto v = [&](V near, V far) { return hn::Add(hn::Add(near, hn::Add(near, near)), far); };
    auto s = [&](V near, V far) { return hn::Add(hn::Add(near, hn::Add(near, near)), far); };
    const V vrPrev = v(rnR.prev, rfR.prev), vrHere = v(rnR.here, rfR.here),
            vrNext = v(rnR.next, rfR.next);
    const V vbPrev = v(bnB.prev, bfB.prev), vbHere = v(bnB.here, bfB.here),
            vbNext = v(bnB.next, bfB.next);
    V srEven, srOdd, sbEven, sbOdd, gEven, gOdd;
    if constexpr (rc == 0) {
        srEven = s(vrHere, vrPrev);
        srOdd = s(vrHere, vrNext);
        sbEven = s(vbPrev, vbHere);
        sbOdd = s(vbHere, vbPrev);
        gEven = hn::ShiftRight<1>(hn::Add(rnB.prev, bnR.here));
    } else {
        srEven = s(vrPrev, vrHere);
        srOdd = s(vrHere, vrPrev);
        sbEven = s(vbHere, vbPrev);
        sbOdd = s(vbHere, vbNext);
        gEven = hn::ShiftRight<1>(hn::Add(rnB.here, bnR.prev));
    }
    gOdd = hn::ShiftRight<1>(hn::Add(rnB.here, bnR.here));
    const V full = hn::Set(d, static_cast<hn::TFromD<D>>((1u << kBits) - 1));
    V rEven, rOdd, bEven, bOdd;
    if constexpr (kBits == 8) {
        // (S * F) >> 11 == MulHigh(S, F << 5): S <= 4080 and F << 5 <= 16384.
        const V fr = hn::Set(d, static_cast<uint16_t>(a.redFactor << 5));
        const V fb = hn::Set(d, static_cast<uint16_t>(a.blueFactor << 5));
        rEven = hn::Min(hn::MulHigh(srEven, fr), full);
        rOdd = hn::Min(hn::MulHigh(srOdd, fr), full);
        bEven = hn::Min(hn::MulHigh(sbEven, fb), full);
        bOdd = hn::Min(hn::MulHigh(sbOdd, fb), full);
    } else {
        // S <= 16 * 65535 and F <= 512: the product fits 32 bits.
        const V fr = hn::Set(d, a.redFactor);
        const V fb = hn::Set(d, a.blueFactor);
        rEven = hn::Min(hn::ShiftRight<11>(hn::Mul(srEven, fr)), full);
        rOdd = hn::Min(hn::ShiftRight<11>(hn::Mul(srOdd, fr)), full);
        bEven = hn::Min(hn::ShiftRight<11>(hn::Mul(sbEven, fb)), full);
        bOdd = hn::Min(hn::ShiftRight<11>(hn::Mul(sbOdd, fb)), full);
    }
    bOut = hn::Or(bEven, hn::ShiftLeft<kBits>(bOdd));
    gOut = hn::Or(gEven, hn::ShiftLeft<kBits>(gOdd));
    rOut = hn::Or(rEven, hn::ShiftLeft<kBits>(rOdd));
}

#endif  // HWY_TARGET != HWY_SCALAR

#if HWY_TARGET != HWY_SCALAR
// The vectors of a row, with the Bayer phase and the output pixel size fixed so
// that the loop holds no branch and its constants stay in registers. (Written as
// a lambda the AVX2 build did not inline it and set the constants up again for
// every vector.) Vectors cover output columns x .. x + 2N - 1 and read columns
// x - 2 .. x + 2N + 1; the last one overlaps the one before: outputs are not
// inputs, so computing a column twice gives the same bytes.
template <int kBits, int kRedColumn, int kOutSamples>
void DemosaicVectors(const DemosaicRow& row) {
    const DemosaicRow a = row;  // a local record: stores to `out` cannot change it
    using T = hwy::UnsignedFromSize<kBits / 8>;
    using W = hwy::UnsignedFromSize<kBits / 4>;
    const hn::ScalableTag<W> d;                // one lane per column pair
    const hn::Repartition<T, decltype(d)> ds;  // one lane per output sample
    const int span = 2 * static_cast<int>(hn::Lanes(d));
    const int w = a.width;
    const int last = w - 2 - span;
    auto* out = static_cast<T*>(a.out);
    for (int x0 = 2; x0 < w - 2; x0 += span) {
        const int x = std::min(x0, last);
        hn::Vec<decltype(d)> b, g, r;
        DemosaicPairs<kBits, kRedColumn, decltype(d), T>(d, a, x, b, g, r);
        const auto b8 = hn::BitCast(ds, b), g8 = hn::BitCast(ds, g), r8 = hn::BitCast(ds, r);
        if constexpr (kOutSamples == 3) {
            hn::StoreInterleaved3(b8, g8, r8, ds, out + 3 * x);
        } else {
            hn::Vec<decltype(ds)> ob, og, orr, oa;
            hn::LoadInterleaved4(ds, out + 4 * x, ob, og, orr, oa);
            hn::StoreInterleaved4(b8, g8, r8, oa, ds, out + 4 * x);
        }
    }
}
#endif

template <int kBits>
void DemosaicFast(const DemosaicRow& row) {
    const DemosaicRow a = row;  // not reloaded after every store (see HueSaturation8)
    const int w = a.width;
    int done = 2;             // columns 0 and 1 are border columns
#if HWY_TARGET != HWY_SCALAR  // one lane cannot hold a column pair
    using W = hwy::UnsignedFromSize<kBits / 4>;
    const int span = 2 * static_cast<int>(hn::Lanes(hn::ScalableTag<W>()));
    if (w % 2 == 0 && w >= span + 4) {
        if (a.redColumn == 0) {
            (a.outSamples == 3 ? DemosaicVectors<kBits, 0, 3> : DemosaicVectors<kBits, 0, 4>)(a);
        } else {
            (a.outSamples == 3 ? DemosaicVectors<kBits, 1, 3> : DemosaicVectors<kBits, 1, 4>)(a);
        }
        done = w - 2;
    }
#endif
    if constexpr (kBits == 8) {
        DemosaicColumnsScalar8(a, 0, std::min(2, w));
        DemosaicColumnsScalar8(a, std::min(done, w), w);
    } else {
        DemosaicColumnsScalar16(a, 0, std::min(2, w));
        DemosaicColumnsScalar16(a, std::min(done, w), w);
    }
}

void Demosaic8(const DemosaicRow& a) { DemosaicFast<8>(a); }
void Demosaic16(const DemosaicRow& a) { DemosaicFast<16>(a); }

// ------------------------------------------------------------------ 8-bit tables

// A 256-entry byte table held in registers. With VBMI (AVX3_DL) two 128-entry
// permutes and a select on bit 7 look up 64 bytes; elsewhere the low nibble picks
// the entry of 16 in-register 16-byte tables and the high nibble's bits choose
// among them in a tree of selects.
struct ByteTable {
    using D = hn::ScalableTag<uint8_t>;
    explicit ByteTable(const uint8_t* table) {
        const D d;
#if HWY_TARGET == HWY_AVX3_DL
        for (int q = 0; q < 4; ++q) quarter[q] = _mm512_loadu_si512(table + 64 * q);
        (void)d;
#else
        for (int g = 0; g < 16; ++g) t[g] = hn::LoadDup128(d, table + 16 * g);
#endif
    }
    HWY_INLINE hn::Vec<D> Lookup(hn::Vec<D> v) const {
#if HWY_TARGET == HWY_AVX3_DL
        const __m512i lo = _mm512_permutex2var_epi8(quarter[0], v.raw, quarter[1]);
        const __m512i hi = _mm512_permutex2var_epi8(quarter[2], v.raw, quarter[3]);
        return hn::Vec<D>{_mm512_mask_blend_epi8(_mm512_movepi8_mask(v.raw), lo, hi)};
#else
        const D d;
        const auto low = hn::And(v, hn::Set(d, 15));
        const auto m4 = hn::TestBit(v, hn::Set(d, 16));
        const auto m5 = hn::TestBit(v, hn::Set(d, 32));
        const auto m6 = hn::TestBit(v, hn::Set(d, 64));
        const auto m7 = hn::TestBit(v, hn::Set(d, 128));
        hn::Vec<D> l1[8];
        for (int g = 0; g < 8; ++g) {
            l1[g] = hn::IfThenElse(m4, hn::TableLookupBytes(t[2 * g + 1], low),
                                   hn::TableLookupBytes(t[2 * g], low));
        }
        hn::Vec<D> l2[4];
        for (int g = 0; g < 4; ++g) l2[g] = hn::IfThenElse(m5, l1[2 * g + 1], l1[2 * g]);
        return hn::IfThenElse(m7, hn::IfThenElse(m6, l2[3], l2[2]),
                              hn::IfThenElse(m6, l2[1], l2[0]));
#endif
    }
#if HWY_TARGET == HWY_AVX3_DL
    __m512i quarter[4];
#else
    hn::Vec<D> t[16];
#endif
};

void Lut8(const SampleRun& run, const uint8_t* table) {
    const hn::ScalableTag<uint8_t> d;
    const size_t n = hn::Lanes(d);
    auto* s = static_cast<uint8_t*>(run.samples);
    const size_t count = static_cast<size_t>(run.count);
    size_t i = 0;
#if HWY_TARGET != HWY_SCALAR  // a single lane holds no 16-byte table
    const ByteTable lut(table);
    for (; i + n <= count; i += n) {
        const auto v = hn::LoadU(d, s + i);
        auto r = lut.Lookup(v);
        if (run.skipFourth) {
            // Lanes that hold the unused fourth sample of 32-bit pixels keep it.
            const auto lane = hn::Iota(d, static_cast<uint8_t>(i & 3));
            r = hn::IfThenElse(hn::Eq(hn::And(lane, hn::Set(d, 3)), hn::Set(d, 3)), v, r);
        }
        hn::StoreU(r, d, s + i);
    }
#else
    (void)d;
    (void)n;
#endif
    for (; i < count; ++i) {
        if (run.skipFourth && (i & 3) == 3) continue;
        s[i] = table[s[i]];
    }
}

// A 65,536-entry table is 128 KiB: it stays in the level-2 cache, and the cost
// is the loads. Eight lookups are issued before their stores, so the loads of a
// group overlap, and the fourth-sample test moves out of the loop. Gathers and
// assembling 64-bit words both measured slower than this (gathers twice the
// time on an AVX-512 server processor), so every instruction set takes it.
void Lut16(const SampleRun& run, const uint16_t* table) {
    auto* s = static_cast<uint16_t*>(run.samples);
    const int count = run.count;
    int i = 0;
    if (run.skipFourth) {
        for (; i + 8 <= count; i += 8) {
            uint16_t v[6];
            for (int k = 0; k < 3; ++k) {
                v[k] = table[s[i + k]];
                v[3 + k] = table[s[i + 4 + k]];
            }
            for (int k = 0; k < 3; ++k) {
                s[i + k] = v[k];
                s[i + 4 + k] = v[3 + k];
            }
        }
        for (; i < count; ++i) {
            if ((i & 3) != 3) s[i] = table[s[i]];
        }
        return;
    }
    for (; i + 8 <= count; i += 8) {
        uint16_t v[8];
        for (int k = 0; k < 8; ++k) v[k] = table[s[i + k]];
        for (int k = 0; k < 8; ++k) s[i + k] = v[k];
    }
    for (; i < count; ++i) s[i] = table[s[i]];
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

#if HWY_TARGET != HWY_SCALAR
// The position inside a sector, (p * floor(0xFF0000 / d) + 0x8000) >> 16, for
// 16-bit lanes of chroma d and offset p (0 <= p <= d <= 255; d 0 gives 0).
//
// By division, in two 32-bit halves: the single-precision quotient is never
// below the floor and at most one above.
struct DividedPosition {
    template <class D, class V>
    HWY_INLINE V operator()(D d, V dd, V pos) const {
        const hn::Repartition<int32_t, D> dh32;  // half as many lanes as D
        const hn::Rebind<float, decltype(dh32)> dhf;
        const hn::Half<D> dh;
        auto wide = [&](auto half16) { return hn::PromoteTo(dh32, half16); };
        auto position = [&](auto dHalf, auto posHalf) {
            const auto num = hn::Set(dh32, 0xFF0000);
            const auto dv = hn::Max(dHalf, hn::Set(dh32, 1));
            auto q = hn::ConvertTo(dh32, hn::Div(hn::ConvertTo(dhf, num), hn::ConvertTo(dhf, dv)));
            q = hn::IfThenElse(hn::Gt(hn::Mul(q, dv), num), hn::Sub(q, hn::Set(dh32, 1)), q);
            return hn::ShiftRight<16>(hn::Add(hn::Mul(posHalf, q), hn::Set(dh32, 0x8000)));
        };
        const auto fLow = position(wide(hn::LowerHalf(dh, dd)), wide(hn::LowerHalf(dh, pos)));
        const auto fHigh = position(wide(hn::UpperHalf(dh, dd)), wide(hn::UpperHalf(dh, pos)));
        return hn::Combine(d, hn::DemoteTo(dh, fHigh), hn::DemoteTo(dh, fLow));
    }
};

#if HWY_TARGET == HWY_AVX3_DL
// By table, where byte permutes make a 256-entry lookup three instructions: with
// Q = floor(0xFF0000 / d) = high * 65536 + low, the position is
// p * high + ((p * low + 0x8000) >> 16), all in 16 bits (p * high <= 255).
struct Quotients {
    uint8_t high[256] = {}, lowBytes[256] = {}, highBytes[256] = {};  // d 0: 0, unused
    Quotients() {
        for (int d = 1; d < 256; ++d) {
            const int q = 0xFF0000 / d;
            high[d] = static_cast<uint8_t>(q >> 16);
            lowBytes[d] = static_cast<uint8_t>(q);
            highBytes[d] = static_cast<uint8_t>(q >> 8);
        }
    }
};

struct TabulatedPosition {
    TabulatedPosition() : TabulatedPosition(Table()) {}
    explicit TabulatedPosition(const Quotients& q)
        : high(q.high), lowBytes(q.lowBytes), highBytes(q.highBytes) {}
    static const Quotients& Table() {
        static const Quotients table;
        return table;
    }
    template <class D, class V>
    HWY_INLINE V operator()(D d, V dd, V pos) const {
        const hn::RebindToUnsigned<D> du;
        const hn::Repartition<uint8_t, D> d8;
        // d's high byte is 0 and looks up entry 0, which is 0.
        const auto index = hn::BitCast(d8, dd);
        const auto qHigh = hn::BitCast(du, high.Lookup(index));
        const auto qLow = hn::Or(hn::BitCast(du, lowBytes.Lookup(index)),
                                 hn::ShiftLeft<8>(hn::BitCast(du, highBytes.Lookup(index))));
        const auto p = hn::BitCast(du, pos);
        // (p * low + 0x8000) >> 16: the high half, plus one when the low half has bit 15.
        const auto rounded = hn::Add(hn::MulHigh(p, qLow), hn::ShiftRight<15>(hn::Mul(p, qLow)));
        return hn::BitCast(d, hn::Add(hn::Mul(p, qHigh), rounded));
    }
    ByteTable high, lowBytes, highBytes;
};
using SectorPosition = TabulatedPosition;
#else
using SectorPosition = DividedPosition;
#endif

// The hexcone arithmetic of HueSaturationPixel in 16-bit lanes.
template <class D, class V>
HWY_INLINE void HueSaturationVec(D d, V& r, V& g, V& b, const HueSaturation& p,
                                 const SectorPosition& position) {
    const hn::RebindToUnsigned<D> du;
    const auto zero = hn::Zero(d);
    const auto one = hn::Set(d, 1);
    const auto mx = hn::Max(r, hn::Max(g, b));
    const auto mn = hn::Min(r, hn::Min(g, b));
    const auto dd = hn::Sub(mx, mn);
    const auto l2 = hn::Add(mx, mn);
    // Sector: red wins ties with green, blue only when strictly largest.
    const auto isR = hn::And(GeI(r, g), GeI(r, b));
    const auto isG = hn::AndNot(isR, GeI(g, b));
    auto base = hn::IfThenElse(isR, one, hn::IfThenElse(isG, hn::Set(d, 3), hn::Set(d, 5)));
    auto pos =
        hn::IfThenElse(isR, hn::Sub(g, b), hn::IfThenElse(isG, hn::Sub(b, r), hn::Sub(r, g)));
    const auto neg = hn::Lt(pos, zero);
    base = hn::IfThenElse(neg, hn::Sub(base, one), base);
    pos = hn::IfThenElse(neg, hn::Add(pos, dd), pos);

    // (d * scale * 256 + 32768) >> 16 == (d * scale + 128) >> 8, in unsigned 16 bits:
    // above unity the scale's 256 is split off so the product stays below 65536.
    const auto ud = hn::BitCast(du, dd);
    const auto half = hn::Set(du, 128);
    V sat;
    if (p.saturationScale > 256) {
        const auto extra = hn::Set(du, static_cast<uint16_t>(p.saturationScale - 256));
        sat = hn::Add(dd, hn::BitCast(d, hn::ShiftRight<8>(hn::Add(hn::Mul(ud, extra), half))));
    } else {
        const auto scale = hn::Set(du, static_cast<uint16_t>(p.saturationScale));
        sat = hn::BitCast(d, hn::ShiftRight<8>(hn::Add(hn::Mul(ud, scale), half)));
    }
    const auto limit =
        hn::IfThenElse(hn::Lt(l2, hn::Set(d, 256)), l2, hn::Sub(hn::Set(d, 511), l2));
    const auto chroma = hn::Min(sat, limit);
    const auto low = hn::ShiftRight<1>(hn::Sub(l2, chroma));
    const auto span = hn::Sub(hn::ShiftRight<1>(hn::Add(l2, chroma)), low);

    auto f = position(d, dd, pos);
    f = hn::Add(f, hn::Set(d, static_cast<int16_t>(p.hueSteps % 255)));
    const auto wrap = hn::Gt(f, hn::Set(d, 254));
    auto k = hn::Add(base, hn::Set(d, static_cast<int16_t>(p.hueSteps / 255)));
    k = hn::IfThenElse(wrap, hn::Add(k, one), k);
    f = hn::IfThenElse(wrap, hn::Sub(f, hn::Set(d, 255)), f);
    k = hn::IfThenElse(GeI(k, hn::Set(d, 6)), hn::Sub(k, hn::Set(d, 6)), k);
    // f <= 254 and span <= 255: the product stays below 65536 unsigned.
    const auto ramp = hn::BitCast(
        d, hn::ShiftRight<8>(hn::Add(hn::Mul(hn::BitCast(du, f), hn::BitCast(du, span)), half)));

    // A grey pixel (d == 0) has span and ramp 0, so every channel comes out as
    // `low` whatever the sector says.
    const auto top = hn::Add(low, span);
    // The channel between top and low rises in odd sectors and falls in even ones.
    const auto mid =
        hn::IfThenElse(hn::Eq(hn::And(k, one), one), hn::Add(low, ramp), hn::Sub(top, ramp));
    // Top: R in sectors 0-1, G in 2-3, B in 4-5. Middle: R in 2 and 5, G in 1
    // and 4, B in 0 and 3, i.e. by the sector modulo 3.
    const auto three = hn::Set(d, 3);
    const auto k3 = hn::IfThenElse(GeI(k, three), hn::Sub(k, three), k);
    const auto redTop = hn::Lt(k, hn::Set(d, 2));
    const auto blueTop = hn::Gt(k, three);
    r = hn::IfThenElse(redTop, top, hn::IfThenElse(hn::Eq(k3, hn::Set(d, 2)), mid, low));
    g = hn::IfThenElse(hn::Or(redTop, blueTop), hn::IfThenElse(hn::Eq(k3, one), mid, low), top);
    b = hn::IfThenElse(blueTop, top, hn::IfThenElse(hn::Eq(k3, zero), mid, low));
}

#endif  // HWY_TARGET != HWY_SCALAR

void HueSaturation8(uint8_t* row, int width, int pixelBytes, const HueSaturation& params) {
    // A local copy: the byte stores below could alias the caller's record, which
    // would make the compiler reload (and re-derive) the settings every vector.
    const HueSaturation p = params;
    int x = 0;
#if HWY_TARGET != HWY_SCALAR
    // Whole byte vectors in and out (the three-way interleave costs the same for a
    // full vector as for half of one); the arithmetic on each half in 16 bits.
    const hn::ScalableTag<uint8_t> d8;
    const hn::Half<decltype(d8)> dh8;
    const hn::Rebind<int16_t, decltype(dh8)> d16;
    const int n = static_cast<int>(hn::Lanes(d8));
    const SectorPosition position;
    for (; x + n <= width; x += n) {
        uint8_t* px = row + static_cast<size_t>(x) * pixelBytes;
        hn::Vec<decltype(d8)> b8, g8, r8, a8;
        if (pixelBytes == 3) {
            hn::LoadInterleaved3(d8, px, b8, g8, r8);
        } else {
            hn::LoadInterleaved4(d8, px, b8, g8, r8, a8);
        }
        auto bl = hn::PromoteTo(d16, hn::LowerHalf(dh8, b8));
        auto gl = hn::PromoteTo(d16, hn::LowerHalf(dh8, g8));
        auto rl = hn::PromoteTo(d16, hn::LowerHalf(dh8, r8));
        auto bu = hn::PromoteTo(d16, hn::UpperHalf(dh8, b8));
        auto gu = hn::PromoteTo(d16, hn::UpperHalf(dh8, g8));
        auto ru = hn::PromoteTo(d16, hn::UpperHalf(dh8, r8));
        HueSaturationVec(d16, rl, gl, bl, p, position);
        HueSaturationVec(d16, ru, gu, bu, p, position);
        b8 = hn::Combine(d8, hn::DemoteTo(dh8, bu), hn::DemoteTo(dh8, bl));
        g8 = hn::Combine(d8, hn::DemoteTo(dh8, gu), hn::DemoteTo(dh8, gl));
        r8 = hn::Combine(d8, hn::DemoteTo(dh8, ru), hn::DemoteTo(dh8, rl));
        if (pixelBytes == 3) {
            hn::StoreInterleaved3(b8, g8, r8, d8, px);
        } else {
            hn::StoreInterleaved4(b8, g8, r8, a8, d8, px);
        }
    }
#endif
    if (x < width) {
        ScalarKernels().hueSaturation8(row + static_cast<size_t>(x) * pixelBytes, width - x,
                                       pixelBytes, p);
    }
}

// 16-bit colour takes the hexcone on the samples' high bytes. With AVX-512 the
// pixels are de-interleaved as 16-bit lanes, which after the shift already hold
// the values the 16-bit lane arithmetic of the 8-bit kernel works on, and go back
// shifted up; no byte copy of the row in between.
#if HWY_TARGET <= HWY_AVX3
void HueSaturation16(uint16_t* row, int width, int pixelSamples, const HueSaturation& params) {
    const HueSaturation p = params;
    int x = 0;
    const hn::ScalableTag<uint16_t> du;
    const hn::RebindToSigned<decltype(du)> di;
    const int n = static_cast<int>(hn::Lanes(du));
    const SectorPosition position;
    for (; x + n <= width; x += n) {
        uint16_t* px = row + static_cast<size_t>(x) * pixelSamples;
        hn::Vec<decltype(du)> b, g, r, a;
        if (pixelSamples == 3) {
            hn::LoadInterleaved3(du, px, b, g, r);
        } else {
            hn::LoadInterleaved4(du, px, b, g, r, a);
        }
        auto bi = hn::BitCast(di, hn::ShiftRight<8>(b));
        auto gi = hn::BitCast(di, hn::ShiftRight<8>(g));
        auto ri = hn::BitCast(di, hn::ShiftRight<8>(r));
        HueSaturationVec(di, ri, gi, bi, p, position);
        b = hn::ShiftLeft<8>(hn::BitCast(du, bi));
        g = hn::ShiftLeft<8>(hn::BitCast(du, gi));
        r = hn::ShiftLeft<8>(hn::BitCast(du, ri));
        if (pixelSamples == 3) {
            hn::StoreInterleaved3(b, g, r, du, px);
        } else {
            hn::StoreInterleaved4(b, g, r, a, du, px);
        }
    }
    if (x < width) {
        ScalarKernels().hueSaturation16(row + static_cast<size_t>(x) * pixelSamples, width - x,
                                        pixelSamples, p);
    }
}

#else
// Below AVX-512 de-interleaving 16-bit lanes costs more than a byte copy: the
// high bytes go through the 8-bit kernel a slice of the row at a time and come
// back shifted up.
void HueSaturation16(uint16_t* row, int width, int pixelSamples, const HueSaturation& params) {
    const HueSaturation p = params;
    const hn::ScalableTag<uint16_t> d16;
    const hn::RebindToSigned<decltype(d16)> di16;  // the demotion to bytes is from signed
    const hn::Rebind<uint8_t, decltype(d16)> d8;
    const int n = static_cast<int>(hn::Lanes(d16));
    constexpr int kSlicePixels = 512;
    HWY_ALIGN uint8_t bytes[kSlicePixels * 4];
    for (int x0 = 0; x0 < width; x0 += kSlicePixels) {
        const int pixels = std::min(kSlicePixels, width - x0);
        const int count = pixels * pixelSamples;
        uint16_t* s = row + static_cast<size_t>(x0) * pixelSamples;
        int i = 0;
        for (; i + n <= count; i += n) {
            const auto high = hn::ShiftRight<8>(hn::LoadU(d16, s + i));
            hn::StoreU(hn::DemoteTo(d8, hn::BitCast(di16, high)), d8, bytes + i);
        }
        for (; i < count; ++i) bytes[i] = static_cast<uint8_t>(s[i] >> 8);
        HueSaturation8(bytes, pixels, pixelSamples, p);
        for (i = 0; i + n <= count; i += n) {
            auto v = hn::ShiftLeft<8>(hn::PromoteTo(d16, hn::LoadU(d8, bytes + i)));
            if (pixelSamples == 4) {
                // The fourth sample of 64-bit pixels is not a colour: it stays.
                const auto lane =
                    hn::And(hn::Iota(d16, static_cast<uint16_t>(i & 3)), hn::Set(d16, 3));
                v = hn::IfThenElse(hn::Eq(lane, hn::Set(d16, 3)), hn::LoadU(d16, s + i), v);
            }
            hn::StoreU(v, d16, s + i);
        }
        for (; i < count; ++i) {
            if (pixelSamples != 4 || (i & 3) != 3) s[i] = static_cast<uint16_t>(bytes[i] << 8);
        }
    }
}
#endif

// ------------------------------------------------------------------ sharpness

// 8-bit unsharp mask over the flat sample array of a row: sample i's 4 x 4 block
// is the 4 rows at samples i - 2p, i - p, i, i + p for pixel size p. The column
// sums of the four rows are formed once per row; 16-bit lanes hold a block sum
// of at most 4080.
void Sharpen8(const SharpenRow& a) {
    const hn::ScalableTag<int16_t> d16;
    const hn::Rebind<uint8_t, decltype(d16)> d8;
    const int n = static_cast<int>(hn::Lanes(d16));
    const int ps = a.pixelSamples;
    const uint8_t* c[4];
    for (int i = 0; i < 4; ++i) c[i] = static_cast<const uint8_t*>(a.copyRows[i]);
    auto* out = static_cast<uint8_t*>(a.out);
    const int total = a.width * ps;
    const int first = 2 * ps;
    const int end = (a.width - 2) * ps;  // exclusive
    if (end <= first) return;
    // The fourth-sample mask assumes vectors start on a pixel boundary.
    if (n < 4 || n % 4 != 0) {
        SharpenPixelsScalar8(a, 2, a.width - 2);
        return;
    }
    thread_local std::vector<int16_t> columns;
    if (columns.size() < static_cast<size_t>(total + n)) columns.resize(total + n);
    int16_t* col = columns.data();
    int i = 0;
    for (; i + n <= total; i += n) {
        const auto sum = hn::Add(hn::Add(hn::PromoteTo(d16, hn::LoadU(d8, c[0] + i)),
                                         hn::PromoteTo(d16, hn::LoadU(d8, c[1] + i))),
                                 hn::Add(hn::PromoteTo(d16, hn::LoadU(d8, c[2] + i)),
                                         hn::PromoteTo(d16, hn::LoadU(d8, c[3] + i))));
        hn::StoreU(sum, d16, col + i);
    }
    for (; i < total; ++i) col[i] = static_cast<int16_t>(c[0][i] + c[1][i] + c[2][i] + c[3][i]);

    const auto amount = hn::Set(d16, static_cast<int16_t>(a.amount));
    const auto tenth = hn::Set(d16, 6554);  // (x * 6554) >> 16 == x / 10 for x <= 16388
    const auto full = hn::Set(d16, 255);
    const auto zero = hn::Zero(d16);
    const auto keepFourth = hn::Eq(hn::And(hn::Iota(d16, 0), hn::Set(d16, 3)), hn::Set(d16, 3));
    i = first;
    for (; i + n <= end; i += n) {
        const auto sum =
            hn::Add(hn::Add(hn::LoadU(d16, col + i - 2 * ps), hn::LoadU(d16, col + i - ps)),
                    hn::Add(hn::LoadU(d16, col + i), hn::LoadU(d16, col + i + ps)));
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
    // The last vector may overlap the previous one (the output is not an input
    // here); starting it on a pixel boundary keeps the fourth-sample lanes right.
    if (i < end && end - n >= first) {
        i = (end - n) / 4 * 4;
        if (ps != 4 || i >= first) {
            i = ps == 4 ? i : end - n;
            const auto sum =
                hn::Add(hn::Add(hn::LoadU(d16, col + i - 2 * ps), hn::LoadU(d16, col + i - ps)),
                        hn::Add(hn::LoadU(d16, col + i), hn::LoadU(d16, col + i + ps)));
            const auto o = hn::PromoteTo(d16, hn::LoadU(d8, c[2] + i));
            const auto prod = hn::Mul(hn::Sub(o, hn::ShiftRight<4>(sum)), amount);
            const auto mag = hn::MulHigh(hn::Abs(prod), tenth);
            const auto q = hn::IfThenElse(hn::Lt(prod, zero), hn::Neg(mag), mag);
            auto r = hn::Min(hn::Max(hn::Add(o, q), zero), full);
            if (ps == 4) {
                r = hn::IfThenElse(keepFourth, hn::PromoteTo(d16, hn::LoadU(d8, out + i)), r);
            }
            hn::StoreU(hn::DemoteTo(d8, r), d8, out + i);
            i += n;
        }
    }
    // The rest by the reference, from the first unfinished pixel.
    const int nextPixel = i / ps;
    if (nextPixel < a.width - 2) SharpenPixelsScalar8(a, std::max(nextPixel, 2), a.width - 2);
}

// 16-bit unsharp mask in 16-bit lanes, twice as many per vector as widening
// would allow and with no division:
//  - the block sum reaches 16 * 65535, so it is kept as the sum of the samples'
//    high 12 bits (at most 65520) and of their low 4 bits (at most 240):
//    floor(sum / 16) = high sum + (low sum >> 4). The column sums of the four rows
//    are formed once per row for both parts.
//  - trunc(amount * (o - blur) / 10) is sign * floor(|o - blur| * M / 2^20) with
//    M = ceil(amount * 2^20 / 10): the error |o - blur| * (M - exact) / 2^20 stays
//    below 655350 / 2^20 < 1/10, the smallest step of a tenth, so the floor is
//    exact. The 38-bit product is formed from 16-bit halves; quotients of 65536
//    or more only occur where the result clips anyway, so they saturate.
void Sharpen16(const SharpenRow& a) {
    const hn::ScalableTag<uint16_t> d;
    const int n = static_cast<int>(hn::Lanes(d));
    const int ps = a.pixelSamples;
    const uint16_t* c[4];
    for (int i = 0; i < 4; ++i) c[i] = static_cast<const uint16_t*>(a.copyRows[i]);
    auto* out = static_cast<uint16_t*>(a.out);
    const int total = a.width * ps;
    const int first = 2 * ps;
    const int end = (a.width - 2) * ps;  // exclusive
    if (end <= first) return;
    // The fourth-sample mask assumes vectors start on a pixel boundary.
    if (n < 4 || n % 4 != 0) {
        SharpenPixelsScalar16(a, 2, a.width - 2);
        return;
    }
    thread_local std::vector<uint16_t> columns;
    if (columns.size() < static_cast<size_t>(2 * total)) columns.resize(2 * total);
    uint16_t* high = columns.data();
    uint16_t* low = high + total;
    const auto fifteen = hn::Set(d, 15);
    int i = 0;
    for (; i + n <= total; i += n) {
        const auto r0 = hn::LoadU(d, c[0] + i), r1 = hn::LoadU(d, c[1] + i);
        const auto r2 = hn::LoadU(d, c[2] + i), r3 = hn::LoadU(d, c[3] + i);
        hn::StoreU(hn::Add(hn::Add(hn::ShiftRight<4>(r0), hn::ShiftRight<4>(r1)),
                           hn::Add(hn::ShiftRight<4>(r2), hn::ShiftRight<4>(r3))),
                   d, high + i);
        hn::StoreU(hn::Add(hn::Add(hn::And(r0, fifteen), hn::And(r1, fifteen)),
                           hn::Add(hn::And(r2, fifteen), hn::And(r3, fifteen))),
                   d, low + i);
    }
    for (; i < total; ++i) {
        high[i] = static_cast<uint16_t>((c[0][i] >> 4) + (c[1][i] >> 4) + (c[2][i] >> 4) +
                                        (c[3][i] >> 4));
        low[i] = static_cast<uint16_t>((c[0][i] & 15) + (c[1][i] & 15) + (c[2][i] & 15) +
                                       (c[3][i] & 15));
    }

    const uint32_t m = static_cast<uint32_t>(((uint64_t{1} << 20) * a.amount + 9) / 10);
    const auto mHigh = hn::Set(d, static_cast<uint16_t>(m >> 16));
    const auto mLow = hn::Set(d, static_cast<uint16_t>(m));
    const auto sixteen = hn::Set(d, 16);
    const auto full = hn::Set(d, 65535);
    const auto one = hn::Set(d, 1);
    const auto keepFourth = hn::Eq(hn::And(hn::Iota(d, 0), hn::Set(d, 3)), hn::Set(d, 3));
    auto box = [&](const uint16_t* col, int at) {
        return hn::Add(hn::Add(hn::LoadU(d, col + at - 2 * ps), hn::LoadU(d, col + at - ps)),
                       hn::Add(hn::LoadU(d, col + at), hn::LoadU(d, col + at + ps)));
    };
    for (i = first; i + n <= end; i += n) {
        const auto blur = hn::Add(box(high, i), hn::ShiftRight<4>(box(low, i)));
        const auto o = hn::LoadU(d, c[2] + i);
        const auto up = GeI(o, blur);
        const auto diff = hn::Or(hn::SaturatedSub(o, blur), hn::SaturatedSub(blur, o));
        // diff * M as productHigh * 2^16 + productLow, shifted down by 20.
        const auto part = hn::MulHigh(diff, mLow);
        const auto productLow = hn::Add(hn::Mul(diff, mHigh), part);
        const auto carry = hn::IfThenElseZero(hn::Lt(productLow, part), one);
        const auto productHigh = hn::Add(hn::MulHigh(diff, mHigh), carry);
        const auto q = hn::IfThenElse(
            hn::Lt(productHigh, sixteen),
            hn::Or(hn::ShiftLeft<12>(productHigh), hn::ShiftRight<4>(productLow)), full);
        auto r = hn::IfThenElse(up, hn::SaturatedAdd(o, q), hn::SaturatedSub(o, q));
        if (ps == 4) r = hn::IfThenElse(keepFourth, hn::LoadU(d, out + i), r);
        hn::StoreU(r, d, out + i);
    }
    // The rest by the reference, from the first unfinished pixel.
    const int nextPixel = i / ps;
    if (nextPixel < a.width - 2) SharpenPixelsScalar16(a, std::max(nextPixel, 2), a.width - 2);
}

// ------------------------------------------------------------------ corrections

// Both flat fields in 16-bit lanes, multiplying by the reciprocal of the span
// (Kernels.h says why the estimate is the quotient or one below) and settling
// the last unit with one exact product: no division left in the row.
void FlatField8(const FlatFieldRow& a) {
    const hn::ScalableTag<uint16_t> d;
    const hn::Rebind<uint8_t, decltype(d)> d8;
    const int n = static_cast<int>(hn::Lanes(d));
    auto* s = static_cast<uint8_t*>(a.samples);
    const auto* dark = static_cast<const uint8_t*>(a.dark);
    const auto* white = static_cast<const uint8_t*>(a.white);
    const auto zero = hn::Zero(d);
    const auto one = hn::Set(d, 1);
    const auto full = hn::Set(d, 255);
    int i = 0;
    for (; i + n <= a.count; i += n) {
        const auto v = hn::PromoteTo(d, hn::LoadU(d8, s + i));
        const auto dk = hn::PromoteTo(d, hn::LoadU(d8, dark + i));
        const auto wt = hn::PromoteTo(d, hn::LoadU(d8, white + i));
        // A white reference below the dark one divides by the negative span: the
        // quotient is positive only for samples below dark, by the same magnitudes.
        const auto below = hn::Lt(wt, dk);
        const auto span = hn::IfThenElse(below, hn::Sub(dk, wt), hn::Sub(wt, dk));
        const auto num = hn::IfThenElse(below, hn::SaturatedSub(dk, v), hn::SaturatedSub(v, dk));
        const auto x = hn::ShiftLeft<8>(num);
        auto q = hn::MulHigh(x, hn::LoadU(d, a.reciprocal + i));
        const auto next = hn::Add(q, one);
        q = hn::IfThenElse(hn::Gt(hn::Mul(next, span), x), q, next);
        auto r = hn::IfThenElse(hn::Lt(num, span), q, full);
        r = hn::IfThenElse(hn::Eq(span, zero), v, r);
        hn::StoreU(hn::DemoteTo(d8, hn::BitCast(hn::RebindToSigned<decltype(d)>(), r)), d8, s + i);
    }
    if (i < a.count) {
        FlatFieldRow rest{s + i, dark + i, white + i, nullptr, nullptr, a.count - i};
        ScalarKernels().flatField8(rest);
    }
}

void FlatField16(const FlatFieldRow& a) {
    const hn::ScalableTag<uint16_t> d;
    const int n = static_cast<int>(hn::Lanes(d));
    auto* s = static_cast<uint16_t*>(a.samples);
    const auto* dark = static_cast<const uint16_t*>(a.dark);
    const auto* white = static_cast<const uint16_t*>(a.white);
    const auto one = hn::Set(d, 1);
    const auto full = hn::Set(d, 65535);
    int i = 0;
    for (; i + n <= a.count; i += n) {
        const auto v = hn::LoadU(d, s + i);
        const auto dk = hn::LoadU(d, dark + i);
        const auto wt = hn::LoadU(d, white + i);
        const auto span = hn::Sub(wt, dk);
        // Samples below dark give a negative quotient, clamped to 0.
        const auto num = hn::SaturatedSub(v, dk);
        // num < span: num * high < 65536 and the sum is at most the quotient.
        auto q = hn::Add(hn::Mul(num, hn::LoadU(d, a.reciprocalHigh + i)),
                         hn::MulHigh(num, hn::LoadU(d, a.reciprocal + i)));
        // q + 1 is the quotient when (q + 1) * span <= num * 65536, compared as
        // high and low halves (q + 1 <= 65535: the quotient never exceeds 65534).
        const auto next = hn::Add(q, one);
        const auto high = hn::MulHigh(next, span);
        const auto fits =
            hn::Or(hn::Lt(high, num),
                   hn::And(hn::Eq(high, num), hn::Eq(hn::Mul(next, span), hn::Zero(d))));
        q = hn::IfThenElse(fits, next, q);
        auto r = hn::IfThenElse(hn::Lt(num, span), q, full);
        r = hn::IfThenElse(hn::Gt(wt, dk), r, v);
        hn::StoreU(r, d, s + i);
    }
    if (i < a.count) {
        FlatFieldRow rest{s + i, dark + i, white + i, nullptr, nullptr, a.count - i};
        ScalarKernels().flatField16(rest);
    }
}

// floor((a + b + c + e) / 4) without widening: the quarters of the samples and
// the quarter of their remainders' sum.
template <class D, class V = hn::Vec<D>>
HWY_INLINE V MeanOf4(D d, V a, V b, V c, V e) {
    const V three = hn::Set(d, 3);
    const V quarters = hn::Add(hn::Add(hn::ShiftRight<2>(a), hn::ShiftRight<2>(b)),
                               hn::Add(hn::ShiftRight<2>(c), hn::ShiftRight<2>(e)));
    const V rests = hn::Add(hn::Add(hn::And(a, three), hn::And(b, three)),
                            hn::Add(hn::And(c, three), hn::And(e, three)));
    return hn::Add(quarters, hn::ShiftRight<2>(rests));
}

// Detection in the samples' own width (no widening): the mean of the four
// neighbours as above, |v - mean| >= threshold as a saturated difference above
// threshold - 1.
template <class T>
void DetectDefectsT(const DefectDetectRow& a) {
    constexpr int kMax = sizeof(T) == 1 ? 255 : 65535;
    if (a.threshold <= 0) {
        // Every pixel differs by at least nothing: the reference marks them all.
        if constexpr (sizeof(T) == 1) {
            ScalarKernels().detectDefects8(a);
        } else {
            ScalarKernels().detectDefects16(a);
        }
        return;
    }
    const hn::ScalableTag<T> d;
    const int n = static_cast<int>(hn::Lanes(d));
    const auto* up = static_cast<const T*>(a.above);
    const auto* row = static_cast<const T*>(a.row);
    const auto* down = static_cast<const T*>(a.below);
    const uint8_t* flags = a.flags;
    const hn::Rebind<uint8_t, decltype(d)> d8;
    auto* marks = static_cast<T*>(a.marks);
    const auto below = hn::Set(d, static_cast<T>(std::min(a.threshold - 1, kMax)));
    const auto zero = hn::Zero(d);
    const auto one = hn::Set(d, 1);
    marks[0] = 0;
    marks[a.width - 1] = 0;
    int x = 1;
    for (; x + n <= a.width - 1; x += n) {
        const auto v = hn::LoadU(d, row + x);
        const auto mean = MeanOf4(d, hn::LoadU(d, row + x - 1), hn::LoadU(d, row + x + 1),
                                  hn::LoadU(d, up + x), hn::LoadU(d, down + x));
        const auto diff = hn::Or(hn::SaturatedSub(v, mean), hn::SaturatedSub(mean, v));
        const auto odd = hn::Ne(hn::SaturatedSub(diff, below), zero);
        auto flagRow = hn::LoadU(d8, flags + x);
        hn::Vec<decltype(d)> flagLanes;
        if constexpr (sizeof(T) == 1) {
            flagLanes = flagRow;
        } else {
            flagLanes = hn::PromoteTo(d, flagRow);
        }
        const auto flagged = hn::Ne(flagLanes, zero);
        hn::StoreU(hn::IfThenElseZero(hn::Or(odd, flagged), one), d, marks + x);
    }
    for (; x < a.width - 1; ++x) {
        const int mean = (row[x - 1] + row[x + 1] + up[x] + down[x]) >> 2;
        const int diff = row[x] - mean;
        marks[x] = (flags[x] != 0 || diff >= a.threshold || -diff >= a.threshold) ? 1 : 0;
    }
}

void DetectDefects8(const DefectDetectRow& a) { DetectDefectsT<uint8_t>(a); }
void DetectDefects16(const DefectDetectRow& a) { DetectDefectsT<uint16_t>(a); }

template <class T>
void NearestUnmarkedT(const NearestUnmarkedRow& a) {
    const hn::ScalableTag<T> d;
    const int n = static_cast<int>(hn::Lanes(d));
    T* row = static_cast<T*>(a.row);
    T* nearest = static_cast<T*>(a.nearest);
    const T* marks = static_cast<const T*>(a.marks);
    const auto zero = hn::Zero(d);
    int c = 0;
    for (; c + n <= a.width; c += n) {
        const auto unmarked = hn::Eq(hn::LoadU(d, marks + c), zero);
        const auto v = hn::IfThenElse(unmarked, hn::LoadU(d, row + c), hn::LoadU(d, nearest + c));
        hn::StoreU(v, d, nearest + c);
        if (a.fillMarked) hn::StoreU(v, d, row + c);
    }
    for (; c < a.width; ++c) {
        if (marks[c] == 0) {
            nearest[c] = row[c];
        } else if (a.fillMarked) {
            row[c] = nearest[c];
        }
    }
}

void NearestUnmarked8(const NearestUnmarkedRow& a) { NearestUnmarkedT<uint8_t>(a); }
void NearestUnmarked16(const NearestUnmarkedRow& a) { NearestUnmarkedT<uint16_t>(a); }

// ------------------------------------------------------------------ run fills

#if HWY_TARGET != HWY_SCALAR
// Whole 16-byte blocks of the pair (prev, cur) moved up by kBlocks: block b of the
// result is block b - kBlocks of cur, or of prev's last blocks where that is
// negative. ShiftDownBlocks is the mirror image with (cur, next).
constexpr int kVectorBlocks = HWY_MAX_BYTES / 16;

template <int kBlocks, class D, class V = hn::Vec<D>>
HWY_INLINE V ShiftUpBlocks(D d, V prev, V cur) {
    (void)d;
    if constexpr (kBlocks == 0) {
        return cur;
    } else if constexpr (kBlocks == kVectorBlocks) {
        return prev;
    } else {
#if HWY_TARGET <= HWY_AVX3
        return V{_mm512_alignr_epi64(cur.raw, prev.raw, 8 - 2 * kBlocks)};
#else
        static_assert(kVectorBlocks == 2 && kBlocks == 1);
        return hn::ConcatLowerUpper(d, cur, prev);
#endif
    }
}

template <int kBlocks, class D, class V = hn::Vec<D>>
HWY_INLINE V ShiftDownBlocks(D d, V cur, V next) {
    (void)d;
    if constexpr (kBlocks == 0) {
        return cur;
    } else if constexpr (kBlocks == kVectorBlocks) {
        return next;
    } else {
#if HWY_TARGET <= HWY_AVX3
        return V{_mm512_alignr_epi64(next.raw, cur.raw, 2 * kBlocks)};
#else
        static_assert(kVectorBlocks == 2 && kBlocks == 1);
        return hn::ConcatLowerUpper(d, next, cur);
#endif
    }
}

// Lane i of the result is lane i - kLanes of the sequence prev, cur (kLanes less
// than a vector).
template <int kLanes, class D, class V = hn::Vec<D>>
HWY_INLINE V ShiftUpLanes(D d, V prev, V cur) {
    constexpr int kBytes = kLanes * static_cast<int>(sizeof(hn::TFromD<D>));
    constexpr int kRest = kBytes % 16;
    const V upper = ShiftUpBlocks<kBytes / 16>(d, prev, cur);
    if constexpr (kRest == 0) {
        return upper;
    } else {
        const V lower = ShiftUpBlocks<kBytes / 16 + 1>(d, prev, cur);
        return hn::CombineShiftRightBytes<16 - kRest>(d, upper, lower);
    }
}

// Lane i of the result is lane i + kLanes of the sequence cur, next.
template <int kLanes, class D, class V = hn::Vec<D>>
HWY_INLINE V ShiftDownLanes(D d, V cur, V next) {
    constexpr int kBytes = kLanes * static_cast<int>(sizeof(hn::TFromD<D>));
    constexpr int kRest = kBytes % 16;
    const V lower = ShiftDownBlocks<kBytes / 16>(d, cur, next);
    if constexpr (kRest == 0) {
        return lower;
    } else {
        const V upper = ShiftDownBlocks<kBytes / 16 + 1>(d, cur, next);
        return hn::CombineShiftRightBytes<kRest>(d, upper, lower);
    }
}

// Fills the marked lanes of `v` with the nearest unmarked lane towards the lower
// (kUp) or higher columns, the neighbouring vector on that side being final
// already: doubling steps, after step s a lane is still open only when the 2s
// lanes from it towards that side are all marked. Only the neighbour's nearest
// lane is ever taken, as every lane between is marked.
template <bool kUp, int kLanes = 1, class D, class V = hn::Vec<D>>
HWY_INLINE V FillRuns(D d, V v, V open, V neighbour) {
    constexpr int kMaxLanes = HWY_MAX_BYTES / static_cast<int>(sizeof(hn::TFromD<D>));
    if constexpr (kLanes >= kMaxLanes) {
        return hn::IfThenElse(hn::MaskFromVec(open), neighbour, v);
    } else {
        const V zero = hn::Zero(d);
        const auto m = hn::MaskFromVec(open);
        if (hn::AllFalse(d, m)) return v;  // short runs end after a step or two
        if constexpr (kUp) {
            v = hn::IfThenElse(m, ShiftUpLanes<kLanes>(d, neighbour, v), v);
            open = hn::And(open, ShiftUpLanes<kLanes>(d, zero, open));
        } else {
            v = hn::IfThenElse(m, ShiftDownLanes<kLanes>(d, v, neighbour), v);
            open = hn::And(open, ShiftDownLanes<kLanes>(d, open, zero));
        }
        return FillRuns<kUp, 2 * kLanes>(d, v, open, neighbour);
    }
}

#endif  // HWY_TARGET != HWY_SCALAR

// Whole rows as vectors instead of one run at a time: a colourful scene marks
// many short runs, and the cost per run is what the row scan spends.
template <class T>
void ReplaceMarkedT(const ReplaceMarkedRow& a) {
#if HWY_TARGET == HWY_SCALAR
    if constexpr (sizeof(T) == 1) {
        ScalarKernels().replaceMarked8(a);
    } else {
        ScalarKernels().replaceMarked16(a);
    }
#else
    const hn::ScalableTag<T> d;
    using V = hn::Vec<decltype(d)>;
    const int n = static_cast<int>(hn::Lanes(d));
    T* row = static_cast<T*>(a.row);
    T* nearest = static_cast<T*>(a.nearest);
    const T* marks = static_cast<const T*>(a.marks);
    const int w = a.width;
    const int vectorEnd = w / n * n;
    const V zero = hn::Zero(d);
    thread_local std::vector<T> rightFill;
    if (rightFill.size() < static_cast<size_t>(w)) rightFill.resize(w);
    T* right = rightFill.data();

    // Nearest unmarked sample at or right of each column, from the right end.
    T carry = 0;
    for (int c = w - 1; c >= vectorEnd; --c) {
        if (marks[c] == 0) carry = row[c];
        right[c] = carry;
    }
    V next = hn::Set(d, carry);
    for (int x = vectorEnd - n; x >= 0; x -= n) {
        V v = hn::LoadU(d, row + x);
        const V open = hn::VecFromMask(d, hn::Ne(hn::LoadU(d, marks + x), zero));
        v = FillRuns<false>(d, v, open, next);
        hn::StoreU(v, d, right + x);
        next = v;
    }

    // Left to right: the nearest unmarked sample at or left of each column, and
    // the replacement.
    V prev = zero;  // column 0 is never marked
    for (int x = 0; x < vectorEnd; x += n) {
        const V o = hn::LoadU(d, row + x);
        const V below = hn::LoadU(d, nearest + x);
        const auto marked = hn::Ne(hn::LoadU(d, marks + x), zero);
        if (hn::AllFalse(d, marked)) {
            hn::StoreU(o, d, nearest + x);
            prev = o;
            continue;
        }
        const V left = FillRuns<true>(d, o, hn::VecFromMask(d, marked), prev);
        const V mean = MeanOf4(d, left, hn::LoadU(d, right + x), o, below);
        hn::StoreU(hn::IfThenElse(marked, mean, o), d, row + x);
        hn::StoreU(hn::IfThenElse(marked, below, o), d, nearest + x);
        prev = left;
    }
    if (vectorEnd < w) {
        // The tail: the nearest unmarked sample left of it is the last one before.
        int c = vectorEnd - 1;
        while (c > 0 && marks[c] != 0) --c;
        unsigned leftValue = c >= 0 ? row[c] : 0;  // column 0 sets it when w < n
        for (c = vectorEnd; c < w; ++c) {
            if (marks[c] == 0) {
                leftValue = row[c];
                nearest[c] = row[c];
            } else {
                row[c] = static_cast<T>((leftValue + right[c] + row[c] + nearest[c]) / 4);
            }
        }
    }
#endif
}

void ReplaceMarked8(const ReplaceMarkedRow& a) { ReplaceMarkedT<uint8_t>(a); }
void ReplaceMarked16(const ReplaceMarkedRow& a) { ReplaceMarkedT<uint16_t>(a); }

// Highway's target name of this instantiation, for reports.
const char* TargetName() { return hwy::TargetName(HWY_TARGET); }

}  // namespace HWY_NAMESPACE
}  // namespace veltcam::kernels
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include <cstdlib>
#include <cstring>

namespace veltcam::kernels {

HWY_EXPORT(Demosaic8);
HWY_EXPORT(Demosaic16);
HWY_EXPORT(Lut8);
HWY_EXPORT(Lut16);
HWY_EXPORT(Brightness8);
HWY_EXPORT(Brightness16);
HWY_EXPORT(HueSaturation8);
HWY_EXPORT(HueSaturation16);
HWY_EXPORT(Sharpen8);
HWY_EXPORT(Sharpen16);
HWY_EXPORT(FlatField8);
HWY_EXPORT(FlatField16);
HWY_EXPORT(DetectDefects8);
HWY_EXPORT(DetectDefects16);
HWY_EXPORT(NearestUnmarked8);
HWY_EXPORT(NearestUnmarked16);
HWY_EXPORT(ReplaceMarked8);
HWY_EXPORT(ReplaceMarked16);
HWY_EXPORT(TargetName);

namespace {

void Demosaic8Fast(const DemosaicRow& a) { HWY_DYNAMIC_DISPATCH(Demosaic8)(a); }
void Demosaic16Fast(const DemosaicRow& a) { HWY_DYNAMIC_DISPATCH(Demosaic16)(a); }
void Lut8Fast(const SampleRun& r, const uint8_t* t) { HWY_DYNAMIC_DISPATCH(Lut8)(r, t); }
void Lut16Fast(const SampleRun& r, const uint16_t* t) { HWY_DYNAMIC_DISPATCH(Lut16)(r, t); }
void Brightness8Fast(const SampleRun& r, float f) { HWY_DYNAMIC_DISPATCH(Brightness8)(r, f); }
void Brightness16Fast(const SampleRun& r, float f) { HWY_DYNAMIC_DISPATCH(Brightness16)(r, f); }
void HueSaturation8Fast(uint8_t* row, int width, int pixelBytes, const HueSaturation& p) {
    HWY_DYNAMIC_DISPATCH(HueSaturation8)(row, width, pixelBytes, p);
}
void HueSaturation16Fast(uint16_t* row, int width, int pixelSamples, const HueSaturation& p) {
    HWY_DYNAMIC_DISPATCH(HueSaturation16)(row, width, pixelSamples, p);
}
void Sharpen8Fast(const SharpenRow& a) { HWY_DYNAMIC_DISPATCH(Sharpen8)(a); }
void Sharpen16Fast(const SharpenRow& a) { HWY_DYNAMIC_DISPATCH(Sharpen16)(a); }
void FlatField8Fast(const FlatFieldRow& a) { HWY_DYNAMIC_DISPATCH(FlatField8)(a); }
void FlatField16Fast(const FlatFieldRow& a) { HWY_DYNAMIC_DISPATCH(FlatField16)(a); }
void DetectDefects8Fast(const DefectDetectRow& a) { HWY_DYNAMIC_DISPATCH(DetectDefects8)(a); }
void DetectDefects16Fast(const DefectDetectRow& a) { HWY_DYNAMIC_DISPATCH(DetectDefects16)(a); }

void NearestUnmarked8Fast(const NearestUnmarkedRow& a) {
    HWY_DYNAMIC_DISPATCH(NearestUnmarked8)(a);
}
void NearestUnmarked16Fast(const NearestUnmarkedRow& a) {
    HWY_DYNAMIC_DISPATCH(NearestUnmarked16)(a);
}
void ReplaceMarked8Fast(const ReplaceMarkedRow& a) { HWY_DYNAMIC_DISPATCH(ReplaceMarked8)(a); }
void ReplaceMarked16Fast(const ReplaceMarkedRow& a) { HWY_DYNAMIC_DISPATCH(ReplaceMarked16)(a); }

}  // namespace

namespace {

// VELTCAM_SIMD_TARGET caps the instruction set the fast kernels use at the named
// one, to measure and profile what processors without the better ones run.
// Read once, before the first kernel is chosen; unknown names change nothing.
void LimitTargetsFromEnvironment() {
    const char* want = std::getenv("VELTCAM_SIMD_TARGET");
    if (want == nullptr || want[0] == '\0') return;
    static constexpr struct {
        const char* name;
        int64_t target;
    } kLevels[] = {{"avx3_dl", HWY_AVX3_DL}, {"avx512", HWY_AVX3}, {"avx3", HWY_AVX3},
                   {"avx2", HWY_AVX2},       {"sse4", HWY_SSE4},   {"ssse3", HWY_SSSE3},
                   {"scalar", HWY_SCALAR}};
    for (const auto& level : kLevels) {
        // Lower bits are the better instruction sets.
        if (std::strcmp(want, level.name) == 0) hwy::DisableTargets(level.target - 1);
    }
}

}  // namespace

const KernelSet& FastKernels() {
    static const bool limited = (LimitTargetsFromEnvironment(), true);
    (void)limited;
    static const KernelSet set{
        HWY_DYNAMIC_DISPATCH(TargetName)(),
        Demosaic8Fast,
        Demosaic16Fast,
        Lut8Fast,
        Lut16Fast,
        Brightness8Fast,
        Brightness16Fast,
        HueSaturation8Fast,
        HueSaturation16Fast,
        Sharpen8Fast,
        Sharpen16Fast,
        FlatField8Fast,
        FlatField16Fast,
        DetectDefects8Fast,
        DetectDefects16Fast,
        NearestUnmarked8Fast,
        NearestUnmarked16Fast,
        ReplaceMarked8Fast,
        ReplaceMarked16Fast,
    };
    return set;
}

}  // namespace veltcam::kernels
#endif  // HWY_ONCE
