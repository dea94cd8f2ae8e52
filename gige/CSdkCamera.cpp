#include "CSdkCamera.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstring>
#include <iterator>

#include "FeatureRegisters.h"
#include "GvcpProtocol.h"
#include "VeltCamSdkEx.h"

namespace veltcam::gige {
namespace {

namespace f = feature;
constexpr int kWaitMs = 100;  // bounds how long a stop waits for the frame thread
constexpr int kQueueDepth = 4;

uint32_t FloatBits(float v) { return std::bit_cast<uint32_t>(v); }
bool ToFloat(uint32_t bits, float* v) {
    *v = std::bit_cast<float>(bits);
    return std::isfinite(*v);
}

uint32_t FormatForBits(int bits) {
    switch (bits) {
        case VELTCAM_COLOR_MONO16:
            return kPixMono16;
        case VELTCAM_COLOR_BGR24:
            return kPixBgr8;
        case VELTCAM_COLOR_BGRX32:
            return kPixBgra8;
        default:
            return kPixMono8;
    }
}

int BitsForFormat(uint32_t format) {
    switch (format) {
        case kPixMono8:
            return VELTCAM_COLOR_MONO8;
        case kPixMono16:
            return VELTCAM_COLOR_MONO16;
        case kPixBgr8:
            return VELTCAM_COLOR_BGR24;
        case kPixBgra8:
            return VELTCAM_COLOR_BGRX32;
        default:
            return 0;
    }
}

// The settings the SDK stores per camera (written when it lets go of the camera,
// read when it opens one), as setting IDs in the order they are put back: the
// automatic white balance last, since it rewrites the colour gains.
constexpr int kStoredIds[] = {VELTCAM_ID_GLOBAL_GAIN,
                              VELTCAM_ID_EXPOSURE_TIME,
                              VELTCAM_ID_BRIGHTNESS,
                              VELTCAM_ID_CONTRAST,
                              VELTCAM_ID_HUE,
                              VELTCAM_ID_SATURATION,
                              VELTCAM_ID_SHARPNESS,
                              VELTCAM_ID_GAMMA,
                              VELTCAM_ID_BAYER_MODE,
                              VELTCAM_ID_BAYER_GAIN_RED,
                              VELTCAM_ID_BAYER_GAIN_GREEN,
                              VELTCAM_ID_BAYER_GAIN_BLUE,
                              VELTCAM_ID_GRAY_MODE,
                              VELTCAM_ID_GRAY_GAIN_R,
                              VELTCAM_ID_GRAY_GAIN_G1,
                              VELTCAM_ID_GRAY_GAIN_G2,
                              VELTCAM_ID_GRAY_GAIN_B,
                              VELTCAM_ID_GRAY_OFFSET_R,
                              VELTCAM_ID_GRAY_OFFSET_G1,
                              VELTCAM_ID_GRAY_OFFSET_G2,
                              VELTCAM_ID_GRAY_OFFSET_B,
                              VELTCAM_ID_BAYER_GAIN_AUTO};
static_assert(std::size(kStoredIds) == std::tuple_size_v<decltype(UserSetValues::ids)>);

// What the camera comes up with when nothing is stored for it: the sensor's
// power-on gain (6.4 dB) and exposure (17 ms), neutral image settings.
UserSetValues FactoryValues() {
    UserSetValues v;
    v.ids = {64,  170, 0,   0,   0,   0,   0,   100, 3,   100, 100,
             100, 0,   128, 128, 128, 128, 128, 128, 128, 128, 0};
    return v;
}

UserSetValues ReadUserSet(VeltCamHandle handle) {
    UserSetValues v;
    int ok = 0;
    for (std::size_t i = 0; i < std::size(kStoredIds); ++i) {
        v.ids[i] = VeltCam_GetFilterValue(handle, kStoredIds[i], &ok);
    }
    v.mirrorH = VeltCam_GetMirrorH(handle);
    v.mirrorV = VeltCam_GetMirrorV(handle);
    v.autoIris = VeltCam_GetAutoIris(handle, &ok);
    return v;
}

bool ApplyUserSet(VeltCamHandle handle, const UserSetValues& v) {
    bool ok = true;
    for (std::size_t i = 0; i < std::size(kStoredIds); ++i) {
        ok &= VeltCam_SetFilterValue(handle, kStoredIds[i], v.ids[i]) != 0;
    }
    ok &= VeltCam_SetMirrorH(handle, v.mirrorH) != 0;
    ok &= VeltCam_SetMirrorV(handle, v.mirrorV) != 0;
    ok &= VeltCam_SetAutoIris(handle, v.autoIris) != 0;
    return ok;
}

uint64_t MonotonicNs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

}  // namespace

CSdkCamera::CSdkCamera(VeltCamHandle handle, int device, Log log)
    : handle_(handle),
      original_(handle),
      device_(device),
      log_(std::move(log)),
      // The SDK applied the camera's stored settings when it opened the camera.
      stored_(ReadUserSet(handle)) {}

CSdkCamera::~CSdkCamera() {
    Stop();
    // The SDK stores the settings it holds when it lets go of the camera: make
    // that the saved user set, so only UserSetSave changes what the camera
    // comes up with next time, as on a network camera.
    ApplyUserSet(handle_, stored_);
    if (handle_ != original_) {
        VeltCam_Release(handle_);
        if (!originalReleased_) ApplyUserSet(original_, stored_);
    }
}

void CSdkCamera::Attach(CGvspStreamer* streamer, CGvcpServer* server) {
    streamer_ = streamer;
    server_ = server;
}

void CSdkCamera::Start() {
    VeltCam_SetPreviewWindow(handle_, nullptr, 0, 0, 0, 0);  // headless
    thread_ = std::thread([this] { FrameLoop(); });
}

void CSdkCamera::Stop() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
        acquiring_ = false;
    }
    stopSending_ = true;
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

std::string CSdkCamera::Serial() {
    char serial[VELTCAM_SERIAL_NUMBER_SIZE] = {};
    if (VeltCam_ReadSerialNumberA(handle_, serial, sizeof serial) == 0) return "";
    return serial;
}

CSdkCamera::Window CSdkCamera::CurrentWindow() {
    Window w;
    VeltCam_GetCaptureWindowEx(handle_, nullptr, &w.x, &w.width, nullptr, &w.y, &w.height);
    return w;
}

int CSdkCamera::Decimation() {
    return VeltCam_GetSubSample(handle_) == VELTCAM_SUBSAMPLE_HALF ? 2 : 1;
}

CSdkCamera::Window CSdkCamera::ImageWindow() {
    const Window w = CurrentWindow();
    if (Decimation() == 1) return w;
    // Half readout ignores the window's origin: the camera reads from the array's.
    return Window{0, 0, w.width / 2, w.height / 2};
}

bool CSdkCamera::Busy() {
    std::lock_guard lock(mutex_);
    return acquiring_ || modeRunning_;
}

uint16_t CSdkCamera::SetImageWindow(Window w) {
    if (Busy()) return kStatusBusy;
    const int d = Decimation();
    const bool aligned = w.width % f::kWidthInc == 0 && w.height % f::kHeightInc == 0 &&
                         w.x % f::kOffsetInc == 0 && w.y % f::kOffsetInc == 0;
    if (!aligned || (d == 2 && (w.x != 0 || w.y != 0)) ||
        w.width < static_cast<int>(f::kWidthMin) || w.height < static_cast<int>(f::kHeightMin) ||
        w.x < 0 || w.y < 0 || w.x + w.width > static_cast<int>(f::kSensorWidthPixels) / d ||
        w.y + w.height > static_cast<int>(f::kSensorHeightPixels) / d) {
        return kStatusInvalidParameter;
    }
    if (VeltCam_SetCaptureWindowEx(handle_, f::kSensorWidthPixels, w.x * d, w.width * d,
                                   f::kSensorHeightPixels, w.y * d, w.height * d) == 0) {
        log_("camera refused window " + std::to_string(w.width) + "x" + std::to_string(w.height) +
             " error " + std::to_string(VeltCam_GetLastError(handle_)));
        return kStatusError;
    }
    return kStatusSuccess;
}

uint16_t CSdkCamera::SetDecimation(uint32_t value) {
    if (value != 1 && value != 2) return kStatusInvalidParameter;
    if (Busy()) return kStatusBusy;
    if (static_cast<int>(value) == Decimation()) return kStatusSuccess;
    // The image keeps the same area of the sensor, moved to the array's origin
    // (where half readout reads); half readout takes windows in steps of 32 x 8
    // sensor pixels.
    Window next = CurrentWindow();
    next.x = next.y = 0;
    if (value == 2) {
        next.width = std::max(next.width / 32 * 32, static_cast<int>(f::kWidthMin) * 2);
        next.height = std::max(next.height / 8 * 8, static_cast<int>(f::kHeightMin) * 2);
    }
    const int previous = VeltCam_GetSubSample(handle_);
    VeltCam_SetSubSample(handle_, value == 2 ? VELTCAM_SUBSAMPLE_HALF : VELTCAM_SUBSAMPLE_FULL);
    if (VeltCam_SetCaptureWindowEx(handle_, f::kSensorWidthPixels, next.x, next.width,
                                   f::kSensorHeightPixels, next.y, next.height) == 0) {
        log_("camera refused readout change, error " +
             std::to_string(VeltCam_GetLastError(handle_)));
        VeltCam_SetSubSample(handle_, previous);
        return kStatusError;
    }
    return kStatusSuccess;
}

uint16_t CSdkCamera::LoadUserSet() {
    if (Busy()) return kStatusBusy;
    uint32_t which;
    {
        std::lock_guard lock(mutex_);
        which = userSet_;
    }
    if (which == f::kUserSet1) {
        if (!ApplyUserSet(handle_, stored_)) return kStatusError;
        log_("user set 1 loaded");
        return kStatusSuccess;
    }
    // The power-on state covers what the camera stores nowhere too: readout,
    // window, format, and the acquisition and trigger choices this bridge holds.
    VeltCam_SetSubSample(handle_, VELTCAM_SUBSAMPLE_FULL);
    bool ok = VeltCam_SetCaptureWindowEx(handle_, f::kSensorWidthPixels, 0, f::kSensorWidthPixels,
                                         f::kSensorHeightPixels, 0, f::kSensorHeightPixels) != 0;
    ok &= VeltCam_SetColorMode(handle_, VELTCAM_COLOR_BGR24) != 0;
    ok &= ApplyUserSet(handle_, FactoryValues());
    {
        std::lock_guard lock(mutex_);
        acquisitionMode_ = f::kAcquisitionContinuous;
        frameCount_ = 1;
        frameRate_ = 30.0f;
        frameRateEnable_ = false;
        triggerOn_ = false;
        triggerSource_ = f::kTriggerSourceSoftware;
    }
    log_("default settings loaded");
    return ok ? kStatusSuccess : kStatusError;
}

uint16_t CSdkCamera::SaveUserSet() {
    if (Busy()) return kStatusBusy;
    {
        std::lock_guard lock(mutex_);
        if (userSet_ != f::kUserSet1) return kStatusWriteProtect;  // the power-on set is fixed
    }
    // The SDK writes a camera's stored settings when it lets go of the camera
    // and reads them when it opens one: let go, and open the camera again as
    // after a replug, carrying over what the store does not keep.
    if (!Reopen(true)) {
        log_("saving the settings: the camera did not open again");
        std::lock_guard lock(mutex_);
        reopen_ = true;  // the next acquisition tries again
        return kStatusError;
    }
    stored_ = ReadUserSet(handle_);
    log_("user set 1 saved");
    return kStatusSuccess;
}

uint32_t CSdkCamera::PixelFormat() { return FormatForBits(VeltCam_GetColorMode(handle_)); }

uint32_t CSdkCamera::BytesPerPixel() {
    const int bits = VeltCam_GetColorMode(handle_);
    return bits > 0 ? static_cast<uint32_t>(bits) / 8 : 1;
}

uint16_t CSdkCamera::ReadFeature(uint32_t address, uint32_t* value) {
    int ok = 0;
    std::lock_guard lock(mutex_);
    switch (address) {
        case f::kWidth:
            *value = ImageWindow().width;
            break;
        case f::kHeight:
            *value = ImageWindow().height;
            break;
        case f::kOffsetX:
            *value = ImageWindow().x;
            break;
        case f::kOffsetY:
            *value = ImageWindow().y;
            break;
        case f::kWidthMax:
            *value = f::kSensorWidthPixels / Decimation() - ImageWindow().x;
            break;
        case f::kHeightMax:
            *value = f::kSensorHeightPixels / Decimation() - ImageWindow().y;
            break;
        case f::kOffsetXMax:
            // Half readout has no offsets.
            *value = Decimation() == 1 ? f::kSensorWidthPixels - ImageWindow().width : 0;
            break;
        case f::kOffsetYMax:
            *value = Decimation() == 1 ? f::kSensorHeightPixels - ImageWindow().height : 0;
            break;
        case f::kDecimationHorizontal:
        case f::kDecimationVertical:
            *value = Decimation();
            break;
        case f::kUserSetSelector:
            *value = userSet_;
            break;
        case f::kSensorWidth:
            *value = f::kSensorWidthPixels;
            break;
        case f::kSensorHeight:
            *value = f::kSensorHeightPixels;
            break;
        case f::kPixelFormat:
            *value = PixelFormat();
            break;
        case f::kPayloadSize: {
            const Window w = ImageWindow();
            *value = static_cast<uint32_t>(w.width * w.height) * BytesPerPixel();
            break;
        }
        case f::kAcquisitionMode:
            *value = acquisitionMode_;
            break;
        case f::kAcquisitionFrameCount:
            *value = frameCount_;
            break;
        case f::kAcquisitionFrameRate:
            *value = FloatBits(frameRate_);
            break;
        case f::kAcquisitionFrameRateEnable:
            *value = frameRateEnable_ ? 1 : 0;
            break;
        case f::kTriggerSelector:
            *value = 0;
            break;
        case f::kTriggerMode:
            *value = triggerOn_ ? 1 : 0;
            break;
        case f::kTriggerSource:
            *value = triggerSource_;
            break;
        case f::kTriggerActivation:
            *value = 0;
            break;
        case f::kAcquisitionStart:
        case f::kAcquisitionStop:
        case f::kTriggerSoftware:
        case f::kTimestampLatch:
        case f::kUserSetLoad:
        case f::kUserSetSave:
            *value = 0;  // commands read as done
            break;
        case f::kExposureTime:
            *value = FloatBits(static_cast<float>(VeltCam_GetExposureTime(handle_, &ok)) * 100.0f);
            break;
        case f::kExposureAuto:
            *value = VeltCam_GetAutoIris(handle_, &ok) == VELTCAM_AUTO_IRIS_EXPOSURE
                         ? f::kAutoContinuous
                         : f::kAutoOff;
            break;
        case f::kGain:
            *value = FloatBits(static_cast<float>(VeltCam_GetGlobalGain(handle_, &ok)) / 10.0f);
            break;
        case f::kGainAuto:
            *value = VeltCam_GetAutoIris(handle_, &ok) == VELTCAM_AUTO_IRIS_GAIN
                         ? f::kAutoContinuous
                         : f::kAutoOff;
            break;
        case f::kReverseX:
            *value = VeltCam_GetMirrorH(handle_) ? 1 : 0;
            break;
        case f::kReverseY:
            *value = VeltCam_GetMirrorV(handle_) ? 1 : 0;
            break;
        case f::kGamma:
            *value = FloatBits(static_cast<float>(VeltCam_GetGamma(handle_, &ok)) / 100.0f);
            break;
        case f::kBalanceWhiteAuto:
            *value = VeltCam_GetBayerGainAuto(handle_, &ok) ? f::kAutoContinuous : f::kAutoOff;
            break;
        case f::kTimestampHigh:
            *value = static_cast<uint32_t>(latchedTimestamp_ >> 32);
            break;
        case f::kTimestampLow:
            *value = static_cast<uint32_t>(latchedTimestamp_);
            break;
        default:
            return kStatusInvalidAddress;
    }
    return kStatusSuccess;
}

bool CSdkCamera::SlowWrite(uint32_t address) const {
    // Each of these reprograms the sensor's window or the image buffers, or
    // closes and opens the camera.
    return address == f::kWidth || address == f::kHeight || address == f::kOffsetX ||
           address == f::kOffsetY || address == f::kPixelFormat ||
           address == f::kDecimationHorizontal || address == f::kDecimationVertical ||
           address == f::kUserSetLoad || address == f::kUserSetSave;
}

uint16_t CSdkCamera::WriteFeature(uint32_t address, uint32_t value) {
    float real = 0.0f;
    auto result = [this](int ok, const char* what) -> uint16_t {
        if (ok != 0) return kStatusSuccess;
        log_(std::string("camera refused ") + what + ", error " +
             std::to_string(VeltCam_GetLastError(handle_)));
        return kStatusError;
    };
    auto isAuto = [](uint32_t v) { return v == f::kAutoOff || v == f::kAutoContinuous; };
    switch (address) {
        case f::kWidth: {
            Window w = ImageWindow();
            w.width = static_cast<int>(std::min(value, f::kSensorWidthPixels));
            return SetImageWindow(w);
        }
        case f::kHeight: {
            Window w = ImageWindow();
            w.height = static_cast<int>(std::min(value, f::kSensorHeightPixels));
            return SetImageWindow(w);
        }
        case f::kOffsetX: {
            Window w = ImageWindow();
            w.x = static_cast<int>(std::min(value, f::kSensorWidthPixels));
            return SetImageWindow(w);
        }
        case f::kOffsetY: {
            Window w = ImageWindow();
            w.y = static_cast<int>(std::min(value, f::kSensorHeightPixels));
            return SetImageWindow(w);
        }
        case f::kPixelFormat: {
            const int bits = BitsForFormat(value);
            if (bits == 0) return kStatusInvalidParameter;
            {
                std::lock_guard lock(mutex_);
                if (acquiring_ || modeRunning_) return kStatusBusy;
            }
            return result(VeltCam_SetColorMode(handle_, bits), "pixel format");
        }
        case f::kAcquisitionMode: {
            if (value > f::kAcquisitionMultiFrame) return kStatusInvalidParameter;
            std::lock_guard lock(mutex_);
            acquisitionMode_ = value;
            return kStatusSuccess;
        }
        case f::kAcquisitionFrameCount: {
            if (value == 0 || value > 65535) return kStatusInvalidParameter;
            std::lock_guard lock(mutex_);
            frameCount_ = value;
            return kStatusSuccess;
        }
        case f::kAcquisitionStart:
            return value != 0 ? StartAcquisition() : static_cast<uint16_t>(kStatusSuccess);
        case f::kAcquisitionStop:
            if (value != 0) StopAcquisition();
            return kStatusSuccess;
        case f::kAcquisitionFrameRate: {
            if (!ToFloat(value, &real) || real < 1.0f || real > 1000.0f) {
                return kStatusInvalidParameter;
            }
            std::lock_guard lock(mutex_);
            frameRate_ = real;
            return kStatusSuccess;
        }
        case f::kAcquisitionFrameRateEnable: {
            std::lock_guard lock(mutex_);
            frameRateEnable_ = value != 0;
            return kStatusSuccess;
        }
        case f::kTriggerSelector:
        case f::kTriggerActivation:
            return value == 0 ? kStatusSuccess : kStatusInvalidParameter;
        case f::kTriggerMode: {
            if (value > 1) return kStatusInvalidParameter;
            std::lock_guard lock(mutex_);
            if (modeRunning_ && triggerOn_ != (value == 1)) return kStatusBusy;
            triggerOn_ = value == 1;
            return kStatusSuccess;
        }
        case f::kTriggerSource: {
            if (value > f::kTriggerSourceLine1) return kStatusInvalidParameter;
            std::lock_guard lock(mutex_);
            if (modeRunning_ && triggerOn_ && triggerSource_ != value) return kStatusBusy;
            triggerSource_ = value;
            return kStatusSuccess;
        }
        case f::kTriggerSoftware: {
            if (value == 0) return kStatusSuccess;
            std::lock_guard lock(mutex_);
            if (!triggerOn_ || triggerSource_ != f::kTriggerSourceSoftware) return kStatusSuccess;
            ++pendingTriggers_;
            wake_.notify_all();
            return kStatusSuccess;
        }
        case f::kExposureTime: {
            if (!ToFloat(value, &real) || real < 50.0f || real > 2000049.0f) {
                return kStatusInvalidParameter;
            }
            // The camera counts exposure in 0.1 ms: round to the nearest step.
            const int units = std::clamp(static_cast<int>(std::lround(real / 100.0f)), 1, 20000);
            return result(VeltCam_SetExposureTime(handle_, units), "exposure");
        }
        case f::kExposureAuto:
        case f::kGainAuto: {
            if (!isAuto(value)) return kStatusInvalidParameter;
            // One automatic loop in the camera drives either exposure or gain.
            int ok = 0;
            const int mode = VeltCam_GetAutoIris(handle_, &ok);
            const int mine =
                address == f::kExposureAuto ? VELTCAM_AUTO_IRIS_EXPOSURE : VELTCAM_AUTO_IRIS_GAIN;
            int wanted = mode;
            if (value == f::kAutoContinuous)
                wanted = mine;
            else if (mode == mine)
                wanted = VELTCAM_AUTO_IRIS_OFF;
            return result(VeltCam_SetAutoIris(handle_, wanted), "automatic exposure");
        }
        case f::kGain: {
            if (!ToFloat(value, &real) || real < 0.0f || real > 48.0f) {
                return kStatusInvalidParameter;
            }
            return result(VeltCam_SetGlobalGain(handle_, static_cast<int>(std::lround(real * 10))),
                          "gain");
        }
        case f::kReverseX:
            return result(VeltCam_SetMirrorH(handle_, value != 0), "mirror");
        case f::kReverseY:
            return result(VeltCam_SetMirrorV(handle_, value != 0), "mirror");
        case f::kGamma: {
            if (!ToFloat(value, &real) || real < 0.0f || real > 2.0f) {
                return kStatusInvalidParameter;
            }
            return result(VeltCam_SetGamma(handle_, static_cast<int>(std::lround(real * 100))),
                          "gamma");
        }
        case f::kBalanceWhiteAuto:
            if (!isAuto(value)) return kStatusInvalidParameter;
            return result(VeltCam_SetBayerGainAuto(handle_, value == f::kAutoContinuous ? 1 : 0),
                          "white balance");
        case f::kDecimationHorizontal:
        case f::kDecimationVertical:
            return SetDecimation(value);
        case f::kUserSetSelector: {
            if (value > f::kUserSet1) return kStatusInvalidParameter;
            std::lock_guard lock(mutex_);
            userSet_ = value;
            return kStatusSuccess;
        }
        case f::kUserSetLoad:
            if (value == 0) return kStatusSuccess;
            return LoadUserSet();
        case f::kUserSetSave:
            if (value == 0) return kStatusSuccess;
            return SaveUserSet();
        case f::kTimestampLatch:
            if (value != 0) {
                std::lock_guard lock(mutex_);
                latchedTimestamp_ = MonotonicNs();
            }
            return kStatusSuccess;
        default:
            return address >= f::kBase && address < f::kEnd ? kStatusWriteProtect
                                                            : kStatusInvalidAddress;
    }
}

uint16_t CSdkCamera::StartAcquisition() {
    {
        std::lock_guard lock(mutex_);
        if (acquiring_) return kStatusSuccess;
        acquiring_ = true;
        pendingTriggers_ = 0;
        framesLeft_ = acquisitionMode_ == f::kAcquisitionSingleFrame  ? 1
                      : acquisitionMode_ == f::kAcquisitionMultiFrame ? frameCount_
                                                                      : 0;
        stopSending_ = false;
    }
    log_("acquisition started");
    wake_.notify_all();
    return kStatusSuccess;
}

void CSdkCamera::StopAcquisition() {
    {
        std::lock_guard lock(mutex_);
        if (!acquiring_) return;
        acquiring_ = false;
    }
    stopSending_ = true;
    log_("acquisition stopped");
    wake_.notify_all();
}

void CSdkCamera::ControlReleased() {
    log_("control released");
    StopAcquisition();
}

void CSdkCamera::FireTestPacket() {
    if (streamer_ && server_) streamer_->SendTestPacket(server_->Stream());
}

void CSdkCamera::Resend(uint16_t block, uint32_t first, uint32_t last) {
    if (streamer_ && server_) streamer_->Resend(block, first, last, server_->Stream());
}

bool CSdkCamera::StartMode() {
    bool software, line;
    {
        std::lock_guard lock(mutex_);
        software = triggerOn_ && triggerSource_ == f::kTriggerSourceSoftware;
        line = triggerOn_ && triggerSource_ == f::kTriggerSourceLine1;
    }
    int ok;
    if (software) {
        // One fresh exposure per trigger: prepared capture, one snapshot each.
        ok = VeltCam_Capture(handle_);
    } else {
        // A fresh queue: one that saw the camera go away keeps reporting it.
        VeltCamEx_SetFrameQueue(handle_, 0, VELTCAM_EX_QUEUE_OLDEST_FIRST);
        VeltCamEx_SetFrameQueue(handle_, kQueueDepth, VELTCAM_EX_QUEUE_OLDEST_FIRST);
        ok =
            line ? VeltCam_Trigger(handle_, nullptr, nullptr, 0, 1) : VeltCam_StartPreview(handle_);
    }
    if (ok == 0) {
        const int code = VeltCam_GetLastError(handle_);
        log_("camera did not start (error " + std::to_string(code) + ")");
        return false;
    }
    return true;
}

void CSdkCamera::StopMode() { VeltCam_StopPreview(handle_); }

CSdkCamera::Carried CSdkCamera::Carry(VeltCamHandle handle) {
    Carried c;
    VeltCam_GetCaptureWindowEx(handle, nullptr, &c.x, &c.width, nullptr, &c.y, &c.height);
    c.subSample = VeltCam_GetSubSample(handle);
    c.bits = VeltCam_GetColorMode(handle);
    c.settings = ReadUserSet(handle);
    return c;
}

bool CSdkCamera::Reopen(bool releaseFirst) {
    VeltCamHandle old = handle_.load();
    // What the client set lives in the old object: carry it over. Once that
    // object is let go of, what it held is kept until a new one opens.
    if (old != 0) carried_ = Carry(old);
    if (!carried_) return false;
    if (releaseFirst && old != 0) {
        VeltCam_Release(old);
        if (old == original_) originalReleased_ = true;
        handle_ = 0;  // no SDK object until one opens the camera again
        old = 0;
    }
    // A replugged camera is a new device: a fresh SDK object finds it and
    // applies the settings stored for this camera.
    const VeltCamHandle fresh = VeltCam_Initialize(nullptr);
    if (fresh == 0) return false;
    while (VeltCam_GetLastError(fresh) != 0) {
    }
    char names[VELTCAM_MAX_ENUM_DEVICES][VELTCAM_DEVICE_NAME_SIZE] = {};
    if ((device_ >= 0 && VeltCam_SetDeviceNumber(fresh, device_) == 0) ||
        VeltCam_EnumDevice(fresh, names) == 0) {
        VeltCam_Release(fresh);
        return false;
    }
    const Carried& c = *carried_;
    VeltCam_SetSubSample(fresh, c.subSample);
    VeltCam_SetCaptureWindowEx(fresh, f::kSensorWidthPixels, c.x, c.width, f::kSensorHeightPixels,
                               c.y, c.height);
    VeltCam_SetColorMode(fresh, c.bits);
    ApplyUserSet(fresh, c.settings);
    VeltCam_SetPreviewWindow(fresh, nullptr, 0, 0, 0, 0);
    carried_.reset();
    handle_ = fresh;
    if (old != 0 && old != original_) VeltCam_Release(old);
    return true;
}

bool CSdkCamera::PullFrame(StreamFrame& slot, uint64_t* frameNumber) {
    const Window w = ImageWindow();
    const uint32_t bpp = BytesPerPixel();
    // Room for the SDK's rows padded to 4 bytes.
    const std::size_t rowBytes = (static_cast<std::size_t>(w.width) * bpp + 3) & ~std::size_t{3};
    const std::size_t need = rowBytes * static_cast<std::size_t>(w.height);
    if (slot.data.size() < need) slot.data.resize(need);
    VeltCamExFrameInfo info{};
    info.size = sizeof info;
    bool software;
    {
        std::lock_guard lock(mutex_);
        software = triggerOn_ && triggerSource_ == f::kTriggerSourceSoftware;
    }
    if (software) {
        if (VeltCam_SnapShot(handle_, slot.data.data(), static_cast<int>(slot.data.size()), 1) ==
                0 ||
            VeltCamEx_GetFrameInfo(handle_, &info) == 0) {
            log_("snapshot failed (error " + std::to_string(VeltCam_GetLastError(handle_)) + ")");
            return false;
        }
    } else {
        const int got = VeltCamEx_WaitFrame(handle_, slot.data.data(),
                                            static_cast<int>(slot.data.size()), 1, kWaitMs, &info);
        if (got == VELTCAM_EX_WAIT_TIMEOUT) return false;
        if (got != VELTCAM_EX_WAIT_FRAME) {
            // The newest code says why; older ones only repeat it.
            const int code = VeltCam_GetLastError(handle_);
            while (VeltCam_GetLastError(handle_) != 0) {
            }
            log_("camera stopped delivering frames (error " + std::to_string(code) + ")");
            StopMode();
            std::lock_guard lock(mutex_);
            modeRunning_ = false;
            reopen_ = true;
            return false;
        }
    }
    framesLostBefore_ += info.droppedBefore;  // the server's periodic line reports them
    const std::size_t packed = static_cast<std::size_t>(info.width) * (info.bitsPerPixel / 8);
    if (static_cast<std::size_t>(info.rowBytes) != packed) {
        // The network carries rows without the SDK's 4-byte padding.
        for (int row = 1; row < info.height; ++row) {
            std::memmove(slot.data.data() + row * packed,
                         slot.data.data() + static_cast<std::size_t>(row) * info.rowBytes, packed);
        }
    }
    slot.pixelFormat = FormatForBits(info.bitsPerPixel);
    slot.width = static_cast<uint32_t>(info.width);
    slot.height = static_cast<uint32_t>(info.height);
    slot.offsetX = static_cast<uint32_t>(w.x);
    slot.offsetY = static_cast<uint32_t>(w.y);
    slot.timestamp = info.timestampNs;
    slot.size = packed * static_cast<std::size_t>(info.height);
    *frameNumber = info.frameNumber;
    return true;
}

void CSdkCamera::NoteFrame(uint64_t timestampNs) {
    // The camera's frame period, from the timestamps of every frame pulled.
    if (lastFrameNs_ != 0 && timestampNs > lastFrameNs_) {
        const double interval = static_cast<double>(timestampNs - lastFrameNs_) * 1e-9;
        frameInterval_ = frameInterval_ == 0.0 ? interval : 0.9 * frameInterval_ + 0.1 * interval;
    }
    lastFrameNs_ = timestampNs;
}

double CSdkCamera::Spread() const {
    // Unpaced, a whole frame lands in the receiver's socket at once and a busy
    // receiver loses packets: spread each frame over most of the camera's frame
    // period, leaving room for resends and the next frame's pull.
    return std::min(frameInterval_ * 0.6, 0.1);
}

bool CSdkCamera::TooEarly(uint64_t timestampNs) {
    // The frame rate is held here by leaving frames out: the camera's own rate
    // setting stretches frames by a factor that does not match frames per second.
    float rate;
    {
        std::lock_guard lock(mutex_);
        if (!frameRateEnable_ || (triggerOn_ && triggerSource_ == f::kTriggerSourceSoftware)) {
            nextDueNs_ = 0;
            return false;
        }
        rate = frameRate_;
    }
    const double periodNs = 1e9 / rate;
    const double ts = static_cast<double>(timestampNs);
    // Each frame is due one period after the previous one was due, so the
    // average rate is the one asked for; a frame up to half a camera period
    // early counts as on time (frames only come at the camera's own ticks).
    if (nextDueNs_ != 0 && ts + frameInterval_ * 0.5e9 < static_cast<double>(nextDueNs_)) {
        return true;
    }
    const bool behind = nextDueNs_ == 0 || ts > static_cast<double>(nextDueNs_) + periodNs;
    nextDueNs_ = static_cast<uint64_t>((behind ? ts : static_cast<double>(nextDueNs_)) + periodNs);
    return false;
}

void CSdkCamera::FrameLoop() {
    std::unique_lock lock(mutex_);
    while (!quit_) {
        if (!acquiring_) {
            if (modeRunning_) {
                modeRunning_ = false;
                lock.unlock();
                StopMode();
                lock.lock();
                continue;
            }
            wake_.wait(lock, [this] { return quit_ || acquiring_; });
            continue;
        }
        if (!modeRunning_) {
            const bool reopen = reopen_;
            lock.unlock();
            // A camera that was unplugged comes back as a new device under its
            // number: select it again before starting.
            const bool reopened = !reopen || Reopen(false);
            const bool started = reopened && StartMode();
            lock.lock();
            if (!started) {
                // Retry while the client still wants images.
                reopen_ = true;
                wake_.wait_for(lock, std::chrono::milliseconds(200),
                               [this] { return quit_ || !acquiring_; });
                continue;
            }
            if (reopen) log_("camera delivering again");
            reopen_ = false;
            modeRunning_ = true;
            // The SDK numbers frames from 0 in every mode; receivers want block
            // ids that keep rising across restarts (a replug, a new acquisition).
            blockBase_ = nextStreamNumber_;
        }
        const bool software = triggerOn_ && triggerSource_ == f::kTriggerSourceSoftware;
        if (software && pendingTriggers_ == 0) {
            wake_.wait_for(lock, std::chrono::milliseconds(kWaitMs));
            continue;
        }
        lock.unlock();
        StreamFrame& slot = streamer_->BeginFrame();
        uint64_t frameNumber = 0;
        const bool got = PullFrame(slot, &frameNumber);
        const StreamChannel channel = server_->Stream();
        bool sent = false;
        if (got) NoteFrame(slot.timestamp);
        if (got && TooEarly(slot.timestamp)) {
            lock.lock();
            continue;
        }
        if (got && channel.port != 0 && channel.destination != 0) {
            const uint64_t number = blockBase_ + frameNumber;
            nextStreamNumber_ = number + 1;
            sent = streamer_->SendFrame(slot, BlockIdFor(number), channel, stopSending_, Spread());
            if (sent) ++framesSent_;
        }
        lock.lock();
        if (!got) continue;
        if (software && pendingTriggers_ > 0) --pendingTriggers_;
        if (sent && framesLeft_ > 0 && --framesLeft_ == 0) {
            acquiring_ = false;  // SingleFrame / MultiFrame done
        }
    }
    if (modeRunning_) {
        modeRunning_ = false;
        lock.unlock();
        StopMode();
    }
}

}  // namespace veltcam::gige
