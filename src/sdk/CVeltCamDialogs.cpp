// The setting dialogs as operations of the SDK object. The dialog models and their
// windows live in src/ui; this decides whether a dialog can run at all.
#include "sdk/CVeltCam.h"
#include "ui/DialogHost.h"

namespace veltcam {

namespace {

template <class Run>
int RunDialog(CVeltCam& cam, bool hasCore, Run&& run) {
    if (!hasCore) {
        cam.Report(kErrNotReady);
        return 0;
    }
    if (!ui::DialogsAvailable()) return cam.ReportNotSupported();
    run();
    return 1;
}

}  // namespace

int CVeltCam::SetCameraDlg(platform::WindowHandle owner) {
    return RunDialog(*this, HasCore(), [&] { ui::RunCameraDialog(*this, owner); });
}

int CVeltCam::SetAnalogDlg(platform::WindowHandle owner) {
    return RunDialog(*this, HasCore(), [&] { ui::RunAnalogDialog(*this, owner); });
}

int CVeltCam::SetImageDlg(platform::WindowHandle owner) {
    return RunDialog(*this, HasCore(), [&] { ui::RunImageDialog(*this, owner); });
}

}  // namespace veltcam
