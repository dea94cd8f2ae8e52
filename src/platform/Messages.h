// Posting window messages to the application.
//
// On Windows a window handle is an HWND and posting is PostMessageA. On Linux the
// application receives the SDK's messages through message windows: bounded queues
// created and read through VeltCamSdkLinux.h. Either way posting never blocks and a
// failure (destroyed window, full queue) is ignored by the callers.
#pragma once

#include <cstdint>

namespace veltcam::platform {

// An HWND on Windows; a message window (or null) on Linux.
using WindowHandle = void*;

// Posts a message. A null window posts to the calling thread's own queue.
// Returns false when the window is unknown or its queue is full.
bool PostWindowMessage(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam);

}  // namespace veltcam::platform

#include "platform/Guid.h"

namespace veltcam::platform {

// Asks for device-arrival and removal notifications of an interface class on
// `window`. On success `registration` holds what Unregister needs (may be null
// where the platform has nothing to undo).
bool RegisterDeviceArrival(WindowHandle window, const Guid& interfaceClass, void*& registration);
void UnregisterDeviceArrival(void* registration);

}  // namespace veltcam::platform
