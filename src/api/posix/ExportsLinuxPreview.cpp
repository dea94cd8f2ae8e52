// The X11 preview parent of VeltCamSdkLinux.h.
#include "VeltCamSdkLinux.h"
#include "platform/posix/X11PreviewWindow.h"

namespace platform = veltcam::platform;

extern "C" {

HWND VeltCamLinux_PreviewParent(unsigned long x11Window) {
    try {
        if (!platform::X11WindowExists(x11Window)) return nullptr;
        return static_cast<HWND>(platform::X11ParentHandle(x11Window));
    } catch (...) {
        return nullptr;
    }
}

}  // extern "C"
