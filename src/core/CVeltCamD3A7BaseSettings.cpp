// Camera settings of the camera core: mostly forwarders to the sensor, plus the
// frame time-out that follows the exposure, window change detection, transfer
// depth, trigger mode and direct FPGA access.
#include "core/CVeltCamD3A7Base.h"

namespace veltcam {
namespace {

constexpr uint8_t kFpgaStatus = 2;
constexpr uint8_t kFpgaBusy = 0x02;
constexpr uint8_t kFpgaDepth = 60;
constexpr uint32_t kMinFrameTimeoutMs = 5000;
constexpr int kInternalCorrectionModelBase = 12768;

}  // namespace

int CVeltCamD3A7Base::SetTransferDepth(int depth) {
    std::lock_guard<std::recursive_mutex> lock(control_);
    if (!controller_) return 0;
    if (sensor_) sensor_->SetOutputBits(depth != 0);
    if (!controller_->WriteFpgaRegister(kFpgaDepth, depth == 1 ? 2 : 1)) return 0;
    if (depth == transferDepth_) return 1;
    transferDepth_ = depth;
    return AllocateFrameBuffers();
}

int CVeltCamD3A7Base::SetCaptureWindow(int x, int y, int width, int height, int mode) {
    std::lock_guard<std::recursive_mutex> lock(control_);
    if (!sensor_) return 0;
    SensorInfo info;
    sensor_->GetSensorInfo(&info);
    // The same window again costs no register traffic. (In half resolution the stored
    // size is the halved one, so a repeated half-resolution request is applied again.)
    if (x == info.window_x && y == info.window_y && width == info.window_width &&
        height == info.window_height && mode == info.readout_mode) {
        return 1;
    }
    if (!sensor_->SetCaptureWindow(x, width, y, height, mode)) return 0;
    int rx = 0, rw = 0, ry = 0, rh = 0, rm = 0;
    sensor_->GetCaptureWindow(&rx, &rw, &ry, &rh, &rm);
    // The ring is sized for the old window: re-allocate before the next transfer.
    buffersStale_ = 1;
    return 1;
}

int CVeltCamD3A7Base::GetCaptureWindow(int* x, int* y, int* width, int* height, int* mode) {
    std::lock_guard<std::recursive_mutex> lock(control_);
    if (!sensor_) return 0;
    SensorInfo info;
    sensor_->GetSensorInfo(&info);
    if (x) *x = info.window_x;
    if (y) *y = info.window_y;
    if (width) *width = info.window_width;
    if (height) *height = info.window_height;
    if (mode) *mode = info.readout_mode;
    return 1;
}

int CVeltCamD3A7Base::SetTriggerMode(int mode, int force) {
    std::lock_guard<std::recursive_mutex> lock(control_);
    if (!sensor_) return 0;
    if (!force && mode == operatingMode_.load()) return 1;
    StopTransfer(0);
    EnsureNewFrameEvent();
    sensor_->SetTriggerMode(mode);
    if (mode >= 1 && mode <= 3) RefreshFrameCounter();
    operatingMode_ = mode;
    return 1;
}

int CVeltCamD3A7Base::GetTriggerMode(int* mode) {
    std::lock_guard<std::recursive_mutex> lock(control_);
    if (!sensor_) return 0;
    return sensor_->GetTriggerMode(mode) ? 1 : 0;
}

int CVeltCamD3A7Base::SetExposureTime(int units) {
    std::lock_guard<std::recursive_mutex> lock(control_);
    if (!sensor_) return 0;
    // A payload read must be allowed to wait for the whole exposure: twice the
    // exposure in milliseconds, at least five seconds.
    const uint32_t value = static_cast<uint32_t>(units);
    SetFrameTimeout(value <= 50000 ? kMinFrameTimeoutMs : value / 5);
    return sensor_->SetExposureTime(units) ? 1 : 0;
}

int CVeltCamD3A7Base::SetExposureMs(double ms) {
    std::lock_guard<std::recursive_mutex> lock(control_);
    if (ms > 2) SetFrameTimeout(static_cast<uint32_t>((ms + 1) * 1000));
    if (!sensor_) return 0;
    return sensor_->SetExposureMs(ms) ? 1 : 0;
}

int CVeltCamD3A7Base::WaitFpgaReady(uint32_t ms) {
    if (!controller_) return 0;
    const uint32_t start = Time().TickMs();
    while (Time().TickMs() - start < ms) {
        uint8_t status = 0;
        if (!controller_->ReadFpgaRegister(kFpgaStatus, &status)) return 0;
        if (!(status & kFpgaBusy)) return 1;
        Time().SleepMs(1);
    }
    return 0;
}

int CVeltCamD3A7Base::WriteFpgaRegister(int reg, int value) {
    if (!controller_) return 0;
    return controller_->WriteFpgaRegister(static_cast<uint8_t>(reg & 0xFF),
                                          static_cast<uint8_t>(value & 0xFF))
               ? 1
               : 0;
}

int CVeltCamD3A7Base::ReadFpgaRegister(int reg, int* ok) {
    uint8_t value = 0;
    const bool read =
        controller_ && controller_->ReadFpgaRegister(static_cast<uint8_t>(reg & 0xFF), &value);
    if (ok) *ok = read ? 1 : 0;
    return read ? value : 0;
}

int CVeltCamD3A7Base::WriteSensorRegister(int reg, int value) {
    std::lock_guard<std::recursive_mutex> lock(control_);
    if (!sensor_) return 0;
    return sensor_->WriteRegisterRaw(reg, value) ? 1 : 0;
}

int CVeltCamD3A7Base::ReadSensorRegister(int reg, int* ok) {
    std::lock_guard<std::recursive_mutex> lock(control_);
    int value = 0;
    if (!sensor_ || !sensor_->ReadRegisterRaw(reg, &value)) return 0;
    if (ok) *ok = 1;
    return value;
}

int CVeltCamD3A7Base::SetSamplingRate(int, int flag, int* rate) {
    std::lock_guard<std::recursive_mutex> lock(control_);
    if (!sensor_) return 0;
    return sensor_->SetFrameRate(flag, rate) ? 1 : 0;
}

int CVeltCamD3A7Base::WriteEeprom(uint16_t address, uint8_t value) {
    return controller_ && controller_->WriteEeprom(address, value) ? 1 : 0;
}

int CVeltCamD3A7Base::ReadEeprom(uint16_t address, uint8_t* value) {
    return controller_ && controller_->ReadEeprom(address, value) ? 1 : 0;
}

int CVeltCamD3A7Base::WriteEepromByte1080(uint8_t value) {
    return WriteEeprom(kEepromCoreByte, value);
}

int CVeltCamD3A7Base::ReadEepromByte1080(uint8_t* value) {
    return ReadEeprom(kEepromCoreByte, value);
}

// ---------------------------------------------------------------------------
// Forwarders to the sensor: 0 without a sensor. Each runs under the control lock
// (WithSensor), so a device switch on another thread waits until it is done.

template <class Action>
int CVeltCamD3A7Base::WithSensor(int otherwise, Action action) {
    std::lock_guard<std::recursive_mutex> lock(control_);
    return sensor_ ? action(*sensor_) : otherwise;
}

namespace {

// A getter with an output pointer: the value, or 0 when the sensor does not answer.
template <class Getter>
auto Value(Getter getter) {
    return [getter](CSensorBase& sensor) {
        int value = 0;
        return (sensor.*getter)(&value) ? value : 0;
    };
}

// A sensor-information field.
auto Info(int32_t SensorInfo::*field) {
    return [field](CSensorBase& sensor) {
        SensorInfo info;
        return sensor.GetSensorInfo(&info) ? info.*field : 0;
    };
}

// 1 when the sensor's answer is true, else 0.
template <class Call>
auto Flag(Call call) {
    return [call](CSensorBase& sensor) { return call(sensor) ? 1 : 0; };
}

}  // namespace

int CVeltCamD3A7Base::SetMirrorH(int on) {
    return WithSensor(0, Flag([on](CSensorBase& s) { return s.SetMirrorH(on != 0); }));
}
int CVeltCamD3A7Base::SetMirrorV(int on) {
    return WithSensor(0, Flag([on](CSensorBase& s) { return s.SetMirrorV(on != 0); }));
}
int CVeltCamD3A7Base::GetMirrorH() { return WithSensor(0, Value(&CSensorBase::GetMirrorH)); }
int CVeltCamD3A7Base::GetMirrorV() { return WithSensor(0, Value(&CSensorBase::GetMirrorV)); }
int CVeltCamD3A7Base::GetMirrorVDefault() {
    return WithSensor(0, [](CSensorBase& s) { return s.GetMirrorVDefault(); });
}
int CVeltCamD3A7Base::GetMirrorHDefault() {
    return WithSensor(0, [](CSensorBase& s) { return s.GetMirrorHDefault(); });
}
int CVeltCamD3A7Base::IsMirrorVSupported() {
    return WithSensor(0, [](CSensorBase& s) { return s.IsMirrorVSupported(); });
}
int CVeltCamD3A7Base::IsMirrorHSupported() {
    return WithSensor(0, [](CSensorBase& s) { return s.IsMirrorHSupported(); });
}

int CVeltCamD3A7Base::IsHWindowSupported() {
    return WithSensor(0, Info(&SensorInfo::h_window_supported));
}
int CVeltCamD3A7Base::IsVWindowSupported() {
    return WithSensor(0, Info(&SensorInfo::v_window_supported));
}
int CVeltCamD3A7Base::GetFullWidth() { return WithSensor(0, Info(&SensorInfo::full_width)); }
int CVeltCamD3A7Base::GetFullHeight() { return WithSensor(0, Info(&SensorInfo::full_height)); }
int CVeltCamD3A7Base::GetDefaultWidth() { return WithSensor(0, Info(&SensorInfo::default_width)); }
int CVeltCamD3A7Base::GetDefaultHeight() {
    return WithSensor(0, Info(&SensorInfo::default_height));
}
int CVeltCamD3A7Base::GetDefaultX() { return WithSensor(0, Info(&SensorInfo::default_x)); }
int CVeltCamD3A7Base::GetDefaultY() { return WithSensor(0, Info(&SensorInfo::default_y)); }

int CVeltCamD3A7Base::SetGain(int value) {
    return WithSensor(0, Flag([value](CSensorBase& s) { return s.SetGain(value); }));
}
int CVeltCamD3A7Base::GetGain() { return WithSensor(0, Value(&CSensorBase::GetGain)); }
int CVeltCamD3A7Base::GetGainMin() { return WithSensor(0, Value(&CSensorBase::GetGainMin)); }
int CVeltCamD3A7Base::GetGainMax() { return WithSensor(0, Value(&CSensorBase::GetGainMax)); }
int CVeltCamD3A7Base::GetGainDefault() {
    return WithSensor(0, Value(&CSensorBase::GetGainDefault));
}
int CVeltCamD3A7Base::GetExposureTime() {
    return WithSensor(0, Value(&CSensorBase::GetExposureTime));
}
int CVeltCamD3A7Base::GetExposureTimeMin() {
    return WithSensor(0, Value(&CSensorBase::GetExposureTimeMin));
}
int CVeltCamD3A7Base::GetExposureTimeMax() {
    return WithSensor(0, Value(&CSensorBase::GetExposureTimeMax));
}
int CVeltCamD3A7Base::GetExposureTimeDefault() {
    return WithSensor(0, Value(&CSensorBase::GetExposureTimeDefault));
}
int CVeltCamD3A7Base::SetExposureLines(int lines) {
    return WithSensor(0, Flag([lines](CSensorBase& s) { return s.SetExposureLines(lines); }));
}
int CVeltCamD3A7Base::GetExposureLines() {
    return WithSensor(0, Value(&CSensorBase::GetExposureLines));
}
int CVeltCamD3A7Base::GetExposureLinesMin() {
    return WithSensor(0, Value(&CSensorBase::GetExposureLinesMin));
}
int CVeltCamD3A7Base::GetExposureLinesMax() {
    return WithSensor(0, Value(&CSensorBase::GetExposureLinesMax));
}
int CVeltCamD3A7Base::GetExposureLinesDefault() {
    return WithSensor(0, Value(&CSensorBase::GetExposureLinesDefault));
}
int CVeltCamD3A7Base::IsExposureMsSupported() {
    return WithSensor(0, Flag([](CSensorBase& s) { return s.IsExposureMsSupported(); }));
}
int CVeltCamD3A7Base::GetExposureMs(double* ms) {
    return WithSensor(0, Flag([ms](CSensorBase& s) { return s.GetExposureMs(ms); }));
}
int CVeltCamD3A7Base::GetExposureMsMin(double* ms) {
    return WithSensor(0, Flag([ms](CSensorBase& s) { return s.GetExposureMsMin(ms); }));
}
int CVeltCamD3A7Base::GetExposureMsMax(double* ms) {
    return WithSensor(0, Flag([ms](CSensorBase& s) { return s.GetExposureMsMax(ms); }));
}
int CVeltCamD3A7Base::GetExposureMsDefault(double* ms) {
    return WithSensor(0, Flag([ms](CSensorBase& s) { return s.GetExposureMsDefault(ms); }));
}

int CVeltCamD3A7Base::SetChannelGain(int channel, int value) {
    return WithSensor(
        0, Flag([channel, value](CSensorBase& s) { return s.SetChannelGain(channel, value); }));
}
int CVeltCamD3A7Base::GetChannelGain(int channel, int* value) {
    return WithSensor(
        0, Flag([channel, value](CSensorBase& s) { return s.GetChannelGain(channel, value); }));
}
int CVeltCamD3A7Base::GetChannelGainMin(int* value) {
    return WithSensor(0, Flag([value](CSensorBase& s) { return s.GetChannelGainMin(value); }));
}
int CVeltCamD3A7Base::GetChannelGainMax(int* value) {
    return WithSensor(0, Flag([value](CSensorBase& s) { return s.GetChannelGainMax(value); }));
}
int CVeltCamD3A7Base::GetChannelGainDefault(int* value) {
    return WithSensor(0,
                      Flag([value](CSensorBase& s) { return s.GetChannelGainDefault(value); }));
}
int CVeltCamD3A7Base::SetChannelOffset(int channel, int value) {
    return WithSensor(
        0, Flag([channel, value](CSensorBase& s) { return s.SetChannelOffset(channel, value); }));
}
int CVeltCamD3A7Base::GetChannelOffset(int channel, int* value) {
    return WithSensor(
        0, Flag([channel, value](CSensorBase& s) { return s.GetChannelOffset(channel, value); }));
}
int CVeltCamD3A7Base::GetChannelOffsetMin(int* value) {
    return WithSensor(0, Flag([value](CSensorBase& s) { return s.GetChannelOffsetMin(value); }));
}
int CVeltCamD3A7Base::GetChannelOffsetMax(int* value) {
    return WithSensor(0, Flag([value](CSensorBase& s) { return s.GetChannelOffsetMax(value); }));
}
int CVeltCamD3A7Base::GetChannelOffsetDefault(int* value) {
    return WithSensor(0,
                      Flag([value](CSensorBase& s) { return s.GetChannelOffsetDefault(value); }));
}

int CVeltCamD3A7Base::SetColorGainRed(int value) {
    return WithSensor(0, Flag([value](CSensorBase& s) { return s.SetColorGainRed(value); }));
}
int CVeltCamD3A7Base::GetColorGainRed() {
    return WithSensor(0, Value(&CSensorBase::GetColorGainRed));
}
int CVeltCamD3A7Base::SetColorGainGreen1(int value) {
    return WithSensor(0, Flag([value](CSensorBase& s) { return s.SetColorGainGreen1(value); }));
}
int CVeltCamD3A7Base::GetColorGainGreen1() {
    return WithSensor(0, Value(&CSensorBase::GetColorGainGreen1));
}
int CVeltCamD3A7Base::SetColorGainGreen2(int value) {
    return WithSensor(0, Flag([value](CSensorBase& s) { return s.SetColorGainGreen2(value); }));
}
int CVeltCamD3A7Base::GetColorGainGreen2() {
    return WithSensor(0, Value(&CSensorBase::GetColorGainGreen2));
}
int CVeltCamD3A7Base::SetColorGainBlue(int value) {
    return WithSensor(0, Flag([value](CSensorBase& s) { return s.SetColorGainBlue(value); }));
}
int CVeltCamD3A7Base::GetColorGainBlue() {
    return WithSensor(0, Value(&CSensorBase::GetColorGainBlue));
}
int CVeltCamD3A7Base::GetColorGainMin() {
    return WithSensor(0, Value(&CSensorBase::GetColorGainMin));
}
int CVeltCamD3A7Base::GetColorGainMax() {
    return WithSensor(0, Value(&CSensorBase::GetColorGainMax));
}
int CVeltCamD3A7Base::GetColorGainDefault() {
    return WithSensor(0, Value(&CSensorBase::GetColorGainDefault));
}

int CVeltCamD3A7Base::IsFeatureSupported(int group) {
    return WithSensor(0, Flag([group](CSensorBase& s) { return s.IsFeatureSupported(group); }));
}
int CVeltCamD3A7Base::GetFeatureValue(int group, int which, int* value) {
    return WithSensor(0, Flag([group, which, value](CSensorBase& s) {
                          return s.GetFeatureValue(group, which, value);
                      }));
}
int CVeltCamD3A7Base::SetFeature(int group, int value) {
    return WithSensor(0, Flag([group, value](CSensorBase& s) { return s.SetFeature(group, value); }));
}

int CVeltCamD3A7Base::QueryInternalCorrection(int argument) {
    const int model = productCode_ - kInternalCorrectionModelBase;
    return WithSensor(0, Flag([model, argument](CSensorBase& s) {
                          return s.QueryInternalCorrection(model, argument);
                      }));
}
int CVeltCamD3A7Base::GetInternalCorrection(int* value) {
    const int model = productCode_ - kInternalCorrectionModelBase;
    return WithSensor(0, Flag([model, value](CSensorBase& s) {
                          return s.QueryInternalCorrection(model, 0) &&
                                 s.GetInternalCorrection(value);
                      }));
}
int CVeltCamD3A7Base::SetInternalCorrection(int value) {
    const int model = productCode_ - kInternalCorrectionModelBase;
    return WithSensor(0, Flag([model, value](CSensorBase& s) {
                          return s.QueryInternalCorrection(model, 0) &&
                                 s.SetInternalCorrection(value);
                      }));
}
int CVeltCamD3A7Base::IsPeltierSupported() {
    return WithSensor(0, Flag([](CSensorBase& s) { return s.IsPeltierSupported(); }));
}
int CVeltCamD3A7Base::GetPeltier(int* value) {
    return WithSensor(0, Flag([value](CSensorBase& s) { return s.GetPeltier(value); }));
}
int CVeltCamD3A7Base::SetPeltier(int value) {
    return WithSensor(0, Flag([value](CSensorBase& s) { return s.SetPeltier(value); }));
}
int CVeltCamD3A7Base::IsTemperatureSupported() {
    return WithSensor(0, Flag([](CSensorBase& s) { return s.IsTemperatureSupported(); }));
}
int CVeltCamD3A7Base::ReadTemperature(double* celsius) {
    return WithSensor(0, Flag([celsius](CSensorBase& s) { return s.ReadTemperature(celsius); }));
}
// Without a sensor every format is allowed: the answer is 1.
int CVeltCamD3A7Base::AllowsMono8AndColor32() {
    return WithSensor(1, Flag([](CSensorBase& s) { return s.AllowsMono8AndColor32(); }));
}
int CVeltCamD3A7Base::AllowsMono16() {
    return WithSensor(1, Flag([](CSensorBase& s) { return s.AllowsMono16(); }));
}
int CVeltCamD3A7Base::AllowsColor24And64() {
    return WithSensor(1, Flag([](CSensorBase& s) { return s.AllowsColor24And64(); }));
}

}  // namespace veltcam
