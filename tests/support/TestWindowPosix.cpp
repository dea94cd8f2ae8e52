#include "support/TestWindow.h"

#include "VeltCamSdkLinux.h"

namespace veltcam::test {
namespace {

std::vector<PostedMessage> Drain(HWND window, uint32_t message, int graceMs) {
    std::vector<PostedMessage> taken;
    VeltCamMessage item;
    int wait = graceMs;
    while (VeltCamLinux_GetMessage(window, &item, wait) == 1) {
        if (item.message == message) taken.push_back({item.message, item.wParam, item.lParam});
        wait = 0;
    }
    return taken;
}

}  // namespace

CTestWindow::CTestWindow() : window_(VeltCamLinux_CreateMessageWindow(0)) {}
CTestWindow::~CTestWindow() { VeltCamLinux_DestroyMessageWindow(window_); }

std::vector<PostedMessage> CTestWindow::Take(uint32_t message, int graceMs) {
    return Drain(window_, message, graceMs);
}

std::vector<PostedMessage> CTestWindow::TakeThreadMessages(uint32_t message, int graceMs) {
    return Drain(nullptr, message, graceMs);
}

}  // namespace veltcam::test
