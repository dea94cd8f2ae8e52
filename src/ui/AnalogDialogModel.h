// The analog dialog without its window: the global and colour gain sliders, the
// exposure slider and the real-exposure entry with its time units, the mirror and
// auto-iris boxes, the optional sensor controls, Default, and Cancel putting the
// camera back as it was when the dialog opened. Every change reaches the camera at
// once, so the running picture shows it; the view mirrors this state into its
// controls and forwards the user's changes; tests drive it directly.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "ui/SettingsAccess.h"
#include "ui/SettingsPersistence.h"

namespace veltcam::ui {

// What the analog dialog reads from and sends to the camera. The SDK object
// answers from its camera core.
class CAnalogCamera {
  public:
    virtual ~CAnalogCamera() = default;

    // Colour output decides which page the dialog shows.
    virtual bool HasColorOutput() = 0;

    virtual IntRange GainRange() = 0;
    virtual int GainDefault() = 0;
    virtual int Gain() = 0;
    virtual void SetGain(int value) = 0;

    virtual IntRange ColorGainRange() = 0;
    virtual int ColorGainDefault() = 0;
    virtual int ColorGain(int channel) = 0;  // 0 red, 1 green 1, 2 green 2, 3 blue
    virtual void SetColorGain(int channel, int value) = 0;

    virtual IntRange ExposureRange() = 0;  // 0.1 ms units
    virtual int ExposureDefault() = 0;
    virtual int Exposure() = 0;
    virtual void SetExposure(int units) = 0;

    // Exposure as a time of its own, in seconds, where the sensor has one.
    virtual bool HasRealExposure() = 0;
    virtual DoubleRange RealExposureRange() = 0;
    virtual double RealExposureDefault() = 0;
    virtual double RealExposure() = 0;
    virtual void SetRealExposure(double seconds) = 0;

    virtual int MirrorV() = 0;
    virtual int MirrorH() = 0;
    virtual void SetMirrorV(int on) = 0;
    virtual void SetMirrorH(int on) = 0;

    // Optional sensor features; asked only when the camera has them.
    virtual bool HasBlackLevel() = 0;
    virtual IntRange BlackLevelRange() = 0;
    virtual int BlackLevelDefault() = 0;
    virtual void SetBlackLevel(int value) = 0;
    virtual bool HasCooling() = 0;
    virtual int Cooling() = 0;
    virtual void SetCooling(int on) = 0;
    virtual bool HasShortExposure() = 0;
    virtual void SetShortExposure(int on) = 0;
    virtual int GainMode() = 0;  // -1 when the sensor has no gain modes
    virtual void SetGainMode(int mode) = 0;
};

class CAnalogDialogModel {
  public:
    enum Slider {
        kGlobalGain,
        kColorGainG1,
        kColorGainR,
        kColorGainB,
        kColorGainG2,
        kExposure,
        kBlackLevel,
        kSliderCount,
    };
    struct SliderRange {
        int min;
        int max;
        int tick;
    };
    enum TimeUnit { kNanoseconds, kMicroseconds, kMilliseconds, kSeconds };

    // Reads the camera's current gains, exposure and mirrors into the camera
    // settings that `settings` reaches and remembers them, with the Bayer mode, for
    // Cancel.
    CAnalogDialogModel(CAnalogCamera& camera, CSettingsAccess& settings);

    bool UsesColorPage() const { return colorPage_; }
    bool IsEnabled(Slider slider) const;
    bool IsShown(Slider slider) const;
    SliderRange Range(Slider slider) const { return ranges_[slider]; }
    int Value(Slider slider) const;
    // A typed or dragged value, limited to the camera's range and sent at once.
    void SetValue(Slider slider, int value);

    // The real-exposure entry replaces the exposure slider where the camera has it.
    bool HasRealExposure() const { return hasRealExposure_; }
    const std::vector<std::string>& UnitItems() const { return unitItems_; }
    int UnitSelection() const { return unitSelection_; }
    void SelectUnit(int item);
    std::string RangeText() const { return rangeText_; }
    // The current real exposure in the selected unit.
    std::string RealExposureText() const;
    // A number in the selected unit; false (nothing sent) when it is not one.
    bool SetRealExposureText(const std::string& text);

    int MirrorV() const { return Current().mirrorV; }
    int MirrorH() const { return Current().mirrorH; }
    void SetMirrorV(bool on);
    void SetMirrorH(bool on);

    // Auto iris: "Gain" and "Exposure" exclude each other.
    bool IsAutoIrisGainChecked() const { return Current().autoIris == 2; }
    bool IsAutoIrisExposureChecked() const { return Current().autoIris == 1; }
    void SetAutoIrisGain(bool checked);
    void SetAutoIrisExposure(bool checked);

    bool HasCooling() const { return hasCooling_; }
    bool IsCoolingOn() const { return cooling_ != 0; }
    void SetCooling(bool on);
    bool HasShortExposure() const { return hasShortExposure_; }
    bool IsShortExposureOn() const { return Current().setting105 != 0; }
    void SetShortExposure(bool on);
    bool HasGainMode() const { return hasGainMode_; }
    static std::vector<std::string> GainModeItems() { return {"High Gain", "Low Gain"}; }
    int GainModeSelection() const { return Current().setting104; }
    void SelectGainMode(int item);

    void Default();
    // OK keeps the changes; anything else sends the saved values back to the camera.
    void Finish(bool ok);

    // Unit of a time in seconds, and the time expressed in that unit.
    static TimeUnit UnitOf(double seconds);
    static double InUnit(double seconds, TimeUnit unit);

  private:
    static int& Field(CameraSettings& settings, Slider slider);
    CameraSettings Current() const;
    // Changes the camera settings under the owner's lock.
    void Change(const std::function<void(CameraSettings&)>& change);
    void SendExposure(int units);
    void ReadExposureBack();

    CAnalogCamera& camera_;
    CSettingsAccess& settings_;
    CameraSettings saved_;
    int savedBayerMode_;
    bool colorPage_;
    bool hasRealExposure_;
    bool hasBlackLevel_;
    bool hasCooling_;
    bool hasShortExposure_;
    bool hasGainMode_;
    int cooling_ = 0;
    std::array<SliderRange, kSliderCount> ranges_{};
    std::vector<std::string> unitItems_;
    std::vector<TimeUnit> units_;
    int unitSelection_ = 0;
    std::string rangeText_;
};

}  // namespace veltcam::ui
