#include "ui/SettingsPersistence.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <functional>

#include "platform/SettingsStore.h"

namespace veltcam::settings {
namespace {

using platform::CreateSettingsKey;
using platform::CSettingsKey;
using platform::OpenSettingsKey;

using Check = std::function<bool(int)>;

constexpr IntRange kColorModes{0, 5};
constexpr IntRange kSubSampleModes{0, 1};
constexpr IntRange kClocks{0, 2};  // normal, half, high
constexpr IntRange kSizeIndexes{0, kMaxSizeEntries - 1};
constexpr IntRange kAutoIrisModes{0, 2};

// Filter and Gray values with the ranges their setters accept.
struct IntValue {
    const char* name;
    IntRange range;
};

std::string SizeKeyName(int index) {
    char name[16];
    std::snprintf(name, sizeof name, "Size_%02d", index);
    return name;
}

std::string SubKey(int cameraNumber, const char* group) {
    return CameraKeyName(cameraNumber) + "\\" + group;
}

// Stored DWORDs are the two's complement of the signed settings.
std::optional<int> ReadInt(const CSettingsKey& key, const char* name) {
    auto value = key.ReadDword(name);
    if (!value) return std::nullopt;
    return static_cast<int>(*value);
}

// Sets `target` from a stored value that passes `valid`; leaves it otherwise.
void LoadInt(const CSettingsKey& key, const char* name, const Check& valid, int& target) {
    auto value = ReadInt(key, name);
    if (value && valid(*value)) target = *value;
}

void LoadInt(const CSettingsKey& key, const char* name, IntRange range, int& target) {
    LoadInt(
        key, name, [range](int v) { return range.Contains(v); }, target);
}

bool WriteInt(CSettingsKey& key, const char* name, int value) {
    return key.WriteDword(name, static_cast<uint32_t>(value));
}

Check InRange(const std::optional<IntRange>& range) {
    return [range](int v) { return !range || range->Contains(v); };
}

// The seven values of a size entry; those missing keep their value in `entry`.
CaptureWindow ReadSizeEntry(const CSettingsKey& key, CaptureWindow entry) {
    for (auto [name, field] :
         {std::pair{"TH", &entry.TH}, std::pair{"TV", &entry.TV}, std::pair{"EH", &entry.EH},
          std::pair{"EV", &entry.EV}, std::pair{"EHS", &entry.EHS}, std::pair{"EVS", &entry.EVS},
          std::pair{"Buf", &entry.Buf}}) {
        if (auto value = ReadInt(key, name)) *field = *value;
    }
    return entry;
}

// Size entries "Size_00" onward below `parent` (a path relative to the root),
// stopping at the first that does not exist.
std::vector<CaptureWindow> ReadSizeTable(const std::string& parent) {
    std::vector<CaptureWindow> table;
    for (int i = 0; i < kMaxSizeEntries; ++i) {
        std::string path = parent.empty() ? SizeKeyName(i) : parent + "\\" + SizeKeyName(i);
        auto key = OpenSettingsKey(path);
        if (!key) break;
        table.push_back(ReadSizeEntry(*key, CaptureWindow{}));
    }
    return table;
}

bool WriteSizeEntry(int cameraNumber, int index, const CaptureWindow& entry) {
    auto key = CreateSettingsKey(CameraKeyName(cameraNumber) + "\\" + SizeKeyName(index));
    if (!key) return false;
    bool ok = WriteInt(*key, "TH", entry.TH) & WriteInt(*key, "TV", entry.TV) &
              WriteInt(*key, "EH", entry.EH) & WriteInt(*key, "EV", entry.EV) &
              WriteInt(*key, "EHS", entry.EHS) & WriteInt(*key, "EVS", entry.EVS) &
              WriteInt(*key, "Buf", entry.Buf);
    return key->Commit() && ok;
}

// The colour modes a camera can deliver: 8 and 32 bits share one capability, 16
// bits has its own, and 24, 48 and 64 bits share the colour one. A mode outside
// them moves to the nearest the camera has, monochrome 16 bits first.
int CorrectColorMode(CSettingsCamera& camera, int mode) {
    bool mono8 = camera.Allows8And32BitOutput();
    bool mono16 = camera.Allows16BitOutput();
    bool color = camera.Allows24To64BitOutput();
    if (!mono8 && (mode == 0 || mode == 3)) mode = mono16 ? 1 : 2;
    if (!color && (mode == 2 || mode == 4 || mode == 5)) mode = mono16 ? 1 : 0;
    if (!mono16 && mode == 1) mode = color ? 2 : 0;
    return mode;
}

int FirstRunColorMode(CSettingsCamera& camera) {
    if (camera.Allows24To64BitOutput()) return 2;
    if (camera.Allows8And32BitOutput()) return 0;
    if (camera.Allows16BitOutput()) return 1;
    return 2;
}

bool WriteFirstRunDefaults(CSettingsCamera& camera, int cameraNumber) {
    FormatSettings defaults;
    defaults.colorModeIndex = FirstRunColorMode(camera);
    defaults.subSampleMode = 0;
    defaults.waitTimeMs = 1;
    defaults.clock = 0;
    return SaveFormat(cameraNumber, {CaptureWindow{}}, 0, defaults);
}

// Runs `body`, turning an allocation failure into a silent store failure.
template <class Body>
bool Guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return false;
    }
}

constexpr IntValue kFilterValues[] = {
    {"Brightness", {-255, 255}}, {"Contrast", {-127, 127}}, {"Hue", {-360, 360}},
    {"Saturation", {-255, 255}}, {"Sharpness", {0, 30}},    {"R_Gain", {0, 400}},
    {"G_Gain", {0, 400}},        {"B_Gain", {0, 400}},      {"Gamma", {0, 200}},
    {"BayerMode", {0, 3}},
};

std::array<int*, 10> FilterFields(ImageSettings& s) {
    return {&s.brightness,   &s.contrast,       &s.hue,           &s.saturation, &s.sharpness,
            &s.bayerGainRed, &s.bayerGainGreen, &s.bayerGainBlue, &s.gamma,      &s.bayerMode};
}

constexpr IntValue kGrayValues[] = {
    {"Mode", {0, 2}},          {"GainR1", {0, 255}},      {"GainG1", {0, 255}},
    {"GainG2", {0, 255}},      {"GainB1", {0, 255}},      {"OffsetR1", {-255, 255}},
    {"OffsetG1", {-255, 255}}, {"OffsetG2", {-255, 255}}, {"OffsetB1", {-255, 255}},
};

std::array<int*, 9> GrayFields(ImageSettings& s) {
    return {&s.grayMode,      &s.grayGain[0],   &s.grayGain[1],   &s.grayGain[2],  &s.grayGain[3],
            &s.grayOffset[0], &s.grayOffset[1], &s.grayOffset[2], &s.grayOffset[3]};
}

}  // namespace

std::string CameraKeyName(int cameraNumber) {
    char name[24];
    std::snprintf(name, sizeof name, "Camera_%02d", cameraNumber);
    return name;
}

bool IsWindowInsideSensor(const CaptureWindow& w) {
    if (w.EH < 0 || w.EV < 0 || w.EHS < 0 || w.EVS < 0) return false;
    // Each term is at most the sensor size, so the sums cannot overflow.
    return w.EH <= kSensorWidth && w.EV <= kSensorHeight && w.EHS <= kSensorWidth &&
           w.EVS <= kSensorHeight && w.EHS + w.EH <= kSensorWidth && w.EVS + w.EV <= kSensorHeight;
}

bool LoadFrameSize(CSettingsCamera& camera, int cameraNumber, CaptureWindow& window) {
    return Guarded([&] {
        if (!OpenSettingsKey("")) WriteFirstRunDefaults(camera, cameraNumber);
        std::string cameraKey = CameraKeyName(cameraNumber);
        auto key = OpenSettingsKey(cameraKey);
        if (!key) return false;
        int index = 0;
        LoadInt(*key, "Size", kSizeIndexes, index);
        auto entryKey = OpenSettingsKey(cameraKey + "\\" + SizeKeyName(index));
        if (!entryKey) return false;

        // Values missing from the entry keep the current ones; a window that then
        // does not fit the sensor is not taken at all.
        CaptureWindow loaded = ReadSizeEntry(*entryKey, window);
        if (!IsWindowInsideSensor(loaded)) return false;
        window = loaded;
        return true;
    });
}

bool CreateFirstRunDefaults(CSettingsCamera& camera, int cameraNumber) {
    return Guarded([&] {
        if (OpenSettingsKey(CameraKeyName(cameraNumber))) return false;
        return WriteFirstRunDefaults(camera, cameraNumber);
    });
}

bool LoadFormat(CSettingsCamera& camera, int cameraNumber, FormatSettings& format) {
    return Guarded([&] {
        auto key = OpenSettingsKey(CameraKeyName(cameraNumber));
        if (!key) return false;
        FormatSettings loaded = format;
        LoadInt(*key, "Color", kColorModes, loaded.colorModeIndex);
        LoadInt(*key, "SubSample", kSubSampleModes, loaded.subSampleMode);
        LoadInt(
            *key, "WaitTime", [](int ms) { return ms >= 0; }, loaded.waitTimeMs);
        LoadInt(*key, "Clock", kClocks, loaded.clock);
        loaded.colorModeIndex = CorrectColorMode(camera, loaded.colorModeIndex);
        format = loaded;
        return true;
    });
}

bool SaveFormat(int cameraNumber, const std::vector<CaptureWindow>& sizes, int sizeIndex,
                const FormatSettings& format) {
    return Guarded([&] {
        auto key = CreateSettingsKey(CameraKeyName(cameraNumber));
        if (!key) return false;
        bool ok = true;
        int count = static_cast<int>(std::min<size_t>(sizes.size(), kMaxSizeEntries));
        for (int i = 0; i < count; ++i) ok &= WriteSizeEntry(cameraNumber, i, sizes[i]);
        ok &= WriteInt(*key, "Size", sizeIndex) & WriteInt(*key, "Color", format.colorModeIndex) &
              WriteInt(*key, "SubSample", format.subSampleMode) &
              WriteInt(*key, "WaitTime", format.waitTimeMs) & WriteInt(*key, "Clock", format.clock);
        return key->Commit() && ok;
    });
}

std::vector<CaptureWindow> LoadSizeTable(int cameraNumber) {
    try {
        return ReadSizeTable(CameraKeyName(cameraNumber));
    } catch (...) {
        return {};
    }
}

std::optional<CaptureWindow> FindStoredSize(int width, int height) {
    try {
        for (const CaptureWindow& entry : ReadSizeTable("")) {
            if (entry.EH == width && entry.EV == height) return entry;
        }
    } catch (...) {
    }
    return std::nullopt;
}

bool LoadGain(CSettingsCamera& camera, int cameraNumber, CameraSettings& values) {
    return Guarded([&] {
        auto key = OpenSettingsKey(SubKey(cameraNumber, "Gain"));
        if (!key) {
            values.globalGain = camera.Gain();
            for (int i = 0; i < 4; ++i) values.colorGain[i] = camera.ColorGain(i);
            values.exposureUnits = camera.ExposureUnits();
            values.mirrorV = camera.MirrorV();
            values.mirrorH = camera.MirrorH();
            if (camera.IsBlackLevelSupported()) values.setting106 = camera.BlackLevel();
            if (camera.IsExposureMsSupported()) values.exposureMs = camera.ExposureMs();
            values.autoIris = 0;
            values.setting104 = 0;
            return false;
        }

        // A value that is missing (or invalid) takes the one read before it, so a
        // group written by an older program still loads completely.
        CameraSettings loaded = values;
        int carried = 0;
        auto next = [&](const char* name, const Check& valid, int& target) {
            auto value = ReadInt(*key, name);
            if (value && valid(*value)) carried = *value;
            if (valid(carried)) target = carried;
        };
        Check gain = InRange(camera.GainRange());
        Check colorGain = InRange(camera.ColorGainRange());
        Check exposure = InRange(camera.ExposureRange());
        Check anything = [](int) { return true; };
        Check blackLevel = [&camera](int v) {
            return camera.IsBlackLevelSupported() && camera.BlackLevelRange().Contains(v);
        };
        Check gainMode = [&camera](int v) {
            return camera.IsGainModeSupported() && camera.GainModeRange().Contains(v);
        };
        int mirrorV = loaded.mirrorV;
        int mirrorH = loaded.mirrorH;
        next("Global", gain, loaded.globalGain);
        next("ColorG1", colorGain, loaded.colorGain[1]);
        next("ColorR", colorGain, loaded.colorGain[0]);
        next("ColorB", colorGain, loaded.colorGain[3]);
        next("ColorG2", colorGain, loaded.colorGain[2]);
        next("Exposure", exposure, loaded.exposureUnits);
        next("V_Mirror", anything, mirrorV);
        next("H_Mirror", anything, mirrorH);
        next(
            "AutoIris", [](int v) { return kAutoIrisModes.Contains(v); }, loaded.autoIris);
        next("GainMode", gainMode, loaded.setting104);
        next("BlackLevel", blackLevel, loaded.setting106);
        // The mirror setters take any value as on or off.
        loaded.mirrorV = mirrorV != 0 ? 1 : 0;
        loaded.mirrorH = mirrorH != 0 ? 1 : 0;

        double exposureMs = 0.0;
        if (auto bytes = key->ReadBinary8("ExposureEx")) {
            std::memcpy(&exposureMs, bytes->data(), sizeof exposureMs);
        }
        if (camera.IsExposureMsSupported() && camera.ExposureMsRange().Contains(exposureMs)) {
            loaded.exposureMs = exposureMs;
        }
        values = loaded;
        return true;
    });
}

bool SaveGain(int cameraNumber, const CameraSettings& values) {
    return Guarded([&] {
        auto key = CreateSettingsKey(SubKey(cameraNumber, "Gain"));
        if (!key) return false;
        platform::CSettingsKey::Binary8 exposureMs{};
        std::memcpy(exposureMs.data(), &values.exposureMs, exposureMs.size());
        bool ok = WriteInt(*key, "Global", values.globalGain) &
                  WriteInt(*key, "ColorG1", values.colorGain[1]) &
                  WriteInt(*key, "ColorR", values.colorGain[0]) &
                  WriteInt(*key, "ColorB", values.colorGain[3]) &
                  WriteInt(*key, "ColorG2", values.colorGain[2]) &
                  WriteInt(*key, "Exposure", values.exposureUnits) &
                  WriteInt(*key, "V_Mirror", values.mirrorV) &
                  WriteInt(*key, "H_Mirror", values.mirrorH) &
                  WriteInt(*key, "AutoIris", values.autoIris) &
                  WriteInt(*key, "GainMode", values.setting104) &
                  WriteInt(*key, "BlackLevel", values.setting106) &
                  key->WriteBinary8("ExposureEx", exposureMs);
        return key->Commit() && ok;
    });
}

bool LoadFilter(int cameraNumber, ImageSettings& values) {
    return Guarded([&] {
        auto key = OpenSettingsKey(SubKey(cameraNumber, "Filter"));
        ImageSettings loaded = values;
        auto fields = FilterFields(loaded);
        if (!key) {
            for (int* field : fields) *field = 0;
            loaded.bayerGainRed = loaded.bayerGainGreen = loaded.bayerGainBlue = 100;
            loaded.gamma = 100;
            loaded.bayerMode = 3;
            loaded.bayerGainAuto = 0;
            values = loaded;
            return false;
        }
        for (size_t i = 0; i < fields.size(); ++i) {
            LoadInt(*key, kFilterValues[i].name, kFilterValues[i].range, *fields[i]);
        }
        values = loaded;
        return true;
    });
}

bool SaveFilter(int cameraNumber, const ImageSettings& values) {
    return Guarded([&] {
        auto key = CreateSettingsKey(SubKey(cameraNumber, "Filter"));
        if (!key) return false;
        ImageSettings copy = values;
        auto fields = FilterFields(copy);
        bool ok = true;
        for (size_t i = 0; i < fields.size(); ++i) {
            ok &= WriteInt(*key, kFilterValues[i].name, *fields[i]);
        }
        return key->Commit() && ok;
    });
}

bool LoadGray(int cameraNumber, ImageSettings& values) {
    return Guarded([&] {
        auto key = OpenSettingsKey(SubKey(cameraNumber, "Gray"));
        ImageSettings loaded = values;
        auto fields = GrayFields(loaded);
        if (!key) {
            loaded.grayMode = 0;
            loaded.grayGain = {128, 128, 128, 128};
            loaded.grayOffset = {128, 128, 128, 128};
            values = loaded;
            return false;
        }
        for (size_t i = 0; i < fields.size(); ++i) {
            LoadInt(*key, kGrayValues[i].name, kGrayValues[i].range, *fields[i]);
        }
        values = loaded;
        return true;
    });
}

bool SaveGray(int cameraNumber, const ImageSettings& values) {
    return Guarded([&] {
        // Gray settings are kept only for a camera that has stored settings already.
        if (!OpenSettingsKey(CameraKeyName(cameraNumber))) return false;
        auto key = CreateSettingsKey(SubKey(cameraNumber, "Gray"));
        if (!key) return false;
        ImageSettings copy = values;
        auto fields = GrayFields(copy);
        bool ok = true;
        for (size_t i = 0; i < fields.size(); ++i) {
            ok &= WriteInt(*key, kGrayValues[i].name, *fields[i]);
        }
        return key->Commit() && ok;
    });
}

}  // namespace veltcam::settings
