// The dialog windows are not in this build yet: report the feature unsupported
// until the views exist, as Linux does.
#include "ui/DialogHost.h"

namespace veltcam::ui {

bool DialogsAvailable() { return false; }

DialogLanguage SystemDialogLanguage() { return DialogLanguage::kEnglish; }

int RunCameraDialog(CFormatDialogModel&, platform::WindowHandle) { return 0; }
int RunAnalogDialog(CAnalogDialogModel&, platform::WindowHandle, const DialogWindowSink&) {
    return 0;
}
int RunImageDialog(CImageDialogModel&, platform::WindowHandle, const DialogWindowSink&) {
    return 0;
}

}  // namespace veltcam::ui
