// No preview window on Linux yet: every mode that asks for one reports that the
// window could not be created, exactly as a failed window creation would.
#include "platform/PreviewWindow.h"

namespace veltcam::platform {

WindowHandle CreatePreviewWindow(const PreviewWindowRequest&, std::string& className) {
    className.clear();
    return nullptr;
}
void* GetWindowDc(WindowHandle) { return nullptr; }
void ReleaseWindowDc(WindowHandle, void*) {}
void DestroyPreviewWindow(WindowHandle) {}
void UnregisterPreviewClass(const std::string&) {}
bool GetPreviewClientSize(WindowHandle, int&, int&) { return false; }
bool StretchMirror(void*, int, int, void*) { return false; }

}  // namespace veltcam::platform
