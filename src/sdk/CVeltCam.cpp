#include "sdk/CVeltCam.h"

#include <new>

#include "core/CVeltCamUSB3R7SimpleSdk.h"
#include "platform/Clock.h"
#include "sdk/CCoreSettingsCamera.h"
#include "sdk/DriverChannelFactory.h"
#include "ui/SettingsPersistence.h"

namespace veltcam {
namespace {

constexpr int kBitsByColorMode[] = {8, 16, 24, 32, 48, 64};
constexpr uint32_t kErrorMessage = 0x8003;  // WM_APP + 3

}  // namespace

CVeltCam::CVeltCam() : rateTimeBaseMs_(platform::TickMs()) {}

CVeltCam::~CVeltCam() {
    const int openedCamera = settingsLoaded_ ? deviceNumber_.load() : -1;
    deviceNumber_ = -1;
    if (core_) {
        // The display and record threads use the core and the images: they end first.
        ClosePreview();
        // A camera that was used keeps its gains, filters and gray settings. A
        // handle that never opened one has only what it read from the store or
        // zeros: saving those would overwrite the stored settings of camera 0.
        if (openedCamera >= 0) SaveSettingGroups(openedCamera);
        core_->Close();
        core_.reset();
    }
    platform::UnregisterDeviceArrival(deviceArrivalRegistration_);
    for (auto& image : images_) image.reset();
}

int CVeltCam::Initialize(platform::WindowHandle window) {
    core_.reset();
    for (auto& image : images_) image.reset();

    core_.reset(new (std::nothrow) CVeltCamUSB3R7SimpleSdk);
    for (auto& image : images_) image.reset(new (std::nothrow) DibImage);
    notificationWindow_ = window;
    if (window != nullptr && !platform::RegisterDeviceArrival(window, kCameraInterfaceGuid,
                                                              deviceArrivalRegistration_)) {
        history_.TakeNewest();
        return 0;
    }
    bool imagesMissing = false;
    for (auto& image : images_) imagesMissing |= image == nullptr;
    if (!core_ || imagesMissing) {
        Report(kErrMemory);
        return 0;
    }

    CCoreSettingsCamera camera(*core_);
    settings::LoadFrameSize(camera, deviceNumber_, captureWindow_);

    core_->SetProductCode(kProductCode);
    core_->SetDriverChannel(OpenDriverChannel());
    core_->CreateController(window, &kCameraInterfaceGuid);
    if (core_->CountDevices(kProductCode) == 1) SetDeviceNumber(0);

    settings::LoadFilter(0, imageSettings_);
    settings::LoadGray(0, imageSettings_);
    settings::LoadGain(camera, core_->GetDeviceNumber(), cameraSettings_);
    LoadFormatSettings(deviceNumber_);
    return 1;
}

void CVeltCam::Report(int32_t code) {
    history_.Record(code);
    if (notificationWindow_ != nullptr) {
        platform::PostWindowMessage(notificationWindow_, kErrorMessage, 0, code);
    }
}

void CVeltCam::Notify(int32_t code) {
    platform::PostWindowMessage(notificationWindow_, kErrorMessage, 0, code);
}

int CVeltCam::Width() const {
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    return captureWindow_.EH;
}

int CVeltCam::Height() const {
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    return captureWindow_.EV;
}

int CVeltCam::GetSubSample() const {
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    return subSampleMode_;
}

int CVeltCam::GetCaptureWindowEx(int* th, int* ehs, int* eh, int* tv, int* evs, int* ev) const {
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    if (th) *th = captureWindow_.TH;
    if (ehs) *ehs = captureWindow_.EHS;
    if (eh) *eh = captureWindow_.EH;
    if (tv) *tv = captureWindow_.TV;
    if (evs) *evs = captureWindow_.EVS;
    if (ev) *ev = captureWindow_.EV;
    return 1;
}

int CVeltCam::GetColorMode() const {
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    if (colorModeIndex_ < 0 || colorModeIndex_ > 5) return -1;
    return kBitsByColorMode[colorModeIndex_];
}

int CVeltCam::SetSubSample(int mode) {
    if (mode != 0 && mode != 1) return 0;
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    subSampleMode_ = mode;
    return 1;
}

int CVeltCam::SetWaitTime(int ms) {
    if (ms < 0) return 0;
    waitTimeMs_ = ms;
    return 1;
}

int CVeltCam::NotifyNotSupported() {
    Notify(kErrNotSupported);
    return 0;
}

int CVeltCam::ReportNotSupported() {
    Report(kErrNotSupported);
    return 0;
}

}  // namespace veltcam
