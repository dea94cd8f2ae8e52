#include "platform/Messages.h"

#include <windows.h>

namespace veltcam::platform {

bool PostWindowMessage(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    // A null HWND posts to the calling thread's queue, exactly what Notify relies on.
    return PostMessageA(static_cast<HWND>(window), message, static_cast<WPARAM>(wParam),
                        static_cast<LPARAM>(lParam)) != FALSE;
}

}  // namespace veltcam::platform

#include <dbt.h>

#include <cstring>

namespace veltcam::platform {

bool RegisterDeviceArrival(WindowHandle window, const Guid& interfaceClass, void*& registration) {
    DEV_BROADCAST_DEVICEINTERFACE_A filter{};
    filter.dbcc_size = sizeof(filter);  // 32 bytes: header plus the class GUID
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    std::memcpy(&filter.dbcc_classguid, &interfaceClass, sizeof(GUID));
    registration = RegisterDeviceNotificationA(static_cast<HWND>(window), &filter,
                                               DEVICE_NOTIFY_WINDOW_HANDLE);
    return registration != nullptr;
}

void UnregisterDeviceArrival(void* registration) {
    if (registration != nullptr) UnregisterDeviceNotification(static_cast<HDEVNOTIFY>(registration));
}

}  // namespace veltcam::platform
