#include "sensor/CSensorBase.h"

#include "platform/Clock.h"

namespace veltcam {
namespace {

constexpr int kVerifyAttempts = 10;
constexpr uint32_t kVerifyPauseMs = 5;
constexpr int kVersionAttempts = 10;
constexpr uint32_t kVersionPauseMs = 100;
constexpr uint8_t kSensorInterfaceRegister = 129;
constexpr uint8_t kSensorInterfaceReady = 0x02;
constexpr uint8_t kSensorInterfaceReset = 130;
constexpr uint32_t kResetPulseMs = 50;
constexpr uint32_t kInterfacePulseMs = 100;
constexpr uint32_t kInterfaceWaitMs = 5000;
constexpr int kVariantWithRearm108 = 58;
constexpr uint8_t kRearmRegister = 108;
constexpr uint8_t kTriggerPacing = 88;
constexpr uint32_t kTriggerPauseMs = 100;

}  // namespace

CSensorBase::CSensorBase(CControllerBase* controller, uint8_t busAddress)
    : controller_(controller), busAddress_(busAddress) {}

platform::CTimeSource& CSensorBase::Time() const {
    return controller_ ? controller_->Time() : platform::SystemTime();
}

bool CSensorBase::IsFeatureSupported(int group) {
    if (group < 0 || group > 2) return false;
    return info_.features[group].supported != 0;
}

bool CSensorBase::GetFeatureValue(int group, int which, int* value) {
    if (group < 0 || group > 2 || which < 0 || which > 3) return false;
    if (value) *value = info_.features[group].values[which];
    return info_.features[group].supported != 0;
}

bool CSensorBase::GetSensorInfo(SensorInfo* info) {
    if (info) *info = info_;
    return true;
}

bool CSensorBase::GetExposureMsMin(double* ms) {
    if (ms) *ms = info_.exposure_ms_min;
    return info_.exposure_ms_supported != 0;
}
bool CSensorBase::GetExposureMsMax(double* ms) {
    if (ms) *ms = info_.exposure_ms_max;
    return info_.exposure_ms_supported != 0;
}
bool CSensorBase::GetExposureMsDefault(double* ms) {
    if (ms) *ms = info_.exposure_ms_default;
    return info_.exposure_ms_supported != 0;
}
bool CSensorBase::GetExposureMs(double* ms) {
    if (ms) *ms = info_.exposure_ms;
    return info_.exposure_ms_supported != 0;
}

bool CSensorBase::WriteFpgaVerified(uint8_t reg, uint8_t value) {
    if (!controller_) return false;
    for (int attempt = 0; attempt < kVerifyAttempts; ++attempt) {
        controller_->WriteFpgaRegister(reg, value);
        Time().SleepMs(kVerifyPauseMs);
        uint8_t back = 0;
        if (controller_->ReadFpgaRegister(reg, &back) && back == value) return true;
        Time().SleepMs(kVerifyPauseMs);
    }
    return false;
}

bool CSensorBase::GetFpgaVersion(uint16_t* version) {
    if (!controller_) return false;
    if (fpgaVersion_ == 0) {
        for (int attempt = 0; attempt < kVersionAttempts; ++attempt) {
            uint16_t read = 0;
            if (controller_->ReadFpgaWord(&read) && read != 0) {
                fpgaVersion_ = read;
                break;
            }
            Time().SleepMs(kVersionPauseMs);
        }
    }
    if (version) *version = fpgaVersion_;
    return fpgaVersion_ != 0;
}

bool CSensorBase::ResetSensorInterface() {
    if (!controller_) return false;
    platform::CTimerResolution resolution;
    uint8_t value = 0;
    controller_->ReadFpgaRegister(kSensorInterfaceReset, &value);
    controller_->WriteFpgaRegister(kSensorInterfaceReset, value & ~1u);
    Time().SleepMs(kResetPulseMs);
    controller_->WriteFpgaRegister(kSensorInterfaceReset, value | 1u);
    Time().SleepMs(kResetPulseMs);
    return controller_->WriteFpgaRegister(kSensorInterfaceReset, value & ~1u);
}

bool CSensorBase::WaitSensorReady() {
    if (!controller_) return false;
    uint8_t value = 0;
    if (controller_->ReadFpgaRegister(kSensorInterfaceRegister, &value) &&
        (value & kSensorInterfaceReady)) {
        return true;
    }
    controller_->WriteFpgaRegister(kSensorInterfaceRegister, 1);
    Time().SleepMs(kInterfacePulseMs);
    controller_->WriteFpgaRegister(kSensorInterfaceRegister, 0);
    Time().SleepMs(kInterfacePulseMs);
    const uint32_t start = Time().TickMs();
    while (Time().TickMs() - start < kInterfaceWaitMs) {
        if (!controller_->ReadFpgaRegister(kSensorInterfaceRegister, &value)) {
            Time().SleepMs(kInterfacePulseMs);
            continue;
        }
        if (value & kSensorInterfaceReady) return true;
        Time().SleepMs(1);
    }
    return false;
}

bool CSensorBase::RearmFrameOutput() {
    if (!controller_) return false;
    if (rearmEnabled_ && modelVariant_ == kVariantWithRearm108) {
        platform::CTimerResolution resolution;
        controller_->WriteFpgaRegister(kRearmRegister, 1);
        Time().SleepMs(1);
        controller_->WriteFpgaRegister(kRearmRegister, 0);
    }
    return true;
}

bool CSensorBase::ProgramTriggerTiming() {
    if (!controller_) return false;
    // The FPGA paces the sensor in trigger mode: exposure lines, line period and the
    // frame time in lines. Pacing is off while they change.
    const uint32_t lines = static_cast<uint32_t>(info_.lines);
    const uint32_t period = fpgaTimingVariant_ == 1 ? 576 : 615;
    const uint32_t frameLines = lines + static_cast<uint32_t>(info_.window_height) + 19;
    WriteFpgaVerified(kTriggerPacing, 0);
    WriteFpgaVerified(133, static_cast<uint8_t>(lines));
    Time().SleepMs(kTriggerPauseMs);
    WriteFpgaVerified(134, static_cast<uint8_t>(lines >> 8));
    Time().SleepMs(kTriggerPauseMs);
    WriteFpgaVerified(155, static_cast<uint8_t>(lines >> 16));
    Time().SleepMs(kTriggerPauseMs);
    WriteFpgaVerified(84, static_cast<uint8_t>(period));
    Time().SleepMs(kTriggerPauseMs);
    WriteFpgaVerified(85, static_cast<uint8_t>(period >> 8));
    Time().SleepMs(kTriggerPauseMs);
    WriteFpgaVerified(80, static_cast<uint8_t>(frameLines));
    WriteFpgaVerified(81, static_cast<uint8_t>(frameLines >> 8));
    return WriteFpgaVerified(kTriggerPacing, fpgaTimingVariant_ == 1 ? 1 : 2);
}

}  // namespace veltcam
