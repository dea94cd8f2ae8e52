// The Linux message windows of VeltCamSdkLinux.h.
#include "VeltCamSdkLinux.h"

#include "platform/posix/MessageWindow.h"

namespace platform = veltcam::platform;

extern "C" {

HWND VeltCamLinux_CreateMessageWindow(int capacity) {
    try {
        return static_cast<HWND>(platform::CreateMessageWindow(capacity > 0 ? static_cast<size_t>(capacity) : 0));
    } catch (...) {
        return nullptr;
    }
}

int VeltCamLinux_DestroyMessageWindow(HWND window) {
    return window != nullptr && platform::DestroyMessageWindow(window) ? 1 : 0;
}

int VeltCamLinux_GetMessage(HWND window, VeltCamMessage* message, int timeoutMs) {
    if (message == nullptr) return -1;
    try {
        platform::QueuedMessage item{};
        int result = platform::TakeWindowMessage(window, item, timeoutMs);
        if (result == 1) {
            *message = VeltCamMessage{static_cast<HWND>(item.window), item.message, item.wParam, item.lParam};
        }
        return result;
    } catch (...) {
        return -1;
    }
}

int VeltCamLinux_PostMessage(HWND window, unsigned int message, uintptr_t wParam, intptr_t lParam) {
    try {
        return platform::PostWindowMessage(window, message, wParam, lParam) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

}  // extern "C"
