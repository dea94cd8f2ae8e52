// No dialog windows on Linux yet: the exports report the feature unsupported.
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
