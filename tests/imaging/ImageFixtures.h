// Small image builders and accessors for the pipeline tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <random>

#include "foundation/DibImage.h"

namespace veltcam::testing_support {

inline std::unique_ptr<DibImage> MakeImage(int width, int height, int bits) {
    auto image = std::make_unique<DibImage>();
    EXPECT_TRUE(image->Create(width, height, bits));
    return image;
}

inline uint16_t* Row16(DibImage& image, int y) { return reinterpret_cast<uint16_t*>(image.Row(y)); }

// Sample `c` of pixel (x, y) of any format.
inline int SampleAt(const DibImage& image, int x, int y, int c = 0) {
    const int bytes = image.Bits() / 8;
    const bool sixteen = image.Bits() == 16 || image.Bits() == 48 || image.Bits() == 64;
    const uint8_t* p = image.Row(y) + x * bytes;
    if (sixteen) return reinterpret_cast<const uint16_t*>(p)[c];
    return p[c];
}

inline void SetSample(DibImage& image, int x, int y, int c, int v) {
    const int bytes = image.Bits() / 8;
    const bool sixteen = image.Bits() == 16 || image.Bits() == 48 || image.Bits() == 64;
    uint8_t* p = image.Row(y) + x * bytes;
    if (sixteen) {
        reinterpret_cast<uint16_t*>(p)[c] = static_cast<uint16_t>(v);
    } else {
        p[c] = static_cast<uint8_t>(v);
    }
}

// Fills every sample of every pixel (all samples per pixel, padding untouched).
inline void FillSamples(DibImage& image, const std::function<int(int x, int y, int c)>& value) {
    const bool sixteen = image.Bits() == 16 || image.Bits() == 48 || image.Bits() == 64;
    const int samples = image.Bits() / (sixteen ? 16 : 8);
    for (int y = 0; y < image.Height(); ++y) {
        for (int x = 0; x < image.Width(); ++x) {
            for (int c = 0; c < samples; ++c) SetSample(image, x, y, c, value(x, y, c));
        }
    }
}

inline void FillRandom(DibImage& image, uint32_t seed, int maxValue) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> dist(0, maxValue);
    FillSamples(image, [&](int, int, int) { return dist(rng); });
}

inline bool SameBytes(const DibImage& a, const DibImage& b) {
    return a.SizeBytes() == b.SizeBytes() &&
           std::equal(a.Pixels(), a.Pixels() + a.SizeBytes(), b.Pixels());
}

}  // namespace veltcam::testing_support
