// The platform's side of the setting dialogs: the windows that show a dialog model
// and run it modally on the caller's thread. Platforms without dialog windows
// answer false to DialogsAvailable and the SDK object reports them unsupported.
#pragma once

#include "platform/Messages.h"

namespace veltcam {

class CVeltCam;

namespace ui {

bool DialogsAvailable();

// Each runs its dialog to the end and returns the dialog's result (1 for OK);
// 0 when the dialog could not be shown.
int RunCameraDialog(CVeltCam& cam, platform::WindowHandle owner);
int RunAnalogDialog(CVeltCam& cam, platform::WindowHandle owner);
int RunImageDialog(CVeltCam& cam, platform::WindowHandle owner);

}  // namespace ui
}  // namespace veltcam
