// No dialog windows on Linux yet: the exports report the feature unsupported.
#include "ui/DialogHost.h"

namespace veltcam::ui {

bool DialogsAvailable() { return false; }

int RunCameraDialog(CVeltCam&, platform::WindowHandle) { return 0; }
int RunAnalogDialog(CVeltCam&, platform::WindowHandle) { return 0; }
int RunImageDialog(CVeltCam&, platform::WindowHandle) { return 0; }

}  // namespace veltcam::ui
