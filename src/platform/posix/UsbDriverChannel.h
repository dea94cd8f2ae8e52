// The Linux driver channel: the camera driver's requests carried over libusb-1.0.
#pragma once

#include <memory>
#include <string>

#include "platform/DriverChannel.h"

namespace veltcam::platform {

struct UsbChannelOptions {
    // Name of the shared device table; the real cameras' table unless a test keeps
    // its emulated cameras apart.
    std::string tableName = "D3A7-MemMap";
    // The only vendor id to look for (hex text); null: VELTCAM_USB_VID, and any vendor
    // when that is unset.
    const char* vendorId = nullptr;
};

std::unique_ptr<CDriverChannel> CreateUsbDriverChannel(const UsbChannelOptions& options);

}  // namespace veltcam::platform
