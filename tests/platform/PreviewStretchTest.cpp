// The preview's stretch into X11 pixels: the fast kernel against the plain
// reference, and the picture itself on a tiny image.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "platform/posix/PreviewStretch.h"

namespace veltcam::platform {
namespace {

struct Image {
    std::vector<uint8_t> bytes;
    StretchSource view;
};

Image RandomImage(int width, int height, int bits, uint32_t seed) {
    Image image;
    const int rowBytes = (width * bits / 8 + 3) & ~3;
    // Exactly the image's bytes, so that a load past its end is caught by ASan.
    image.bytes.resize(static_cast<size_t>(rowBytes) * height);
    std::mt19937 random(seed);
    for (auto& b : image.bytes) b = static_cast<uint8_t>(random());
    image.view = StretchSource{image.bytes.data(), width, height, bits, rowBytes};
    return image;
}

TEST(PreviewStretch, FastKernelMatchesTheReferenceForEverySizeRelation) {
    struct Case {
        int srcW, srcH, dstW, dstH;
    };
    const Case cases[] = {
        {2048, 1536, 1024, 768},   // half: the usual window
        {2048, 1536, 2048, 1536},  // same size
        {1024, 768, 1600, 1200},   // enlarged: repeated rows
        {641, 479, 640, 480},      // odd sizes, padded source rows
        {7, 5, 3, 11},             // tiny, last column at the row's end
        {1, 1, 9, 4},
        {333, 2, 1, 1},
    };
    CPreviewStretcher stretcher;
    for (int bits : {8, 24}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << bits << " bits " << c.srcW << "x" << c.srcH << " -> "
                                            << c.dstW << "x" << c.dstH);
            const Image source = RandomImage(c.srcW, c.srcH, bits, static_cast<uint32_t>(c.srcW));
            const int stride = c.dstW + 3;  // a target pitch wider than its rows
            std::vector<uint32_t> expected(static_cast<size_t>(stride) * c.dstH, 0xDEADBEEF);
            std::vector<uint32_t> actual(expected);
            ASSERT_TRUE(StretchReference(source.view, {expected.data(), c.dstW, c.dstH, stride}));
            ASSERT_TRUE(stretcher.Stretch(source.view, {actual.data(), c.dstW, c.dstH, stride}));
            ASSERT_EQ(actual, expected);
        }
    }
}

// Two rows of two pixels: rows stay top-down, B, G, R bytes become 0x00RRGGBB,
// grey goes to equal channels, and halving takes the top-left pixel.
TEST(PreviewStretch, PictureIsUprightWithItsColours) {
    const uint8_t colour[] = {0x01, 0x02, 0x03, 0x11, 0x12, 0x13, 0, 0,  // top row (padded)
                              0x21, 0x22, 0x23, 0x31, 0x32, 0x33, 0, 0};
    uint32_t out[4] = {};
    CPreviewStretcher stretcher;
    ASSERT_TRUE(stretcher.Stretch({colour, 2, 2, 24, 8}, {out, 2, 2, 2}));
    EXPECT_EQ(out[0], 0x030201u);
    EXPECT_EQ(out[1], 0x131211u);
    EXPECT_EQ(out[2], 0x232221u);
    EXPECT_EQ(out[3], 0x333231u);
    ASSERT_TRUE(stretcher.Stretch({colour, 2, 2, 24, 8}, {out, 1, 1, 1}));
    EXPECT_EQ(out[0], 0x030201u);

    const uint8_t grey[] = {0x40, 0xC0, 0, 0};
    ASSERT_TRUE(stretcher.Stretch({grey, 2, 1, 8, 4}, {out, 4, 1, 4}));
    EXPECT_EQ(out[0], 0x404040u);
    EXPECT_EQ(out[1], 0x404040u);
    EXPECT_EQ(out[2], 0xC0C0C0u);
    EXPECT_EQ(out[3], 0xC0C0C0u);
}

TEST(PreviewStretch, RefusesFormatsAndSizesItCannotDraw) {
    const uint8_t pixels[16] = {};
    uint32_t out[4] = {};
    CPreviewStretcher stretcher;
    const StretchSource good{pixels, 2, 2, 8, 4};
    EXPECT_FALSE(stretcher.Stretch({pixels, 2, 2, 16, 4}, {out, 2, 2, 2}));
    EXPECT_FALSE(stretcher.Stretch({pixels, 2, 2, 24, 4}, {out, 2, 2, 2}));  // rows too short
    EXPECT_FALSE(stretcher.Stretch(good, {out, 0, 2, 2}));
    EXPECT_FALSE(stretcher.Stretch(good, {out, 2, 2, 1}));
    EXPECT_FALSE(stretcher.Stretch({nullptr, 2, 2, 8, 4}, {out, 2, 2, 2}));
    EXPECT_FALSE(StretchReference({pixels, 2, 2, 16, 4}, {out, 2, 2, 2}));
}

}  // namespace
}  // namespace veltcam::platform
