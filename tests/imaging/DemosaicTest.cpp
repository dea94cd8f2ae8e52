#include <gtest/gtest.h>

#include "imaging/BayerPhase.h"
#include "imaging/ImageFixtures.h"
#include "imaging/PipelineHarness.h"
#include "imaging/Stages.h"

namespace veltcam {
namespace {

using namespace testing_support;

// A raw mosaic whose every red sample is r, green g, blue b in the given phase.
void FillMosaic(DibImage& raw, int phase, int r, int g, int b) {
    FillSamples(raw, [&](int x, int y, int) {
        const int c = BayerColorAt(phase, x, y);
        return c == kBayerRed ? r : c == kBayerGreen ? g : b;
    });
}

void ExpectEveryPixel(const DibImage& color, int r, int g, int b) {
    for (int y = 0; y < color.Height(); ++y) {
        for (int x = 0; x < color.Width(); ++x) {
            ASSERT_EQ(SampleAt(color, x, y, 0), b) << x << "," << y;
            ASSERT_EQ(SampleAt(color, x, y, 1), g) << x << "," << y;
            ASSERT_EQ(SampleAt(color, x, y, 2), r) << x << "," << y;
        }
    }
}

struct FlatCase {
    int colorBits;
    int phase;
};

class DemosaicFlat : public testing::TestWithParam<FlatCase> {};

// Every output pixel, borders and corners included, sees the four nearest samples
// of each colour, so a flat mosaic must come out flat and exact at unity gain.
TEST_P(DemosaicFlat, PeriodicPatternComesOutExactlyEverywhere) {
    const auto [bits, phase] = GetParam();
    const bool sixteen = bits >= 48;
    const int scale = sixteen ? 256 : 1;
    DibImage raw, color;
    ASSERT_TRUE(raw.Create(12, 10, sixteen ? 16 : 8));
    ASSERT_TRUE(color.Create(12, 10, bits));
    FillMosaic(raw, phase, 200 * scale, 100 * scale, 50 * scale);
    ASSERT_EQ(stages::Demosaic(color, raw, {phase, 100, 100}), 1);
    ExpectEveryPixel(color, 200 * scale, 100 * scale, 50 * scale);
    if (bits == 32 || bits == 64) {
        for (int y = 0; y < 10; ++y) {
            for (int x = 0; x < 12; ++x) ASSERT_EQ(SampleAt(color, x, y, 3), 0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(FormatsAndPhases, DemosaicFlat,
                         testing::Values(FlatCase{24, 0}, FlatCase{24, 1}, FlatCase{24, 2},
                                         FlatCase{24, 3}, FlatCase{32, 0}, FlatCase{48, 0},
                                         FlatCase{48, 3}, FlatCase{64, 2}));

struct GainCase {
    int bits;              // raw
    int red, green, blue;  // gains
    int inR, inG, inB;     // flat mosaic
    int outR, outG, outB;
};

class DemosaicGains : public testing::TestWithParam<GainCase> {};

TEST_P(DemosaicGains, RedAndBlueScaleAndClipGreenNever) {
    const GainCase c = GetParam();
    DibImage raw, color;
    ASSERT_TRUE(raw.Create(8, 6, c.bits));
    ASSERT_TRUE(color.Create(8, 6, c.bits == 8 ? 24 : 48));
    FillMosaic(raw, 0, c.inR, c.inG, c.inB);
    stages::DemosaicParams p{0, c.red, c.blue};
    (void)c.green;  // the green gain has no parameter to reach the demosaic
    ASSERT_EQ(stages::Demosaic(color, raw, p), 1);
    ExpectEveryPixel(color, c.outR, c.outG, c.outB);
}

INSTANTIATE_TEST_SUITE_P(
    Gains, DemosaicGains,
    testing::Values(GainCase{8, 200, 100, 100, 100, 100, 50, 200, 100, 50},
                    GainCase{8, 200, 100, 100, 200, 100, 50, 255, 100, 50},
                    GainCase{8, 100, 400, 50, 200, 100, 50, 200, 100, 25},
                    GainCase{8, 0, 100, 400, 200, 100, 50, 0, 100, 200},
                    // Out-of-range gains are limited before the products.
                    GainCase{8, 100000, 100, -5, 10, 100, 50, 40, 100, 0},
                    GainCase{16, 200, 100, 100, 20000, 100, 50, 40000, 100, 50},
                    GainCase{16, 200, 100, 100, 40000, 100, 50, 65535, 100, 50},
                    GainCase{16, 400, 100, 400, 65535, 65535, 65535, 65535, 65535, 65535}));

TEST(BayerPhase, MirrorsAndSubSamplingMoveThePhase) {
    struct Case {
        int mode;
        bool v, h;
        int sub;
        int phase;
    };
    for (const Case& c :
         {Case{0, false, false, 0, 0}, Case{0, true, false, 0, 1}, Case{0, true, true, 0, 3},
          Case{0, true, true, 1, 2}, Case{2, false, true, 0, 0}, Case{3, false, false, 1, 2}}) {
        EXPECT_EQ(AdjustedBayerPhase(c.mode, c.v, c.h, c.sub), c.phase)
            << c.mode << c.v << c.h << c.sub;
    }
}

// The phase bookkeeping and the software mirroring have to agree: whichever
// directions the sensor or the software mirrors, a flat colour stays that colour.
struct OrientationCase {
    int mode;
    bool mirrorV, mirrorH, sensorV, sensorH;
    int sub;
};

class OrientedFrames : public testing::TestWithParam<OrientationCase> {};

TEST_P(OrientedFrames, KeepTheirColours) {
    const OrientationCase c = GetParam();
    PipelineHarness h(10, 8, kColorRgb24);
    h.settings.bayerMode = c.mode;
    h.frame.mirrorV = c.mirrorV;
    h.frame.mirrorH = c.mirrorH;
    h.frame.sensorMirrorsV = c.sensorV;
    h.frame.sensorMirrorsH = c.sensorH;
    h.frame.subSampleMode = c.sub;
    // The phase the frame arrives in: moved by what the sensor did itself.
    const int readPhase = c.mode ^ (c.mirrorV && c.sensorV ? 1 : 0) ^
                          (c.mirrorH && c.sensorH ? 2 : 0) ^ (c.sub != 0 ? 1 : 0);
    FillMosaic(h.raw8, readPhase, 200, 100, 50);
    h.Run();
    ExpectEveryPixel(h.color24, 200, 100, 50);
}

INSTANTIATE_TEST_SUITE_P(Orientations, OrientedFrames,
                         testing::Values(OrientationCase{0, true, false, false, false, 0},
                                         OrientationCase{0, true, true, false, false, 0},
                                         OrientationCase{0, true, true, false, false, 1},
                                         OrientationCase{3, false, true, false, false, 0},
                                         OrientationCase{1, true, true, true, false, 0},
                                         OrientationCase{2, true, true, true, true, 0}));

TEST(ProcessFrame, SixteenBitFrameWithBothMirrorsIsTurnedHalfAround) {
    PipelineHarness h(6, 4, kColorMono16);
    h.frame.mirrorH = h.frame.mirrorV = true;
    FillSamples(h.raw16, [](int x, int y, int) { return 1000 * y + x; });
    h.Run();
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 6; ++x) ASSERT_EQ(SampleAt(h.raw16, x, y), 1000 * (3 - y) + (5 - x));
    }
}

TEST(ProcessFrame, OnlyVerticalMirrorFlipsRows) {
    PipelineHarness h(5, 3, kColorMono8);
    h.frame.mirrorV = true;
    FillSamples(h.raw8, [](int x, int y, int) { return 10 * y + x; });
    h.Run();
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 5; ++x) ASSERT_EQ(SampleAt(h.raw8, x, y), 10 * (2 - y) + x);
    }
}

TEST(ProcessFrame, MonochromeModesDeliverTheRawMosaic) {
    for (int mode : {kColorMono8, kColorMono16}) {
        PipelineHarness h(8, 6, mode);
        FillRandom(h.Raw(), 7, mode == kColorMono8 ? 255 : 65535);
        DibImage before;
        ASSERT_TRUE(before.CreateLike(h.Raw()));
        std::copy(h.Raw().Pixels(), h.Raw().Pixels() + h.Raw().SizeBytes(), before.Pixels());
        h.Run();
        EXPECT_TRUE(SameBytes(before, h.Raw()));
        for (DibImage* c : {&h.color24, &h.color48}) {
            EXPECT_TRUE(std::all_of(c->Pixels(), c->Pixels() + c->SizeBytes(),
                                    [](uint8_t v) { return v == 0; }));
        }
    }
}

TEST(WhiteBalance, NeutralGraySceneGivesUnityGains) {
    PipelineHarness h(16, 12, kColorRgb24);
    FillMosaic(h.raw8, 3, 90, 90, 90);
    h.settings.bayerGainRed = 250;
    h.settings.bayerGainBlue = 30;
    h.settings.bayerGainAuto = 1;
    h.Run();
    EXPECT_EQ(h.settings.bayerGainRed, 100);
    EXPECT_EQ(h.settings.bayerGainBlue, 100);
    EXPECT_EQ(h.settings.bayerGainAuto, 1);
    ExpectEveryPixel(h.color24, 90, 90, 90);
}

TEST(WhiteBalance, BalancesColourCastAndKeepsGainOfABlackChannel) {
    DibImage raw;
    ASSERT_TRUE(raw.Create(8, 8, 8));
    FillMosaic(raw, 0, 50, 100, 0);
    ImageSettings s = NeutralSettings();
    s.bayerGainBlue = 123;
    stages::AutoWhiteBalance(raw, 0, s);
    EXPECT_EQ(s.bayerGainRed, 200);
    EXPECT_EQ(s.bayerGainBlue, 123);
    FillMosaic(raw, 0, 10, 100, 50);
    stages::AutoWhiteBalance(raw, 0, s);
    EXPECT_EQ(s.bayerGainRed, 400);  // 1000 limited
    EXPECT_EQ(s.bayerGainBlue, 200);
}

TEST(WhiteBalance, OnceFlagsSwitchTheBalanceOffAfterOneFrame) {
    PipelineHarness h(8, 8, kColorRgb24);
    std::array<bool, 2> once{true, true};
    h.frame.whiteBalanceOnce = &once;
    h.settings.bayerMode = 3;
    FillMosaic(h.raw8, 3, 50, 100, 100);
    h.settings.bayerGainAuto = 1;
    h.Run();
    EXPECT_EQ(h.settings.bayerGainRed, 200);
    EXPECT_EQ(h.settings.bayerGainAuto, 0);
    EXPECT_FALSE(once[0] || once[1]);
}

}  // namespace
}  // namespace veltcam
