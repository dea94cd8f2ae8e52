// The dialog windows are not in this build yet: report the feature unsupported
// until the views exist, as Linux does.
#include "ui/DialogHost.h"

namespace veltcam::ui {

bool DialogsAvailable() { return false; }

int RunCameraDialog(CVeltCam&, platform::WindowHandle) { return 0; }
int RunAnalogDialog(CVeltCam&, platform::WindowHandle) { return 0; }
int RunImageDialog(CVeltCam&, platform::WindowHandle) { return 0; }

}  // namespace veltcam::ui
