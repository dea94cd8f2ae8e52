// Windows: a message-only window receives the SDK's posts; waiting runs the
// thread's message loop so a preview window owned by this thread stays alive.
#include <windows.h>

#include <stdexcept>

#include "FrameWindow.h"

namespace veltcam::tool {
namespace {

constexpr char kClassName[] = "VeltCamToolFrameWindow";

bool RegisterFrameClass() {
    static const bool registered = [] {
        WNDCLASSA wc{};
        wc.lpfnWndProc = DefWindowProcA;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = kClassName;
        return RegisterClassA(&wc) != 0;
    }();
    return registered;
}

// Dispatches what is queued; returns the first message for `window`, if any.
bool Drain(HWND window, WindowMessage* out, bool* quit) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            *quit = true;
            return false;
        }
        if (window != nullptr && msg.hwnd == window) {
            out->message = msg.message;
            out->wParam = static_cast<uintptr_t>(msg.wParam);
            out->lParam = static_cast<intptr_t>(msg.lParam);
            return true;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return false;
}

bool Loop(HWND window, WindowMessage* out, int milliseconds) {
    DWORD start = GetTickCount();
    for (;;) {
        bool quit = false;
        if (Drain(window, out, &quit)) return true;
        if (quit) return false;
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= static_cast<DWORD>(milliseconds)) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(milliseconds) - elapsed,
                                  QS_ALLINPUT);
    }
}

}  // namespace

CFrameWindow::CFrameWindow() {
    if (RegisterFrameClass()) {
        window_ = CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  GetModuleHandleA(nullptr), nullptr);
    }
    if (window_ == nullptr) throw std::runtime_error("could not create a message window");
}

CFrameWindow::~CFrameWindow() { DestroyWindow(window_); }

bool CFrameWindow::Wait(WindowMessage& message, int timeoutMs) {
    return Loop(window_, &message, timeoutMs < 0 ? INFINITE : timeoutMs);
}

bool PumpMessages(int milliseconds) {
    WindowMessage ignored;
    DWORD start = GetTickCount();
    for (;;) {
        bool quit = false;
        Drain(nullptr, &ignored, &quit);
        if (quit) return false;
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= static_cast<DWORD>(milliseconds)) return true;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(milliseconds) - elapsed,
                                  QS_ALLINPUT);
    }
}

}  // namespace veltcam::tool
