#include "CSdkCamera.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstring>

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

uint64_t MonotonicNs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

}  // namespace

CSdkCamera::CSdkCamera(VeltCamHandle handle, int device, Log log)
    : handle_(handle), original_(handle), device_(device), log_(std::move(log)) {}

CSdkCamera::~CSdkCamera() {
    Stop();
    if (handle_ != original_) VeltCam_Release(handle_);
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

uint16_t CSdkCamera::SetWindow(Window w) {
    {
        std::lock_guard lock(mutex_);
        if (acquiring_ || modeRunning_) return kStatusBusy;
    }
    const bool aligned = w.width % f::kWidthInc == 0 && w.height % f::kHeightInc == 0 &&
                         w.x % f::kOffsetInc == 0 && w.y % f::kOffsetInc == 0;
    if (!aligned || w.width < static_cast<int>(f::kWidthMin) ||
        w.height < static_cast<int>(f::kHeightMin) || w.x < 0 || w.y < 0 ||
        w.x + w.width > static_cast<int>(f::kSensorWidthPixels) ||
        w.y + w.height > static_cast<int>(f::kSensorHeightPixels)) {
        return kStatusInvalidParameter;
    }
    if (VeltCam_SetCaptureWindowEx(handle_, f::kSensorWidthPixels, w.x, w.width,
                                   f::kSensorHeightPixels, w.y, w.height) == 0) {
        log_("camera refused window " + std::to_string(w.width) + "x" + std::to_string(w.height) +
             " error " + std::to_string(VeltCam_GetLastError(handle_)));
        return kStatusError;
    }
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
            *value = CurrentWindow().width;
            break;
        case f::kHeight:
            *value = CurrentWindow().height;
            break;
        case f::kOffsetX:
            *value = CurrentWindow().x;
            break;
        case f::kOffsetY:
            *value = CurrentWindow().y;
            break;
        case f::kWidthMax:
            *value = f::kSensorWidthPixels - CurrentWindow().x;
            break;
        case f::kHeightMax:
            *value = f::kSensorHeightPixels - CurrentWindow().y;
            break;
        case f::kOffsetXMax:
            *value = f::kSensorWidthPixels - CurrentWindow().width;
            break;
        case f::kOffsetYMax:
            *value = f::kSensorHeightPixels - CurrentWindow().height;
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
            const Window w = CurrentWindow();
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
            *value = 0;
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
    // Each of these reprograms the sensor's window or the image buffers.
    return address == f::kWidth || address == f::kHeight || address == f::kOffsetX ||
           address == f::kOffsetY || address == f::kPixelFormat;
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
            Window w = CurrentWindow();
            w.width = static_cast<int>(std::min(value, f::kSensorWidthPixels));
            return SetWindow(w);
        }
        case f::kHeight: {
            Window w = CurrentWindow();
            w.height = static_cast<int>(std::min(value, f::kSensorHeightPixels));
            return SetWindow(w);
        }
        case f::kOffsetX: {
            Window w = CurrentWindow();
            w.x = static_cast<int>(std::min(value, f::kSensorWidthPixels));
            return SetWindow(w);
        }
        case f::kOffsetY: {
            Window w = CurrentWindow();
            w.y = static_cast<int>(std::min(value, f::kSensorHeightPixels));
            return SetWindow(w);
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

bool CSdkCamera::Reopen() {
    // A replugged camera is a new device: a fresh SDK object finds it and
    // applies the settings the old one saved for this camera.
    const VeltCamHandle fresh = VeltCam_Initialize(nullptr);
    if (fresh == 0) return false;
    while (VeltCam_GetLastError(fresh) != 0) {
    }
    if (device_ >= 0 && VeltCam_SetDeviceNumber(fresh, device_) == 0) {
        VeltCam_Release(fresh);
        return false;
    }
    char names[VELTCAM_MAX_ENUM_DEVICES][VELTCAM_DEVICE_NAME_SIZE] = {};
    if (VeltCam_EnumDevice(fresh, names) == 0) {
        VeltCam_Release(fresh);
        return false;
    }
    // What the client set lives in the old object until it is saved: carry it over.
    const VeltCamHandle old = handle_.load();
    int x = 0, y = 0, w = 0, h = 0, ok = 0;
    VeltCam_GetCaptureWindowEx(old, nullptr, &x, &w, nullptr, &y, &h);
    VeltCam_SetCaptureWindowEx(fresh, f::kSensorWidthPixels, x, w, f::kSensorHeightPixels, y, h);
    VeltCam_SetColorMode(fresh, VeltCam_GetColorMode(old));
    VeltCam_SetExposureTime(fresh, VeltCam_GetExposureTime(old, &ok));
    VeltCam_SetGlobalGain(fresh, VeltCam_GetGlobalGain(old, &ok));
    VeltCam_SetMirrorH(fresh, VeltCam_GetMirrorH(old));
    VeltCam_SetMirrorV(fresh, VeltCam_GetMirrorV(old));
    VeltCam_SetGamma(fresh, VeltCam_GetGamma(old, &ok));
    VeltCam_SetAutoIris(fresh, VeltCam_GetAutoIris(old, &ok));
    VeltCam_SetBayerGainAuto(fresh, VeltCam_GetBayerGainAuto(old, &ok));
    VeltCam_SetPreviewWindow(fresh, nullptr, 0, 0, 0, 0);
    handle_ = fresh;
    if (old != original_) VeltCam_Release(old);
    return true;
}

bool CSdkCamera::PullFrame(StreamFrame& slot, uint64_t* frameNumber) {
    const Window w = CurrentWindow();
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
            const bool reopened = !reopen || Reopen();
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
