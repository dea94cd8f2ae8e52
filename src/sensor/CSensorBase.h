// The image sensor as the camera core drives it. Each supported sensor derives from
// CSensorBase and overrides what it has; everything else keeps the base answer
// (0: not supported, no device access), which the layers above turn into their
// not-supported or parameter errors.
#pragma once

#include <cstdint>

#include "transport/CControllerBase.h"

namespace veltcam {

// The sensor's state and capabilities, copied whole to the camera core on request.
struct SensorFeature {
    int32_t values[4] = {};
    int32_t supported = 0;
};

struct SensorInfo {
    int32_t full_width = 0, full_height = 0;
    int32_t default_x = 0, default_y = 0, default_width = 0, default_height = 0;
    int32_t h_window_supported = 0, v_window_supported = 0;
    int32_t window_x = 0, window_y = 0;
    int32_t window_width = 0, window_height = 0;         // output size after the readout mode
    int32_t line_length = 0;                             // sensor clocks per line
    int32_t frame_length = 0;                            // lines per frame
    int32_t readout_mode = 0, default_readout_mode = 0;  // 0 full, 1 half resolution
    int32_t gain_min = 0, gain_max = 0, gain = 0, gain_default = 0;
    int32_t lines_min = 0, lines_max = 0, lines = 0, lines_default = 0;
    int32_t color_gain_min = 0, color_gain_max = 0, color_gain_default = 0;
    int32_t exposure_min = 0, exposure_max = 0, exposure = 0, exposure_default = 0;  // 0.1 ms
    SensorFeature features[3];
    double exposure_ms_min = 0, exposure_ms_max = 0, exposure_ms = 0, exposure_ms_default = 0;
    int32_t exposure_ms_supported = 0;
    int32_t mirror_v = 0, mirror_v_default = 0, mirror_v_supported = 0;
    int32_t mirror_h = 0, mirror_h_default = 0, mirror_h_supported = 0;
    int32_t output_bits = 0;
    int32_t clock_constant = 0;
    // How the sensor's readout is oriented: 2 and 4 deliver each row reversed; 1 and 2
    // deliver the rows bottom-up for a caller that asks for order 1, 3 and 4 top-down.
    int32_t orientation = 0;
};

class CSensorBase {
  public:
    CSensorBase(CControllerBase* controller, uint8_t busAddress);
    virtual ~CSensorBase() = default;
    CSensorBase(const CSensorBase&) = delete;
    CSensorBase& operator=(const CSensorBase&) = delete;

    virtual void SetModelVariant(int variant) { modelVariant_ = variant; }
    virtual void StoreTriggerMode(int mode) { triggerMode_ = mode; }
    virtual int GetTriggerModeValue() { return triggerMode_; }
    virtual bool PowerUp() { return false; }
    virtual bool Initialize() { return false; }
    virtual bool SetCaptureWindow(int /*x*/, int /*width*/, int /*y*/, int /*height*/,
                                  int /*mode*/) {
        return false;
    }
    virtual bool GetCaptureWindow(int* /*x*/, int* /*width*/, int* /*y*/, int* /*height*/,
                                  int* /*mode*/) {
        return false;
    }
    virtual bool SetTriggerMode(int /*mode*/) { return false; }
    virtual bool GetTriggerMode(int* /*mode*/) { return false; }
    virtual bool SetOutputBits(bool /*sixteen*/) { return false; }
    virtual bool SetExposureLines(int /*lines*/) { return false; }
    virtual bool GetExposureLines(int* /*lines*/) { return false; }
    virtual bool SetGain(int /*value*/) { return false; }
    virtual bool GetGain(int* /*value*/) { return false; }
    virtual bool SetColorGainRed(int /*value*/) { return false; }
    virtual bool GetColorGainRed(int* /*value*/) { return false; }
    virtual bool SetColorGainGreen1(int /*value*/) { return false; }
    virtual bool GetColorGainGreen1(int* /*value*/) { return false; }
    virtual bool SetColorGainGreen2(int /*value*/) { return false; }
    virtual bool GetColorGainGreen2(int* /*value*/) { return false; }
    virtual bool SetColorGainBlue(int /*value*/) { return false; }
    virtual bool GetColorGainBlue(int* /*value*/) { return false; }
    virtual bool GetExposureLinesMin(int* /*value*/) { return false; }
    virtual bool GetExposureLinesMax(int* /*value*/) { return false; }
    virtual bool GetExposureLinesDefault(int* /*value*/) { return false; }
    virtual bool GetGainMin(int* /*value*/) { return false; }
    virtual bool GetGainMax(int* /*value*/) { return false; }
    virtual bool GetGainDefault(int* /*value*/) { return false; }
    virtual bool GetColorGainMin(int* /*value*/) { return false; }
    virtual bool GetColorGainMax(int* /*value*/) { return false; }
    virtual bool GetColorGainDefault(int* /*value*/) { return false; }
    // Analog front-end channels 1..4 of sensors that have them.
    virtual bool SetChannelGain(int /*channel*/, int /*value*/) { return false; }
    virtual bool GetChannelGain(int /*channel*/, int* /*value*/) { return false; }
    virtual bool GetChannelGainMin(int* /*value*/) { return false; }
    virtual bool GetChannelGainMax(int* /*value*/) { return false; }
    virtual bool GetChannelGainDefault(int* /*value*/) { return false; }
    virtual bool SetChannelOffset(int /*channel*/, int /*value*/) { return false; }
    virtual bool GetChannelOffset(int /*channel*/, int* /*value*/) { return false; }
    virtual bool GetChannelOffsetMin(int* /*value*/) { return false; }
    virtual bool GetChannelOffsetMax(int* /*value*/) { return false; }
    virtual bool GetChannelOffsetDefault(int* /*value*/) { return false; }
    // Optional features 0..2: whether the sensor has it, a value of the record (0..3),
    // and, for features 0 and 1, a setter that the base does not support.
    virtual bool IsFeatureSupported(int group);
    virtual bool GetFeatureValue(int group, int which, int* value);
    virtual bool SetFeature(int /*group*/, int /*value*/) { return false; }
    virtual bool SetExposureTime(int /*units*/) { return false; }
    virtual bool GetExposureTime(int* /*units*/) { return false; }
    virtual bool GetExposureTimeMin(int* /*units*/) { return false; }
    virtual bool GetExposureTimeMax(int* /*units*/) { return false; }
    virtual bool GetExposureTimeDefault(int* /*units*/) { return false; }
    virtual bool SetMirrorV(bool /*on*/) { return false; }
    virtual bool GetMirrorV(int* /*on*/) { return false; }
    virtual bool SetMirrorH(bool /*on*/) { return false; }
    virtual bool GetMirrorH(int* /*on*/) { return false; }
    virtual int GetMirrorVDefault() { return info_.mirror_v_default; }
    virtual int GetMirrorHDefault() { return info_.mirror_h_default; }
    virtual int IsMirrorVSupported() { return info_.mirror_v_supported; }
    virtual int IsMirrorHSupported() { return info_.mirror_h_supported; }
    virtual bool SetFrameRate(int /*flag*/, const int* /*rate*/) { return false; }
    virtual bool WriteRegisterRaw(int /*reg*/, int /*value*/) { return false; }
    virtual bool ReadRegisterRaw(int /*reg*/, int* /*value*/) { return false; }
    virtual bool WriteRegister(int /*reg*/, int /*value*/) { return false; }
    virtual bool ReadRegister(int /*reg*/, int* /*value*/) { return false; }
    virtual bool GetSensorInfo(SensorInfo* info);
    virtual bool QueryInternalCorrection(int /*model*/, int /*argument*/) { return false; }
    virtual bool SetInternalCorrection(int /*value*/) { return false; }
    virtual bool GetInternalCorrection(int* /*value*/) { return false; }
    virtual bool IsPeltierSupported() { return false; }
    virtual bool GetPeltier(int* /*value*/) { return false; }
    virtual bool SetPeltier(int /*value*/) { return false; }
    virtual bool IsTemperatureSupported() { return false; }
    virtual bool ReadTemperature(double* /*celsius*/) { return false; }
    // Called around streaming; sensors that must start their output themselves do it here.
    virtual void OnTransferStart() {}
    virtual void OnTransferStop() {}
    virtual bool IsOutputRunning() { return false; }
    virtual bool IsExposureMsSupported() { return info_.exposure_ms_supported != 0; }
    virtual bool GetExposureMsMin(double* ms);
    virtual bool GetExposureMsMax(double* ms);
    virtual bool GetExposureMsDefault(double* ms);
    virtual bool GetExposureMs(double* ms);
    virtual bool SetExposureMs(double /*ms*/) { return false; }
    // 2 doubles the frame-buffer width; other answers leave it.
    virtual int WidthFactor() { return -1; }
    // Which output formats the camera's colour filter allows.
    virtual bool AllowsMono8AndColor32() { return true; }
    virtual bool AllowsMono16() { return true; }
    virtual bool AllowsColor24And64() { return true; }

    // FPGA routines every sensor shares; all fail without a controller.
    bool WriteFpgaVerified(uint8_t reg, uint8_t value);
    bool GetFpgaVersion(uint16_t* version);
    bool ResetSensorInterface();
    bool WaitSensorReady();
    bool RearmFrameOutput();
    bool ProgramTriggerTiming();

    CControllerBase* Controller() const { return controller_; }
    uint8_t BusAddress() const { return busAddress_; }

  protected:
    platform::CTimeSource& Time() const;

    SensorInfo info_;
    CControllerBase* controller_;
    uint8_t busAddress_;
    int triggerMode_ = 15;
    uint16_t fpgaVersion_ = 0;
    int modelVariant_ = 0;
    int rearmEnabled_ = 1;
    int fpgaTimingVariant_ = 0;
};

}  // namespace veltcam
