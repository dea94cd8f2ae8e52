// The Linux driver channel: the camera driver's requests carried over libusb-1.0.
#pragma once

#include <functional>
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
    // How long an abort, a close or a reset waits for libusb to give back the transfers
    // it cancelled. The kernel gives a discarded transfer back within microseconds; the
    // bound only keeps a wedged host controller from hanging the caller.
    uint32_t cancelWaitMs = 10000;
    // For tests: runs inside a camera's port reset, where the thread holds that
    // camera's lock and no lock of the channel's, with the camera's device path. A test
    // holds one camera there and watches another stream on.
    std::function<void(const std::string& path)> inPortReset;
};

std::unique_ptr<CDriverChannel> CreateUsbDriverChannel(const UsbChannelOptions& options);

// What a USB channel still holds for libusb: transfers not given back yet, and device
// files retired (by a reset that re-enumerated the camera, or an unplug) that stay open
// until the transfers submitted on them have come back.
struct UsbChannelState {
    size_t transfersInFlight = 0;
    size_t retiredFilesOpen = 0;
    // Transfers that came back after their device file was retired.
    uint64_t lateCompletions = 0;
};
// The state of a channel made by CreateUsbDriverChannel (all zero for any other).
UsbChannelState StateOf(CDriverChannel& channel);

}  // namespace veltcam::platform
