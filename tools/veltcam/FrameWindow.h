// The window the SDK posts frame (0x8002) and error (0x8003) messages to when
// no picture is shown: an SDK message window on Linux, a message-only window on
// Windows. Waiting on it also runs the thread's message loop, which a preview
// window created by this thread needs on Windows.
#pragma once

#include <cstdint>
#include <memory>

#include "VeltCamSdk.h"

namespace veltcam::tool {

struct WindowMessage {
    unsigned message = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
};

class CFrameWindow {
  public:
    CFrameWindow();
    ~CFrameWindow();
    CFrameWindow(const CFrameWindow&) = delete;
    CFrameWindow& operator=(const CFrameWindow&) = delete;

    HWND Handle() const { return window_; }
    // Waits up to timeoutMs for the next message posted to this window.
    bool Wait(WindowMessage& message, int timeoutMs);

  private:
    HWND window_ = nullptr;
};

// Runs the thread's message loop for `milliseconds` (Windows), or just waits.
// Returns false early when the user closed the thread's last window.
bool PumpMessages(int milliseconds);

}  // namespace veltcam::tool
