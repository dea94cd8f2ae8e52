// The preview window on X11: the SDK's own display connection, the window (a
// child of an application window or a top-level one), a thread that answers its
// events, and the shared-memory images frames are drawn through.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/PreviewWindow.h"
#include "platform/posix/PreviewStretch.h"

namespace veltcam::platform {

// Application X11 window ids travel through the API's HWND parameters tagged with
// the lowest bit, which the SDK's message windows (heap objects) never have set.
WindowHandle X11ParentHandle(unsigned long window);
bool X11ParentWindow(WindowHandle handle, unsigned long& window);
// True when `window` exists on the display named by DISPLAY.
bool X11WindowExists(unsigned long window);

class CX11PreviewWindow {
  public:
    // Null when no display is reachable or the window cannot be made.
    static std::unique_ptr<CX11PreviewWindow> Create(const PreviewWindowRequest& request);
    ~CX11PreviewWindow();
    CX11PreviewWindow(const CX11PreviewWindow&) = delete;
    CX11PreviewWindow& operator=(const CX11PreviewWindow&) = delete;

    // False once the window is gone (closed by the user, destroyed with its
    // parent) or while it is unmapped.
    bool ClientSize(int& width, int& height);
    // Stretches `image` over the whole client area of `width` × `height` and
    // sends it; returns without waiting for the server. False when nothing was drawn.
    bool Draw(const StretchSource& image, int width, int height);
    // Moves a child window to a new placement (and parent); a top-level window
    // keeps the size the user gave it.
    void Place(const PreviewWindowRequest& request);
    // Waits until the server has shown what was drawn (tests and benchmarks).
    void WaitDrawn();
    unsigned long XWindow() const { return window_; }

  private:
    struct Buffer;
    struct Connection;

    CX11PreviewWindow();
    bool Open(const PreviewWindowRequest& request);
    bool MakeBuffer(Buffer& buffer, int width, int height);
    void FreeBuffer(Buffer& buffer);
    void Present(int index);
    void HandleEvents();
    void EventLoop();

    std::unique_ptr<Connection> x_;  // every Xlib call holds lock_
    std::mutex lock_;
    unsigned long window_ = 0;
    unsigned long parent_ = 0;
    bool topLevel_ = false;
    bool alive_ = false;
    bool mapped_ = false;
    int width_ = 0;
    int height_ = 0;
    std::unique_ptr<Buffer[]> buffers_;
    int shown_ = -1;  // the buffer last sent, redrawn on Expose
    CPreviewStretcher stretcher_;
    int wakeFds_[2] = {-1, -1};
    std::atomic<bool> stop_{false};
    std::thread events_;
};

}  // namespace veltcam::platform
