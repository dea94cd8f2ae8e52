#include "foundation/DibImage.h"

#include <gtest/gtest.h>

namespace veltcam {
namespace {

struct GeometryCase {
    int width, height, bits;
    int rowBytes;
};

class DibImageGeometry : public testing::TestWithParam<GeometryCase> {};

TEST_P(DibImageGeometry, RowsArePaddedToFourBytes) {
    const auto& c = GetParam();
    DibImage image;
    ASSERT_TRUE(image.Create(c.width, c.height, c.bits));
    EXPECT_EQ(image.RowBytes(), c.rowBytes);
    EXPECT_EQ(image.Width(), c.width);
    EXPECT_EQ(image.Height(), c.height);
    EXPECT_EQ(image.Bits(), c.bits);
    EXPECT_EQ(image.Info().header.size, 40u);
    EXPECT_EQ(image.Info().header.height, c.height);  // bottom-up as far as GDI knows
    EXPECT_EQ(image.Info().header.planes, 1);
    EXPECT_EQ(image.Info().header.bitCount, c.bits);
    // The whole padded area is addressable and starts zeroed.
    const uint8_t* last = image.Row(c.height - 1);
    for (int i = 0; i < c.rowBytes; ++i) ASSERT_EQ(last[i], 0);
    image.Row(c.height - 1)[c.rowBytes - 1] = 0xAB;
}

INSTANTIATE_TEST_SUITE_P(Sizes, DibImageGeometry,
                         testing::Values(GeometryCase{2048, 1536, 8, 2048},
                                         GeometryCase{1023, 10, 24, 3072},
                                         GeometryCase{1, 1, 8, 4}, GeometryCase{3, 2, 16, 8},
                                         GeometryCase{5, 3, 32, 20}, GeometryCase{3, 3, 48, 20},
                                         GeometryCase{2048, 4, 64, 16384}));

TEST(DibImage, EightBitImagesGetTheGreyTable) {
    DibImage image;
    ASSERT_TRUE(image.Create(16, 16, 8));
    for (int i = 0; i < 256; ++i) {
        const RgbQuad& entry = image.Info().colors[i];
        ASSERT_EQ(entry.red, i);
        ASSERT_EQ(entry.green, i);
        ASSERT_EQ(entry.blue, i);
        ASSERT_EQ(entry.reserved, 0);
    }
}

TEST(DibImage, InvalidSizesLeaveTheRecordEmpty) {
    DibImage image;
    ASSERT_TRUE(image.Create(8, 8, 24));
    for (auto [w, h, b] : {std::tuple{0, 10, 8}, {10, 0, 8}, {-1, 10, 8}, {10, 10, 0},
                           {1 << 30, 1 << 30, 64}, {1 << 28, 1, 64}}) {
        EXPECT_FALSE(image.Create(w, h, b)) << w << "x" << h << "x" << b;
        EXPECT_FALSE(image.IsValid());
        EXPECT_EQ(image.Width(), 0);
        EXPECT_EQ(image.RowBytes(), 0);
        EXPECT_EQ(image.Info().header.size, 40u);
        EXPECT_EQ(image.Info().header.width, 0);
    }
}

TEST(DibImage, CreateLikeCopiesFormatNotPixels) {
    DibImage empty, source, copy;
    EXPECT_FALSE(copy.CreateLike(empty));
    ASSERT_TRUE(source.Create(33, 7, 48));
    source.Row(0)[0] = 0x5A;
    ASSERT_TRUE(copy.CreateLike(source));
    EXPECT_EQ(copy.Width(), 33);
    EXPECT_EQ(copy.Height(), 7);
    EXPECT_EQ(copy.Bits(), 48);
    EXPECT_EQ(copy.RowBytes(), source.RowBytes());
    EXPECT_NE(copy.Pixels(), source.Pixels());
    EXPECT_EQ(copy.Row(0)[0], 0);
    EXPECT_FALSE(copy.CreateLike(copy));
}

TEST(DibImage, FreeTwiceIsHarmlessAndCreateReplaces) {
    DibImage image;
    ASSERT_TRUE(image.Create(4, 4, 8));
    ASSERT_TRUE(image.Create(6, 2, 32));
    EXPECT_EQ(image.RowBytes(), 24);
    image.Free();
    image.Free();
    EXPECT_FALSE(image.IsValid());
    EXPECT_EQ(image.Bits(), 0);
}

TEST(DibImage, BlitCopiesThroughDeviceContextsWhereThePlatformHasThem) {
    DibImage source, target;
    ASSERT_TRUE(source.Create(8, 8, 24));
    ASSERT_TRUE(target.Create(8, 8, 24));
    std::fill(source.Pixels(), source.Pixels() + source.SizeBytes(), 0x7F);
    bool copied = target.Blit(source, 0, 0);
    EXPECT_EQ(copied, source.HasDeviceContext());
    if (copied) {
        for (size_t i = 0; i < target.SizeBytes(); ++i) ASSERT_EQ(target.Pixels()[i], 0x7F);
    }
#ifdef _WIN32
    EXPECT_TRUE(source.HasDeviceContext()) << "Windows images live in DIB sections";
#endif
}

}  // namespace
}  // namespace veltcam
