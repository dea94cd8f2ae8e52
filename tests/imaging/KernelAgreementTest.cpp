// The SIMD kernels against their scalar references, byte for byte, on random
// rows and whole random frames of many sizes.
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <random>
#include <vector>

#include "imaging/ImageFixtures.h"
#include "imaging/PipelineHarness.h"
#include "imaging/Stages.h"
#include "imaging/kernels/Kernels.h"

namespace veltcam {
namespace {

using namespace testing_support;
using kernels::FastKernels;
using kernels::ScalarKernels;

constexpr int kWidths[] = {6, 8, 10, 14, 34, 66, 130, 258, 1000, 2048};

// Runs `check` once for every instruction set this processor has, so the AVX2 and
// SSE versions that other machines choose are checked here as well.
template <class Check>
void ForEachTarget(Check check) {
    const int64_t supported = hwy::SupportedTargets();
    for (int64_t target : {int64_t{HWY_AVX3_DL}, int64_t{HWY_AVX3}, int64_t{HWY_AVX2},
                           int64_t{HWY_SSE4}, int64_t{HWY_SSSE3}, int64_t{HWY_SCALAR}}) {
        if ((supported & target) == 0) continue;
        hwy::SetSupportedTargetsForTest(target);
        SCOPED_TRACE(hwy::TargetName(target));
        check();
    }
    hwy::SetSupportedTargetsForTest(0);
}

template <class T>
std::vector<T> RandomRow(std::mt19937& rng, size_t n, int maxValue) {
    std::uniform_int_distribution<int> dist(0, maxValue);
    std::vector<T> v(n);
    for (auto& x : v) x = static_cast<T>(dist(rng));
    return v;
}

// Rows whose values cluster, so that clipping, equal references and ties between
// channels are hit often, not just uniformly random samples.
template <class T>
std::vector<T> LumpyRow(std::mt19937& rng, size_t n, int maxValue) {
    std::uniform_int_distribution<int> pick(0, 5);
    std::uniform_int_distribution<int> dist(0, maxValue);
    std::vector<T> v(n);
    for (auto& x : v) {
        const int p = pick(rng);
        x = static_cast<T>(p == 0 ? 0 : p == 1 ? maxValue : p == 2 ? maxValue / 2 : dist(rng));
    }
    return v;
}

template <class T>
void CheckDemosaic(int maxValue) {
    std::mt19937 rng(42);
    for (int w : kWidths) {
        for (int outSamples : {3, 4}) {
            for (int redColumn : {0, 1}) {
                std::vector<T> rows[4];
                for (auto& r : rows)
                    r = (w % 4 == 2) ? LumpyRow<T>(rng, w, maxValue)
                                     : RandomRow<T>(rng, w, maxValue);
                std::vector<T> a(static_cast<size_t>(w) * outSamples, 77), b = a;
                kernels::DemosaicRow row;
                row.redNear = rows[0].data();
                row.redFar = rows[1].data();
                row.blueNear = rows[2].data();
                row.blueFar = rows[3].data();
                row.width = w;
                row.redColumn = redColumn;
                row.outSamples = outSamples;
                row.redFactor = std::uniform_int_distribution<uint32_t>(0, 512)(rng);
                row.blueFactor = std::uniform_int_distribution<uint32_t>(0, 512)(rng);
                row.out = a.data();
                (sizeof(T) == 1 ? ScalarKernels().demosaic8 : ScalarKernels().demosaic16)(row);
                row.out = b.data();
                (sizeof(T) == 1 ? FastKernels().demosaic8 : FastKernels().demosaic16)(row);
                ASSERT_EQ(a, b) << "width " << w << " samples " << outSamples << " red "
                                << redColumn;
            }
        }
    }
}

TEST(KernelAgreement, Demosaic) {
    ForEachTarget([&] {
        CheckDemosaic<uint8_t>(255);
        CheckDemosaic<uint16_t>(65535);
    });
}

TEST(KernelAgreement, LookupTablesAndBrightness) {
    ForEachTarget([&] {
        std::mt19937 rng(7);
        auto table8 = RandomRow<uint8_t>(rng, 256, 255);
        auto table16 = RandomRow<uint16_t>(rng, 65536, 65535);
        for (int w : kWidths) {
            for (int samples : {1, 3, 4}) {
                const int n = w * samples;
                const bool skip = samples == 4;
                auto s8 = RandomRow<uint8_t>(rng, n, 255), f8 = s8;
                auto s16 = RandomRow<uint16_t>(rng, n, 65535), f16 = s16;
                ScalarKernels().lut8({s8.data(), n, skip}, table8.data());
                FastKernels().lut8({f8.data(), n, skip}, table8.data());
                ASSERT_EQ(s8, f8) << w << " " << samples;
                ScalarKernels().lut16({s16.data(), n, skip}, table16.data());
                FastKernels().lut16({f16.data(), n, skip}, table16.data());
                ASSERT_EQ(s16, f16) << w << " " << samples;
                for (int k : {-255, -100, -1, 1, 37, 128, 255}) {
                    const float t = stages::BrightnessFactor(k);
                    ScalarKernels().brightness8({s8.data(), n, skip}, t);
                    FastKernels().brightness8({f8.data(), n, skip}, t);
                    ASSERT_EQ(s8, f8) << w << " " << samples << " " << k;
                    ScalarKernels().brightness16({s16.data(), n, skip}, t);
                    FastKernels().brightness16({f16.data(), n, skip}, t);
                    ASSERT_EQ(s16, f16) << w << " " << samples << " " << k;
                    // Keep the values spread for the next factor.
                    s8 = f8 = RandomRow<uint8_t>(rng, n, 255);
                    s16 = f16 = RandomRow<uint16_t>(rng, n, 65535);
                }
            }
        }
    });
}

TEST(KernelAgreement, HueSaturation) {
    ForEachTarget([&] {
        std::mt19937 rng(9);
        for (int w : kWidths) {
            for (int pixelBytes : {3, 4}) {
                for (auto [hue, sat] : {std::pair{0, 0},
                                        {1, 0},
                                        {-37, 120},
                                        {180, -255},
                                        {359, 255},
                                        {-360, -17},
                                        {120, 64}}) {
                    auto a = LumpyRow<uint8_t>(rng, static_cast<size_t>(w) * pixelBytes, 255),
                         b = a;
                    const auto p = stages::HueSaturationParams(hue, sat);
                    ScalarKernels().hueSaturation8(a.data(), w, pixelBytes, p);
                    FastKernels().hueSaturation8(b.data(), w, pixelBytes, p);
                    ASSERT_EQ(a, b) << w << " " << pixelBytes << " " << hue << " " << sat;
                    auto a16 = RandomRow<uint16_t>(rng, static_cast<size_t>(w) * pixelBytes, 65535),
                         b16 = a16;
                    ScalarKernels().hueSaturation16(a16.data(), w, pixelBytes, p);
                    FastKernels().hueSaturation16(b16.data(), w, pixelBytes, p);
                    ASSERT_EQ(a16, b16) << w << " " << pixelBytes << " " << hue << " " << sat;
                }
            }
        }
    });
}

template <class T>
void CheckSharpen(int maxValue) {
    std::mt19937 rng(11);
    std::vector<int32_t> table(2 * maxValue + 1);
    for (int amount : {1, 7, 30}) {
        for (int k = -maxValue; k <= maxValue; ++k) table[k + maxValue] = amount * k / 10;
        for (int w : kWidths) {
            for (auto [channels, samples] : {std::pair{1, 1}, {3, 3}, {3, 4}}) {
                std::vector<T> rows[4];
                for (auto& r : rows)
                    r = LumpyRow<T>(rng, static_cast<size_t>(w) * samples, maxValue);
                std::vector<T> a = rows[2], b = rows[2];
                kernels::SharpenRow row;
                for (int i = 0; i < 4; ++i) row.copyRows[i] = rows[i].data();
                row.width = w;
                row.channels = channels;
                row.pixelSamples = samples;
                row.amount = amount;
                row.differenceTable = table.data() + maxValue;
                row.out = a.data();
                (sizeof(T) == 1 ? ScalarKernels().sharpen8 : ScalarKernels().sharpen16)(row);
                row.out = b.data();
                (sizeof(T) == 1 ? FastKernels().sharpen8 : FastKernels().sharpen16)(row);
                ASSERT_EQ(a, b) << w << " " << samples << " " << amount;
            }
        }
    }
}

TEST(KernelAgreement, Sharpen) {
    ForEachTarget([&] {
        CheckSharpen<uint8_t>(255);
        CheckSharpen<uint16_t>(65535);
    });
}

// The flat field of one row by both kernel sets, with the reciprocals the mask
// planes hold for these references.
template <class T>
bool FlatFieldAgrees(std::vector<T> samples, const std::vector<T>& dark,
                     const std::vector<T>& white) {
    const size_t n = samples.size();
    std::vector<uint16_t> low(n), high(n);
    for (size_t i = 0; i < n; ++i) {
        const int span = int{white[i]} - int{dark[i]};
        if constexpr (sizeof(T) == 1) {
            low[i] = kernels::FlatFieldReciprocal8(span);
        } else {
            const uint32_t r = kernels::FlatFieldReciprocal16(span);
            low[i] = static_cast<uint16_t>(r);
            high[i] = static_cast<uint16_t>(r >> 16);
        }
    }
    std::vector<T> fast = samples;
    kernels::FlatFieldRow row{samples.data(), dark.data(), white.data(),
                              low.data(),     high.data(), static_cast<int>(n)};
    (sizeof(T) == 1 ? ScalarKernels().flatField8 : ScalarKernels().flatField16)(row);
    row.samples = fast.data();
    (sizeof(T) == 1 ? FastKernels().flatField8 : FastKernels().flatField16)(row);
    return samples == fast;
}

template <class T>
void CheckCorrections(int maxValue, int threshold) {
    std::mt19937 rng(13);
    for (int w : kWidths) {
        ASSERT_TRUE(FlatFieldAgrees(RandomRow<T>(rng, w, maxValue), LumpyRow<T>(rng, w, maxValue),
                                    LumpyRow<T>(rng, w, maxValue)))
            << w;

        std::vector<T> rows[3];
        for (auto& r : rows) r = LumpyRow<T>(rng, w, maxValue);
        std::vector<uint8_t> flags(w, 0);
        for (int i = 0; i < w; i += 7) flags[i] = 1;
        for (int i = 3; i < w; i += 11) flags[i] = 1;
        std::vector<T> ma(w, 9), mb(w, 9);
        kernels::DefectDetectRow d;
        d.above = rows[0].data();
        d.row = rows[1].data();
        d.below = rows[2].data();
        d.flags = flags.data();
        d.width = w;
        // The camera's threshold last, so its marks feed the sweeps below.
        for (int t : {0, 1, maxValue, maxValue + 1, threshold}) {
            d.threshold = t;
            d.marks = ma.data();
            (sizeof(T) == 1 ? ScalarKernels().detectDefects8 : ScalarKernels().detectDefects16)(d);
            d.marks = mb.data();
            (sizeof(T) == 1 ? FastKernels().detectDefects8 : FastKernels().detectDefects16)(d);
            ASSERT_EQ(ma, mb) << w << " threshold " << t;
        }

        // Marks in runs of every length, with columns 0 and w-1 left unmarked as
        // the detection leaves them.
        std::vector<T> runs(w, 0);
        std::uniform_int_distribution<int> runLength(1, 80), gap(1, 4);
        for (int x = 1 + gap(rng); x < w - 1; x += gap(rng)) {
            for (int end = std::min(w - 1, x + runLength(rng)); x < end; ++x) runs[x] = 1;
        }
        for (const auto& m : {ma, runs}) {
            auto ra = RandomRow<T>(rng, w, maxValue), rb = ra;
            auto na = RandomRow<T>(rng, w, maxValue), nb = na;
            std::vector<T> bounded = m;
            bounded[0] = bounded[w - 1] = 0;
            kernels::ReplaceMarkedRow replace{ra.data(), na.data(), bounded.data(), w, false};
            (sizeof(T) == 1 ? ScalarKernels().replaceMarked8
                            : ScalarKernels().replaceMarked16)(replace);
            replace.row = rb.data();
            replace.nearest = nb.data();
            (sizeof(T) == 1 ? FastKernels().replaceMarked8
                            : FastKernels().replaceMarked16)(replace);
            ASSERT_EQ(ra, rb) << w;
            ASSERT_EQ(na, nb) << w;
        }

        for (bool fill : {false, true}) {
            auto ra = RandomRow<T>(rng, w, maxValue), rb = ra;
            auto na = RandomRow<T>(rng, w, maxValue), nb = na;
            kernels::NearestUnmarkedRow sweep{ra.data(), na.data(), ma.data(), w, fill};
            (sizeof(T) == 1 ? ScalarKernels().nearestUnmarked8
                            : ScalarKernels().nearestUnmarked16)(sweep);
            sweep.row = rb.data();
            sweep.nearest = nb.data();
            (sizeof(T) == 1 ? FastKernels().nearestUnmarked8
                            : FastKernels().nearestUnmarked16)(sweep);
            ASSERT_EQ(ra, rb) << w;
            ASSERT_EQ(na, nb) << w;
        }
    }
}

TEST(KernelAgreement, FlatFieldAndDefectDetection) {
    ForEachTarget([&] {
        CheckCorrections<uint8_t>(255, 30);
        CheckCorrections<uint16_t>(65535, 480);
    });
}

// The reciprocal and its one-step correction against the division for every
// 8-bit sample, dark and white, and for every 16-bit span with the numerators
// where the estimate is worst (just below the span), where the quotient is
// exact, and beyond the span (clipped). Every instruction set runs the same lane
// arithmetic, so the processor's own choice stands for all of them here.
TEST(KernelAgreement, FlatFieldReciprocalsMatchTheDivisionForEverySpan) {
    std::vector<uint8_t> all(256);
    for (int v = 0; v < 256; ++v) all[v] = static_cast<uint8_t>(v);
    for (int dark = 0; dark < 256; ++dark) {
        for (int white = 0; white < 256; ++white) {
            ASSERT_TRUE(FlatFieldAgrees(all, std::vector<uint8_t>(256, dark),
                                        std::vector<uint8_t>(256, white)))
                << dark << " " << white;
        }
    }
    std::vector<uint16_t> samples, dark, white;
    for (int span = 1; span <= 65535; ++span) {
        // Spans at every dark level the sensor allows.
        const int d = static_cast<int>((span * 2654435761u) % (65536u - span));
        int odd = span;
        while (odd % 2 == 0) odd /= 2;
        for (int num : {0, 1, span / 3, span / 2, span - odd, span - 2, span - 1, span, span + 1}) {
            if (num < 0 || d + num > 65535) continue;
            samples.push_back(static_cast<uint16_t>(d + num));
            dark.push_back(static_cast<uint16_t>(d));
            white.push_back(static_cast<uint16_t>(d + span));
        }
    }
    EXPECT_TRUE(FlatFieldAgrees(samples, dark, white));
}

// Whole frames through every stage, once with each kernel set.
struct FrameSize {
    int width, height;
};

class FrameAgreement : public testing::TestWithParam<FrameSize> {
  protected:
    // One mask for all sizes: the pipeline only reads it (the work planes are
    // scratch, cleared by every frame).
    static void SetUpTestSuite() {
        mask_ = new DibImage[kMaskPlaneCount];
        for (int i = 0; i < kMaskPlaneCount; ++i) planes_.plane[i] = &mask_[i];
        ASSERT_TRUE(AllocateMaskPlanes(planes_));
        FillRandom(mask_[kMaskDark8], 1, 40);
        FillRandom(mask_[kMaskDark16], 2, 10000);
        BuildDefectFlags(planes_, 8, 0);
        BuildDefectFlags(planes_, 16, 0);
    }
    static void TearDownTestSuite() {
        delete[] mask_;
        mask_ = nullptr;
    }
    void TearDown() override { kernels::OverrideKernels(nullptr); }

    static DibImage* mask_;
    static MaskPlanes planes_;
};

DibImage* FrameAgreement::mask_ = nullptr;
MaskPlanes FrameAgreement::planes_;

TEST_P(FrameAgreement, AllStagesOnMatchBitForBit) {
    const auto [w, h] = GetParam();
    for (int mode : {kColorMono8, kColorMono16, kColorRgb24, kColorRgb32, kColorRgb48}) {
        std::unique_ptr<DibImage> results[2];
        for (int pass = 0; pass < 2; ++pass) {
            kernels::OverrideKernels(pass == 0 ? &ScalarKernels() : &FastKernels());
            PipelineHarness hn(w, h, mode);
            hn.frame.mask = planes_;
            hn.frame.corrections = {1, 1};
            hn.frame.window = {w, h, 0, 0, 0};
            ImageSettings& s = hn.settings;
            s.hue = 25;
            s.saturation = 40;
            s.gamma = 80;
            s.contrast = 20;
            s.sharpness = 12;
            s.brightness = 30;
            s.bayerGainRed = 130;
            s.bayerGainBlue = 90;
            FillRandom(hn.Raw(), 5, hn.Raw().Bits() == 16 ? 65535 : 255);
            hn.Run();
            results[pass] = std::make_unique<DibImage>();
            ASSERT_TRUE(results[pass]->CreateLike(hn.Output()));
            std::copy(hn.Output().Pixels(), hn.Output().Pixels() + hn.Output().SizeBytes(),
                      results[pass]->Pixels());
        }
        EXPECT_TRUE(SameBytes(*results[0], *results[1])) << "mode " << mode;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, FrameAgreement,
                         testing::Values(FrameSize{6, 4}, FrameSize{8, 5}, FrameSize{34, 10},
                                         FrameSize{130, 12}, FrameSize{642, 33},
                                         FrameSize{2048, 1536}));

}  // namespace
}  // namespace veltcam
