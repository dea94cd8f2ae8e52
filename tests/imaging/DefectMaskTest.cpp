#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include "VeltCamSdk.h"
#include "imaging/DefectMask.h"
#include "imaging/ImageFixtures.h"
#include "imaging/MaskFile.h"
#include "imaging/PipelineHarness.h"
#include "sdk/CVeltCam.h"

namespace veltcam {
namespace {

using namespace testing_support;

class MaskTest : public testing::Test {
  protected:
    void SetUp() override {
        for (int i = 0; i < kMaskPlaneCount; ++i) planes_.plane[i] = &images_[i];
        ASSERT_TRUE(AllocateMaskPlanes(planes_));
    }
    void SetRef(int plane, int x, int y, int v) { SetSample(images_[plane], x, y, 0, v); }
    std::filesystem::path TempPath(const char* name) {
        return std::filesystem::temp_directory_path() /
               (std::string("veltcam_mask_test_") + name + ".msk");
    }

    DibImage images_[kMaskPlaneCount];
    MaskPlanes planes_;
};

TEST_F(MaskTest, InitialReferences) {
    EXPECT_TRUE(planes_.Valid());
    EXPECT_EQ(SampleAt(images_[kMaskWhite8], 100, 100), 255);
    EXPECT_EQ(SampleAt(images_[kMaskWhite16], 2047, 1535), 65535);
    EXPECT_EQ(SampleAt(images_[kMaskDark16], 5, 5), 0);
    EXPECT_EQ(images_[kMaskDark16].RowBytes(), 4096);
}

TEST_F(MaskTest, FlatFieldMapsDarkToZeroAndWhiteToFullScale) {
    struct Case {
        int bits, dark, white, in, out;
    };
    for (const Case& c :
         {Case{8, 10, 210, 110, 128}, Case{8, 10, 210, 5, 0}, Case{8, 10, 210, 250, 255},
          Case{8, 0, 255, 200, 200}, Case{8, 0, 255, 255, 255}, Case{8, 100, 100, 37, 37},
          // White below dark: divided by the negative span.
          Case{8, 100, 50, 75, 128}, Case{8, 100, 50, 120, 0}, Case{16, 2560, 53760, 28160, 32768},
          Case{16, 0, 65535, 65535, 65535}, Case{16, 25600, 12800, 19200, 19200}}) {
        const int x0 = 300, y0 = 200;
        const bool sixteen = c.bits == 16;
        for (int y = 0; y < 4; ++y) {
            for (int x = 0; x < 6; ++x) {
                SetRef(sixteen ? kMaskDark16 : kMaskDark8, x0 + x, y0 + y, c.dark);
                SetRef(sixteen ? kMaskWhite16 : kMaskWhite8, x0 + x, y0 + y, c.white);
            }
        }
        BuildDefectFlags(planes_, c.bits, 1);  // the flat field's reciprocals follow
        auto raw = MakeImage(6, 4, c.bits);
        FillSamples(*raw, [&](int, int, int) { return c.in; });
        FlatField(*raw, planes_, {6, 4, x0, y0, 0});
        EXPECT_EQ(SampleAt(*raw, 0, 0), c.out) << c.bits << " " << c.dark << " " << c.white;
        EXPECT_EQ(SampleAt(*raw, 5, 3), c.out) << c.bits << " " << c.dark << " " << c.white;
    }
}

TEST_F(MaskTest, FlatFieldOfAFullFrameKeepsATwoPixelMargin) {
    auto raw = MakeImage(kSensorWidth, kSensorHeight, 8);
    FillSamples(*raw, [](int, int, int) { return 200; });
    SetRef(kMaskWhite8, 1, 700, 100);
    SetRef(kMaskWhite8, 2, 700, 100);
    BuildDefectFlags(planes_, 8, 1);
    FlatField(*raw, planes_, {kSensorWidth, kSensorHeight, 0, 0, 0});
    EXPECT_EQ(SampleAt(*raw, 1, 700), 200);
    EXPECT_EQ(SampleAt(*raw, 2, 700), 255);  // 200 * 256 / 100, clipped
    EXPECT_EQ(SampleAt(*raw, 2, 1), 200);
    EXPECT_EQ(SampleAt(*raw, 2045, 1533), 200);  // 200 * 256 / 255
    EXPECT_EQ(SampleAt(*raw, 2046, 1533), 200);
}

TEST_F(MaskTest, HotPixelIsReplacedAndTheFrameEdgeNeverChanges) {
    for (int bits : {8, 16}) {
        const int scale = bits == 8 ? 1 : 256;
        auto raw = MakeImage(12, 10, bits);
        FillSamples(*raw, [&](int, int, int) { return 100 * scale; });
        SetSample(*raw, 5, 4, 0, 255 * scale);
        for (auto [x, y] : {std::pair{0, 3}, {11, 6}, {4, 0}, {7, 9}}) {
            SetSample(*raw, x, y, 0, 250 * scale);
        }
        CorrectDefects(*raw, planes_, bits == 8 ? kDefectThreshold8 : kDefectThreshold16,
                       {12, 10, 0, 0, 0});
        EXPECT_EQ(SampleAt(*raw, 5, 4), 100 * scale) << bits;
        EXPECT_EQ(SampleAt(*raw, 0, 3), 250 * scale) << bits;
        EXPECT_EQ(SampleAt(*raw, 11, 6), 250 * scale) << bits;
        EXPECT_EQ(SampleAt(*raw, 4, 0), 250 * scale) << bits;
        EXPECT_EQ(SampleAt(*raw, 7, 9), 250 * scale) << bits;
    }
}

TEST_F(MaskTest, FlagsFromTheReferencesMarkPixelsAtTheirSensorPosition) {
    SetRef(kMaskDark8, 104, 52, 200);  // hot
    SetRef(kMaskWhite8, 107, 55, 20);  // dead
    BuildDefectFlags(planes_, 8, 0);
    BuildDefectFlags(planes_, 8, 1);
    EXPECT_EQ(SampleAt(images_[kMaskHot8], 104, 52), 1);
    EXPECT_EQ(SampleAt(images_[kMaskDead8], 107, 55), 1);
    auto raw = MakeImage(10, 8, 8);
    FillSamples(*raw, [](int x, int, int) { return 10 * x; });
    // Close enough to their neighbours that only the flags can mark them.
    SetSample(*raw, 4, 2, 0, 45);
    SetSample(*raw, 7, 5, 0, 72);
    CorrectDefects(*raw, planes_, kDefectThreshold8, {10, 8, 100, 50, 0});
    // Mean of left, right, up, down neighbours: (30 + 50 + 40 + 40) / 4.
    EXPECT_EQ(SampleAt(*raw, 4, 2), 40);
    EXPECT_EQ(SampleAt(*raw, 7, 5), 70);
    // Flags never reach the outer two rows and columns of the sensor.
    SetRef(kMaskDark8, 1, 1, 255);
    BuildDefectFlags(planes_, 8, 0);
    EXPECT_EQ(SampleAt(images_[kMaskHot8], 1, 1), 0);
}

// The replacement as the camera defines it: search each direction one pixel at a
// time. The linear-time implementation must agree with it on frames full of marks.
template <class T>
void NaiveReplace(std::vector<int>& v, const std::vector<int>& marks, int w, int h) {
    const std::vector<int> original = v;
    for (int y = 1; y < h - 1; ++y) {
        for (int x = 1; x < w - 1; ++x) {
            if (!marks[y * w + x]) continue;
            int sum = 0, n = 0;
            for (int i = x - 1; i >= 0; --i) {
                if (!marks[y * w + i]) {
                    sum += original[y * w + i];
                    ++n;
                    break;
                }
            }
            for (int i = x + 1; i < w; ++i) {
                if (!marks[y * w + i]) {
                    sum += original[y * w + i];
                    ++n;
                    break;
                }
            }
            for (int j = y - 1; j >= 0; --j) {
                if (!marks[j * w + x]) {
                    sum += original[j * w + x];
                    ++n;
                    break;
                }
            }
            for (int j = y + 1; j < h; ++j) {
                if (!marks[j * w + x]) {
                    sum += original[j * w + x];
                    ++n;
                    break;
                }
            }
            if (n > 0) v[y * w + x] = sum / n;
        }
    }
}

TEST_F(MaskTest, ReplacementMatchesTheDirectSearchOnClusteredDefects) {
    for (int bits : {8, 16}) {
        const int w = 40, h = 30;
        auto raw = MakeImage(w, h, bits);
        const int full = bits == 8 ? 255 : 65535;
        const int threshold = bits == 8 ? kDefectThreshold8 : kDefectThreshold16;
        // Smooth ramp with blocks and lines of outliers.
        FillSamples(*raw, [&](int x, int y, int) {
            const bool blob = (x >= 10 && x < 16 && y >= 5 && y < 12) || (y == 20 && x > 3) ||
                              (x == 30 && y > 2) || ((x * 7 + y * 13) % 17 == 0);
            return blob ? full : (x + y) * (full / 255);
        });
        std::vector<int> values(w * h), marks(w * h, 0);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) values[y * w + x] = SampleAt(*raw, x, y);
        }
        for (int y = 1; y < h - 1; ++y) {
            for (int x = 1; x < w - 1; ++x) {
                const int mean = (values[y * w + x - 1] + values[y * w + x + 1] +
                                  values[(y - 1) * w + x] + values[(y + 1) * w + x]) >>
                                 2;
                marks[y * w + x] = std::abs(values[y * w + x] - mean) >= threshold;
            }
        }
        NaiveReplace<int>(values, marks, w, h);
        CorrectDefects(*raw, planes_, threshold, {w, h, 0, 0, 0});
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                ASSERT_EQ(SampleAt(*raw, x, y), values[y * w + x]) << bits << " " << x << "," << y;
            }
        }
    }
}

// Bands of rows corrected one after another in a shuffled order must give the
// bytes of the whole-frame corrections: the pipeline runs them on several threads.
TEST_F(MaskTest, BandsInAnyOrderGiveTheWholeFrameBytes) {
    const int w = 67, h = 53, x0 = 300, y0 = 400;
    const CorrectionWindow window{w, h, x0, y0, 0};
    std::mt19937 rng(20);
    // Band edges: every row, 7 rows, uneven, the whole frame.
    std::vector<std::vector<int>> layouts = {{}, {}, {0, 2, 3, 17, 18, 30, 31, 45, h}, {0, h}};
    for (int y = 0; y <= h; ++y) layouts[0].push_back(y);
    for (int y = 0; y < h; y += 7) layouts[1].push_back(y);
    layouts[1].push_back(h);
    for (int bits : {8, 16}) {
        const int full = bits == 8 ? 255 : 65535;
        const int scale = bits == 8 ? 1 : 257;
        const bool sixteen = bits == 16;
        // Hot and dead flags, among them a column marked from row 5 to row 40 and a
        // pair of flagged rows straddling the uneven layout's edge at 17/18.
        FillRandom(images_[sixteen ? kMaskDark16 : kMaskDark8], bits, full / 8);
        FillRandom(images_[sixteen ? kMaskWhite16 : kMaskWhite8], bits + 1, full);
        for (int y = 5; y <= 40; ++y)
            SetRef(sixteen ? kMaskDark16 : kMaskDark8, x0 + 20, y0 + y, full);
        for (int x = 30; x < 40; ++x) {
            SetRef(sixteen ? kMaskDark16 : kMaskDark8, x0 + x, y0 + 17, full);
            SetRef(sixteen ? kMaskWhite16 : kMaskWhite8, x0 + x, y0 + 18, 0);
        }
        BuildDefectFlags(planes_, bits, 0);
        BuildDefectFlags(planes_, bits, 1);
        auto source = MakeImage(w, h, bits);
        std::uniform_int_distribution<int> noise(0, 3);
        FillSamples(*source, [&](int x, int y, int) {
            // Outliers: a cluster, a vertical run over several band edges, scattered dots.
            const bool outlier = (x >= 8 && x < 13 && y >= 28 && y < 33) ||
                                 (x == 50 && y >= 1 && y < 35) || (x * 11 + y * 5) % 23 == 0;
            return outlier ? full - noise(rng) : (2 * x + y + noise(rng)) * scale;
        });
        const int threshold = sixteen ? kDefectThreshold16 : kDefectThreshold8;
        auto copyOf = [&](const DibImage& from) {
            auto image = MakeImage(w, h, bits);
            std::copy(from.Pixels(), from.Pixels() + from.SizeBytes(), image->Pixels());
            return image;
        };
        auto corrected = copyOf(*source);
        CorrectDefects(*corrected, planes_, threshold, window);
        auto flat = copyOf(*source);
        FlatField(*flat, planes_, window);
        for (const auto& layout : layouts) {
            // (first row, end row, band index)
            std::vector<std::array<int, 3>> bands;
            for (size_t i = 0; i + 1 < layout.size(); ++i)
                bands.push_back({layout[i], layout[i + 1], static_cast<int>(i)});
            // Seeds searched in the other bands' rows, and seeds from the band
            // edges kept at detection (what bands on several threads use).
            for (bool withEdges : {false, true}) {
                DefectBandEdges edges;
                edges.Prepare(static_cast<int>(bands.size()), w);
                DefectBandEdges* e = withEdges ? &edges : nullptr;
                auto banded = copyOf(*source);
                auto bandedFlat = copyOf(*source);
                std::shuffle(bands.begin(), bands.end(), rng);
                for (auto [first, end, index] : bands) {
                    DetectDefectRows(*banded, planes_, threshold, window, first, end, e, index);
                    FlatFieldRows(*bandedFlat, planes_, window, first, end);
                }
                std::shuffle(bands.begin(), bands.end(), rng);
                for (auto [first, end, index] : bands) {
                    ReplaceDefectRows(*banded, planes_, window, first, end, e, index);
                }
                EXPECT_TRUE(SameBytes(*banded, *corrected))
                    << bits << " bits, " << bands.size() << " bands, edges " << withEdges;
                EXPECT_TRUE(SameBytes(*bandedFlat, *flat))
                    << bits << " bits, " << bands.size() << " bands";
            }
        }
        EXPECT_FALSE(SameBytes(*corrected, *source));
        EXPECT_FALSE(SameBytes(*flat, *source));
    }
}

TEST_F(MaskTest, UpdateTakesOnlyFullSensorFrames) {
    auto small = MakeImage(1024, 768, 8);
    FillSamples(*small, [](int, int, int) { return 222; });
    EXPECT_TRUE(UpdateMaskReference(planes_, *small, 0));
    EXPECT_EQ(SampleAt(images_[kMaskDark8], 10, 10), 0);

    auto full = MakeImage(kSensorWidth, kSensorHeight, 16);
    FillSamples(*full, [](int x, int, int) { return x == 9 ? 0x4000 : 7; });
    EXPECT_FALSE(UpdateMaskReference(planes_, *full, 2));
    EXPECT_EQ(SampleAt(images_[kMaskDark16], 10, 10), 0);
    EXPECT_EQ(SampleAt(images_[kMaskWhite16], 10, 10), 65535);
    EXPECT_TRUE(UpdateMaskReference(planes_, *full, 0));
    EXPECT_EQ(SampleAt(images_[kMaskDark16], 10, 10), 7);
    EXPECT_EQ(SampleAt(images_[kMaskHot16], 9, 10), 1);
    EXPECT_EQ(SampleAt(images_[kMaskHot16], 10, 10), 0);
}

TEST_F(MaskTest, FileRoundTrip) {
    FillRandom(images_[kMaskDark8], 1, 255);
    FillRandom(images_[kMaskWhite8], 2, 255);
    FillRandom(images_[kMaskDark16], 3, 65535);
    FillRandom(images_[kMaskWhite16], 4, 65535);
    const auto path = TempPath("roundtrip");
    ASSERT_TRUE(WriteMaskFile(path.string().c_str(), planes_));
    EXPECT_EQ(std::filesystem::file_size(path), 18874408u);

    DibImage loaded[kMaskPlaneCount];
    MaskPlanes other;
    for (int i = 0; i < kMaskPlaneCount; ++i) other.plane[i] = &loaded[i];
    ASSERT_TRUE(AllocateMaskPlanes(other));
    MaskFileContent content;
    ASSERT_TRUE(ReadMaskFile(path.string().c_str(), content));
    ApplyMaskFile(content, other);
    for (int i = 0; i < kMaskPlaneCount; ++i) {
        EXPECT_TRUE(SameBytes(loaded[i], images_[i]) || i >= kMaskHot8) << i;
    }
    // The flags follow the loaded references.
    BuildDefectFlags(planes_, 8, 0);
    BuildDefectFlags(planes_, 16, 1);
    EXPECT_TRUE(SameBytes(loaded[kMaskHot8], images_[kMaskHot8]));
    EXPECT_TRUE(SameBytes(loaded[kMaskDead16], images_[kMaskDead16]));
    // So do the combined flags and the reciprocals of both depths.
    BuildDefectFlags(planes_, 8, 1);
    BuildDefectFlags(planes_, 16, 0);
    for (int i = kMaskFlags8; i < kMaskPlaneCount; ++i) {
        EXPECT_TRUE(SameBytes(loaded[i], images_[i])) << i;
    }
    std::filesystem::remove(path);
}

// A camera whose mask was never loaded or taken holds no planes; its file is
// the initial mask's, byte for byte.
TEST_F(MaskTest, WithoutPlanesTheFileHoldsTheInitialReferences) {
    const auto initial = TempPath("initial");
    const auto none = TempPath("none");
    ASSERT_TRUE(WriteMaskFile(initial.string().c_str(), planes_));
    ASSERT_TRUE(WriteMaskFile(none.string().c_str(), MaskPlanes{}));
    auto bytes = [](const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::vector<char>(std::istreambuf_iterator<char>(in), {});
    };
    const std::vector<char> expected = bytes(initial);
    EXPECT_EQ(expected.size(), kMaskFileBytes);
    EXPECT_TRUE(bytes(none) == expected);
    std::filesystem::remove(initial);
    std::filesystem::remove(none);
}

TEST_F(MaskTest, ForeignOrShortFilesAreRefused) {
    const auto path = TempPath("bad");
    ASSERT_TRUE(WriteMaskFile(path.string().c_str(), planes_));
    std::vector<char> good(18874408);
    {
        std::ifstream in(path, std::ios::binary);
        in.read(good.data(), static_cast<std::streamsize>(good.size()));
    }
    struct Damage {
        const char* what;
        size_t offset;
        char value;
        size_t length;
    };
    for (const Damage& d :
         {Damage{"sixteenth magic byte", 15, 'X', good.size()},
          Damage{"width 1024", 17, 0x04, good.size()},
          Damage{"white 16 block size", 38, 0x61, good.size()},
          Damage{"short file", 0, 'N', good.size() - 1}, Damage{"header only", 0, 'N', 40}}) {
        std::vector<char> bytes(good.begin(), good.begin() + static_cast<long>(d.length));
        bytes[d.offset] = d.value;
        {
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        }
        MaskFileContent content;
        EXPECT_FALSE(ReadMaskFile(path.string().c_str(), content)) << d.what;
        EXPECT_TRUE(content.bytes.empty()) << d.what;
    }
    std::filesystem::remove(path);
    MaskFileContent content;
    EXPECT_FALSE(ReadMaskFile(path.string().c_str(), content));
}

TEST(MaskExports, WithoutACameraCoreEveryOperationIsNotReady) {
    CVeltCam cam;  // never initialised: no camera core
    EXPECT_EQ(cam.UpdateMaskData(0), 0);
    EXPECT_EQ(cam.GetLastError(), 1);
    EXPECT_EQ(cam.SaveMaskFile("x.msk"), 0);
    EXPECT_EQ(cam.GetLastError(), 1);
    EXPECT_EQ(cam.LoadMaskFileW(L"x.msk"), 0);
    EXPECT_EQ(cam.GetLastError(), 1);
    // A path the narrow side cannot hold fails in the conversion.
    std::wstring longPath(2000, L'a');
    EXPECT_EQ(cam.SaveMaskFileW(longPath.c_str()), 0);
    EXPECT_EQ(cam.GetLastError(), 12);
    EXPECT_EQ(VeltCam_UpdateMaskData(0xDEAD, 0), 0);
}

TEST(CorrectionSwitches, AcceptOnlyZeroAndOne) {
    CorrectionSwitches s;
    EXPECT_TRUE(s.Set(kIdDotFilter, 1));
    EXPECT_TRUE(s.Set(kIdMaskFilter, 1));
    EXPECT_FALSE(s.Set(kIdMaskFilter, 2));
    EXPECT_FALSE(s.Set(kIdDotFilter, -1));
    EXPECT_FALSE(s.Set(101, 1));
    EXPECT_EQ(s.Get(kIdDotFilter), 1);
    EXPECT_EQ(s.Get(kIdMaskFilter), 1);
    EXPECT_EQ(s.Get(5), -1);
}

TEST(ProcessFrame, CorrectionsRunOnTheRawFrameBeforeDemosaic) {
    DibImage images[kMaskPlaneCount];
    PipelineHarness h(16, 12, kColorRgb24);
    for (int i = 0; i < kMaskPlaneCount; ++i) h.frame.mask.plane[i] = &images[i];
    ASSERT_TRUE(AllocateMaskPlanes(h.frame.mask));
    std::mutex lock;
    h.frame.maskLock = &lock;
    h.frame.corrections = {1, 1};
    FillSamples(h.raw8, [](int x, int y, int) { return x == 6 && y == 5 ? 255 : 100; });
    h.Run();
    // Hot pixel gone, then the flat field's 256/255 on 100 keeps 100.
    EXPECT_EQ(SampleAt(h.raw8, 6, 5), 100);
    EXPECT_EQ(SampleAt(h.color24, 7, 6, 1), 100);
    EXPECT_TRUE(lock.try_lock());
    lock.unlock();
}

// Without mask planes the corrections run on the initial mask: the flat field
// keeps every sample, the defect replacement marks only outlying pixels. The
// bytes must be those of a frame corrected with the initial planes allocated,
// in every depth, and the frame must make no planes but the marks of its depth.
TEST(ProcessFrame, WithoutMaskPlanesTheCorrectionsGiveTheInitialMasksBytes) {
    for (const int mode : {kColorMono8, kColorRgb24, kColorMono16, kColorRgb48}) {
        SCOPED_TRACE(mode);
        const bool sixteen = mode == kColorMono16 || mode == kColorRgb48;
        const int full = sixteen ? 65535 : 255;
        DibImage initial[kMaskPlaneCount];
        DibImage none[kMaskPlaneCount];
        PipelineHarness withPlanes(40, 30, mode);
        PipelineHarness without(40, 30, mode);
        for (int i = 0; i < kMaskPlaneCount; ++i) {
            withPlanes.frame.mask.plane[i] = &initial[i];
            without.frame.mask.plane[i] = &none[i];
        }
        ASSERT_TRUE(AllocateMaskPlanes(withPlanes.frame.mask));
        // A ramp over the whole range with hot and dead pixels, full scale and zero.
        const auto sample = [full](int x, int y, int) {
            if ((x * 7 + y * 3) % 53 == 0) return full;
            if ((x * 5 + y * 11) % 61 == 0) return 0;
            return (x * 997 + y * 613) % (full + 1);
        };
        for (PipelineHarness* h : {&withPlanes, &without}) {
            h->frame.corrections = {1, 1};
            FillSamples(h->Raw(), sample);
            h->Run();
        }
        EXPECT_TRUE(SameBytes(withPlanes.Raw(), without.Raw()));
        EXPECT_TRUE(SameBytes(withPlanes.Output(), without.Output()));
        EXPECT_FALSE(without.frame.mask.HasReferences());
        EXPECT_TRUE(none[sixteen ? kMaskWork16 : kMaskWork8].IsValid());
        EXPECT_FALSE(none[sixteen ? kMaskWork8 : kMaskWork16].IsValid());
    }
}

}  // namespace
}  // namespace veltcam
