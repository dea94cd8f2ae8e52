#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "FileReaders.h"
#include "VeltCamSdk.h"
#include "files/StillImageFile.h"
#include "sdk/CVeltCam.h"
#include "support/PrivateSettingsStore.h"

namespace veltcam {

// Puts an SDK object into the state a converted frame leaves it in, without a
// camera streaming.
class CVeltCamFilesTest : public testing::Test {
  protected:
    static void SetFrame(CVeltCam& cam, int colourModeIndex) {
        cam.colorModeIndex_ = colourModeIndex;
        cam.imageValid_ = true;
    }
    static int Save(CVeltCam& cam, const std::filesystem::path& path, int format) {
        return cam.SaveImage(path.string().c_str(), format);
    }
    static std::recursive_mutex& ImageLock(CVeltCam& cam) { return cam.imageLock_; }
    test::CPrivateSettingsStore settings_;
    file_tests::ScratchFolder scratch_;
};

namespace {

TEST_F(CVeltCamFilesTest, ExportsReportNotReadyWithoutAFrame) {
    const VeltCamHandle handle = VeltCam_Initialize(nullptr);
    ASSERT_NE(handle, 0u);
    while (VeltCam_GetLastError(handle) != 0) {
    }
    const std::string path = (scratch_ / "none.bmp").string();
    EXPECT_EQ(VeltCam_SaveImage(handle, path.c_str(), VELTCAM_IMAGE_BMP), 0);
    EXPECT_EQ(VeltCam_GetLastError(handle), 1);
    EXPECT_EQ(VeltCam_SaveImageW(handle, L"none.bmp", VELTCAM_IMAGE_BMP), 0);
    EXPECT_EQ(VeltCam_GetLastError(handle), 1);
    // A wide path that does not fit the 1023 narrow bytes is a conversion failure.
    const std::wstring longPath(1100, L'a');
    EXPECT_EQ(VeltCam_SaveImageW(handle, longPath.c_str(), VELTCAM_IMAGE_BMP), 0);
    EXPECT_EQ(VeltCam_GetLastError(handle), 12);
    EXPECT_EQ(VeltCam_GetLastError(handle), 0);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(VeltCam_Release(handle), 1);
    // Unknown handles answer 0 and record nothing anywhere.
    EXPECT_EQ(VeltCam_SaveImage(handle, path.c_str(), VELTCAM_IMAGE_BMP), 0);
}

TEST_F(CVeltCamFilesTest, SavesTheOutputImageOfTheColourMode) {
    CVeltCam cam;
    cam.Initialize(nullptr);
    const int bits[] = {8, 16, 24, 32, 48, 64};
    for (int i = 0; i < 6; ++i) {
        DibImage* image = cam.Image(kImageMono8 + i);
        ASSERT_TRUE(image->Create(8, 4, bits[i]));
        for (size_t b = 0; b < image->SizeBytes(); ++b)
            image->Pixels()[b] = static_cast<uint8_t>(b * 7 + i);
    }
    for (int i = 0; i < 6; ++i) {
        SetFrame(cam, i);
        const auto path = scratch_ / ("mode" + std::to_string(i) + ".raw");
        ASSERT_EQ(Save(cam, path, kStillRaw), 1) << "colour mode " << i;
        const auto bytes = file_tests::ReadBytes(path);
        const DibImage* image = cam.Image(kImageMono8 + i);
        ASSERT_EQ(bytes.size(), image->SizeBytes());
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), image->Pixels())) << "colour mode " << i;
    }
    // A writer failure is the caller's to see in the result alone.
    while (cam.GetLastError() != 0) {
    }
    EXPECT_EQ(Save(cam, scratch_ / "mode.png", 7), 0);
    EXPECT_EQ(cam.GetLastError(), 0);
    // No buffer for the colour mode: not ready.
    cam.Image(kImageColor48)->Free();
    SetFrame(cam, 4);
    EXPECT_EQ(Save(cam, scratch_ / "none.raw", kStillRaw), 0);
    EXPECT_EQ(cam.GetLastError(), 1);
}

// A full-frame PNG takes seconds to encode; the frame pipeline must not wait for
// it. The file appears when encoding starts, by then the image lock must be free.
TEST_F(CVeltCamFilesTest, EncodingRunsOutsideTheImageLock) {
    CVeltCam cam;
    cam.Initialize(nullptr);
    DibImage* image = cam.Image(kImageColor24);
    ASSERT_TRUE(image->Create(2048, 1536, 24));
    for (size_t b = 0; b < image->SizeBytes(); ++b)
        image->Pixels()[b] = static_cast<uint8_t>(b * 31);
    SetFrame(cam, 2);
    const auto path = scratch_ / "slow.png";
    std::atomic<bool> done{false};
    int result = 0;
    std::thread saver([&] {
        result = Save(cam, path, kStillPng);
        done = true;
    });
    while (!done && !std::filesystem::exists(path)) std::this_thread::yield();
    if (!done) {
        std::unique_lock<std::recursive_mutex> lock(ImageLock(cam), std::try_to_lock);
        EXPECT_TRUE(lock.owns_lock() || done) << "the save holds the image lock while encoding";
    }
    saver.join();
    EXPECT_EQ(result, 1);
    const auto png = file_tests::ReadPng(path);
    ASSERT_TRUE(png.ok);
    EXPECT_EQ(png.picture.At(0, 0, 0), image->Pixels()[2]);  // R of the first pixel
}

}  // namespace
}  // namespace veltcam
