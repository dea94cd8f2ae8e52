#include "sensor/CSensorIMX265.h"

#include "platform/Clock.h"

namespace veltcam {
namespace {

using namespace imx265;

constexpr uint32_t kI2cTimeoutMs = 3000;
constexpr uint32_t kReadinessTimeoutMs = 100;
constexpr int kStartAttempts = 300;
constexpr uint32_t kStartPauseMs = 10;
constexpr int kIdleAttempts = 100;
constexpr uint32_t kWriteIdlePauseMs = 10;
constexpr uint32_t kReadIdlePauseMs = 3;
constexpr uint32_t kTriggerPauseMs = 100;
constexpr uint8_t kFpgaStatus = 2;
constexpr uint8_t kFpgaNotConfigured = 0x90;
constexpr uint8_t kFpgaSensorEnable = 96;
constexpr uint16_t kFirstVersionWithoutInterfaceWait = 309;
constexpr int kModelVariant = 58;
constexpr int kFullFrameLength = 1568;  // 1536 lines + 32
constexpr int kHalfFrameLength = 804;
constexpr int kFullLineLength = 2256;
constexpr int kHalfLineLength = 2212;

}  // namespace

CSensorIMX265::CSensorIMX265(CControllerBase* controller, uint8_t busAddress)
    : CSensorBase(controller, busAddress) {
    info_.full_width = 2048;
    info_.full_height = 1536;
    info_.default_x = 0;
    info_.default_y = 0;
    info_.default_width = 2048;
    info_.default_height = 1536;
    info_.h_window_supported = 1;
    info_.v_window_supported = 1;
    info_.window_x = 0;
    info_.window_y = 0;
    info_.window_width = 2048;
    info_.window_height = 1536;
    info_.line_length = kFullLineLength;
    info_.frame_length = 1576;
    info_.readout_mode = 0;
    info_.default_readout_mode = 0;
    info_.gain_min = 0;
    info_.gain_max = 480;
    info_.gain = 64;
    info_.gain_default = 64;
    info_.lines_min = 1;
    info_.lines_max = 0xFFFFF;
    info_.lines = 10;
    info_.lines_default = 10;
    info_.exposure_min = 1;
    info_.exposure_max = 20000;
    info_.exposure = 170;
    info_.exposure_default = 170;
    info_.mirror_v = 0;
    info_.mirror_v_default = 0;
    info_.mirror_v_supported = 1;
    info_.mirror_h = 0;
    info_.mirror_h_default = 0;
    info_.mirror_h_supported = 1;
    info_.output_bits = 8;
    info_.clock_constant = 54545;
    info_.orientation = 4;
    modelVariant_ = kModelVariant;
    fpgaTimingVariant_ = 1;
}

double CSensorIMX265::UnitsPerLine() const {
    return (triggerMode_ == 1 && fpgaTimingVariant_ == 1) ? kUnitsPerLineTriggered : kUnitsPerLine;
}

// ---------------------------------------------------------------------------
// Register access

bool CSensorIMX265::WriteRegisterRaw(int reg, int value) {
    std::lock_guard<std::mutex> lock(busLock_);
    if (!controller_) return false;
    const uint8_t bytes[3] = {static_cast<uint8_t>(reg >> 8), static_cast<uint8_t>(reg),
                              static_cast<uint8_t>(value)};
    return controller_->I2cWrite(busAddress_, bytes, 3, kI2cTimeoutMs);
}

bool CSensorIMX265::ReadRegisterRaw(int reg, int* value) {
    std::lock_guard<std::mutex> lock(busLock_);
    if (!controller_) return false;
    const uint8_t address[2] = {static_cast<uint8_t>(reg >> 8), static_cast<uint8_t>(reg)};
    if (!controller_->I2cWrite(busAddress_, address, 2, kI2cTimeoutMs)) return false;
    uint8_t byte = 0;
    if (!controller_->I2cRead(busAddress_, &byte, 1, kI2cTimeoutMs)) return false;
    if (value) *value = byte;
    return true;
}

bool CSensorIMX265::WriteRegister(int reg, int value) {
    if (!controller_) return false;
    // The FPGA owns the sensor bus while it is busy: write only when it is idle.
    for (int attempt = 0; attempt < kIdleAttempts; ++attempt) {
        uint8_t status = 0xFF;
        if (controller_->ReadFpgaRegister(kFpgaStatus, &status) && status == 0 &&
            WriteRegisterRaw(reg, value)) {
            return true;
        }
        platform::CTimerResolution resolution;
        Time().SleepMs(kWriteIdlePauseMs);
    }
    return false;
}

bool CSensorIMX265::ReadRegister(int reg, int* value) {
    if (!controller_) return false;
    for (int attempt = 0; attempt < kIdleAttempts; ++attempt) {
        uint8_t status = 0xFF;
        if (controller_->ReadFpgaRegister(kFpgaStatus, &status) && status == 0) {
            return ReadRegisterRaw(reg, value);
        }
        Time().SleepMs(kReadIdlePauseMs);
    }
    return false;
}

// ---------------------------------------------------------------------------
// Start-up

bool CSensorIMX265::Initialize() {
    if (controller_) {
        bool ready = false;
        for (int attempt = 0; attempt < kStartAttempts && !ready; ++attempt) {
            uint8_t bytes[2] = {0xFF, 0xFF};
            ready = controller_->I2cRead(kReadinessDevice, bytes, 2, kReadinessTimeoutMs) &&
                    bytes[0] == 0;
            if (!ready) Time().SleepMs(kStartPauseMs);
        }
        if (!ready) return false;
        ready = false;
        for (int attempt = 0; attempt < kStartAttempts && !ready; ++attempt) {
            uint8_t status = 0xFF;
            ready = controller_->ReadFpgaRegister(kFpgaStatus, &status) &&
                    (status & kFpgaNotConfigured) == 0;
            if (!ready) Time().SleepMs(kStartPauseMs);
        }
        if (!ready) return false;
        controller_->WriteFpgaRegister(kFpgaSensorEnable, 1);
    }
    WriteRegister(kInit0412, 0x08);
    WriteRegister(kInit0454, 0x50);
    SetGain(info_.gain_default);
    SetExposureLines(info_.lines_default);
    SetMirrorH(info_.mirror_h_default != 0);
    SetMirrorV(info_.mirror_v_default != 0);
    SetCaptureWindow(0, 2048, 0, 1536, 0);
    uint16_t version = 0;
    if (!GetFpgaVersion(&version)) return true;
    if (version < kFirstVersionWithoutInterfaceWait) WaitSensorReady();
    return true;
}

// ---------------------------------------------------------------------------
// Window and readout

bool CSensorIMX265::SetCaptureWindow(int x, int width, int y, int height, int mode) {
    // Alignment of the window by readout mode.
    bool aligned;
    if (mode == 0) {
        aligned = x % 2 == 0 && y % 2 == 0 && width % 16 == 0 && height % 4 == 0;
    } else if (mode == 1) {
        aligned = x % 4 == 0 && y % 4 == 0 && width % 32 == 0 && height % 4 == 0;
    } else {
        aligned = x % 8 == 0 && y % 8 == 0 && width % 64 == 0 && height % 8 == 0;
    }
    // A window must lie on the array: negative origins and empty sizes would program
    // start registers outside it.
    if (!aligned || x < 0 || y < 0 || width <= 0 || height <= 0 || x + width > info_.full_width ||
        y + height > info_.full_height) {
        return false;
    }
    const int k = mode == 1 ? 2 : 1;
    const int outWidth = (width / k) & ~3;
    const int outHeight = (height / k) & ~3;
    int frameLength, lineLength;
    if (mode == 1) {
        WriteRegister(kReadout, 0x11);
        WriteRegister(kWindowEnable, 0);
        info_.readout_mode = 1;
        frameLength = kHalfFrameLength;
        lineLength = kHalfLineLength;
    } else {
        // The window registers count from the far corner of the array.
        const int startX = info_.full_width - x - width + 8;
        const int startY = info_.full_height - y - height + 8;
        WriteRegister(kReadout, 0x00);
        WriteRegister(kWindowX0, startX & 0xFF);
        WriteRegister(kWindowX1, (startX >> 8) & 0x1F);
        WriteRegister(kWindowY0, startY & 0xFF);
        WriteRegister(kWindowY1, (startY >> 8) & 0x0F);
        WriteRegister(kWindowWidth0, outWidth & 0xFF);
        WriteRegister(kWindowWidth1, (outWidth >> 8) & 0x1F);
        WriteRegister(kWindowHeight0, (outHeight + 4) & 0xFF);
        WriteRegister(kWindowHeight1, ((outHeight + 4) >> 8) & 0x0F);
        WriteRegister(kWindowEnable, 3);
        info_.readout_mode = 0;
        frameLength = height + 32;
        lineLength = kFullLineLength;
    }
    WriteRegister(kFrameLength0, frameLength & 0xFF);
    WriteRegister(kFrameLength1, (frameLength >> 8) & 0xFF);
    WriteRegister(kFrameLength2, (frameLength >> 16) & 0xFF);
    info_.line_length = lineLength;
    info_.frame_length = frameLength;
    info_.window_x = x;
    info_.window_y = y;
    info_.window_width = outWidth;
    info_.window_height = outHeight;
    requested_ = Window{x, width, y, height, mode};
    SetExposureTime(info_.exposure);
    return true;
}

bool CSensorIMX265::GetCaptureWindow(int* x, int* width, int* y, int* height, int* mode) {
    if (x) *x = info_.window_x;
    if (width) *width = info_.window_width;
    if (y) *y = info_.window_y;
    if (height) *height = info_.window_height;
    if (mode) *mode = info_.readout_mode;
    return true;
}

bool CSensorIMX265::SetOutputBits(bool sixteen) {
    info_.output_bits = sixteen ? 16 : 8;
    // The last requested window, not the stored output size: in half resolution that
    // is already halved and would be halved again.
    return SetCaptureWindow(requested_.x, requested_.width, requested_.y, requested_.height,
                            requested_.mode);
}

// ---------------------------------------------------------------------------
// Exposure, gain, mirror

bool CSensorIMX265::SetExposureTime(int units) {
    const double c = UnitsPerLine();
    if (static_cast<unsigned>(units) < static_cast<unsigned>(info_.exposure_min)) {
        units = info_.exposure_min;
    }
    if (static_cast<unsigned>(units) > static_cast<unsigned>(info_.exposure_max)) {
        units = info_.exposure_max;
    }
    int lines = static_cast<int>(units / c);
    if (lines < info_.lines_min) {
        lines = info_.lines_min;
        units = static_cast<int>(lines * c);
    }
    if (lines > info_.lines_max) {
        lines = info_.lines_max;
        units = static_cast<int>(lines * c);
    }
    if (!SetExposureLines(lines)) return false;
    info_.exposure = units;
    return true;
}

bool CSensorIMX265::SetExposureLines(int lines) {
    if (static_cast<unsigned>(lines) > static_cast<unsigned>(info_.lines_max)) {
        lines = info_.lines_max;
    }
    // A long exposure stretches the frame to lines + 8, which must fit the 20-bit
    // frame-length register.
    if (lines > kMaxFrameLength - 8) lines = kMaxFrameLength - 8;
    const int f = info_.frame_length;
    bool result = true;
    if (lines <= f - 8) {
        // Restore the configured frame length (a long exposure may have stretched it),
        // then the shutter line, applied together under the register hold.
        WriteRegister(kFrameLength2, (f >> 16) & 0x0F);
        WriteRegister(kFrameLength1, (f >> 8) & 0xFF);
        WriteRegister(kFrameLength0, f & 0xFF);
        WriteRegister(kHold, 1);
        const int shutter = f - lines;
        if (!WriteRegister(kShutter0, shutter & 0xFF)) {
            WriteRegister(kHold, 0);
            return false;
        }
        WriteRegister(kShutter1, (shutter >> 8) & 0x0F);
        WriteRegister(kShutter2, 0);
        info_.lines = lines;
        WriteRegister(kHold, 0);
    } else {
        const int v = lines + 8;
        const uint32_t pauseMs = static_cast<uint32_t>(info_.exposure / 1000000);
        auto pause = [&] {
            if (pauseMs) Time().SleepMs(pauseMs);
        };
        WriteRegister(kHold, 1);
        if ((v >> 16) & 0x0F) {
            WriteRegister(kFrameLength2, (v >> 16) & 0x0F);
            pause();
            WriteRegister(kFrameLength0, v & 0xFF);
            pause();
            WriteRegister(kFrameLength1, (v >> 8) & 0xFF);
            pause();
        } else if (((v >> 8) & 0xFF) < ((f >> 8) & 0xFF)) {
            WriteRegister(kFrameLength1, (v >> 8) & 0xFF);
            pause();
            WriteRegister(kFrameLength2, 0);
            WriteRegister(kFrameLength0, v & 0xFF);
        } else {
            WriteRegister(kFrameLength2, 0);
            WriteRegister(kFrameLength1, (v >> 8) & 0xFF);
            WriteRegister(kFrameLength0, v & 0xFF);
        }
        WriteRegister(kHold, 0);
        WriteRegister(kHold, 1);
        WriteRegister(kShutter0, 8);
        WriteRegister(kShutter1, 0);
        WriteRegister(kShutter2, 0);
        WriteRegister(kHold, 0);
        info_.lines = lines;
    }
    if (triggerMode_ == 1) ProgramTriggerTiming();
    return result;
}

bool CSensorIMX265::SetGain(int value) {
    if (static_cast<unsigned>(value) > static_cast<unsigned>(info_.gain_max))
        value = info_.gain_max;
    if (!WriteRegister(kGain0, value & 0xFF)) return false;
    WriteRegister(kGain1, (value >> 8) & 1);
    info_.gain = value;
    return true;
}

bool CSensorIMX265::SetMirrorV(bool on) {
    if (!WriteRegister(kMirror, (info_.mirror_h ? 2 : 0) | (on ? 1 : 0))) return false;
    info_.mirror_v = on;
    return true;
}

bool CSensorIMX265::SetMirrorH(bool on) {
    if (!WriteRegister(kMirror, (on ? 2 : 0) | (info_.mirror_v ? 1 : 0))) return false;
    info_.mirror_h = on;
    return true;
}

// ---------------------------------------------------------------------------
// Trigger mode and frame rate

bool CSensorIMX265::SetTriggerMode(int mode) {
    if (!controller_) return false;
    triggerMode_ = mode;
    // Convert the exposure with the line time of the new mode.
    SetExposureTime(info_.exposure);
    auto pause = [&] { Time().SleepMs(kTriggerPauseMs); };
    if (mode == 1) {
        ProgramTriggerTiming();
        WriteRegister(kHold, 1);
        WriteRegister(kTriggerA, 1);
        pause();
        WriteRegister(kTriggerB, 1);
        pause();
        WriteRegister(kTriggerSetup, 0xF0);
        pause();
        WriteRegister(kTriggerClear, 0);
        pause();
        bool result = WriteRegister(kTriggerEnable, 1);
        pause();
        WriteRegister(kHold, 0);
        return result;
    }
    WriteFpgaVerified(88, 0);
    WriteRegister(kHold, 1);
    WriteRegister(kTriggerA, 0);
    pause();
    bool result = WriteRegister(kTriggerB, 0);
    pause();
    WriteRegister(kHold, 0);
    return result;
}

bool CSensorIMX265::SetFrameRate(int flag, const int* rate) {
    // A rate of zero or below has no frame period.
    if (flag != 0 || rate == nullptr || *rate <= 0) return false;
    const double lineTime = info_.line_length * 3.0 / 2.2 / info_.clock_constant;
    double frameLength = static_cast<double>(static_cast<long long>(100000.0 / *rate / lineTime));
    if (frameLength < info_.window_height + 40) frameLength = info_.window_height + 40;
    if (frameLength > 65535) frameLength = 65535;
    info_.frame_length = static_cast<int>(frameLength);
    return SetExposureTime(info_.exposure);
}

// ---------------------------------------------------------------------------
// Getters

bool CSensorIMX265::GetTriggerMode(int* mode) {
    if (mode) *mode = triggerMode_;
    return true;
}
bool CSensorIMX265::GetExposureLines(int* lines) {
    if (lines) *lines = info_.lines;
    return true;
}
bool CSensorIMX265::GetGain(int* value) {
    if (value) *value = info_.gain;
    return true;
}
bool CSensorIMX265::GetExposureLinesMin(int* value) {
    if (value) *value = info_.lines_min;
    return true;
}
bool CSensorIMX265::GetExposureLinesMax(int* value) {
    if (value) *value = info_.lines_max;
    return true;
}
bool CSensorIMX265::GetExposureLinesDefault(int* value) {
    if (value) *value = info_.lines_default;
    return true;
}
bool CSensorIMX265::GetGainMin(int* value) {
    if (value) *value = info_.gain_min;
    return true;
}
bool CSensorIMX265::GetGainMax(int* value) {
    if (value) *value = info_.gain_max;
    return true;
}
bool CSensorIMX265::GetGainDefault(int* value) {
    if (value) *value = info_.gain_default;
    return true;
}
bool CSensorIMX265::GetColorGainMin(int* value) {
    if (value) *value = info_.color_gain_min;
    return true;
}
bool CSensorIMX265::GetColorGainMax(int* value) {
    if (value) *value = info_.color_gain_max;
    return true;
}
bool CSensorIMX265::GetColorGainDefault(int* value) {
    if (value) *value = info_.color_gain_default;
    return true;
}
bool CSensorIMX265::GetExposureTime(int* units) {
    if (units) *units = info_.exposure;
    return true;
}
bool CSensorIMX265::GetExposureTimeMin(int* units) {
    if (units) *units = info_.exposure_min;
    return true;
}
bool CSensorIMX265::GetExposureTimeMax(int* units) {
    if (units) *units = info_.exposure_max;
    return true;
}
bool CSensorIMX265::GetExposureTimeDefault(int* units) {
    if (units) *units = info_.exposure_default;
    return true;
}
bool CSensorIMX265::GetMirrorV(int* on) {
    if (on) *on = info_.mirror_v;
    return true;
}
bool CSensorIMX265::GetMirrorH(int* on) {
    if (on) *on = info_.mirror_h;
    return true;
}

}  // namespace veltcam
