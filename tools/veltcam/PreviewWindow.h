// Linux: the tool's own top-level X11 window with the SDK's preview as its child,
// the frame rate in its title, until the time is up, the window is closed or
// Ctrl-C is pressed.
#pragma once

#include "CameraSession.h"

namespace veltcam::tool {

void RunPreviewWindow(CCameraSession& session, double seconds);

}  // namespace veltcam::tool
