// The analog dialog's model against a camera that records what it is sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "support/RecordSettings.h"
#include "ui/AnalogDialogModel.h"

namespace veltcam::ui {
namespace {

using M = CAnalogDialogModel;

// A camera that keeps what it is sent and clamps like a sensor does.
class CFakeAnalogCamera : public CAnalogCamera {
  public:
    bool color = true;
    bool realExposure = false;
    bool blackLevel = false;
    bool cooling = false;
    bool shortExposure = false;
    int gainMode = -1;

    int gain = 64;
    std::array<int, 4> colorGains{};
    int exposure = 170;
    double realSeconds = 0.017;
    DoubleRange realRange{0.000002, 20.0};
    int mirrorV = 0, mirrorH = 0;
    int blackLevelValue = 0, coolingValue = 0, shortExposureValue = 0;
    std::vector<int> gainsSent;

    bool HasColorOutput() override { return color; }
    IntRange GainRange() override { return {0, 480}; }
    int GainDefault() override { return 64; }
    int Gain() override { return gain; }
    void SetGain(int value) override {
        gain = value;
        gainsSent.push_back(value);
    }
    IntRange ColorGainRange() override { return {0, 0}; }
    int ColorGainDefault() override { return 0; }
    int ColorGain(int channel) override { return colorGains[channel]; }
    void SetColorGain(int channel, int value) override { colorGains[channel] = value; }
    IntRange ExposureRange() override { return {1, 20000}; }
    int ExposureDefault() override { return 170; }
    int Exposure() override { return exposure; }
    void SetExposure(int units) override {
        exposure = std::clamp(units, 1, 20000);
        realSeconds = exposure / 10000.0;
    }
    bool HasRealExposure() override { return realExposure; }
    DoubleRange RealExposureRange() override { return realRange; }
    double RealExposureDefault() override { return 0.017; }
    double RealExposure() override { return realSeconds; }
    void SetRealExposure(double seconds) override {
        realSeconds = seconds;
        exposure = static_cast<int>(std::lround(seconds * 10000.0));
    }
    int MirrorV() override { return mirrorV; }
    int MirrorH() override { return mirrorH; }
    void SetMirrorV(int on) override { mirrorV = on; }
    void SetMirrorH(int on) override { mirrorH = on; }
    bool HasBlackLevel() override { return blackLevel; }
    IntRange BlackLevelRange() override { return {0, 511}; }
    int BlackLevelDefault() override { return 60; }
    void SetBlackLevel(int value) override { blackLevelValue = value; }
    bool HasCooling() override { return cooling; }
    int Cooling() override { return coolingValue; }
    void SetCooling(int on) override { coolingValue = on; }
    bool HasShortExposure() override { return shortExposure; }
    void SetShortExposure(int on) override { shortExposureValue = on; }
    int GainMode() override { return gainMode; }
    void SetGainMode(int mode) override { gainMode = mode; }
};

TEST(AnalogDialog, OpensOnTheCameraValuesAndShowsControlsByCapability) {
    CFakeAnalogCamera camera;
    camera.gain = 200;
    camera.mirrorH = 1;
    CameraSettings settings;  // stale cache: the camera's values win
    int bayerMode = 3;
    test::RecordSettings records(settings, bayerMode);
    M colour(camera, records);
    EXPECT_EQ(settings.globalGain, 200);
    EXPECT_EQ(settings.mirrorH, 1);
    EXPECT_TRUE(colour.UsesColorPage());
    EXPECT_TRUE(colour.IsShown(M::kColorGainR));
    EXPECT_FALSE(colour.IsEnabled(M::kColorGainR));
    EXPECT_TRUE(colour.IsEnabled(M::kExposure));
    EXPECT_FALSE(colour.IsShown(M::kBlackLevel));
    EXPECT_FALSE(colour.HasRealExposure());
    EXPECT_FALSE(colour.HasCooling() || colour.HasShortExposure() || colour.HasGainMode());
    EXPECT_EQ(colour.Range(M::kGlobalGain).tick, 60);
    EXPECT_EQ(colour.Range(M::kExposure).tick, (20000 - 1) / 8);

    CFakeAnalogCamera mono;
    mono.color = false;
    mono.realExposure = mono.blackLevel = mono.cooling = mono.shortExposure = true;
    mono.gainMode = 1;
    M monoModel(mono, records);
    EXPECT_FALSE(monoModel.UsesColorPage());
    EXPECT_FALSE(monoModel.IsShown(M::kColorGainG1));
    EXPECT_FALSE(monoModel.IsShown(M::kExposure));  // the real-exposure entry replaces it
    EXPECT_TRUE(monoModel.IsEnabled(M::kBlackLevel));
    EXPECT_TRUE(monoModel.HasCooling() && monoModel.HasShortExposure() && monoModel.HasGainMode());
    EXPECT_EQ(monoModel.GainModeSelection(), 1);
}

TEST(AnalogDialog, CancelSendsTheEarlierValuesBackAndOkKeepsTheNewOnes) {
    CFakeAnalogCamera camera;
    CameraSettings settings;
    int bayerMode = 2;
    test::RecordSettings records(settings, bayerMode);
    M model(camera, records);
    model.SetValue(M::kGlobalGain, 300);
    model.SetValue(M::kExposure, 5000);
    model.SetMirrorV(true);
    model.SetAutoIrisGain(true);
    bayerMode = 0;  // the pipeline may move it while the dialog is open
    EXPECT_EQ(camera.gain, 300);
    EXPECT_EQ(camera.exposure, 5000);
    EXPECT_EQ(camera.mirrorV, 1);

    model.Finish(false);
    EXPECT_EQ(camera.gainsSent.back(), 64);
    EXPECT_EQ(camera.exposure, 170);
    EXPECT_EQ(camera.mirrorV, 0);
    EXPECT_EQ(settings.globalGain, 64);
    EXPECT_EQ(settings.autoIris, 0);
    EXPECT_EQ(bayerMode, 2);

    M kept(camera, records);
    kept.SetValue(M::kGlobalGain, 480);
    kept.Finish(true);
    EXPECT_EQ(camera.gain, 480);
    EXPECT_EQ(settings.globalGain, 480);
}

TEST(AnalogDialog, TypedValuesAreLimitedToTheCameraRange) {
    CFakeAnalogCamera camera;
    CameraSettings settings;
    int bayerMode = 0;
    test::RecordSettings records(settings, bayerMode);
    M model(camera, records);
    struct Case {
        M::Slider slider;
        int typed;
        int stored;
    } cases[] = {
        {M::kGlobalGain, 481, 480},
        {M::kGlobalGain, -5, 0},
        {M::kExposure, 0, 1},
        {M::kExposure, 20001, 20000},
        {M::kColorGainR, 7, 0},
    };
    for (const Case& c : cases) {
        model.SetValue(c.slider, c.typed);
        EXPECT_EQ(model.Value(c.slider), c.stored) << c.slider << " " << c.typed;
    }
    EXPECT_EQ(camera.gain, 0);
    EXPECT_EQ(camera.exposure, 20000);
}

TEST(AnalogDialog, RealExposureUnitsRangeTextAndEntry) {
    CFakeAnalogCamera camera;
    camera.realExposure = true;
    camera.realSeconds = 0.0017;
    CameraSettings settings;
    int bayerMode = 0;
    test::RecordSettings records(settings, bayerMode);
    M model(camera, records);
    EXPECT_EQ(model.UnitItems(), (std::vector<std::string>{"\xC2\xB5s", "ms", "sec"}));
    EXPECT_EQ(model.RangeText(), "range: 2\xC2\xB5s - 20sec");
    EXPECT_EQ(model.UnitItems()[model.UnitSelection()], "ms");
    EXPECT_EQ(model.RealExposureText(), "1.7");
    model.SelectUnit(0);
    EXPECT_EQ(model.RealExposureText(), "1700");

    // Typed in microseconds; the camera's resulting exposure setting is read back.
    EXPECT_TRUE(model.SetRealExposureText("2500"));
    EXPECT_DOUBLE_EQ(camera.realSeconds, 0.0025);
    EXPECT_EQ(model.Value(M::kExposure), 25);
    EXPECT_FALSE(model.SetRealExposureText("25x"));
    EXPECT_FALSE(model.SetRealExposureText(""));
    EXPECT_DOUBLE_EQ(camera.realSeconds, 0.0025);

    // Cancel sends the real time back, not the exposure setting.
    model.Finish(false);
    EXPECT_DOUBLE_EQ(camera.realSeconds, 0.0017);

    struct Unit {
        double seconds;
        M::TimeUnit unit;
    } units[] = {{2.0, M::kSeconds},          {1.0, M::kMilliseconds},
                 {0.001, M::kMilliseconds},   {0.000999, M::kMicroseconds},
                 {0.000001, M::kMicroseconds}, {0.0000009, M::kNanoseconds}};
    for (const Unit& u : units) EXPECT_EQ(M::UnitOf(u.seconds), u.unit) << u.seconds;
}

TEST(AnalogDialog, AutoIrisBoxesExcludeEachOther) {
    CFakeAnalogCamera camera;
    CameraSettings settings;
    int bayerMode = 0;
    test::RecordSettings records(settings, bayerMode);
    M model(camera, records);
    model.SetAutoIrisGain(true);
    EXPECT_EQ(settings.autoIris, 2);
    model.SetAutoIrisExposure(true);
    EXPECT_EQ(settings.autoIris, 1);
    EXPECT_FALSE(model.IsAutoIrisGainChecked());
    model.SetAutoIrisExposure(false);
    EXPECT_EQ(settings.autoIris, 0);
}

TEST(AnalogDialog, DefaultResetsTheCameraAndItsOptionalFeatures) {
    CFakeAnalogCamera camera;
    camera.color = false;
    camera.blackLevel = camera.cooling = camera.shortExposure = true;
    camera.gainMode = 1;
    CameraSettings settings;
    int bayerMode = 0;
    test::RecordSettings records(settings, bayerMode);
    M model(camera, records);
    model.SetValue(M::kGlobalGain, 10);
    model.SetValue(M::kExposure, 900);
    model.SetShortExposure(true);
    model.Default();
    EXPECT_EQ(camera.gain, 64);
    EXPECT_EQ(camera.exposure, 170);
    EXPECT_EQ(camera.blackLevelValue, 60);
    EXPECT_EQ(settings.setting106, 60);
    EXPECT_EQ(camera.coolingValue, 1);
    EXPECT_EQ(camera.shortExposureValue, 0);
    EXPECT_EQ(camera.gainMode, 0);

    // Without the features nothing is sent for them.
    CFakeAnalogCamera plain;
    M plainModel(plain, records);
    plainModel.Default();
    EXPECT_EQ(plain.coolingValue, 0);
    EXPECT_EQ(plain.gainMode, -1);
}

}  // namespace
}  // namespace veltcam::ui
