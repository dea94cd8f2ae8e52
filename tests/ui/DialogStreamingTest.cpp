// Setting dialogs edited while frames stream: the display thread converts every
// frame from the same image and camera settings that the dialog models change, so
// every edit has to take the image lock (the thread-sanitizer build checks it).
#include <gtest/gtest.h>

#include <chrono>

#include "sdk/CVeltCam.h"
#include "support/PrivateSettingsStore.h"
#include "support/SimTestSupport.h"
#include "ui/AnalogDialogModel.h"
#include "ui/ImageDialogModel.h"

namespace veltcam {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kEditTime = std::chrono::milliseconds(400);

class DialogWhileStreaming : public testing::Test {
  protected:
    void SetUp() override {
        test::UseSdkSimulator("cameras=1;fps=max");
        ASSERT_EQ(cam_.Initialize(nullptr), 1);
        ASSERT_EQ(cam_.SetColorMode(24), 1);
        cam_.SetPreviewWindow(nullptr, 0, 0, 0, 0);  // headless
        ASSERT_EQ(cam_.StartPreview(), 1);
    }
    void TearDown() override { cam_.StopPreview(); }

    test::CPrivateSettingsStore store_;
    CVeltCam cam_;
};

TEST_F(DialogWhileStreaming, ImageDialogEditsEveryStageTheDisplayThreadReads) {
    using M = ui::CImageDialogModel;
    int last = 0;
    cam_.RunImageDialogWith([&](M& model, const auto&) {
        const auto end = Clock::now() + kEditTime;
        for (int i = 0; Clock::now() < end; ++i) {
            last = i % 100;
            model.SetValue(M::kBrightness, last);
            model.SetValue(M::kGamma, 50 + last);
            model.SetValue(M::kSharpness, last % 30);
            model.SelectBayerMode(i % 4);
            if (i % 16 == 0) model.WhiteBalanceOnce();
            if (i % 32 == 0) model.Default();
        }
        model.SetValue(M::kBrightness, 42);
        return 1;
    });
    EXPECT_EQ(cam_.CaptureMode(), 1);
    EXPECT_EQ(cam_.Settings().brightness, 42);
}

TEST_F(DialogWhileStreaming, AnalogDialogAndAutoIrisShareTheCameraSettings) {
    using M = ui::CAnalogDialogModel;
    cam_.RunAnalogDialogWith([&](M& model, const auto&) {
        const auto end = Clock::now() + kEditTime;
        for (int i = 0; Clock::now() < end; ++i) {
            // Auto iris writes gain or exposure from the display thread meanwhile.
            if (i % 8 == 0) model.SetAutoIrisGain(i % 16 == 0);
            if (i % 8 == 4) model.SetAutoIrisExposure(i % 16 == 4);
            model.SetValue(M::kGlobalGain, 64 + i % 100);
            model.SetMirrorH(i % 2 == 0);
        }
        model.SetAutoIrisGain(false);
        model.SetValue(M::kGlobalGain, 100);
        return 1;
    });
    EXPECT_EQ(cam_.CaptureMode(), 1);
    EXPECT_EQ(cam_.CameraValues().globalGain, 100);
    EXPECT_EQ(cam_.CameraValues().autoIris, 0);
}

}  // namespace
}  // namespace veltcam
