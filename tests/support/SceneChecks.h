// What the simulated camera's scene looks like in an image the SDK delivers (full
// frame, rows top-down, any colour mode): the colour bars in order and colour, the
// grey ramp growing to the right. Shared by the capture tests of every transport.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

namespace veltcam::test {

constexpr int kSceneWidth = 2048;
constexpr int kSceneHeight = 1536;

inline int RowBytes(int bits) { return (kSceneWidth * bits / 8 + 3) & ~3; }

// Mean of channel `channel` over a block around (x, y) of a top-down image.
inline double BlockMean(const std::vector<uint8_t>& image, int bits, int x, int y, int channel) {
    const int bytesPerSample = bits >= 48 || bits == 16 ? 2 : 1;
    const int samples = bits / 8 / bytesPerSample;
    double sum = 0;
    int n = 0;
    for (int r = y - 8; r < y + 8; ++r) {
        const uint8_t* row = image.data() + static_cast<size_t>(r) * RowBytes(bits);
        for (int c = x - 8; c < x + 8; ++c) {
            const uint8_t* p = row + (static_cast<size_t>(c) * samples + channel) * bytesPerSample;
            sum += bytesPerSample == 2 ? (p[0] | p[1] << 8) / 256.0 : p[0];
            ++n;
        }
    }
    return sum / n;
}

// Bars left to right: white, yellow, cyan, green, magenta, red, blue, black, as R, G, B.
constexpr int kBars[8][3] = {{1, 1, 1}, {1, 1, 0}, {0, 1, 1}, {0, 1, 0},
                             {1, 0, 1}, {1, 0, 0}, {0, 0, 1}, {0, 0, 0}};

// A colour bar as a window on screen shows it: mean R, G, B of a block inside
// bar `bar` (0..7), each channel clearly on or off.
inline void ExpectBarOnScreen(const std::array<int, 3>& rgb, int bar) {
    for (int c = 0; c < 3; ++c) {
        if (kBars[bar][c] != 0) {
            EXPECT_GT(rgb[c], 100) << "channel " << c;
        } else {
            EXPECT_LT(rgb[c], 60) << "channel " << c;
        }
    }
}

inline void ExpectScene(const std::vector<uint8_t>& image, int bits) {
    const bool colour = bits >= 24;
    const double white = BlockMean(image, bits, 128, 384, colour ? 1 : 0);
    ASSERT_GT(white, 100) << "white bar too dark";
    double previousGrey = 1e9;
    for (int bar = 0; bar < 8; ++bar) {
        SCOPED_TRACE(testing::Message() << "bar " << bar);
        const int x = bar * 256 + 128;
        if (colour) {
            for (int channel = 0; channel < 3; ++channel) {  // stored B, G, R
                const double v = BlockMean(image, bits, x, 384, channel);
                if (kBars[bar][2 - channel]) {
                    EXPECT_GT(v, 0.6 * white) << "channel " << channel;
                } else {
                    EXPECT_LT(v, 0.25 * white) << "channel " << channel;
                }
            }
        } else {
            // Grey: the bars are ordered by brightness, white first.
            const double v = BlockMean(image, bits, x, 384, 0);
            EXPECT_LE(v, previousGrey + 2);
            previousGrey = v;
        }
    }
    // The ramp below grows from left to right.
    double previous = -1;
    for (int x = 64; x < kSceneWidth; x += 256) {
        const double v = BlockMean(image, bits, x, 1300, colour ? 1 : 0);
        EXPECT_GT(v, previous) << "ramp at column " << x;
        previous = v;
    }
}

}  // namespace veltcam::test
