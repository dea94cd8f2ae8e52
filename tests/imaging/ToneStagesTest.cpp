#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "imaging/BayerPhase.h"
#include "imaging/ImageFixtures.h"
#include "imaging/PipelineHarness.h"
#include "imaging/Stages.h"

namespace veltcam {
namespace {

using namespace testing_support;

std::unique_ptr<DibImage> CopyOf(const DibImage& image) {
    auto copy = std::make_unique<DibImage>();
    EXPECT_TRUE(copy->CreateLike(image));
    std::copy(image.Pixels(), image.Pixels() + image.SizeBytes(), copy->Pixels());
    return copy;
}

TEST(ToneStages, NeutralSettingsLeaveEveryFormatUnchanged) {
    for (int mode = kColorMono8; mode <= kColorRgb64; ++mode) {
        PipelineHarness h(10, 8, mode);
        FillRandom(h.Raw(), 11, h.Raw().Bits() == 16 ? 65535 : 255);
        // The reference: the raw frame, or its plain demosaic.
        std::unique_ptr<DibImage> expected = CopyOf(h.Raw());
        if (mode >= kColorRgb24) {
            expected = CopyOf(h.Output());
            ASSERT_EQ(stages::Demosaic(*expected, h.Raw(), {0, 100, 100}), 1);
        }
        h.Run();
        EXPECT_TRUE(SameBytes(*expected, h.Output())) << "mode " << mode;
    }
}

TEST(ToneStages, BrightnessExtremes) {
    struct Case {
        int bits, brightness, in, out;
    };
    for (const Case& c :
         {Case{8, -255, 200, 0}, Case{8, 255, 20, 220}, Case{8, 255, 24, 255},
          Case{16, -255, 60000, 0}, Case{16, 255, 5000, 55000}, Case{16, 255, 6000, 65535},
          Case{24, 255, 23, 253}, Case{64, -128, 1000, 498}}) {
        auto image = MakeImage(5, 3, c.bits);
        FillSamples(*image, [&](int, int, int) { return c.in; });
        stages::Brightness(*image, c.brightness);
        const int samples = c.bits == 24 ? 3 : c.bits == 64 ? 4 : 1;
        for (int s = 0; s < samples; ++s) {
            // The unused fourth sample of 64-bit pixels is never touched.
            const int expected = s == 3 ? c.in : c.out;
            EXPECT_EQ(SampleAt(*image, 4, 2, s), expected) << c.bits << " " << c.brightness;
        }
    }
}

TEST(ToneStages, ContrastCurves) {
    uint8_t table[256];
    stages::BuildContrastTable8(127, table);
    for (int i = 0; i <= 127; ++i) EXPECT_EQ(table[i], 0) << i;
    EXPECT_EQ(table[128], 128);
    for (int i = 129; i < 256; ++i) EXPECT_EQ(table[i], 255) << i;
    // Negative contrast pulls towards the middle and keeps the order.
    stages::BuildContrastTable8(-64, table);
    EXPECT_EQ(table[0], 42);  // 256 / 384 * 64
    EXPECT_EQ(table[255], 212);
    for (int i = 1; i < 256; ++i) EXPECT_LE(table[i - 1], table[i]);
    std::vector<uint16_t> t16(65536);
    stages::BuildContrastTable16(127, t16.data());
    EXPECT_EQ(t16[32512], 0);
    EXPECT_EQ(t16[32768], 32768);
    EXPECT_EQ(t16[33024], 65535);
}

TEST(ToneStages, GammaCurves) {
    uint8_t table[256];
    stages::BuildGammaTable8(50, table);
    EXPECT_EQ(table[128], 64);  // exponent 2: trunc(0.50196^2 * 255)
    EXPECT_EQ(table[0], 0);
    EXPECT_EQ(table[255], 255);
    stages::BuildGammaTable8(0, table);
    for (int i = 0; i < 255; ++i) EXPECT_EQ(table[i], 0) << i;
    EXPECT_EQ(table[255], 255);
    stages::BuildGammaTable8(200, table);
    EXPECT_EQ(table[64], 127);  // square root
    std::vector<uint16_t> t16(65536);
    stages::BuildGammaTable16(50, t16.data());
    EXPECT_EQ(t16[32768], 16384);
    EXPECT_EQ(t16[65535], 65535);
}

TEST(ToneStages, GammaAndContrastApplyToColourSamplesButNotTheFourth) {
    auto image = MakeImage(3, 2, 32);
    FillSamples(*image, [](int, int, int c) { return c == 3 ? 77 : 128; });
    stages::Gamma(*image, 50);
    EXPECT_EQ(SampleAt(*image, 2, 1, 0), 64);
    EXPECT_EQ(SampleAt(*image, 2, 1, 2), 64);
    EXPECT_EQ(SampleAt(*image, 2, 1, 3), 77);
    stages::Contrast(*image, 127);
    EXPECT_EQ(SampleAt(*image, 0, 0, 1), 0);
    EXPECT_EQ(SampleAt(*image, 0, 0, 3), 77);
}

TEST(ToneStages, SaturationDownToGray) {
    auto image = MakeImage(64, 4, 24);
    FillRandom(*image, 3, 255);
    stages::HueSaturation(*image, 0, -255);
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 64; ++x) {
            const int b = SampleAt(*image, x, y, 0), g = SampleAt(*image, x, y, 1),
                      r = SampleAt(*image, x, y, 2);
            EXPECT_LE(std::max({r, g, b}) - std::min({r, g, b}), 1) << x << "," << y;
        }
    }
}

TEST(ToneStages, HueRotationMovesPrimaries) {
    struct Case {
        int hue, saturation;
        int r, g, b;
        int outR, outG, outB;
    };
    // A third of a turn is 509 of 1530 steps (65536ths rounded down first), so
    // pure red turns into a green with a trace of red.
    for (const Case& c :
         {Case{120, 0, 255, 0, 0, 2, 255, 0}, Case{-120, 0, 255, 0, 0, 0, 2, 255},
          Case{360, 0, 200, 100, 50, 200, 100, 50}, Case{0, 255, 150, 100, 100, 175, 75, 75},
          Case{60, 0, 200, 100, 50, 150, 200, 50}}) {
        auto image = MakeImage(1, 1, 24);
        SetSample(*image, 0, 0, 0, c.b);
        SetSample(*image, 0, 0, 1, c.g);
        SetSample(*image, 0, 0, 2, c.r);
        stages::HueSaturation(*image, c.hue, c.saturation);
        EXPECT_EQ(SampleAt(*image, 0, 0, 2), c.outR) << c.hue << " " << c.saturation;
        EXPECT_EQ(SampleAt(*image, 0, 0, 1), c.outG) << c.hue << " " << c.saturation;
        EXPECT_EQ(SampleAt(*image, 0, 0, 0), c.outB) << c.hue << " " << c.saturation;
    }
}

TEST(ToneStages, SixteenBitHueWorksOnHighBytes) {
    auto image = MakeImage(2, 1, 48);
    FillSamples(*image, [](int, int, int c) { return c == 2 ? 0xFF12 : 0x0034; });
    stages::HueSaturation(*image, 120, 0);
    EXPECT_EQ(SampleAt(*image, 1, 0, 1), 0xFF00);
    EXPECT_EQ(SampleAt(*image, 1, 0, 2), 2 << 8);
}

TEST(ToneStages, SharpnessKeepsTheOuterTwoRowsAndColumns) {
    for (int bits : {8, 16, 24, 48}) {
        auto image = MakeImage(9, 8, bits);
        FillRandom(*image, 5, bits == 16 || bits == 48 ? 65535 : 255);
        auto before = CopyOf(*image);
        DibImage work;
        stages::Sharpness(*image, work, 30);
        bool interiorChanged = false;
        for (int y = 0; y < 8; ++y) {
            for (int x = 0; x < 9; ++x) {
                const bool border = y < 2 || y > 5 || x < 2 || x > 6;
                if (border) {
                    ASSERT_EQ(SampleAt(*image, x, y), SampleAt(*before, x, y)) << bits;
                } else if (SampleAt(*image, x, y) != SampleAt(*before, x, y)) {
                    interiorChanged = true;
                }
            }
        }
        EXPECT_TRUE(interiorChanged) << bits;
    }
}

TEST(ToneStages, SharpnessArithmetic) {
    // A single bright sample in a flat field: blur 10 + 90/16 -> 15 at its centre.
    auto image = MakeImage(6, 6, 8);
    FillSamples(*image, [](int x, int y, int) { return x == 3 && y == 3 ? 100 : 10; });
    DibImage work;
    stages::Sharpness(*image, work, 10);
    EXPECT_EQ(SampleAt(*image, 3, 3), 100 + (100 - 15));
    // Its neighbours see the same blur and are pushed down: 10 + (10 - 15).
    EXPECT_EQ(SampleAt(*image, 2, 2), 5);
}

TEST(ToneStages, SharpnessOfTallFramesFollowsTheBlockArithmeticOnEveryRow) {
    // Taller than the rows the stage keeps at a time, so every row of the blur
    // has to come from the unsharpened frame however the rows are cycled.
    for (int bits : {8, 32, 48}) {
        auto image = MakeImage(11, 77, bits);
        const int full = bits == 48 ? 65535 : 255;
        FillRandom(*image, 8, full);
        auto before = CopyOf(*image);
        DibImage work;
        stages::Sharpness(*image, work, 17);
        const int channels = bits == 8 ? 1 : bits == 32 ? 4 : 3;
        for (int y = 2; y < 75; ++y) {
            for (int x = 2; x < 9; ++x) {
                for (int c = 0; c < channels; ++c) {
                    const int o = SampleAt(*before, x, y, c);
                    int expected = o;
                    if (c < 3) {
                        int sum = 0;
                        for (int by = y - 2; by <= y + 1; ++by) {
                            for (int bx = x - 2; bx <= x + 1; ++bx) sum += SampleAt(*before, bx, by, c);
                        }
                        expected = std::clamp(o + 17 * (o - (sum >> 4)) / 10, 0, full);
                    }
                    ASSERT_EQ(SampleAt(*image, x, y, c), expected) << bits << " " << x << "," << y;
                }
            }
        }
    }
}

TEST(GrayMode, NeutralGainsAndOffsetsLeaveTheImageWhateverTheBlueOffset) {
    PipelineHarness h(8, 6, kColorMono8);
    h.settings.grayMode = 1;
    h.settings.grayOffset[3] = -200;
    FillRandom(h.raw8, 9, 255);
    auto before = CopyOf(h.raw8);
    h.Run();
    EXPECT_TRUE(SameBytes(*before, h.raw8));
}

TEST(GrayMode, ChannelGainsAndOffsetsPerPosition) {
    for (int bits : {8, 16}) {
        PipelineHarness h(6, 4, bits == 8 ? kColorMono8 : kColorMono16);
        h.settings.grayMode = 1;
        h.settings.bayerMode = 2;  // R G1 / G2 B
        h.settings.grayGain = {200, 128, 128, 64};
        h.settings.grayOffset = {128, 0, -300, 128};
        FillSamples(h.Raw(), [](int x, int y, int) { return 20 + x + 7 * y; });
        h.Run();
        const int maxv = bits == 8 ? 255 : 65535;
        for (int y = 0; y < 4; ++y) {
            for (int x = 0; x < 6; ++x) {
                const int v = 20 + x + 7 * y;
                const int c = GrayChannelAt(2, x, y);
                const int gain[4] = {200, 128, 128, 64};
                const int offset[4] = {128, 0, -255, 128};
                const int expected = std::clamp(offset[c] + gain[c] * v / 128, 0, maxv);
                ASSERT_EQ(SampleAt(h.Raw(), x, y), expected) << bits << " " << x << "," << y;
            }
        }
        // R positions: 128 + 200 * v / 128; G2 offset below zero: 0.
        EXPECT_EQ(SampleAt(h.Raw(), 0, 0), 128 + 200 * 20 / 128);
        EXPECT_EQ(SampleAt(h.Raw(), 0, 1), 0);
    }
}

TEST(GrayMode, OneShotBalanceComputesGainsOnceAndCountsDown) {
    PipelineHarness h(8, 8, kColorMono8);
    h.settings.grayMode = 1;
    h.settings.grayBalanceFrames = 1;
    h.settings.bayerMode = 0;  // G1 R / B G2
    FillSamples(h.raw8, [](int x, int y, int) {
        const int c = GrayChannelAt(0, x, y);
        return c == 0 ? 64 : c == 1 ? 128 : c == 2 ? 100 : (x == 0 && y == 1 ? 255 : 32);
    });
    h.Run();
    // R 128/64, G2 128/100, B 128/32 (the saturated 255 is not counted; 1024
    // limited to 255).
    EXPECT_EQ(h.settings.grayGain[0], 255);
    EXPECT_EQ(h.settings.grayGain[1], 128);
    EXPECT_EQ(h.settings.grayGain[2], 163);
    EXPECT_EQ(h.settings.grayGain[3], 255);
    EXPECT_EQ(h.settings.grayBalanceFrames, 0);
}

TEST(GrayMode, ColourToGrayReplacesRawSamples) {
    PipelineHarness h(8, 6, kColorMono8);
    h.settings.grayMode = 2;
    h.settings.bayerMode = 1;
    FillSamples(h.raw8, [](int x, int y, int) {
        const int c = BayerColorAt(1, x, y);
        return c == kBayerRed ? 200 : c == kBayerGreen ? 100 : 50;
    });
    h.Run();
    for (int y = 0; y < 6; ++y) {
        for (int x = 0; x < 8; ++x) {
            ASSERT_EQ(SampleAt(h.raw8, x, y), (30 * 200 + 59 * 100 + 11 * 50) / 100);
        }
    }
}

class FakeHost : public IPipelineHost {
  public:
    int GlobalGain() override { return gain; }
    void GainLimits(int& lo, int& hi) override {
        lo = 0;
        hi = 480;
    }
    void ApplyGlobalGain(int g) override { appliedGain = g; }
    int ExposureUnits() override { return exposure; }
    void ExposureLimits(int& lo, int& hi) override {
        lo = 1;
        hi = 20000;
    }
    void ApplyExposure(int e) override { appliedExposure = e; }
    int gain = 100;
    int exposure = 1000;
    int appliedGain = -1;
    int appliedExposure = -1;
};

TEST(AutoIris, FactorsFromTheFiveWindows) {
    struct Case {
        int level;
        int mode;
        int gain, exposure;
        int appliedGain, appliedExposure;
    };
    for (const Case& c : {Case{255, 1, 100, 1000, -1, 250}, Case{30, 1, 100, 1000, -1, 1500},
                          Case{255, 2, 100, 1000, 25, -1}, Case{30, 2, 2, 1000, 6, -1},
                          Case{130, 1, 100, 1000, -1, -1}, Case{30, 1, 100, 19000, -1, 20000}}) {
        for (int bits : {8, 16}) {
            auto raw = MakeImage(40, 30, bits);
            FillSamples(*raw, [&](int, int, int) { return bits == 8 ? c.level : c.level << 8; });
            FakeHost host;
            host.gain = c.gain;
            host.exposure = c.exposure;
            stages::AutoIris(*raw, c.mode, host);
            EXPECT_EQ(host.appliedGain, c.appliedGain) << c.level << " bits " << bits;
            EXPECT_EQ(host.appliedExposure, c.appliedExposure) << c.level << " bits " << bits;
        }
    }
}

TEST(AutoIris, MetersOnlyTheWindows) {
    auto raw = MakeImage(100, 100, 8);
    // Bright everywhere except the five windows, which sit at 30.
    FillSamples(*raw, [](int x, int y, int) {
        auto in = [](int v, int a, int b) { return v >= a && v < b; };
        const bool window = (in(x, 10, 20) || in(x, 80, 90) || in(x, 45, 55)) &&
                            (in(y, 10, 20) || in(y, 80, 90) || in(y, 45, 55));
        return window ? 30 : 255;
    });
    EXPECT_DOUBLE_EQ(stages::AutoIrisFactor(*raw), 1.5);
}

// Steps that sum exactly to a bound adjust the camera. Four steps of 0.1 down
// from 1 make 0.6, where a sum in binary floating point lands just above it, inside
// the band, and would leave a bright scene as it is; 0.9 + 0.1 + 0.1 + 0.05 + 0.05
// makes the upper bound 1.2.
TEST(AutoIris, FactorExactlyOnABoundAdjusts) {
    struct Case {
        int levels[5];  // top-left, bottom-left, centre, top-right, bottom-right
        int appliedGain, appliedExposure;
    };
    for (const Case& c : {Case{{130, 180, 180, 180, 180}, 60, 600},
                          Case{{180, 30, 30, 80, 80}, 120, 1200}}) {
        auto raw = MakeImage(100, 100, 8);
        FillSamples(*raw, [&](int x, int y, int) {
            auto in = [](int v, int a) { return v >= a && v < a + 10; };
            if (in(x, 10) && in(y, 10)) return c.levels[0];
            if (in(x, 10) && in(y, 80)) return c.levels[1];
            if (in(x, 45) && in(y, 45)) return c.levels[2];
            if (in(x, 80) && in(y, 10)) return c.levels[3];
            if (in(x, 80) && in(y, 80)) return c.levels[4];
            return 130;
        });
        FakeHost gainHost;
        stages::AutoIris(*raw, 2, gainHost);
        EXPECT_EQ(gainHost.appliedGain, c.appliedGain);
        FakeHost exposureHost;
        stages::AutoIris(*raw, 1, exposureHost);
        EXPECT_EQ(exposureHost.appliedExposure, c.appliedExposure);
    }
}

}  // namespace
}  // namespace veltcam
