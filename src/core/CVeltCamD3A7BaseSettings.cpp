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
    if (!sensor_) return 0;
    return sensor_->GetTriggerMode(mode) ? 1 : 0;
}

int CVeltCamD3A7Base::SetExposureTime(int units) {
    if (!sensor_) return 0;
    // A payload read must be allowed to wait for the whole exposure: twice the
    // exposure in milliseconds, at least five seconds.
    const uint32_t value = static_cast<uint32_t>(units);
    SetFrameTimeout(value <= 50000 ? kMinFrameTimeoutMs : value / 5);
    return sensor_->SetExposureTime(units) ? 1 : 0;
}

int CVeltCamD3A7Base::SetExposureMs(double ms) {
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
    if (!sensor_) return 0;
    return sensor_->WriteRegisterRaw(reg, value) ? 1 : 0;
}

int CVeltCamD3A7Base::ReadSensorRegister(int reg, int* ok) {
    int value = 0;
    if (!sensor_ || !sensor_->ReadRegisterRaw(reg, &value)) return 0;
    if (ok) *ok = 1;
    return value;
}

int CVeltCamD3A7Base::SetSamplingRate(int, int flag, int* rate) {
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
// Forwarders to the sensor: 0 without a sensor.

namespace {

// A getter with an output pointer: the value, or 0 when the sensor does not answer.
template <class Getter>
int Value(CSensorBase* sensor, Getter getter) {
    int value = 0;
    if (!sensor || !(sensor->*getter)(&value)) return 0;
    return value;
}

}  // namespace

int CVeltCamD3A7Base::SetMirrorH(int on) { return sensor_ && sensor_->SetMirrorH(on != 0) ? 1 : 0; }
int CVeltCamD3A7Base::SetMirrorV(int on) { return sensor_ && sensor_->SetMirrorV(on != 0) ? 1 : 0; }
int CVeltCamD3A7Base::GetMirrorH() { return Value(sensor_.get(), &CSensorBase::GetMirrorH); }
int CVeltCamD3A7Base::GetMirrorV() { return Value(sensor_.get(), &CSensorBase::GetMirrorV); }
int CVeltCamD3A7Base::GetMirrorVDefault() { return sensor_ ? sensor_->GetMirrorVDefault() : 0; }
int CVeltCamD3A7Base::GetMirrorHDefault() { return sensor_ ? sensor_->GetMirrorHDefault() : 0; }
int CVeltCamD3A7Base::IsMirrorVSupported() { return sensor_ ? sensor_->IsMirrorVSupported() : 0; }
int CVeltCamD3A7Base::IsMirrorHSupported() { return sensor_ ? sensor_->IsMirrorHSupported() : 0; }

int CVeltCamD3A7Base::IsHWindowSupported() {
    SensorInfo info;
    return sensor_ && sensor_->GetSensorInfo(&info) ? info.h_window_supported : 0;
}
int CVeltCamD3A7Base::IsVWindowSupported() {
    SensorInfo info;
    return sensor_ && sensor_->GetSensorInfo(&info) ? info.v_window_supported : 0;
}
int CVeltCamD3A7Base::GetFullWidth() {
    SensorInfo info;
    return sensor_ && sensor_->GetSensorInfo(&info) ? info.full_width : 0;
}
int CVeltCamD3A7Base::GetFullHeight() {
    SensorInfo info;
    return sensor_ && sensor_->GetSensorInfo(&info) ? info.full_height : 0;
}
int CVeltCamD3A7Base::GetDefaultWidth() {
    SensorInfo info;
    return sensor_ && sensor_->GetSensorInfo(&info) ? info.default_width : 0;
}
int CVeltCamD3A7Base::GetDefaultHeight() {
    SensorInfo info;
    return sensor_ && sensor_->GetSensorInfo(&info) ? info.default_height : 0;
}
int CVeltCamD3A7Base::GetDefaultX() {
    SensorInfo info;
    return sensor_ && sensor_->GetSensorInfo(&info) ? info.default_x : 0;
}
int CVeltCamD3A7Base::GetDefaultY() {
    SensorInfo info;
    return sensor_ && sensor_->GetSensorInfo(&info) ? info.default_y : 0;
}

int CVeltCamD3A7Base::SetGain(int value) { return sensor_ && sensor_->SetGain(value) ? 1 : 0; }
int CVeltCamD3A7Base::GetGain() { return Value(sensor_.get(), &CSensorBase::GetGain); }
int CVeltCamD3A7Base::GetGainMin() { return Value(sensor_.get(), &CSensorBase::GetGainMin); }
int CVeltCamD3A7Base::GetGainMax() { return Value(sensor_.get(), &CSensorBase::GetGainMax); }
int CVeltCamD3A7Base::GetGainDefault() {
    return Value(sensor_.get(), &CSensorBase::GetGainDefault);
}
int CVeltCamD3A7Base::GetExposureTime() {
    return Value(sensor_.get(), &CSensorBase::GetExposureTime);
}
int CVeltCamD3A7Base::GetExposureTimeMin() {
    return Value(sensor_.get(), &CSensorBase::GetExposureTimeMin);
}
int CVeltCamD3A7Base::GetExposureTimeMax() {
    return Value(sensor_.get(), &CSensorBase::GetExposureTimeMax);
}
int CVeltCamD3A7Base::GetExposureTimeDefault() {
    return Value(sensor_.get(), &CSensorBase::GetExposureTimeDefault);
}
int CVeltCamD3A7Base::SetExposureLines(int lines) {
    return sensor_ && sensor_->SetExposureLines(lines) ? 1 : 0;
}
int CVeltCamD3A7Base::GetExposureLines() {
    return Value(sensor_.get(), &CSensorBase::GetExposureLines);
}
int CVeltCamD3A7Base::GetExposureLinesMin() {
    return Value(sensor_.get(), &CSensorBase::GetExposureLinesMin);
}
int CVeltCamD3A7Base::GetExposureLinesMax() {
    return Value(sensor_.get(), &CSensorBase::GetExposureLinesMax);
}
int CVeltCamD3A7Base::GetExposureLinesDefault() {
    return Value(sensor_.get(), &CSensorBase::GetExposureLinesDefault);
}
int CVeltCamD3A7Base::IsExposureMsSupported() {
    return sensor_ && sensor_->IsExposureMsSupported() ? 1 : 0;
}
int CVeltCamD3A7Base::GetExposureMs(double* ms) {
    return sensor_ && sensor_->GetExposureMs(ms) ? 1 : 0;
}
int CVeltCamD3A7Base::GetExposureMsMin(double* ms) {
    return sensor_ && sensor_->GetExposureMsMin(ms) ? 1 : 0;
}
int CVeltCamD3A7Base::GetExposureMsMax(double* ms) {
    return sensor_ && sensor_->GetExposureMsMax(ms) ? 1 : 0;
}
int CVeltCamD3A7Base::GetExposureMsDefault(double* ms) {
    return sensor_ && sensor_->GetExposureMsDefault(ms) ? 1 : 0;
}

int CVeltCamD3A7Base::SetChannelGain(int channel, int value) {
    return sensor_ && sensor_->SetChannelGain(channel, value) ? 1 : 0;
}
int CVeltCamD3A7Base::GetChannelGain(int channel, int* value) {
    return sensor_ && sensor_->GetChannelGain(channel, value) ? 1 : 0;
}
int CVeltCamD3A7Base::GetChannelGainMin(int* value) {
    return sensor_ && sensor_->GetChannelGainMin(value) ? 1 : 0;
}
int CVeltCamD3A7Base::GetChannelGainMax(int* value) {
    return sensor_ && sensor_->GetChannelGainMax(value) ? 1 : 0;
}
int CVeltCamD3A7Base::GetChannelGainDefault(int* value) {
    return sensor_ && sensor_->GetChannelGainDefault(value) ? 1 : 0;
}
int CVeltCamD3A7Base::SetChannelOffset(int channel, int value) {
    return sensor_ && sensor_->SetChannelOffset(channel, value) ? 1 : 0;
}
int CVeltCamD3A7Base::GetChannelOffset(int channel, int* value) {
    return sensor_ && sensor_->GetChannelOffset(channel, value) ? 1 : 0;
}
int CVeltCamD3A7Base::GetChannelOffsetMin(int* value) {
    return sensor_ && sensor_->GetChannelOffsetMin(value) ? 1 : 0;
}
int CVeltCamD3A7Base::GetChannelOffsetMax(int* value) {
    return sensor_ && sensor_->GetChannelOffsetMax(value) ? 1 : 0;
}
int CVeltCamD3A7Base::GetChannelOffsetDefault(int* value) {
    return sensor_ && sensor_->GetChannelOffsetDefault(value) ? 1 : 0;
}

int CVeltCamD3A7Base::SetColorGainRed(int value) {
    return sensor_ && sensor_->SetColorGainRed(value) ? 1 : 0;
}
int CVeltCamD3A7Base::GetColorGainRed() {
    return Value(sensor_.get(), &CSensorBase::GetColorGainRed);
}
int CVeltCamD3A7Base::SetColorGainGreen1(int value) {
    return sensor_ && sensor_->SetColorGainGreen1(value) ? 1 : 0;
}
int CVeltCamD3A7Base::GetColorGainGreen1() {
    return Value(sensor_.get(), &CSensorBase::GetColorGainGreen1);
}
int CVeltCamD3A7Base::SetColorGainGreen2(int value) {
    return sensor_ && sensor_->SetColorGainGreen2(value) ? 1 : 0;
}
int CVeltCamD3A7Base::GetColorGainGreen2() {
    return Value(sensor_.get(), &CSensorBase::GetColorGainGreen2);
}
int CVeltCamD3A7Base::SetColorGainBlue(int value) {
    return sensor_ && sensor_->SetColorGainBlue(value) ? 1 : 0;
}
int CVeltCamD3A7Base::GetColorGainBlue() {
    return Value(sensor_.get(), &CSensorBase::GetColorGainBlue);
}
int CVeltCamD3A7Base::GetColorGainMin() {
    return Value(sensor_.get(), &CSensorBase::GetColorGainMin);
}
int CVeltCamD3A7Base::GetColorGainMax() {
    return Value(sensor_.get(), &CSensorBase::GetColorGainMax);
}
int CVeltCamD3A7Base::GetColorGainDefault() {
    return Value(sensor_.get(), &CSensorBase::GetColorGainDefault);
}

int CVeltCamD3A7Base::IsFeatureSupported(int group) {
    return sensor_ && sensor_->IsFeatureSupported(group) ? 1 : 0;
}
int CVeltCamD3A7Base::GetFeatureValue(int group, int which, int* value) {
    return sensor_ && sensor_->GetFeatureValue(group, which, value) ? 1 : 0;
}
int CVeltCamD3A7Base::SetFeature(int group, int value) {
    return sensor_ && sensor_->SetFeature(group, value) ? 1 : 0;
}

int CVeltCamD3A7Base::QueryInternalCorrection(int argument) {
    return sensor_ && sensor_->QueryInternalCorrection(productCode_ - kInternalCorrectionModelBase,
                                                       argument)
               ? 1
               : 0;
}
int CVeltCamD3A7Base::GetInternalCorrection(int* value) {
    if (!QueryInternalCorrection(0)) return 0;
    return sensor_->GetInternalCorrection(value) ? 1 : 0;
}
int CVeltCamD3A7Base::SetInternalCorrection(int value) {
    if (!QueryInternalCorrection(0)) return 0;
    return sensor_->SetInternalCorrection(value) ? 1 : 0;
}
int CVeltCamD3A7Base::IsPeltierSupported() {
    return sensor_ && sensor_->IsPeltierSupported() ? 1 : 0;
}
int CVeltCamD3A7Base::GetPeltier(int* value) {
    return sensor_ && sensor_->GetPeltier(value) ? 1 : 0;
}
int CVeltCamD3A7Base::SetPeltier(int value) {
    return sensor_ && sensor_->SetPeltier(value) ? 1 : 0;
}
int CVeltCamD3A7Base::IsTemperatureSupported() {
    return sensor_ && sensor_->IsTemperatureSupported() ? 1 : 0;
}
int CVeltCamD3A7Base::ReadTemperature(double* celsius) {
    return sensor_ && sensor_->ReadTemperature(celsius) ? 1 : 0;
}
int CVeltCamD3A7Base::AllowsMono8AndColor32() {
    return !sensor_ || sensor_->AllowsMono8AndColor32() ? 1 : 0;
}
int CVeltCamD3A7Base::AllowsMono16() { return !sensor_ || sensor_->AllowsMono16() ? 1 : 0; }
int CVeltCamD3A7Base::AllowsColor24And64() {
    return !sensor_ || sensor_->AllowsColor24And64() ? 1 : 0;
}

}  // namespace veltcam
