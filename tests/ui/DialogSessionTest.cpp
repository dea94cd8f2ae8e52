// What the SDK object does around a setting dialog, with the dialog's window
// replaced by a function that drives the model: capture stopped and resumed
// around the format dialog, the camera restored after an analog Cancel, and the
// display thread's auto iris and balance results reaching an open dialog by
// posted messages.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "core/CVeltCamD3A7Base.h"
#include "sdk/CVeltCam.h"
#include "support/PrivateSettingsStore.h"
#include "support/SimTestSupport.h"
#include "support/TestWindow.h"
#include "ui/AnalogDialogModel.h"
#include "ui/DialogMessages.h"
#include "ui/FormatDialogModel.h"
#include "ui/ImageDialogModel.h"

namespace veltcam {
namespace {

constexpr uint32_t kFrameMessage = 0x8002;

// Messages `message` arriving on `window` within `ms`.
std::vector<test::PostedMessage> Collect(test::CTestWindow& window, uint32_t message, int ms) {
    std::vector<test::PostedMessage> all;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        for (const auto& m : window.Take(message, 10)) all.push_back(m);
    }
    return all;
}

class DialogSession : public testing::Test {
  protected:
    void Open(const std::string& options = "cameras=1") {
        test::UseSdkSimulator(options);
        ASSERT_EQ(cam_.Initialize(nullptr), 1);
        ASSERT_TRUE(cam_.HasCore());
        cam_.SetPreviewWindow(nullptr, 0, 0, 0, 0);  // headless
    }
    void TearDown() override { cam_.StopPreview(); }

    // OK on the format dialog after choosing 8-bit monochrome and a custom window.
    static int ChooseMono8Custom(ui::CFormatDialogModel& model, int width, int height) {
        model.SelectColor(0);
        model.SelectSize(static_cast<int>(model.Entries().size()));  // "Custom"
        model.SetEdit(ui::CFormatDialogModel::kEffectiveH, width);
        model.SetEdit(ui::CFormatDialogModel::kEffectiveV, height);
        model.Apply();
        return 1;
    }

    test::CPrivateSettingsStore store_;
    CVeltCam cam_;
};

TEST_F(DialogSession, FormatDialogStopsLiveCaptureAndResumesWithTheNewFormat) {
    Open();
    for (int mode : {1, 2}) {
        ASSERT_EQ(mode == 1 ? cam_.StartPreview() : cam_.Capture(), 1);
        int modeDuringDialog = -1;
        cam_.RunFormatDialogWith([&](ui::CFormatDialogModel& model) {
            modeDuringDialog = cam_.CaptureMode();
            return ChooseMono8Custom(model, 1024, 768 - mode * 64);
        });
        EXPECT_EQ(modeDuringDialog, 0) << mode;
        EXPECT_EQ(cam_.CaptureMode(), mode);
        EXPECT_EQ(cam_.GetColorMode(), 8);
        EXPECT_EQ(cam_.Height(), 768 - mode * 64);

        // Cancel after changing the lists reloads nothing.
        cam_.RunFormatDialogWith([](ui::CFormatDialogModel& model) {
            model.SelectColor(1);
            return 0;
        });
        EXPECT_EQ(cam_.GetColorMode(), 8);
        EXPECT_EQ(cam_.CaptureMode(), mode);
        ASSERT_EQ(cam_.StopPreview(), 1);
    }
}

TEST_F(DialogSession, TriggerModePausesAndSetsUpAgainForTheNewFormat) {
    Open("cameras=1;trigger=100");
    test::CTestWindow window;
    ASSERT_EQ(cam_.Trigger(window.Handle(), nullptr, 0, 1), 1) << cam_.GetLastError();
    auto before = Collect(window, kFrameMessage, 1200);
    ASSERT_FALSE(before.empty());
    EXPECT_EQ(reinterpret_cast<const VeltCamFrameInfo*>(before.back().wParam)->width, 2048);

    size_t framesWhileOpen = 1;
    cam_.RunFormatDialogWith([&](ui::CFormatDialogModel& model) {
        window.Take(kFrameMessage, 200);  // a frame already under way
        framesWhileOpen = Collect(window, kFrameMessage, 500).size();
        return ChooseMono8Custom(model, 640, 480);
    });
    EXPECT_EQ(framesWhileOpen, 0u);
    EXPECT_EQ(cam_.CaptureMode(), 3);
    auto after = Collect(window, kFrameMessage, 1500);
    ASSERT_FALSE(after.empty());
    const auto* info = reinterpret_cast<const VeltCamFrameInfo*>(after.back().wParam);
    EXPECT_EQ(info->width, 640);
    EXPECT_EQ(info->bitsPerPixel, 8);
}

TEST_F(DialogSession, AnalogCancelSendsTheEarlierGainBackToTheCamera) {
    Open();
    const int earlier = cam_.Core()->GetGain();
    cam_.RunAnalogDialogWith([&](ui::CAnalogDialogModel& model, const auto&) {
        model.SetValue(ui::CAnalogDialogModel::kGlobalGain, earlier + 100);
        model.SetMirrorH(true);
        EXPECT_EQ(cam_.Core()->GetGain(), earlier + 100);
        return 0;
    });
    EXPECT_EQ(cam_.Core()->GetGain(), earlier);
    EXPECT_EQ(cam_.CameraValues().globalGain, earlier);
    EXPECT_EQ(cam_.Core()->GetMirrorH(), 0);

    cam_.RunAnalogDialogWith([&](ui::CAnalogDialogModel& model, const auto&) {
        model.SetValue(ui::CAnalogDialogModel::kExposure, 900);
        return 1;
    });
    EXPECT_EQ(cam_.Core()->GetExposureTime(), 900);
    EXPECT_EQ(cam_.CameraValues().exposureUnits, 900);
}

TEST_F(DialogSession, AutoIrisShowsItsGainInTheOpenAnalogDialog) {
    Open();
    ASSERT_EQ(cam_.SetFilterValue(VELTCAM_ID_EXPOSURE_TIME, 20), 1);  // far too dark
    ASSERT_EQ(cam_.StartPreview(), 1);
    test::CTestWindow dialog;
    std::vector<test::PostedMessage> shown;
    const int before = cam_.Core()->GetGain();
    cam_.RunAnalogDialogWith([&](ui::CAnalogDialogModel& model, const auto& sink) {
        sink(dialog.Handle());
        model.SetAutoIrisGain(true);
        shown = Collect(dialog, ui::kAnalogDialogShowGain, 1500);
        model.SetAutoIrisGain(false);
        sink(nullptr);
        return 1;
    });
    ASSERT_FALSE(shown.empty());
    EXPECT_GT(static_cast<int>(shown.back().wParam), before);
    EXPECT_EQ(static_cast<int>(shown.back().wParam), cam_.Core()->GetGain());
    EXPECT_EQ(cam_.CameraValues().globalGain, cam_.Core()->GetGain());
}

TEST_F(DialogSession, WhiteBalanceOnceBalancesOneFrameAndRefreshesTheOpenDialog) {
    Open();
    ASSERT_EQ(cam_.SetColorMode(24), 1);
    ASSERT_EQ(cam_.StartPreview(), 1);
    test::CTestWindow dialog;
    size_t refreshes = 0;
    cam_.RunImageDialogWith([&](ui::CImageDialogModel& model, const auto& sink) {
        sink(dialog.Handle());
        model.WhiteBalanceOnce();
        refreshes = Collect(dialog, ui::kImageDialogRefresh, 1500).size();
        sink(nullptr);
        return 1;
    });
    EXPECT_EQ(refreshes, 1u);
    EXPECT_EQ(cam_.Settings().bayerGainAuto, 0);
    // The colour bars are not grey: the balance moved red or blue off 100.
    EXPECT_TRUE(cam_.Settings().bayerGainRed != 100 || cam_.Settings().bayerGainBlue != 100);
    // Closed: nothing more reaches the old window.
    EXPECT_TRUE(dialog.Take(ui::kImageDialogRefresh, 50).empty());
}

}  // namespace
}  // namespace veltcam
