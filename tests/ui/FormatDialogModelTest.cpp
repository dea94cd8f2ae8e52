// The capture format dialog's model against a private settings store: the lists it
// builds from the camera's capabilities and stored format, and what Apply stores.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/SettingsStore.h"
#include "support/PrivateSettingsStore.h"
#include "ui/FormatDialogModel.h"

namespace veltcam::ui {
namespace {

class CFormatCamera : public CSettingsCamera {
  public:
    bool mono8 = true, mono16 = true, color = true;
    bool Allows8And32BitOutput() override { return mono8; }
    bool Allows16BitOutput() override { return mono16; }
    bool Allows24To64BitOutput() override { return color; }
    std::optional<IntRange> GainRange() override { return IntRange{0, 480}; }
    std::optional<IntRange> ColorGainRange() override { return IntRange{0, 0}; }
    std::optional<IntRange> ExposureRange() override { return IntRange{1, 20000}; }
    int Gain() override { return 64; }
    int ColorGain(int) override { return 0; }
    int ExposureUnits() override { return 170; }
    int MirrorV() override { return 0; }
    int MirrorH() override { return 0; }
    bool IsBlackLevelSupported() override { return false; }
    IntRange BlackLevelRange() override { return {0, 0}; }
    int BlackLevel() override { return 0; }
    bool IsGainModeSupported() override { return false; }
    IntRange GainModeRange() override { return {0, 0}; }
    bool IsExposureMsSupported() override { return false; }
    DoubleRange ExposureMsRange() override { return {0.0, 0.0}; }
    double ExposureMs() override { return 0.0; }
};

constexpr int kCamera = 0;

std::optional<int> Stored(const char* name) {
    auto key = platform::OpenSettingsKey(settings::CameraKeyName(kCamera));
    if (!key) return std::nullopt;
    auto value = key->ReadDword(name);
    if (!value) return std::nullopt;
    return static_cast<int>(*value);
}

CaptureWindow Window(int eh, int ev, int ehs, int evs) {
    CaptureWindow w;
    w.EH = eh;
    w.EV = ev;
    w.EHS = ehs;
    w.EVS = evs;
    return w;
}

void StoreFormat(const std::vector<CaptureWindow>& sizes, int sizeIndex, int color = 2,
                 int subSample = 0) {
    FormatSettings format;
    format.colorModeIndex = color;
    format.subSampleMode = subSample;
    format.waitTimeMs = 1;
    ASSERT_TRUE(settings::SaveFormat(kCamera, sizes, sizeIndex, format));
}

class FormatDialog : public testing::Test {
  protected:
    CFormatDialogModel Open(FormatCapabilities caps = {},
                            DialogLanguage language = DialogLanguage::kEnglish) {
        CFormatDialogModel model(kCamera, caps, language);
        camera_.mono8 = caps.allows8And32;
        camera_.mono16 = caps.allows16;
        camera_.color = caps.allowsColor;
        model.Load(camera_);
        return model;
    }

    test::CPrivateSettingsStore store_;
    CFormatCamera camera_;
};

TEST_F(FormatDialog, ColourListFollowsCapabilitiesAndStoresTheModeIndex) {
    StoreFormat({CaptureWindow{}}, 0);
    CFormatDialogModel model = Open();
    EXPECT_EQ(model.ColorItems(),
              (std::vector<std::string>{"Monochrome 8bit", "Monochrome 16bit *", "Color 24bit",
                                        "Color 32bit", "Color 48bit *", "Color 64bit *"}));
    EXPECT_EQ(model.ColorSelection(), 2);
    EXPECT_FALSE(model.IsApplyEnabled());

    model.SelectColor(4);
    EXPECT_TRUE(model.IsApplyEnabled());
    model.Apply();
    EXPECT_EQ(Stored("Color"), 4);
    EXPECT_FALSE(model.IsApplyEnabled());

    // A monochrome camera with 16-bit output: two items, the stored colour mode
    // falls back to 16 bits, and choosing the first item stores mode 0.
    CFormatDialogModel mono = Open({.allowsColor = false});
    EXPECT_EQ(mono.ColorItems(),
              (std::vector<std::string>{"Monochrome 8bit", "Monochrome 16bit *"}));
    EXPECT_EQ(mono.ColorSelection(), 1);
    mono.SelectColor(0);
    mono.Apply();
    EXPECT_EQ(Stored("Color"), 0);

    // Only 16-bit output: its item is the first and only one.
    CFormatDialogModel only16 = Open({.allows8And32 = false, .allowsColor = false});
    only16.Apply();
    EXPECT_EQ(Stored("Color"), 1);
}

TEST_F(FormatDialog, JapaneseLabelsForLanguage1041) {
    EXPECT_EQ(LanguageFor(1041), DialogLanguage::kJapanese);
    EXPECT_EQ(LanguageFor(1033), DialogLanguage::kEnglish);
    StoreFormat({CaptureWindow{}}, 0);
    CFormatDialogModel model = Open({}, DialogLanguage::kJapanese);
    EXPECT_EQ(model.ColorItems()[1], "モノクロ 16bit *");
    EXPECT_EQ(model.SizeItems().back(), "カスタム");
}

TEST_F(FormatDialog, HalfSkipAddsAndSelectsAFullFrameEntry) {
    StoreFormat({Window(640, 480, 8, 8), Window(1024, 768, 0, 0)}, 1);
    CFormatDialogModel model = Open();
    EXPECT_EQ(model.SizeItems(), (std::vector<std::string>{"640 x 480", "1024 x 768", "Custom"}));
    EXPECT_EQ(model.SizeSelection(), 1);
    EXPECT_EQ(model.EditValue(CFormatDialogModel::kEffectiveH), 1024);

    model.SelectSubSample(1);
    EXPECT_EQ(model.SizeItems(),
              (std::vector<std::string>{"640 x 480", "1024 x 768", "2048 x 1536", "Custom"}));
    EXPECT_EQ(model.SizeSelection(), 2);
    EXPECT_FALSE(model.IsSizeListEnabled());
    EXPECT_FALSE(model.IsEditEnabled(CFormatDialogModel::kEffectiveH));
    EXPECT_EQ(model.EditValue(CFormatDialogModel::kEffectiveV), 1536);
    EXPECT_EQ(model.EditValue(CFormatDialogModel::kStartH), 0);

    model.Apply();
    EXPECT_EQ(Stored("SubSample"), 1);
    EXPECT_EQ(Stored("Size"), 2);
    ASSERT_EQ(settings::LoadSizeTable(kCamera).size(), 3u);

    // With a full-frame entry present, skipping selects it instead of adding one.
    CFormatDialogModel again = Open();
    again.SelectSubSample(0);
    EXPECT_TRUE(again.IsSizeListEnabled());
    again.SelectSize(0);
    again.SelectSubSample(1);
    EXPECT_EQ(again.SizeSelection(), 2);
    EXPECT_EQ(again.Entries().size(), 3u);
}

TEST_F(FormatDialog, CustomApplyAddsThenOverwrites) {
    StoreFormat({CaptureWindow{}}, 0);
    CFormatDialogModel model = Open();
    model.SelectSize(1);  // "Custom"
    ASSERT_TRUE(model.IsCustomSelected());
    model.SetEdit(CFormatDialogModel::kEffectiveH, 800);
    model.Apply();
    EXPECT_EQ(model.SizeItems(), (std::vector<std::string>{"2048 x 1536", "800 x 1536", "Custom"}));
    EXPECT_EQ(model.SizeSelection(), 1);
    EXPECT_EQ(Stored("Size"), 1);

    model.SetEdit(CFormatDialogModel::kEffectiveV, 600);
    model.Apply();
    auto table = settings::LoadSizeTable(kCamera);
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table[1].EH, 800);
    EXPECT_EQ(table[1].EV, 600);
    EXPECT_EQ(table[1].Buf, 4);
}

TEST_F(FormatDialog, FullTableKeepsItsHundredEntries) {
    StoreFormat(std::vector<CaptureWindow>(settings::kMaxSizeEntries, Window(320, 240, 0, 0)), 5);
    CFormatDialogModel model = Open();
    model.SelectSize(settings::kMaxSizeEntries);
    model.SetEdit(CFormatDialogModel::kEffectiveH, 100);
    model.Apply();
    EXPECT_EQ(model.Entries().size(), settings::kMaxSizeEntries);
    // Skipping cannot add the full-frame entry either; the selection stays.
    model.SelectSize(3);
    model.SelectSubSample(1);
    EXPECT_EQ(model.Entries().size(), settings::kMaxSizeEntries);
    EXPECT_EQ(model.SizeSelection(), 3);
}

TEST_F(FormatDialog, StoredSizeIndexOutsideTheEntriesSelectsTheFirst) {
    StoreFormat({Window(640, 480, 0, 0), Window(320, 240, 0, 0)}, 7);
    CFormatDialogModel model = Open();
    EXPECT_EQ(model.SizeSelection(), 0);
    EXPECT_EQ(model.EditValue(CFormatDialogModel::kEffectiveH), 640);
}

TEST_F(FormatDialog, ClockIsAlwaysTheHighClockAndWaitTimeIsStored) {
    FormatSettings format;
    format.clock = 1;
    format.waitTimeMs = 7;
    ASSERT_TRUE(settings::SaveFormat(kCamera, {CaptureWindow{}}, 0, format));
    CFormatDialogModel model = Open();
    EXPECT_EQ(model.ClockSelection(), 2);
    EXPECT_EQ(model.ClockItems()[2], "High(54MHz)");
    EXPECT_EQ(model.WaitTime(), 7);
    model.SetWaitTime(25);
    model.Apply();
    EXPECT_EQ(Stored("Clock"), 2);
    EXPECT_EQ(Stored("WaitTime"), 25);
}

TEST_F(FormatDialog, WindowCapabilitiesDisableTheirEdits) {
    StoreFormat({CaptureWindow{}}, 0);
    CFormatDialogModel vertical = Open({.canChangeH = false});
    EXPECT_FALSE(vertical.IsEditEnabled(CFormatDialogModel::kStartH));
    EXPECT_TRUE(vertical.IsEditEnabled(CFormatDialogModel::kStartV));
    EXPECT_TRUE(vertical.IsSizeListEnabled());
    CFormatDialogModel neither = Open({.canChangeH = false, .canChangeV = false});
    EXPECT_FALSE(neither.IsSizeListEnabled());
}

}  // namespace
}  // namespace veltcam::ui
