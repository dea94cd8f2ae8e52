// Stored per-camera settings: frame size and format, sensor gains and exposure,
// image filters and gray mode, kept in the settings store under one key per camera
// number ("Camera_00", ...; no camera selected is "Camera_-1").
//
// The operations work on the SDK object's plain records. Loading opens keys for
// reading only; a value that is missing, of the wrong type or outside the range its
// setter accepts leaves the setting as it was (the Gain group has its own rule, see
// LoadGain). Saving creates the keys it needs. Store failures are silent: the
// operations return false and change nothing else. None of them throws.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "imaging/ImageSettings.h"
#include "ui/SettingsRecords.h"

namespace veltcam {

// The format values stored next to the frame size.
struct FormatSettings {
    int colorModeIndex = 0;  // 0..5 = 8, 16, 24, 32, 48, 64 bits per pixel
    int subSampleMode = 0;   // 0 full, 1 half
    int waitTimeMs = 10;     // sleep between passes of the preview loop
    int clock = 0;           // pixel clock list index; only stored
};

struct IntRange {
    int min = 0;
    int max = 0;
    bool Contains(int value) const { return value >= min && value <= max; }
};

struct DoubleRange {
    double min = 0.0;
    double max = 0.0;
    bool Contains(double value) const { return value >= min && value <= max; }  // false for NaN
};

// What loading needs to ask the camera. The SDK object answers from its camera core.
class CSettingsCamera {
  public:
    virtual ~CSettingsCamera() = default;

    // Output formats the camera can deliver.
    virtual bool Allows8And32BitOutput() = 0;
    virtual bool Allows16BitOutput() = 0;
    virtual bool Allows24To64BitOutput() = 0;

    // What the setters accept. No range while no camera is open (the core cannot
    // tell): stored values are then taken as they are, and checked again when a
    // camera is selected and its groups are loaded.
    virtual std::optional<IntRange> GainRange() = 0;
    virtual std::optional<IntRange> ColorGainRange() = 0;
    virtual std::optional<IntRange> ExposureRange() = 0;  // 0.1 ms units

    // The camera's current values, taken when a camera number has no Gain group.
    virtual int Gain() = 0;
    virtual int ColorGain(int channel) = 0;  // 0 red, 1 green 1, 2 green 2, 3 blue
    virtual int ExposureUnits() = 0;
    virtual int MirrorV() = 0;
    virtual int MirrorH() = 0;

    // Optional sensor features. Values of a feature the camera lacks never load;
    // the value getters are asked only when the feature is supported.
    virtual bool IsBlackLevelSupported() = 0;
    virtual IntRange BlackLevelRange() = 0;
    virtual int BlackLevel() = 0;
    virtual bool IsGainModeSupported() = 0;
    virtual IntRange GainModeRange() = 0;
    virtual bool IsExposureMsSupported() = 0;
    virtual DoubleRange ExposureMsRange() = 0;
    virtual double ExposureMs() = 0;
};

namespace settings {

constexpr int kMaxSizeEntries = 100;  // "Size_00" .. "Size_99"

// "Camera_%02d": camera 3 is "Camera_03", no camera (-1) is "Camera_-1".
std::string CameraKeyName(int cameraNumber);

// The capture window's sensor bounds: offsets and sizes not negative and the
// window inside the 2048 x 1536 frame.
bool IsWindowInsideSensor(const CaptureWindow& window);

// On a machine without the root key, first writes the defaults for `cameraNumber`:
// one size entry "Size_00" of the full frame, "Size" 0, "Color" 2 (24 bits; on a
// camera without colour output 0, or 1 if it has only 16-bit output), "SubSample" 0,
// "WaitTime" 1, "Clock" 0. Then reads "Size" and that size entry of the camera into
// `window` (an entry outside the sensor is ignored as a whole).
bool LoadFrameSize(CSettingsCamera& camera, int cameraNumber, CaptureWindow& window);

// The same defaults for a camera whose key does not exist yet, so that a camera
// selected for the first time starts from them; an existing key is never touched.
// True when the defaults were written.
bool CreateFirstRunDefaults(CSettingsCamera& camera, int cameraNumber);

// Reads "Color", "SubSample", "WaitTime" and "Clock" of the camera, then moves the
// colour mode to one the camera can deliver.
bool LoadFormat(CSettingsCamera& camera, int cameraNumber, FormatSettings& format);

// Writes the camera's size entries (at most 100), the selected entry and the format.
bool SaveFormat(int cameraNumber, const std::vector<CaptureWindow>& sizes, int sizeIndex,
                const FormatSettings& format);

// The camera's size entries from "Size_00" up to the first one missing; values
// missing in an entry are those of the full frame.
std::vector<CaptureWindow> LoadSizeTable(int cameraNumber);

// The size table directly under the root (written by an installation or by hand):
// its first entry whose effective size is width x height, taken as stored.
std::optional<CaptureWindow> FindStoredSize(int width, int height);

// The Gain group: global gain, colour gains, exposure, mirrors, auto iris, gain mode
// (kept as setting 104), black level (setting 106) and the real exposure time.
// Without the group every value comes from the camera and auto iris and gain mode
// become 0; the result is then false. With the group, a value that is missing or
// invalid takes the value read just before it in the stored order (0 before the
// first; 0.0 for the real exposure time), if that value is valid for it; otherwise
// the setting stays as it was.
bool LoadGain(CSettingsCamera& camera, int cameraNumber, CameraSettings& values);
bool SaveGain(int cameraNumber, const CameraSettings& values);

// The Filter group (brightness, contrast, hue, saturation, sharpness, Bayer gains,
// gamma, Bayer mode). Without the group the neutral defaults are set, automatic
// white balance off, and the result is false.
bool LoadFilter(int cameraNumber, ImageSettings& values);
bool SaveFilter(int cameraNumber, const ImageSettings& values);

// The Gray group (mode, four gains, four offsets). Without the group: mode 0, gains
// and offsets 128, result false. Saving writes only when the camera key exists.
bool LoadGray(int cameraNumber, ImageSettings& values);
bool SaveGray(int cameraNumber, const ImageSettings& values);

}  // namespace settings
}  // namespace veltcam
