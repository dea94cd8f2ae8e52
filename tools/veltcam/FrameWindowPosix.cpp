// Linux: the SDK's own message windows stand in for HWNDs.
#include <chrono>
#include <stdexcept>
#include <thread>

#include "FrameWindow.h"
#include "VeltCamSdkLinux.h"

namespace veltcam::tool {

CFrameWindow::CFrameWindow() : window_(VeltCamLinux_CreateMessageWindow(0)) {
    if (window_ == nullptr) throw std::runtime_error("could not create a message window");
}

CFrameWindow::~CFrameWindow() { VeltCamLinux_DestroyMessageWindow(window_); }

bool CFrameWindow::Wait(WindowMessage& message, int timeoutMs) {
    VeltCamMessage received{};
    if (VeltCamLinux_GetMessage(window_, &received, timeoutMs) != 1) return false;
    message.message = received.message;
    message.wParam = received.wParam;
    message.lParam = received.lParam;
    return true;
}

bool PumpMessages(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    return true;
}

}  // namespace veltcam::tool
