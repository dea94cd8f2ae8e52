// The conversion-thread cap through the public API: the display path cuts each
// frame into bands of rows for several threads, with the capture window, the
// defect mask and every tone stage wired in; any cap must give the very bytes of
// the display thread alone. And the default cap follows VELTCAM_PIPELINE_THREADS.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "VeltCamSdkEx.h"
#include "support/PrivateSettingsStore.h"
#include "support/SimTestSupport.h"

namespace veltcam {
namespace {

// Picture rows 128..511 of the top half: the colour bars, which do not change
// from frame to frame (the moving marker and the frame number sit in the bottom
// half), so snapshots taken one after another can be compared byte for byte.
constexpr int kWidth = 1024;
constexpr int kHeight = 384;
constexpr int kFrameBytes = kWidth * 3 * kHeight;

void SetEnv(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value == nullptr ? "" : value);
#else
    if (value == nullptr) {
        unsetenv(name);
    } else {
        setenv(name, value, 1);
    }
#endif
}

void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// A mask file with scattered hot pixels in the dark references and dead pixels
// and a falling edge in the white ones, so that flat field and defect replacement
// change many samples, some of them on the bands' edge rows.
std::string WriteMask(const std::string& path) {
    constexpr size_t kPixels = 2048 * 1536;
    std::vector<uint8_t> file(40 + 2 * kPixels + 4 * kPixels);
    std::memcpy(file.data(), "NORVIK MASK1000", 16);
    PutLe32(&file[16], 2048);
    PutLe32(&file[20], 1536);
    PutLe32(&file[24], kPixels);
    PutLe32(&file[28], kPixels);
    PutLe32(&file[32], 2 * kPixels);
    PutLe32(&file[36], 2 * kPixels);
    uint8_t* dark8 = &file[40];
    uint8_t* white8 = dark8 + kPixels;
    uint8_t* dark16 = white8 + kPixels;
    uint8_t* white16 = dark16 + 2 * kPixels;
    for (size_t i = 0; i < kPixels; ++i) {
        const bool hot = i % 997 == 13;
        const bool dead = i % 1009 == 500;
        const uint8_t d = hot ? 220 : 2;
        const uint8_t w = dead ? 8 : static_cast<uint8_t>(255 - (i % 2048) / 32);
        dark8[i] = d;
        white8[i] = w;
        dark16[2 * i] = 0;
        dark16[2 * i + 1] = d;
        white16[2 * i] = 0;
        white16[2 * i + 1] = w;
    }
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return "cannot create " + path;
    const bool ok = std::fwrite(file.data(), 1, file.size(), f) == file.size();
    return std::fclose(f) == 0 && ok ? "" : "cannot write " + path;
}

class PipelineThreads : public testing::Test {
  protected:
    void SetUp() override {
        test::UseSdkSimulator("cameras=1;noise=300;hot=400;dead=400;vignette=30;seed=5");
        handle_ = VeltCam_Initialize(nullptr);
        ASSERT_NE(handle_, 0u);
        ASSERT_EQ(VeltCam_SetPreviewWindow(handle_, nullptr, 0, 0, 0, 0), 1);
        ASSERT_EQ(VeltCam_SetCaptureWindowEx(handle_, 2048, 512, kWidth, 1536, 1024, kHeight), 1);
        ASSERT_EQ(VeltCam_SetColorMode(handle_, 24), 1);
    }
    void TearDown() override {
        if (handle_ != 0) VeltCam_Release(handle_);
        SetEnv("VELTCAM_PIPELINE_THREADS", nullptr);
    }
    std::vector<uint8_t> Snap() {
        std::vector<uint8_t> image(kFrameBytes);
        EXPECT_EQ(VeltCam_SnapShot(handle_, image.data(), kFrameBytes, 0), 1);
        return image;
    }

    test::CPrivateSettingsStore store_;
    VeltCamHandle handle_ = 0;
};

TEST_F(PipelineThreads, EveryCapGivesTheBytesOfTheDisplayThreadAlone) {
    const std::string mask =
        (std::filesystem::temp_directory_path() / ("vc-threads-" + test::UniqueTableName() + ".msk"))
            .string();
    ASSERT_EQ(WriteMask(mask), "");
    ASSERT_EQ(VeltCam_LoadMaskFile(handle_, mask.c_str()), 1);
    // Every stage that works in bands: both corrections, the tone stages and
    // the unsharp mask, which reads the rows around each band.
    ASSERT_EQ(VeltCam_SetMaskFilter(handle_, 1), 1);
    ASSERT_EQ(VeltCam_SetDotFilter(handle_, 1), 1);
    ASSERT_EQ(VeltCam_SetBrightness(handle_, 12), 1);
    ASSERT_EQ(VeltCam_SetContrast(handle_, 20), 1);
    ASSERT_EQ(VeltCam_SetHue(handle_, 15), 1);
    ASSERT_EQ(VeltCam_SetSaturation(handle_, 40), 1);
    ASSERT_EQ(VeltCam_SetSharpness(handle_, 20), 1);
    ASSERT_EQ(VeltCam_SetGamma(handle_, 80), 1);

    ASSERT_EQ(VeltCamEx_SetPipelineThreads(handle_, 1), 1);
    const std::vector<uint8_t> alone = Snap();
    // The window shows no moving part of the scene: otherwise equality below
    // would say nothing about the threads.
    ASSERT_EQ(Snap(), alone) << "the compared window changes from frame to frame";

    for (int threads : {2, 3, 7, 0}) {
        SCOPED_TRACE(threads);
        ASSERT_EQ(VeltCamEx_SetPipelineThreads(handle_, threads), 1);
        EXPECT_EQ(Snap(), alone);
    }
    // The corrections were at work in those frames (the mask reached them).
    ASSERT_EQ(VeltCam_SetMaskFilter(handle_, 0), 1);
    ASSERT_EQ(VeltCam_SetDotFilter(handle_, 0), 1);
    EXPECT_NE(Snap(), alone);
    std::remove(mask.c_str());
}

TEST_F(PipelineThreads, DefaultCapFollowsTheEnvironmentAndRangesAreChecked) {
    const int cores = static_cast<int>(std::thread::hardware_concurrency());
    const int processorDefault = cores < 1 ? 1 : (cores > VELTCAM_EX_MAX_PIPELINE_THREADS
                                                      ? VELTCAM_EX_MAX_PIPELINE_THREADS
                                                      : cores);
    struct Case {
        const char* env;
        int expected;  // -1: the processor count
    };
    const Case cases[] = {{"3", 3},   {"1", 1},     {"64", 64},   {nullptr, -1},
                          {"0", -1},  {"65", -1},   {"2x", -1},   {"", -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.env == nullptr ? "(unset)" : c.env);
        SetEnv("VELTCAM_PIPELINE_THREADS", c.env);
        ASSERT_EQ(VeltCamEx_SetPipelineThreads(handle_, 0), 1);
        EXPECT_EQ(VeltCamEx_GetPipelineThreads(handle_), c.expected < 0 ? processorDefault : c.expected);
    }
    // Out of range: refused with code 9, the cap unchanged.
    ASSERT_EQ(VeltCamEx_SetPipelineThreads(handle_, 5), 1);
    while (VeltCam_GetLastError(handle_) != 0) {
    }
    for (int bad : {-1, VELTCAM_EX_MAX_PIPELINE_THREADS + 1}) {
        EXPECT_EQ(VeltCamEx_SetPipelineThreads(handle_, bad), 0);
        EXPECT_EQ(VeltCam_GetLastError(handle_), 9);
        EXPECT_EQ(VeltCamEx_GetPipelineThreads(handle_), 5);
    }
}

}  // namespace
}  // namespace veltcam
