#include <csignal>
#include <cstdio>
#include <string>

#include "Failures.h"
#include "FrameWindow.h"
#include "PreviewWindow.h"
#include "VeltCamSdkLinux.h"

// Xlib last: its macros (None, Bool, Status) would rename what the headers above declare.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace veltcam::tool {
namespace {

constexpr unsigned kWidth = 1024;  // half the sensor: fits most screens, resizable
constexpr unsigned kHeight = 768;
constexpr int kWaitSliceMs = 100;

volatile std::sig_atomic_t gInterrupted = 0;

void OnInterrupt(int) { gInterrupted = 1; }

// Ctrl-C ends the preview like the close button, so the SDK's window and the
// camera are released on the way out; the previous handler comes back after.
class CInterruptGuard {
  public:
    CInterruptGuard() {
        gInterrupted = 0;
        struct sigaction action {};
        action.sa_handler = OnInterrupt;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &previous_);
    }
    ~CInterruptGuard() { sigaction(SIGINT, &previous_, nullptr); }

  private:
    struct sigaction previous_ {};
};

struct DisplayCloser {
    Display* display;
    ~DisplayCloser() { XCloseDisplay(display); }
};

void SetTitle(Display* display, Window window, int framesPer10s) {
    char title[64];
    std::snprintf(title, sizeof title, "veltcam preview - %.1f fps", framesPer10s / 10.0);
    XStoreName(display, window, title);
    XFlush(display);
}

}  // namespace

void RunPreviewWindow(CCameraSession& session, double seconds) {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        throw CSdkFailure("no X display to show the preview on (is DISPLAY set?)");
    }
    DisplayCloser closer{display};
    const Window root = DefaultRootWindow(display);
    const Window window = XCreateSimpleWindow(display, root, 0, 0, kWidth, kHeight, 0, 0, 0);
    Atom wmDelete = XInternAtom(display, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(display, window, &wmDelete, 1);
    XSelectInput(display, window, StructureNotifyMask);
    SetTitle(display, window, 0);
    XMapWindow(display, window);
    XSync(display, False);

    VeltCamHandle h = session.Handle();
    HWND parent = VeltCamLinux_PreviewParent(window);
    if (parent == nullptr) throw CSdkFailure("the preview window could not be made");
    session.Check(VeltCam_SetPreviewWindow(h, parent, 0, 0, kWidth, kHeight),
                  "VeltCam_SetPreviewWindow");
    // The callback preview (without a buffer) draws the same window and posts a
    // message per frame, whose record carries the frame rate for the title.
    CFrameWindow frames;
    session.ClearErrors();
    session.Check(VeltCam_CallBackPreview(h, frames.Handle(), nullptr, 0, 1),
                  "VeltCam_CallBackPreview");
    std::printf("previewing for %.1f s (close the window or press Ctrl-C to stop)\n", seconds);
    std::fflush(stdout);

    CInterruptGuard interrupt;
    int width = static_cast<int>(kWidth);
    int height = static_cast<int>(kHeight);
    int shownRate = 0;
    bool open = true;
    for (long waited = 0; open && gInterrupted == 0 && waited < static_cast<long>(seconds * 1000);
         waited += kWaitSliceMs) {
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == ConfigureNotify && event.xconfigure.window == window &&
                (event.xconfigure.width != width || event.xconfigure.height != height)) {
                width = event.xconfigure.width;
                height = event.xconfigure.height;
                VeltCam_SetPreviewWindow(h, parent, 0, 0, width, height);
            } else if (event.type == ClientMessage &&
                       static_cast<Atom>(event.xclient.data.l[0]) == wmDelete) {
                open = false;
            }
        }
        WindowMessage message;
        if (frames.Wait(message, kWaitSliceMs) && message.message == VELTCAM_WM_FRAME &&
            message.lParam == 0 && message.wParam != 0) {
            const auto* info = reinterpret_cast<const VeltCamFrameInfo*>(message.wParam);
            if (info->frameRate != shownRate) {
                shownRate = info->frameRate;
                SetTitle(display, window, shownRate);
            }
        }
    }
    VeltCam_Close(h);
    XDestroyWindow(display, window);
    XSync(display, False);
}

}  // namespace veltcam::tool
