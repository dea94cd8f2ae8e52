#include <gtest/gtest.h>

#include <cstring>

#include "imaging/Conversions.h"
#include "imaging/ImageFixtures.h"
#include "imaging/PixelOp.h"

namespace veltcam {
namespace {

using namespace testing_support;

PixelOpArgs g_seen;
int g_calls = 0;
int Record(const PixelOpArgs& a) {
    g_seen = a;
    ++g_calls;
    return 1;
}

TEST(ApplyPixelOp, ClipsTheRectangleAgainstBothImages) {
    auto src = MakeImage(10, 8, 24);
    auto dst = MakeImage(6, 5, 8);
    struct Case {
        PixelRect in;
        int x, y;
        PixelRect out;
        int outX, outY;
    };
    for (const Case& c : {Case{{0, 0, 10, 8}, 0, 0, {0, 0, 6, 5}, 0, 0},
                          Case{{-3, -2, 4, 4}, 0, 0, {0, 0, 3, 3}, 3, 2},
                          Case{{2, 1, 9, 7}, -1, 2, {3, 1, 9, 4}, 0, 2},
                          Case{{5, 5, 20, 20}, 4, 3, {5, 5, 7, 7}, 4, 3}}) {
        g_calls = 0;
        EXPECT_EQ(ApplyPixelOp(*dst, Record, *src, &c.in, c.x, c.y, nullptr), 1);
        ASSERT_EQ(g_calls, 1);
        EXPECT_EQ(g_seen.rect.left, c.out.left);
        EXPECT_EQ(g_seen.rect.top, c.out.top);
        EXPECT_EQ(g_seen.rect.right, c.out.right);
        EXPECT_EQ(g_seen.rect.bottom, c.out.bottom);
        EXPECT_EQ(g_seen.dstX, c.outX);
        EXPECT_EQ(g_seen.dstY, c.outY);
    }
    EXPECT_EQ(g_seen.srcBytesPerPixel, 3);
    EXPECT_EQ(g_seen.dstBytesPerPixel, 1);
    EXPECT_EQ(g_seen.srcPitch, 32);
    EXPECT_EQ(g_seen.dstPitch, 8);

    g_calls = 0;
    const PixelRect empty{3, 3, 3, 6};
    EXPECT_EQ(ApplyPixelOp(*dst, Record, *src, &empty, 0, 0, nullptr), 0);
    EXPECT_EQ(ApplyPixelOp(*dst, Record, *src, nullptr, 6, 0, nullptr), 0);
    EXPECT_EQ(ApplyPixelOp(*dst, Record, *src, nullptr, -10, 0, nullptr), 0);
    DibImage none;
    EXPECT_EQ(ApplyPixelOp(none, Record, *src, nullptr, 0, 0, nullptr), 0);
    EXPECT_EQ(g_calls, 0);
    EXPECT_EQ(ApplyPixelOp(*dst, nullptr, *src, nullptr, 0, 0, nullptr), 0);
}

TEST(Repitch, SpreadsPackedRowsInPlace) {
    for (int bits : {8, 16}) {
        auto raw = MakeImage(7, 5, bits);  // pitch 8 or 16 bytes, packed 7 or 14
        const int bytes = bits / 8;
        const int packed = 7 * bytes;
        for (int i = 0; i < packed * 5; ++i) raw->Pixels()[i] = static_cast<uint8_t>(i + 1);
        Repitch(*raw);
        for (int y = 0; y < 5; ++y) {
            for (int i = 0; i < packed; ++i) {
                ASSERT_EQ(raw->Row(y)[i], static_cast<uint8_t>(y * packed + i + 1)) << bits;
            }
        }
    }
    // Already at its pitch: untouched.
    auto raw = MakeImage(8, 3, 8);
    FillSamples(*raw, [](int x, int y, int) { return x + 8 * y; });
    Repitch(*raw);
    EXPECT_EQ(SampleAt(*raw, 7, 2), 23);
}

TEST(MirrorRaw, HorizontalAndTurn) {
    auto raw = MakeImage(5, 3, 8);
    FillSamples(*raw, [](int x, int y, int) { return 10 * y + x; });
    MirrorRaw(*raw, true, false);
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 5; ++x) ASSERT_EQ(SampleAt(*raw, x, y), 10 * y + 4 - x);
    }
}

// Each conversion on a 3 x 2 image: the value of sample c of pixel (x, y) of the
// destination for source samples that encode their own position.
struct ConversionCase {
    const char* name;
    PixelKernel kernel;
    int srcBits, dstBits;
    int (*source)(int x, int y, int c);
    int (*expected)(int x, int y, int c);
};

int Mono16(int x, int y, int) { return 0x1234 + 0x101 * x + 0x1000 * y; }
int Color16(int x, int y, int c) { return c == 3 ? 0 : 0x0100 * (x + 1) + 0x1000 * y + c; }
int Color8(int x, int y, int c) { return 10 * x + 50 * y + c + (c == 3 ? 100 : 0); }

const ConversionCase kConversions[] = {
    {"10 to 8 flipped", conversions::Mono10To8Flipped, 16, 8, Mono16,
     [](int x, int y, int) { return (Mono16(x, 1 - y, 0) >> 2) & 255; }},
    {"12 to 8 flipped", conversions::Mono12To8Flipped, 16, 8, Mono16,
     [](int x, int y, int) { return (Mono16(x, 1 - y, 0) >> 4) & 255; }},
    {"high byte flipped", conversions::MonoHighByteFlipped, 16, 8, Mono16,
     [](int x, int y, int) { return Mono16(x, 1 - y, 0) >> 8; }},
    {"high byte", conversions::MonoHighByte, 16, 8, Mono16,
     [](int x, int y, int) { return Mono16(x, y, 0) >> 8; }},
    {"12 to 16", conversions::Mono12To16, 16, 16, Mono16,
     [](int x, int y, int) { return (Mono16(x, y, 0) << 4) & 0xFFFF; }},
    {"10 to 16", conversions::Mono10To16, 16, 16, Mono16,
     [](int x, int y, int) { return (Mono16(x, y, 0) << 6) & 0xFFFF; }},
    {"48 high bytes flipped", conversions::Color48HighBytesFlipped, 64, 24, Color16,
     [](int x, int y, int c) { return Color16(x, 1 - y, c) >> 8; }},
    {"48 high bytes", conversions::Color48HighBytes, 48, 24, Color16,
     [](int x, int y, int c) { return Color16(x, y, c) >> 8; }},
    {"48 scale 12 swapped", conversions::Color48Scale12Swapped, 48, 48, Color16,
     [](int x, int y, int c) { return (Color16(x, y, 2 - c) << 4) & 0xFFFF; }},
    {"48 scale 10", conversions::Color48Scale10, 48, 48, Color16,
     [](int x, int y, int c) { return (Color16(x, y, c) << 6) & 0xFFFF; }},
    {"64 scale 12", conversions::Color64Scale12, 64, 64, Color16,
     [](int x, int y, int c) { return c == 3 ? 65535 : (Color16(x, y, c) << 4) & 0xFFFF; }},
    {"64 scale 10 swapped", conversions::Color64Scale10Swapped, 64, 64, Color16,
     [](int x, int y, int c) { return c == 3 ? 65535 : (Color16(x, y, 2 - c) << 6) & 0xFFFF; }},
    {"24 copy flipped", conversions::Color24CopyFlipped, 32, 24, Color8,
     [](int x, int y, int c) { return Color8(x, 1 - y, c); }},
    {"32 to 24", conversions::Color32To24, 32, 24, Color8, Color8},
    {"row copy flipped", conversions::RowCopyFlipped, 24, 24, Color8,
     [](int x, int y, int c) { return Color8(x, 1 - y, c); }},
    {"swap red and blue", conversions::SwapRedBlue, 32, 32, Color8,
     [](int x, int y, int c) { return c == 3 ? 0 : Color8(x, y, 2 - c); }},
    {"32 with alpha", conversions::Color32WithAlpha, 32, 32, Color8,
     [](int x, int y, int c) { return c == 3 ? 255 - Color8(x, y, 3) : Color8(x, y, c); }},
    {"colour to gray", conversions::ColorToGray, 24, 8, Color8,
     [](int x, int y, int) {
         return (30 * Color8(x, y, 2) + 59 * Color8(x, y, 1) + 11 * Color8(x, y, 0)) / 100;
     }},
};

TEST(Conversions, EveryKernelMovesTheRightSamples) {
    for (const ConversionCase& c : kConversions) {
        auto src = MakeImage(3, 2, c.srcBits);
        auto dst = MakeImage(3, 2, c.dstBits);
        FillSamples(*src, [&](int x, int y, int s) { return c.source(x, y, s); });
        ASSERT_EQ(ApplyPixelOp(*dst, c.kernel, *src, nullptr, 0, 0, nullptr), 1) << c.name;
        const bool sixteen = c.dstBits == 16 || c.dstBits == 48 || c.dstBits == 64;
        const int samples = c.dstBits / (sixteen ? 16 : 8);
        for (int y = 0; y < 2; ++y) {
            for (int x = 0; x < 3; ++x) {
                for (int s = 0; s < samples; ++s) {
                    EXPECT_EQ(SampleAt(*dst, x, y, s), c.expected(x, y, s))
                        << c.name << " at " << x << "," << y << " sample " << s;
                }
            }
        }
    }
}

TEST(Conversions, PreviewScalingPicksNearestSamplesAndFlips) {
    auto src = MakeImage(8, 6, 8);
    FillSamples(*src, [](int x, int y, int) { return 10 * y + x; });
    auto small = MakeImage(4, 3, 8);
    ASSERT_EQ(conversions::PreviewScale(*small, *src), 1);
    EXPECT_EQ(SampleAt(*small, 0, 2), 0);  // window top row is memory row 0 of the source
    EXPECT_EQ(SampleAt(*small, 3, 2), 6);
    EXPECT_EQ(SampleAt(*small, 1, 0), 42);  // source row 4, column 2
    auto large = MakeImage(16, 12, 24);
    auto colour = MakeImage(8, 6, 24);
    FillSamples(*colour, [](int x, int y, int c) { return 10 * y + x + 60 * c; });
    ASSERT_EQ(conversions::PreviewScale(*large, *colour), 1);
    EXPECT_EQ(SampleAt(*large, 15, 0, 2), 50 + 7 + 120);
    EXPECT_EQ(SampleAt(*large, 1, 11, 1), 60);
}

}  // namespace
}  // namespace veltcam
