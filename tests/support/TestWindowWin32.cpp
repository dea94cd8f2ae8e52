#include "support/TestWindow.h"

#include <windows.h>

namespace veltcam::test {
namespace {

std::vector<PostedMessage> Drain(HWND window, uint32_t message, int graceMs) {
    Sleep(static_cast<DWORD>(graceMs));
    std::vector<PostedMessage> taken;
    MSG msg;
    // A null window with PeekMessage returns window and thread messages alike;
    // -1 selects the thread's own queue only.
    HWND filter = window != nullptr ? window : reinterpret_cast<HWND>(-1);
    while (PeekMessageA(&msg, filter, message, message, PM_REMOVE)) {
        taken.push_back({msg.message, static_cast<uintptr_t>(msg.wParam),
                         static_cast<intptr_t>(msg.lParam)});
    }
    return taken;
}

}  // namespace

CTestWindow::CTestWindow()
    : window_(CreateWindowExA(0, "STATIC", "veltcam-test", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              GetModuleHandleA(nullptr), nullptr)) {}

CTestWindow::~CTestWindow() {
    if (window_ != nullptr) DestroyWindow(window_);
}

std::vector<PostedMessage> CTestWindow::Take(uint32_t message, int graceMs) {
    return Drain(window_, message, graceMs);
}

std::vector<PostedMessage> CTestWindow::TakeThreadMessages(uint32_t message, int graceMs) {
    return Drain(nullptr, message, graceMs);
}

}  // namespace veltcam::test
