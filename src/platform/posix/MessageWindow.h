// The Linux message windows behind VeltCamSdkLinux.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Messages.h"

namespace veltcam::platform {

struct QueuedMessage {
    WindowHandle window;
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
};

WindowHandle CreateMessageWindow(size_t capacity);
bool DestroyMessageWindow(WindowHandle window);

// 1: message taken; 0: time-out; -1: unknown window.
int TakeWindowMessage(WindowHandle window, QueuedMessage& out, int timeoutMs);

// Posts `message` with `event` as wParam to every window registered for device
// arrival (RegisterDeviceArrival).
void PostDeviceChange(uint32_t message, uintptr_t event);

}  // namespace veltcam::platform
