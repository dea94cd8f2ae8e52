// Camera settings with exports of their own: exposure, gains, mirrors, auto iris,
// the I/O port, temperature, the sampling rate, internal correction and direct
// register access. Setters validate before any device access; once a value is
// valid it is cached for re-application and the call succeeds whatever the
// device answered. The cached values are read and written under the image lock,
// and a setter programs the camera under it too, so cache and camera agree.
// (The pipeline's auto iris calls these setters with the lock already held.)
#include "core/CVeltCamD3A7Base.h"
#include "sdk/CVeltCam.h"

namespace veltcam {
namespace {

constexpr int kIoPortRegister = 7;

}  // namespace

int CVeltCam::SetExposureUnits(int units) {
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    if (units < core_->GetExposureTimeMin() || units > core_->GetExposureTimeMax()) {
        Report(kErrParameter);
        return 0;
    }
    cameraSettings_.exposureUnits = units;
    cameraSettings_.lastRealExposure = units;
    core_->SetExposureTime(units);
    if (core_->IsExposureMsSupported()) core_->GetExposureMs(&cameraSettings_.exposureMs);
    return 1;
}

int CVeltCam::SetGlobalGain(int value) {
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    if (value < core_->GetGainMin() || value > core_->GetGainMax()) {
        Report(kErrParameter);
        return 0;
    }
    cameraSettings_.globalGain = value;
    cameraSettings_.colorGain.fill(value);
    core_->SetGain(value);
    return 1;
}

int CVeltCam::SetColorGain(int channel, int value) {
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    if (value < core_->GetColorGainMin() || value > core_->GetColorGainMax()) {
        Report(kErrParameter);
        return 0;
    }
    cameraSettings_.colorGain[channel] = value;
    switch (channel) {
        case 0: core_->SetColorGainRed(value); break;
        case 1: core_->SetColorGainGreen1(value); break;
        case 2: core_->SetColorGainGreen2(value); break;
        default: core_->SetColorGainBlue(value); break;
    }
    return 1;
}

int CVeltCam::SetExposureTimeEx(double ms) {
    if (!core_) {
        Report(kErrNotReady);
        return 0;
    }
    if (!core_->IsExposureMsSupported()) {
        Report(kErrNotSupported);
        return 0;
    }
    double low = 0.0, high = 0.0;
    core_->GetExposureMsMin(&low);
    core_->GetExposureMsMax(&high);
    if (!(ms >= low && ms <= high)) {
        Report(kErrParameter);
        return 0;
    }
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    cameraSettings_.exposureMs = ms;
    core_->SetExposureMs(ms);
    return 1;
}

double CVeltCam::GetExposureTimeEx(int* ok) {
    if (ok != nullptr) *ok = 0;
    if (!core_) {
        Report(kErrNotReady);
        return -1.0;
    }
    double ms = 0.0;
    if (!core_->IsExposureMsSupported() || !core_->GetExposureMs(&ms)) {
        Report(kErrNotSupported);
        return -1.0;
    }
    if (ok != nullptr) *ok = 1;
    return ms;
}

int CVeltCam::SetRealExposureTime(int microseconds) {
    if (!core_) {
        Report(kErrNotReady);
        return 0;
    }
    return SetExposureUnits(static_cast<int>(microseconds / 100.0));
}

int CVeltCam::GetRealExposureTime(int* ok) {
    if (!core_) {
        if (ok != nullptr) *ok = 0;
        Report(kErrNotReady);
        return 0;
    }
    if (ok != nullptr) *ok = 1;
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    return cameraSettings_.exposureUnits * 100;
}

int CVeltCam::SetMirrorH(int on) {
    if (!core_) {
        Report(kErrNotReady);
        return 0;
    }
    const int mirror = on != 0 ? 1 : 0;
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    cameraSettings_.mirrorH = mirror;
    core_->SetMirrorH(mirror);
    return 1;
}

int CVeltCam::SetMirrorV(int on) {
    if (!core_) {
        Notify(kErrNotReady);
        return 0;
    }
    const int mirror = on != 0 ? 1 : 0;
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    cameraSettings_.mirrorV = mirror;
    core_->SetMirrorV(mirror);
    return 1;
}

int CVeltCam::GetMirrorH() {
    if (!core_) {
        Report(kErrNotReady);
        return 0;
    }
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    return cameraSettings_.mirrorH;
}

int CVeltCam::GetMirrorV() {
    if (!core_) {
        Notify(kErrNotReady);
        return 0;
    }
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    return cameraSettings_.mirrorV;
}

int CVeltCam::SetAutoIris(int mode) {
    if (!core_) {
        Report(kErrNotReady);
        return 0;
    }
    if (mode < 0 || mode > 2) {
        Notify(kErrParameter);
        return 0;
    }
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    cameraSettings_.autoIris = mode;
    return 1;
}

int CVeltCam::GetAutoIris(int* ok) {
    if (ok != nullptr) *ok = 1;
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    return cameraSettings_.autoIris;
}

int CVeltCam::SetIOPort(int value) {
    if (!core_) {
        Notify(kErrNotReady);
        return 0;
    }
    return core_->WriteFpgaRegister(kIoPortRegister, value & 0xFF);
}

int CVeltCam::GetIOPort(uint8_t* value) {
    if (!core_) {
        Notify(kErrNotReady);
        return 0;
    }
    int ok = 0;
    int byte = value != nullptr ? core_->ReadFpgaRegister(kIoPortRegister, &ok) : 0;
    if (value == nullptr || !ok) {
        Notify(kErrParameter);
        return 0;
    }
    *value = static_cast<uint8_t>(byte);
    return 1;
}

double CVeltCam::GetTemperatureEx(int* ok) {
    if (ok != nullptr) *ok = 0;
    if (!core_) {
        Report(kErrNotReady);
        return 0.0;
    }
    if (!core_->IsTemperatureSupported()) {
        Report(kErrNotSupported);
        return 0.0;
    }
    double celsius = 0.0;
    if (!core_->ReadTemperature(&celsius)) {
        Report(kErrFailed);
        return 0.0;
    }
    if (ok != nullptr) *ok = 1;
    Report(kErrNone);
    return celsius;
}

int CVeltCam::SetSamplingRate(int rate) {
    if (!core_) {
        Report(kErrNotReady);
        return 0;
    }
    return core_->SetSamplingRate(0, 0, &rate);
}

intptr_t CVeltCam::SetInternalCorrection(int value) {
    if (!core_) {
        Report(kErrNotReady);
        return 0;
    }
    if (!core_->QueryInternalCorrection(0)) {
        Notify(kErrNotSupported);
        return 0;
    }
    return core_->SetInternalCorrection(value);
}

intptr_t CVeltCam::GetInternalCorrection(int* ok) {
    if (!core_) {
        if (ok != nullptr) *ok = 0;
        Report(kErrNotReady);
        return 0;
    }
    int value = 0;
    if (!core_->QueryInternalCorrection(0) || !core_->GetInternalCorrection(&value)) {
        if (ok != nullptr) *ok = 0;
        Notify(kErrNotSupported);
        return 0;
    }
    if (ok != nullptr) *ok = 1;
    return value;
}

int CVeltCam::FpgaReadRegister(int address, int* ok) {
    if (!core_) {
        if (ok != nullptr) *ok = 0;
        Report(kErrNotReady);
        return 0;
    }
    int read = 0;
    int value = core_->ReadFpgaRegister(address & 0xFF, &read);
    if (!read) {
        if (ok != nullptr) *ok = 0;
        Report(kErrDeviceIo);
        return 0;
    }
    return value;
}

int CVeltCam::FpgaWriteRegister(int address, int value) {
    if (!core_) {
        Report(kErrNotReady);
        return 0;
    }
    if (!core_->WriteFpgaRegister(address & 0xFF, value & 0xFFFF)) {
        Report(kErrDeviceIo);
        return 0;
    }
    return 1;
}

intptr_t CVeltCam::ReadSensorRegister(int address, int* ok) {
    if (!core_) {
        if (ok != nullptr) *ok = 0;
        Report(kErrNotReady);
        return 0;
    }
    int read = 0;
    int value = core_->ReadSensorRegister(address, &read);
    if (!read) {
        if (ok != nullptr) *ok = 0;
        Report(kErrDeviceIo);
        return 0;
    }
    // Unlike the FPGA read, the sensor read confirms success through the flag.
    if (ok != nullptr) *ok = 1;
    return value;
}

int CVeltCam::WriteSensorRegister(int address, int value) {
    if (!core_) {
        Report(kErrNotReady);
        return 0;
    }
    if (!core_->WriteSensorRegister(address, value)) {
        Report(kErrDeviceIo);
        return 0;
    }
    return 1;
}

}  // namespace veltcam
