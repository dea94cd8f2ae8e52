// The setting dialogs as operations of the SDK object. The dialog models and their
// windows live in src/ui; this decides whether a dialog can run at all, builds its
// model over this object's settings and deals with capture around it.
#include "core/CVeltCamD3A7Base.h"
#include "platform/Messages.h"
#include "sdk/CCoreAnalogCamera.h"
#include "sdk/CCoreSettingsCamera.h"
#include "sdk/CSdkSettingsAccess.h"
#include "sdk/CVeltCam.h"
#include "ui/AnalogDialogModel.h"
#include "ui/DialogHost.h"
#include "ui/ImageDialogModel.h"

namespace veltcam {

namespace {

template <class Run>
int RunDialog(CVeltCam& cam, bool hasCore, Run&& run) {
    if (!hasCore) {
        cam.Report(kErrNotReady);
        return 0;
    }
    if (!ui::DialogsAvailable()) return cam.ReportNotSupported();
    return run();
}

}  // namespace

int CVeltCam::SetCameraDlg(platform::WindowHandle owner) {
    return RunDialog(*this, HasCore(), [&] {
        return RunFormatDialogWith(
            [owner](ui::CFormatDialogModel& model) { return ui::RunCameraDialog(model, owner); });
    });
}

int CVeltCam::SetAnalogDlg(platform::WindowHandle owner) {
    return RunDialog(*this, HasCore(), [&] {
        return RunAnalogDialogWith(
            [owner](ui::CAnalogDialogModel& model, const DialogWindowSink& sink) {
                return ui::RunAnalogDialog(model, owner, sink);
            });
    });
}

int CVeltCam::SetImageDlg(platform::WindowHandle owner) {
    return RunDialog(*this, HasCore(), [&] {
        return RunImageDialogWith(
            [owner](ui::CImageDialogModel& model, const DialogWindowSink& sink) {
                return ui::RunImageDialog(model, owner, sink);
            });
    });
}

int CVeltCam::RunFormatDialogWith(const std::function<int(ui::CFormatDialogModel&)>& view) {
    // The format decides the buffers and the sensor window, so no frame may be read
    // while it changes: live capture stops, trigger mode idles without reading.
    int mode = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(modeLock_);
        mode = captureMode_;
        if (mode == 1 || mode == 2) {
            StopPreview();
        } else if (mode == 3) {
            displayState_ = 2;
        }
    }

    CCoreSettingsCamera camera(*core_);
    const int cameraNumber = core_->GetDeviceNumber();
    ui::FormatCapabilities caps;
    caps.allows8And32 = camera.Allows8And32BitOutput();
    caps.allows16 = camera.Allows16BitOutput();
    caps.allowsColor = camera.Allows24To64BitOutput();
    caps.canChangeH = core_->IsHWindowSupported() != 0;
    caps.canChangeV = core_->IsVWindowSupported() != 0;
    ui::CFormatDialogModel model(cameraNumber, caps, ui::SystemDialogLanguage());
    model.Load(camera);
    const bool ok = view(model) == 1;

    std::lock_guard<std::recursive_mutex> lock(modeLock_);
    if (ok) {
        std::lock_guard<std::recursive_mutex> images(imageLock_);
        settings::LoadFrameSize(camera, cameraNumber, captureWindow_);
        LoadFormatSettings(cameraNumber);
    }
    if (mode == 1) {
        StartPreview();
    } else if (mode == 2) {
        Capture();
    } else if (mode == 3 && captureMode_ == 3) {
        if (ok) {
            // The trigger loop's buffers were sized for the old format: set up again.
            Trigger(callbackWindow_, callbackBuffer_, callbackBufferSize_, callbackFlip_);
        } else {
            int paused = 2;
            displayState_.compare_exchange_strong(paused, 1);
        }
    }
    return 1;
}

int CVeltCam::RunAnalogDialogWith(
    const std::function<int(ui::CAnalogDialogModel&, const DialogWindowSink&)>& view) {
    CCoreAnalogCamera camera(*core_);
    CSdkSettingsAccess settings(*this);
    ui::CAnalogDialogModel model(camera, settings);
    const bool ok = view(model, [this](platform::WindowHandle window) {
                        std::lock_guard<std::mutex> lock(dialogLock_);
                        analogDialog_ = window;
                    }) == 1;
    model.Finish(ok);
    return 1;
}

int CVeltCam::RunImageDialogWith(
    const std::function<int(ui::CImageDialogModel&, const DialogWindowSink&)>& view) {
    CSdkSettingsAccess settings(*this);
    ui::CImageDialogModel model(settings, colorModeIndex_);
    const bool ok = view(model, [this](platform::WindowHandle window) {
                        std::lock_guard<std::mutex> lock(dialogLock_);
                        imageDialog_ = window;
                    }) == 1;
    model.Finish(ok);
    return 1;
}

void CVeltCam::PostToDialog(platform::WindowHandle CVeltCam::*dialog, uint32_t message,
                            uintptr_t wParam) {
    std::lock_guard<std::mutex> lock(dialogLock_);
    if (this->*dialog != nullptr) platform::PostWindowMessage(this->*dialog, message, wParam, 0);
}

}  // namespace veltcam
