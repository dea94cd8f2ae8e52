// Stored per-camera settings against the real store of the platform (the registry
// on Windows, the settings file on Linux), each test in a private, empty place.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/SettingsStore.h"
#include "support/PrivateSettingsStore.h"
#include "support/StoredSettings.h"
#include "ui/SettingsPersistence.h"

namespace veltcam::settings {
namespace {

using platform::CreateSettingsKey;
using platform::OpenSettingsKey;

// A camera with this model's answers by default; tests change what they need.
class CFakeCamera : public CSettingsCamera {
  public:
    bool mono8 = true, mono16 = true, color = true;
    std::optional<IntRange> gainRange = IntRange{0, 480};
    std::optional<IntRange> colorGainRange = IntRange{0, 0};
    std::optional<IntRange> exposureRange = IntRange{1, 20000};
    int gain = 64, exposure = 170, mirrorV = 0, mirrorH = 1;
    std::array<int, 4> colorGains{};
    bool blackLevelSupported = false, gainModeSupported = false, exposureMsSupported = false;
    int blackLevel = 0;
    double exposureMs = 17.0;

    bool Allows8And32BitOutput() override { return mono8; }
    bool Allows16BitOutput() override { return mono16; }
    bool Allows24To64BitOutput() override { return color; }
    std::optional<IntRange> GainRange() override { return gainRange; }
    std::optional<IntRange> ColorGainRange() override { return colorGainRange; }
    std::optional<IntRange> ExposureRange() override { return exposureRange; }
    int Gain() override { return gain; }
    int ColorGain(int channel) override { return colorGains[channel]; }
    int ExposureUnits() override { return exposure; }
    int MirrorV() override { return mirrorV; }
    int MirrorH() override { return mirrorH; }
    bool IsBlackLevelSupported() override { return blackLevelSupported; }
    IntRange BlackLevelRange() override { return {0, 255}; }
    int BlackLevel() override { return blackLevel; }
    bool IsGainModeSupported() override { return gainModeSupported; }
    IntRange GainModeRange() override { return {0, 1}; }
    bool IsExposureMsSupported() override { return exposureMsSupported; }
    DoubleRange ExposureMsRange() override { return {0.01, 2000.0}; }
    double ExposureMs() override { return exposureMs; }
};

// A camera that supports every optional value and colour gains, so every stored
// value of the Gain group can round-trip.
CFakeCamera FullFeaturedCamera() {
    CFakeCamera camera;
    camera.colorGainRange = IntRange{0, 480};
    camera.blackLevelSupported = camera.gainModeSupported = camera.exposureMsSupported = true;
    return camera;
}

using test::StoredInt;
using test::WriteDwords;

bool SameWindow(const CaptureWindow& a, const CaptureWindow& b) {
    return a.TH == b.TH && a.TV == b.TV && a.EH == b.EH && a.EV == b.EV && a.EHS == b.EHS &&
           a.EVS == b.EVS && a.Buf == b.Buf;
}

class SettingsPersistence : public ::testing::Test {
  protected:
    test::CPrivateSettingsStore store_;
    CFakeCamera camera_;
};

TEST_F(SettingsPersistence, CameraKeyNamesHaveAtLeastTwoDigits) {
    EXPECT_EQ(CameraKeyName(-1), "Camera_-1");
    EXPECT_EQ(CameraKeyName(0), "Camera_00");
    EXPECT_EQ(CameraKeyName(7), "Camera_07");
    EXPECT_EQ(CameraKeyName(123), "Camera_123");
}

TEST_F(SettingsPersistence, FirstRunWritesTheDefaultsOnce) {
    CaptureWindow window;
    window.EH = 640;  // replaced by the stored full-frame entry
    EXPECT_TRUE(LoadFrameSize(camera_, -1, window));
    EXPECT_TRUE(SameWindow(window, CaptureWindow{}));

    const std::pair<const char*, int> sizeValues[] = {
        {"TH", 2048}, {"TV", 1536}, {"EH", 2048}, {"EV", 1536}, {"EHS", 0}, {"EVS", 0}, {"Buf", 4}};
    for (auto [name, expected] : sizeValues) {
        EXPECT_EQ(StoredInt("Camera_-1\\Size_00", name), expected) << name;
    }
    const std::pair<const char*, int> formatValues[] = {
        {"Size", 0}, {"Color", 2}, {"SubSample", 0}, {"WaitTime", 1}, {"Clock", 0}};
    for (auto [name, expected] : formatValues) {
        EXPECT_EQ(StoredInt("Camera_-1", name), expected) << name;
    }
    EXPECT_FALSE(OpenSettingsKey("Camera_-1\\Size_01"));
    EXPECT_FALSE(OpenSettingsKey("Camera_00"));

    // With the root present nothing is written again, not even for another camera.
    WriteDwords("Camera_-1", {{"Color", 3}});
    EXPECT_FALSE(LoadFrameSize(camera_, 0, window));
    EXPECT_EQ(StoredInt("Camera_-1", "Color"), 3);
    EXPECT_FALSE(OpenSettingsKey("Camera_00"));
}

TEST_F(SettingsPersistence, FirstRunColourFollowsTheCameraOutputs) {
    struct Case {
        bool mono8, mono16, color;
        int expected;
    };
    const Case cases[] = {
        {true, true, true, 2},  {true, false, false, 0}, {false, true, false, 1},
        {true, true, false, 0}, {false, false, true, 2},
    };
    for (const Case& c : cases) {
        test::CPrivateSettingsStore fresh;
        camera_.mono8 = c.mono8;
        camera_.mono16 = c.mono16;
        camera_.color = c.color;
        CaptureWindow window;
        LoadFrameSize(camera_, -1, window);
        EXPECT_EQ(StoredInt("Camera_-1", "Color"), c.expected) << c.mono8 << c.mono16 << c.color;
    }
}

TEST_F(SettingsPersistence, FrameSizeComesFromTheSelectedEntry) {
    CaptureWindow full;
    CaptureWindow vga{800, 600, 640, 480, 100, 50, 2};
    FormatSettings format;
    ASSERT_TRUE(SaveFormat(3, {full, vga}, 1, format));

    CaptureWindow window;
    EXPECT_TRUE(LoadFrameSize(camera_, 3, window));
    EXPECT_TRUE(SameWindow(window, vga));
    ASSERT_EQ(LoadSizeTable(3).size(), 2u);
    EXPECT_TRUE(SameWindow(LoadSizeTable(3)[1], vga));

    // Values missing from the entry stay as they are.
    WriteDwords("Camera_04", {{"Size", 0}});
    WriteDwords("Camera_04\\Size_00", {{"EH", 1024}, {"EV", 768}});
    window = vga;
    EXPECT_TRUE(LoadFrameSize(camera_, 4, window));
    EXPECT_TRUE(SameWindow(window, (CaptureWindow{800, 600, 1024, 768, 100, 50, 2})));

    // An entry that does not fit the sensor is not taken at all.
    WriteDwords("Camera_05", {{"Size", 0}});
    WriteDwords("Camera_05\\Size_00", {{"TH", 1}, {"EH", 2000}, {"EHS", 100}});
    window = vga;
    EXPECT_FALSE(LoadFrameSize(camera_, 5, window));
    EXPECT_TRUE(SameWindow(window, vga));
}

TEST_F(SettingsPersistence, FormatRoundTripsAndInvalidValuesAreIgnored) {
    FormatSettings saved{5, 1, 250, 2};
    ASSERT_TRUE(SaveFormat(0, {CaptureWindow{}}, 0, saved));
    FormatSettings loaded;
    ASSERT_TRUE(LoadFormat(camera_, 0, loaded));
    EXPECT_EQ(loaded.colorModeIndex, 5);
    EXPECT_EQ(loaded.subSampleMode, 1);
    EXPECT_EQ(loaded.waitTimeMs, 250);
    EXPECT_EQ(loaded.clock, 2);

    WriteDwords("Camera_00", {{"Color", 6}, {"SubSample", 2}, {"WaitTime", -1}, {"Clock", 3}});
    ASSERT_TRUE(LoadFormat(camera_, 0, loaded));
    EXPECT_EQ(loaded.colorModeIndex, 5);
    EXPECT_EQ(loaded.subSampleMode, 1);
    EXPECT_EQ(loaded.waitTimeMs, 250);
    EXPECT_EQ(loaded.clock, 2);

    FormatSettings untouched{1, 0, 7, 1};
    EXPECT_FALSE(LoadFormat(camera_, 9, untouched));
    EXPECT_EQ(untouched.colorModeIndex, 1);
    EXPECT_EQ(untouched.waitTimeMs, 7);
}

TEST_F(SettingsPersistence, StoredColourIsMovedToAnOutputTheCameraHas) {
    struct Case {
        bool mono8, mono16, color;
        int stored, expected;
    };
    const Case cases[] = {
        {true, true, true, 3, 3},    // everything allowed: unchanged
        {false, false, true, 3, 2},  // no 32 bits and no 16 bits: 24 bits
        {false, true, true, 0, 1},   // no 8 bits: 16 bits
        {false, true, true, 3, 1},  {true, true, false, 2, 1},  // no colour: 16 bits if possible
        {true, false, false, 2, 0},                             // else 8 bits
        {true, true, false, 4, 1},  // 48 and 64 bits are colour output too
        {true, false, false, 5, 0}, {true, false, true, 1, 2},  // no 16 bits: 24 bits
        {true, false, false, 1, 0},
    };
    for (const Case& c : cases) {
        WriteDwords("Camera_01", {{"Color", c.stored}});
        camera_.mono8 = c.mono8;
        camera_.mono16 = c.mono16;
        camera_.color = c.color;
        FormatSettings format;
        ASSERT_TRUE(LoadFormat(camera_, 1, format));
        EXPECT_EQ(format.colorModeIndex, c.expected)
            << "stored " << c.stored << " outputs " << c.mono8 << c.mono16 << c.color;
    }
}

TEST_F(SettingsPersistence, GainGroupRoundTrips) {
    CFakeCamera camera = FullFeaturedCamera();
    CameraSettings saved;
    saved.globalGain = 300;
    saved.colorGain = {11, 12, 13, 14};
    saved.exposureUnits = 20000;
    saved.mirrorV = 1;
    saved.mirrorH = 0;
    saved.autoIris = 2;
    saved.setting104 = 1;
    saved.setting106 = 40;
    saved.exposureMs = 12.345;
    ASSERT_TRUE(SaveGain(2, saved));

    CameraSettings loaded;
    ASSERT_TRUE(LoadGain(camera, 2, loaded));
    EXPECT_EQ(loaded.globalGain, 300);
    EXPECT_EQ(loaded.colorGain, saved.colorGain);
    EXPECT_EQ(loaded.exposureUnits, 20000);
    EXPECT_EQ(loaded.mirrorV, 1);
    EXPECT_EQ(loaded.mirrorH, 0);
    EXPECT_EQ(loaded.autoIris, 2);
    EXPECT_EQ(loaded.setting104, 1);
    EXPECT_EQ(loaded.setting106, 40);
    EXPECT_EQ(loaded.exposureMs, 12.345);

    // The real exposure time is stored as the 8 bytes of the double.
    auto bytes = OpenSettingsKey("Camera_02\\Gain")->ReadBinary8("ExposureEx");
    ASSERT_TRUE(bytes);
    double stored = 0;
    std::memcpy(&stored, bytes->data(), sizeof stored);
    EXPECT_EQ(stored, 12.345);
}

TEST_F(SettingsPersistence, MissingGainGroupTakesTheCameraValues) {
    CFakeCamera camera = FullFeaturedCamera();
    camera.colorGains = {1, 2, 3, 4};
    camera.blackLevel = 9;
    CameraSettings values;
    values.autoIris = 2;
    values.setting104 = 1;
    EXPECT_FALSE(LoadGain(camera, 0, values));
    EXPECT_EQ(values.globalGain, 64);
    EXPECT_EQ(values.colorGain, camera.colorGains);
    EXPECT_EQ(values.exposureUnits, 170);
    EXPECT_EQ(values.mirrorV, 0);
    EXPECT_EQ(values.mirrorH, 1);
    EXPECT_EQ(values.setting106, 9);
    EXPECT_EQ(values.exposureMs, 17.0);
    EXPECT_EQ(values.autoIris, 0);
    EXPECT_EQ(values.setting104, 0);

    // Without the optional features their values are left alone.
    CameraSettings plain;
    plain.setting106 = 5;
    plain.exposureMs = 3.0;
    EXPECT_FALSE(LoadGain(camera_, 0, plain));
    EXPECT_EQ(plain.setting106, 5);
    EXPECT_EQ(plain.exposureMs, 3.0);
}

TEST_F(SettingsPersistence, MissingOrInvalidGainValuesTakeTheValueReadBefore) {
    CFakeCamera camera = FullFeaturedCamera();
    // Stored order: Global ColorG1 ColorR ColorB ColorG2 Exposure V_Mirror H_Mirror
    // AutoIris GainMode BlackLevel, then the real exposure time.
    WriteDwords("Camera_00\\Gain", {
                                       {"ColorG1", 21},   // Global missing: 0
                                       {"ColorR", 481},   // invalid: 21
                                       {"ColorG2", 300},  // ColorB missing: 21
                                       {"Exposure", 0},   // invalid: 300
                                       {"V_Mirror", 0},
                                       {"AutoIris", 1},     // H_Mirror missing: 0
                                       {"GainMode", 7},     // invalid: 1
                                       {"BlackLevel", 300}  // invalid, and 1 is valid
                                   });
    CameraSettings values;
    values.exposureMs = 5.0;
    ASSERT_TRUE(LoadGain(camera, 0, values));
    EXPECT_EQ(values.globalGain, 0);
    EXPECT_EQ(values.colorGain, (std::array<int, 4>{21, 21, 300, 21}));  // R, G1, G2, B
    EXPECT_EQ(values.exposureUnits, 300);
    EXPECT_EQ(values.mirrorV, 0);
    EXPECT_EQ(values.mirrorH, 0);
    EXPECT_EQ(values.autoIris, 1);
    EXPECT_EQ(values.setting104, 1);
    EXPECT_EQ(values.setting106, 1);
    // A missing real exposure time is 0.0, which this camera does not accept.
    EXPECT_EQ(values.exposureMs, 5.0);

    // A carried value the setting does not accept leaves the setting alone; a value
    // of the wrong type counts as missing; mirrors take any value as on.
    {
        auto key = CreateSettingsKey("Camera_01\\Gain");
        ASSERT_TRUE(key);
        key->WriteDword("Global", 100);
        key->WriteBinary8("ColorG1", {1, 2, 3, 4, 5, 6, 7, 8});
        key->WriteDword("ColorG2", 0);  // Exposure missing: 0 is not an exposure
        key->WriteDword("V_Mirror", 5);
        key->WriteDword("AutoIris", 3);  // invalid: carries 5, not an auto-iris mode
        ASSERT_TRUE(key->Commit());
    }
    CameraSettings more;
    more.exposureUnits = 170;
    more.autoIris = 2;
    ASSERT_TRUE(LoadGain(camera, 1, more));
    EXPECT_EQ(more.globalGain, 100);
    EXPECT_EQ(more.colorGain[1], 100);
    EXPECT_EQ(more.exposureUnits, 170);
    EXPECT_EQ(more.mirrorV, 1);
    EXPECT_EQ(more.mirrorH, 1);
    EXPECT_EQ(more.autoIris, 2);
}

TEST_F(SettingsPersistence, GainValuesOfAbsentFeaturesAndRangesOfThisCamera) {
    CameraSettings saved;
    saved.globalGain = 200;
    saved.colorGain = {200, 200, 200, 200};  // as VeltCam_SetGlobalGain leaves them
    saved.exposureUnits = 500;
    saved.setting104 = 1;
    saved.setting106 = 12;
    saved.exposureMs = 9.0;
    ASSERT_TRUE(SaveGain(0, saved));

    // This camera has no colour gains (range 0..0), no black level, no gain mode and
    // no real exposure time: those keep their values, the rest loads.
    CameraSettings values;
    values.setting104 = 0;
    values.setting106 = 3;
    values.exposureMs = 1.0;
    ASSERT_TRUE(LoadGain(camera_, 0, values));
    EXPECT_EQ(values.globalGain, 200);
    EXPECT_EQ(values.colorGain, (std::array<int, 4>{0, 0, 0, 0}));
    EXPECT_EQ(values.exposureUnits, 500);
    EXPECT_EQ(values.setting104, 0);
    EXPECT_EQ(values.setting106, 3);
    EXPECT_EQ(values.exposureMs, 1.0);

    // Without an open camera the core cannot give ranges: stored values are taken.
    camera_.gainRange = camera_.colorGainRange = camera_.exposureRange = std::nullopt;
    ASSERT_TRUE(LoadGain(camera_, 0, values));
    EXPECT_EQ(values.colorGain, (std::array<int, 4>{200, 200, 200, 200}));
}

TEST_F(SettingsPersistence, FilterGroupRoundTripsDefaultsAndRanges) {
    ImageSettings values;
    values.bayerGainAuto = 1;
    EXPECT_FALSE(LoadFilter(0, values));
    EXPECT_EQ(values.brightness, 0);
    EXPECT_EQ(values.sharpness, 0);
    EXPECT_EQ(values.bayerGainRed, 100);
    EXPECT_EQ(values.bayerGainGreen, 100);
    EXPECT_EQ(values.bayerGainBlue, 100);
    EXPECT_EQ(values.gamma, 100);
    EXPECT_EQ(values.bayerMode, 3);
    EXPECT_EQ(values.bayerGainAuto, 0);

    ImageSettings saved;
    saved.brightness = -255;
    saved.contrast = 127;
    saved.hue = -360;
    saved.saturation = 255;
    saved.sharpness = 30;
    saved.bayerGainRed = 400;
    saved.bayerGainGreen = 0;
    saved.bayerGainBlue = 150;
    saved.gamma = 200;
    saved.bayerMode = 0;
    ASSERT_TRUE(SaveFilter(1, saved));
    ImageSettings loaded;
    loaded.bayerGainAuto = 1;  // not stored: stays
    ASSERT_TRUE(LoadFilter(1, loaded));
    EXPECT_EQ(loaded.brightness, -255);
    EXPECT_EQ(loaded.contrast, 127);
    EXPECT_EQ(loaded.hue, -360);
    EXPECT_EQ(loaded.saturation, 255);
    EXPECT_EQ(loaded.sharpness, 30);
    EXPECT_EQ(loaded.bayerGainRed, 400);
    EXPECT_EQ(loaded.bayerGainGreen, 0);
    EXPECT_EQ(loaded.bayerGainBlue, 150);
    EXPECT_EQ(loaded.gamma, 200);
    EXPECT_EQ(loaded.bayerMode, 0);
    EXPECT_EQ(loaded.bayerGainAuto, 1);

    // One past each end of each range counts as missing: the setting stays.
    WriteDwords("Camera_01\\Filter", {{"Brightness", 256},
                                      {"Contrast", -128},
                                      {"Hue", 361},
                                      {"Saturation", -256},
                                      {"Sharpness", -1},
                                      {"R_Gain", 401},
                                      {"G_Gain", -1},
                                      {"B_Gain", 401},
                                      {"Gamma", 201},
                                      {"BayerMode", 4}});
    ImageSettings kept = loaded;
    ASSERT_TRUE(LoadFilter(1, kept));
    EXPECT_EQ(kept.brightness, -255);
    EXPECT_EQ(kept.contrast, 127);
    EXPECT_EQ(kept.hue, -360);
    EXPECT_EQ(kept.saturation, 255);
    EXPECT_EQ(kept.sharpness, 30);
    EXPECT_EQ(kept.bayerGainRed, 400);
    EXPECT_EQ(kept.bayerGainGreen, 0);
    EXPECT_EQ(kept.bayerGainBlue, 150);
    EXPECT_EQ(kept.gamma, 200);
    EXPECT_EQ(kept.bayerMode, 0);
}

TEST_F(SettingsPersistence, GrayGroupIsSavedOnlyForAKnownCamera) {
    ImageSettings values;
    EXPECT_FALSE(LoadGray(0, values));
    EXPECT_EQ(values.grayMode, 0);
    EXPECT_EQ(values.grayGain, (std::array<int, 4>{128, 128, 128, 128}));
    EXPECT_EQ(values.grayOffset, (std::array<int, 4>{128, 128, 128, 128}));

    ImageSettings saved;
    saved.grayMode = 2;
    saved.grayGain = {0, 1, 254, 255};
    saved.grayOffset = {-255, -1, 0, 255};
    EXPECT_FALSE(SaveGray(0, saved));
    EXPECT_FALSE(OpenSettingsKey("Camera_00"));

    ASSERT_TRUE(SaveFilter(0, ImageSettings{}));  // the camera key exists from now on
    ASSERT_TRUE(SaveGray(0, saved));
    ImageSettings loaded;
    ASSERT_TRUE(LoadGray(0, loaded));
    EXPECT_EQ(loaded.grayMode, 2);
    EXPECT_EQ(loaded.grayGain, saved.grayGain);
    EXPECT_EQ(loaded.grayOffset, saved.grayOffset);

    WriteDwords("Camera_00\\Gray", {{"Mode", 3}, {"GainR1", 256}, {"OffsetB1", -256}});
    ImageSettings kept = loaded;
    ASSERT_TRUE(LoadGray(0, kept));
    EXPECT_EQ(kept.grayMode, 2);
    EXPECT_EQ(kept.grayGain, saved.grayGain);
    EXPECT_EQ(kept.grayOffset, saved.grayOffset);
}

TEST_F(SettingsPersistence, SizeTableLookupTakesTheFirstMatchUpToTheFirstGap) {
    EXPECT_FALSE(FindStoredSize(2048, 1536));  // no root key at all

    WriteDwords("Size_00", {{"EH", 1024}, {"EV", 768}});
    WriteDwords(
        "Size_01",
        {{"TH", 700}, {"TV", 500}, {"EH", 640}, {"EV", 480}, {"EHS", 8}, {"EVS", 4}, {"Buf", 2}});
    WriteDwords("Size_02", {{"EH", 640}, {"EV", 480}, {"EHS", 16}});
    WriteDwords("Size_04", {{"EH", 320}, {"EV", 240}});             // after the gap: never read
    WriteDwords("Camera_00\\Size_00", {{"EH", 800}, {"EV", 600}});  // not the root table

    auto vga = FindStoredSize(640, 480);
    ASSERT_TRUE(vga);
    EXPECT_TRUE(SameWindow(*vga, (CaptureWindow{700, 500, 640, 480, 8, 4, 2})));
    auto xga = FindStoredSize(1024, 768);
    ASSERT_TRUE(xga);  // values missing from an entry are the full frame's
    EXPECT_TRUE(SameWindow(*xga, (CaptureWindow{2048, 1536, 1024, 768, 0, 0, 4})));
    EXPECT_FALSE(FindStoredSize(320, 240));
    EXPECT_FALSE(FindStoredSize(800, 600));
}

}  // namespace
}  // namespace veltcam::settings
