// The X11 preview window behind the platform's preview interface. The "device
// context" the SDK keeps is the window object itself: it stretches and sends
// each frame on its own.
#include "platform/PreviewWindow.h"

#include "platform/posix/X11PreviewWindow.h"

namespace veltcam::platform {
namespace {

CX11PreviewWindow* AsWindow(void* handle) { return static_cast<CX11PreviewWindow*>(handle); }

}  // namespace

WindowHandle CreatePreviewWindow(const PreviewWindowRequest& request, std::string& className) {
    className.clear();  // X11 has no window classes to register
    try {
        return CX11PreviewWindow::Create(request).release();
    } catch (...) {
        return nullptr;
    }
}

void* GetWindowDc(WindowHandle window) { return window; }
void ReleaseWindowDc(WindowHandle, void*) {}
void DestroyPreviewWindow(WindowHandle window) { delete AsWindow(window); }
void UnregisterPreviewClass(const std::string&) {}

bool GetPreviewClientSize(WindowHandle window, int& width, int& height) {
    return window != nullptr && AsWindow(window)->ClientSize(width, height);
}

bool StretchMirror(void*, int, int, void*) { return false; }

bool DrawPreviewImage(void* windowDc, int w, int h, const PreviewImage& image) {
    if (windowDc == nullptr) return false;
    const StretchSource source{image.pixels, image.width, image.height, image.bits, image.rowBytes};
    AsWindow(windowDc)->Draw(source, w, h);
    return true;
}

void PlacePreviewWindow(WindowHandle window, const PreviewWindowRequest& request) {
    if (window != nullptr) AsWindow(window)->Place(request);
}

}  // namespace veltcam::platform
