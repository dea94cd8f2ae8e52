// The image dialog's model over a plain settings record, as the SDK object holds it.
#include <gtest/gtest.h>

#include "support/RecordSettings.h"
#include "ui/ImageDialogModel.h"

namespace veltcam::ui {
namespace {

using M = CImageDialogModel;

ImageSettings Neutral() {
    ImageSettings s;
    s.bayerGainRed = s.bayerGainGreen = s.bayerGainBlue = 100;
    s.gamma = 100;
    s.grayGain.fill(128);
    s.grayOffset.fill(128);
    return s;
}

TEST(ImageDialog, PagesAndControlsFollowTheColourMode) {
    ImageSettings s = Neutral();
    std::array<bool, 2> once{};
    test::RecordSettings records(s, once);
    M colour(records, 2);
    EXPECT_FALSE(colour.HasGrayPage());
    EXPECT_TRUE(colour.IsEnabled(M::kHue));
    EXPECT_TRUE(colour.AreColorControlsEnabled());

    for (int mono : {0, 1}) {
        M model(records, mono);
        EXPECT_TRUE(model.HasGrayPage());
        for (M::Slider off : {M::kHue, M::kSaturation, M::kRedGain, M::kGreenGain, M::kBlueGain})
            EXPECT_FALSE(model.IsEnabled(off)) << off;
        for (M::Slider on : {M::kBrightness, M::kContrast, M::kSharpness, M::kGamma})
            EXPECT_TRUE(model.IsEnabled(on)) << on;
        EXPECT_FALSE(model.AreColorControlsEnabled());
    }
}

TEST(ImageDialog, ValuesAreLimitedToWhatTheSettersAccept) {
    ImageSettings s = Neutral();
    std::array<bool, 2> once{};
    test::RecordSettings records(s, once);
    M model(records, 0);
    struct Case {
        M::Slider slider;
        int typed;
        int stored;
    } cases[] = {
        {M::kContrast, 128, 127},
        {M::kContrast, -500, -127},
        {M::kBrightness, 300, 255},
        {M::kHue, -361, -360},
        {M::kSharpness, 31, 30},
        {M::kGamma, 50, 50},
        {M::Slider(M::kGrayGainFirst + 2), 400, 255},
        {M::Slider(M::kGrayOffsetFirst), -300, -255},
    };
    for (const Case& c : cases) {
        model.SetValue(c.slider, c.typed);
        EXPECT_EQ(model.Value(c.slider), c.stored) << c.slider << " " << c.typed;
    }
    EXPECT_EQ(s.contrast, -127);
    EXPECT_EQ(s.grayGain[2], 255);
}

TEST(ImageDialog, WhiteBalanceOnceAndAllFrames) {
    ImageSettings s = Neutral();
    std::array<bool, 2> once{};
    test::RecordSettings records(s, once);
    M model(records, 2);
    model.WhiteBalanceOnce();
    EXPECT_EQ(s.bayerGainAuto, 1);
    EXPECT_EQ(once, (std::array<bool, 2>{true, true}));
    EXPECT_FALSE(model.IsWhiteBalanceAllFramesChecked());

    model.SetWhiteBalanceAllFrames(true);
    EXPECT_EQ(s.bayerGainAuto, 1);
    EXPECT_EQ(once, (std::array<bool, 2>{false, false}));
    EXPECT_TRUE(model.IsWhiteBalanceAllFramesChecked());
    model.SetWhiteBalanceAllFrames(false);
    EXPECT_EQ(s.bayerGainAuto, 0);
}

TEST(ImageDialog, GrayBalanceBoxes) {
    ImageSettings s = Neutral();
    std::array<bool, 2> once{};
    test::RecordSettings records(s, once);
    M model(records, 0);
    model.ToggleGrayBalanceAllFrames();
    EXPECT_EQ(s.grayBalanceFrames, -1);
    model.ToggleGrayBalanceAllFrames();
    EXPECT_EQ(s.grayBalanceFrames, 0);
    model.GrayBalanceOnce();
    EXPECT_EQ(s.grayBalanceFrames, 1);
}

TEST(ImageDialog, DefaultAndCancel) {
    ImageSettings s = Neutral();
    s.brightness = 40;
    s.grayMode = 2;
    s.grayGain.fill(10);
    std::array<bool, 2> once{};
    test::RecordSettings records(s, once);
    const ImageSettings before = s;

    M colour(records, 2);
    colour.Default();
    EXPECT_EQ(s.brightness, 0);
    EXPECT_EQ(s.bayerMode, 3);
    EXPECT_EQ(s.grayGain[0], 10);  // no gray page: gray values untouched
    colour.Finish(false);
    EXPECT_EQ(s.brightness, 40);
    EXPECT_EQ(s.bayerMode, before.bayerMode);

    M mono(records, 0);
    mono.SetValue(M::kBrightness, -20);
    mono.SelectBayerMode(1);
    mono.Default();
    EXPECT_EQ(s.grayGain, (std::array<int, 4>{128, 128, 128, 128}));
    EXPECT_EQ(s.grayOffset, (std::array<int, 4>{128, 128, 128, 128}));
    EXPECT_EQ(s.grayMode, 2);  // Default keeps the gray mode
    mono.SetValue(M::kBrightness, 9);
    mono.Finish(true);
    EXPECT_EQ(s.brightness, 9);
}

}  // namespace
}  // namespace veltcam::ui
