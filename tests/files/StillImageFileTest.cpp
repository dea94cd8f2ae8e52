#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "FileReaders.h"
#include "files/StillImageFile.h"
#include "platform/ExclusiveFile.h"

namespace veltcam {
namespace {

using file_tests::Get16;
using file_tests::Get32;
using file_tests::ReadBytes;
using file_tests::ScratchFolder;

bool SixteenBitSamples(int bits) { return bits == 16 || bits == 48 || bits == 64; }
int SamplesPerPixel(int bits) { return bits / (SixteenBitSamples(bits) ? 16 : 8); }

int SampleAt(const DibImage& image, int x, int y, int c) {
    const uint8_t* p = image.Row(y) + x * (image.Bits() / 8);
    return SixteenBitSamples(image.Bits()) ? p[2 * c] | (p[2 * c + 1] << 8) : p[c];
}

// A frame as the pipeline leaves it: every sample random within `significantBits`,
// the fourth sample of 32/64-bit pixels 0, and junk in the row padding that no
// format but raw may let through.
std::unique_ptr<DibImage> PipelineImage(int width, int height, int bits, int significantBits,
                                        uint32_t seed) {
    auto image = std::make_unique<DibImage>();
    EXPECT_TRUE(image->Create(width, height, bits));
    std::mt19937 rng(seed);
    const bool sixteen = SixteenBitSamples(bits);
    const int samples = SamplesPerPixel(bits);
    const int maxValue = sixteen ? (1 << significantBits) - 1 : 255;
    for (int y = 0; y < height; ++y) {
        uint8_t* row = image->Row(y);
        for (int i = width * bits / 8; i < image->RowBytes(); ++i) row[i] = 0xEE;
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < samples; ++c) {
                const int v =
                    (samples == 4 && c == 3) ? 0 : static_cast<int>(rng() % (maxValue + 1));
                uint8_t* p = row + x * (bits / 8);
                if (sixteen) {
                    p[2 * c] = static_cast<uint8_t>(v);
                    p[2 * c + 1] = static_cast<uint8_t>(v >> 8);
                } else {
                    p[c] = static_cast<uint8_t>(v);
                }
            }
        }
    }
    return image;
}

// What a lossless file holds for channel `c` (file order: grey, or R, G, B, A) of
// picture pixel (x, y), given the image's memory.
uint32_t LosslessExpected(const DibImage& image, int x, int y, int c, int significantBits,
                          bool tiff) {
    const int bits = image.Bits();
    const int shift = SixteenBitSamples(bits) ? 16 - significantBits : 0;
    if (bits == 8 || bits == 16) return SampleAt(image, x, y, 0) << shift;
    if (c == 3) {
        if (bits == 32) return tiff ? 0 : 255;  // PNG: inverted fourth byte
        return 65535;
    }
    const int memory = 2 - c;  // R, G, B from B, G, R
    return SampleAt(image, x, y, memory) << shift;
}

struct LosslessCase {
    int format;
    int bits;
    int significantBits;
};

std::string CaseName(const testing::TestParamInfo<LosslessCase>& info) {
    const char* names[] = {"Bmp", "Raw", "Jpeg100", "Jpeg70", "Jpeg20", "Png", "Tiff"};
    return std::string(names[info.param.format]) + std::to_string(info.param.bits) + "bit" +
           std::to_string(info.param.significantBits);
}

class LosslessFormats : public testing::TestWithParam<LosslessCase> {
  protected:
    ScratchFolder scratch_;
};

// Width 5 pads the rows of 8-, 16-, 24- and 48-bit images.
constexpr int kWidth = 5;
constexpr int kHeight = 4;

TEST_P(LosslessFormats, FileHoldsThePictureTopRowFirst) {
    const LosslessCase c = GetParam();
    auto image = PipelineImage(kWidth, kHeight, c.bits, c.significantBits, 1234 + c.bits);
    const auto path = scratch_ / "still";
    ASSERT_EQ(SaveImageFile(path.string().c_str(), *image, c.format, c.significantBits), 1);

    if (c.format == kStillRaw) {
        // The memory as it is, row 0 first, padding and little-endian samples included.
        const auto bytes = ReadBytes(path);
        ASSERT_EQ(bytes.size(), image->SizeBytes());
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), image->Pixels()));
    } else if (c.format == kStillBmp) {
        const auto b = ReadBytes(path);
        const uint32_t offset = c.bits == 8 ? 1078 : 54;
        ASSERT_EQ(b.size(), offset + image->SizeBytes());
        EXPECT_EQ(b[0], 'B');
        EXPECT_EQ(b[1], 'M');
        EXPECT_EQ(Get32(b, 2), b.size());
        EXPECT_EQ(Get32(b, 6), 0u);
        EXPECT_EQ(Get32(b, 10), offset);
        EXPECT_EQ(Get32(b, 14), 40u);
        EXPECT_EQ(static_cast<int>(Get32(b, 18)), kWidth);
        EXPECT_EQ(static_cast<int>(Get32(b, 22)), kHeight);  // positive: bottom-up
        EXPECT_EQ(Get16(b, 26), 1u);
        EXPECT_EQ(static_cast<int>(Get16(b, 28)), c.bits);
        for (size_t at = 30; at < 54; at += 4) EXPECT_EQ(Get32(b, at), 0u) << at;
        // File row i is picture row height - 1 - i.
        const int pixelBytes = kWidth * c.bits / 8;
        for (int i = 0; i < kHeight; ++i) {
            const uint8_t* fileRow = b.data() + offset + i * image->RowBytes();
            EXPECT_TRUE(std::equal(fileRow, fileRow + pixelBytes, image->Row(kHeight - 1 - i)))
                << "file row " << i;
        }
    } else {
        const bool tiff = c.format == kStillTiff;
        file_tests::Picture picture;
        if (tiff) {
            const auto t = file_tests::ReadTiff(path);
            ASSERT_TRUE(t.ok);
            EXPECT_EQ(t.compression, 1);
            EXPECT_EQ(t.planar, 1);
            EXPECT_EQ(t.photometric, c.bits <= 16 ? 1 : 2);
            EXPECT_EQ(t.strips, 1);
            picture = t.picture;
        } else {
            const auto p = file_tests::ReadPng(path);
            ASSERT_TRUE(p.ok);
            const int colourType = c.bits <= 16                   ? PNG_COLOR_TYPE_GRAY
                                   : c.bits == 32 || c.bits == 64 ? PNG_COLOR_TYPE_RGB_ALPHA
                                                                  : PNG_COLOR_TYPE_RGB;
            EXPECT_EQ(p.colourType, colourType);
            picture = p.picture;
        }
        ASSERT_EQ(picture.width, kWidth);
        ASSERT_EQ(picture.height, kHeight);
        EXPECT_EQ(picture.depth, SixteenBitSamples(c.bits) ? 16 : 8);
        ASSERT_EQ(picture.channels, SamplesPerPixel(c.bits));
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                for (int ch = 0; ch < picture.channels; ++ch) {
                    ASSERT_EQ(picture.At(x, y, ch),
                              LosslessExpected(*image, x, y, ch, c.significantBits, tiff))
                        << "x " << x << " y " << y << " channel " << ch;
                }
            }
        }
    }
    // Nothing of the writer still holds the file.
    platform::CExclusiveFile again;
    EXPECT_TRUE(again.Open(path.string().c_str()));
}

std::vector<LosslessCase> LosslessCases() {
    std::vector<LosslessCase> cases;
    for (int format : {kStillBmp, kStillRaw, kStillPng, kStillTiff}) {
        for (int bits : {8, 16, 24, 32, 48, 64}) {
            cases.push_back({format, bits, 16});
            const bool scaled =
                (format == kStillPng || format == kStillTiff) && SixteenBitSamples(bits);
            if (scaled) {
                cases.push_back({format, bits, 12});
                cases.push_back({format, bits, 10});
            }
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(AllBitCounts, LosslessFormats, testing::ValuesIn(LosslessCases()),
                         CaseName);

TEST(StillImageFile, PngStoresSixteenBitSamplesBigEndian) {
    ScratchFolder scratch;
    DibImage image;
    ASSERT_TRUE(image.Create(2, 1, 48));
    const uint8_t pixel[6] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06};  // B 0x0201, G 0x0403, R 0x0605
    std::copy(pixel, pixel + 6, image.Row(0));
    const auto path = scratch / "be.png";
    ASSERT_EQ(SaveImageFile(path.string().c_str(), image, kStillPng, 16), 1);
    // Uncompressed bytes of the first row are inside the zlib stream, so decode with
    // libpng but look at the samples as stored: R first, high byte first.
    const auto png = file_tests::ReadPng(path);
    ASSERT_TRUE(png.ok);
    EXPECT_EQ(png.picture.At(0, 0, 0), 0x0605u);
    EXPECT_EQ(png.picture.At(0, 0, 1), 0x0403u);
    EXPECT_EQ(png.picture.At(0, 0, 2), 0x0201u);
}

TEST(StillImageFile, FullFrameMonoBmpHasTheGreyPalette) {
    ScratchFolder scratch;
    DibImage image;
    ASSERT_TRUE(image.Create(2048, 1536, 8));
    const auto path = scratch / "full.bmp";
    ASSERT_EQ(SaveImageFile(path.string().c_str(), image, kStillBmp, 16), 1);
    const auto b = ReadBytes(path);
    ASSERT_EQ(b.size(), 1078u + 3145728u);
    EXPECT_EQ(Get32(b, 2), 1078u + 3145728u);
    for (int i = 0; i < 256; ++i) {
        const size_t at = 54 + 4 * i;
        ASSERT_EQ(b[at], i);
        ASSERT_EQ(b[at + 1], i);
        ASSERT_EQ(b[at + 2], i);
        ASSERT_EQ(b[at + 3], 0);
    }
}

// JPEG is lossy: quadrants of flat colour aligned to the 16 × 16 blocks survive
// with small errors, and tell top from bottom and left from right.
struct JpegCase {
    int format;
    int bits;
    int significantBits;
    int quality;
    int tolerance;
};

class JpegFormats : public testing::TestWithParam<JpegCase> {
  protected:
    ScratchFolder scratch_;
};

// Quadrant colours R, G, B: top left, top right, bottom left, bottom right.
constexpr int kQuadrant[4][3] = {{200, 40, 30}, {30, 180, 60}, {40, 50, 210}, {120, 120, 120}};

int QuadrantOf(int x, int y) { return (y >= 16 ? 2 : 0) + (x >= 16 ? 1 : 0); }

std::unique_ptr<DibImage> QuadrantImage(int bits, int significantBits) {
    auto image = std::make_unique<DibImage>();
    EXPECT_TRUE(image->Create(32, 32, bits));
    const bool sixteen = SixteenBitSamples(bits);
    const int shift = sixteen ? significantBits - 8 : 0;
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 32; ++x) {
            const int* rgb = kQuadrant[QuadrantOf(x, y)];
            uint8_t* p = image->Row(y) + x * (bits / 8);
            // Grey images carry the red value; bits below the significant ones are noise.
            const int channels = bits == 8 || bits == 16 ? 1 : 3;
            for (int c = 0; c < channels; ++c) {
                const int v8 = channels == 1 ? rgb[0] : rgb[2 - c];
                const int v = (v8 << shift) | (sixteen ? (x * 7 + y) % (1 << shift) : 0);
                if (sixteen) {
                    p[2 * c] = static_cast<uint8_t>(v);
                    p[2 * c + 1] = static_cast<uint8_t>(v >> 8);
                } else {
                    p[c] = static_cast<uint8_t>(v);
                }
            }
        }
    }
    return image;
}

TEST_P(JpegFormats, ProgressiveAtTheFormatsQualityTopRowFirst) {
    const JpegCase c = GetParam();
    auto image = QuadrantImage(c.bits, c.significantBits);
    const auto path = scratch_ / "still.jpg";
    ASSERT_EQ(SaveImageFile(path.string().c_str(), *image, c.format, c.significantBits), 1);
    const auto jpeg = file_tests::ReadJpeg(path);
    ASSERT_TRUE(jpeg.ok);
    EXPECT_EQ(jpeg.sofMarker, 0xC2);  // progressive, Huffman
    EXPECT_TRUE(jpeg.progressive);
    EXPECT_EQ(jpeg.lumaTable, file_tests::LumaTableFor(c.quality));
    const bool grey = c.bits == 8 || c.bits == 16;
    ASSERT_EQ(jpeg.picture.channels, grey ? 1 : 3);
    ASSERT_EQ(jpeg.picture.width, 32);
    ASSERT_EQ(jpeg.picture.height, 32);
    for (int q = 0; q < 4; ++q) {
        const int x = (q & 1) ? 24 : 8;
        const int y = (q & 2) ? 24 : 8;
        for (int ch = 0; ch < jpeg.picture.channels; ++ch) {
            EXPECT_NEAR(static_cast<int>(jpeg.picture.At(x, y, ch)), kQuadrant[q][ch], c.tolerance)
                << "quadrant " << q << " channel " << ch;
        }
    }
    platform::CExclusiveFile again;
    EXPECT_TRUE(again.Open(path.string().c_str()));
}

std::vector<JpegCase> JpegCases() {
    std::vector<JpegCase> cases;
    for (int bits : {8, 16, 24, 32, 48, 64}) cases.push_back({kStillJpegQ70, bits, 16, 70, 6});
    cases.push_back({kStillJpegQ100, 24, 16, 100, 3});
    cases.push_back({kStillJpegQ20, 24, 16, 20, 16});
    cases.push_back({kStillJpegQ100, 16, 12, 100, 3});
    cases.push_back({kStillJpegQ100, 16, 10, 100, 3});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(BitCountsAndQualities, JpegFormats, testing::ValuesIn(JpegCases()),
                         [](const testing::TestParamInfo<JpegCase>& info) {
                             return "Q" + std::to_string(info.param.quality) + "_" +
                                    std::to_string(info.param.bits) + "bit" +
                                    std::to_string(info.param.significantBits);
                         });

TEST(StillImageFile, RefusesWhatItCannotWrite) {
    ScratchFolder scratch;
    auto image = PipelineImage(4, 4, 16, 16, 7);
    const auto path = scratch / "refused";
    const std::string p = path.string();
    EXPECT_EQ(SaveImageFile(p.c_str(), *image, 7, 16), 0);
    EXPECT_EQ(SaveImageFile(p.c_str(), *image, -1, 16), 0);
    // Samples of unknown width cannot be scaled into a meaningful file.
    EXPECT_EQ(SaveImageFile(p.c_str(), *image, kStillPng, 14), 0);
    EXPECT_EQ(SaveImageFile(p.c_str(), *image, kStillTiff, 0), 0);
    EXPECT_FALSE(std::filesystem::exists(path));
    DibImage empty;
    EXPECT_EQ(SaveImageFile(p.c_str(), empty, kStillBmp, 16), 0);
    EXPECT_EQ(SaveImageFile(nullptr, *image, kStillBmp, 16), 0);
    EXPECT_EQ(SaveImageFile("", *image, kStillBmp, 16), 0);
}

TEST(StillImageFile, ExistingFileIsTruncatedUnlessSomeoneHoldsIt) {
    ScratchFolder scratch;
    auto image = PipelineImage(4, 2, 8, 16, 3);
    const auto path = scratch / "existing";
    const std::string p = path.string();
    {
        std::ofstream big(path, std::ios::binary);
        big << std::string(10000, 'x');
    }
    ASSERT_EQ(SaveImageFile(p.c_str(), *image, kStillRaw, 16), 1);
    EXPECT_EQ(std::filesystem::file_size(path), image->SizeBytes());

    // A file being written elsewhere is neither truncated nor written.
    platform::CExclusiveFile holder;
    ASSERT_TRUE(holder.Open(p.c_str()));
    ASSERT_TRUE(holder.Write("held", 4));
    EXPECT_EQ(SaveImageFile(p.c_str(), *image, kStillRaw, 16), 0);
    EXPECT_EQ(SaveImageFile(p.c_str(), *image, kStillBmp, 16), 0);
    EXPECT_EQ(std::filesystem::file_size(path), 4u);
}

class WriteFailures : public testing::TestWithParam<int> {};

TEST_P(WriteFailures, FailWithoutLeavingTheFileOpen) {
    ScratchFolder scratch;
    auto image = PipelineImage(64, 48, 24, 16, 5);
    const int format = GetParam();
    const auto missingFolder = scratch / "no such folder" / "still";
    EXPECT_EQ(SaveImageFile(missingFolder.string().c_str(), *image, format, 16), 0);
#ifndef _WIN32
    // /dev/full accepts the open and fails every write, the way a full disk does.
    const auto openDescriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator());
    };
    const auto before = openDescriptors();
    EXPECT_EQ(SaveImageFile("/dev/full", *image, format, 16), 0);
    EXPECT_EQ(openDescriptors(), before);
#endif
}

INSTANTIATE_TEST_SUITE_P(EveryFormat, WriteFailures,
                         testing::Values(kStillBmp, kStillRaw, kStillJpegQ100, kStillJpegQ70,
                                         kStillJpegQ20, kStillPng, kStillTiff));

}  // namespace
}  // namespace veltcam
