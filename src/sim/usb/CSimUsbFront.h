// The simulated cameras on an emulated USB bus, for the Linux USB path's tests and
// benchmarks. Each camera of a simulated driver appears as a USB device (sysfs
// attributes and descriptors, a device node) in a umockdev testbed; the usbdevfs
// requests that libusb sends to the node are answered by the same simulated camera:
// control URBs become endpoint-0 requests, bulk URBs become direct transfers, discards
// abort the pipe. Real USB rules hold on top of the simulator's own: SuperSpeed
// packets of 1024 bytes, a stalled endpoint fails every URB until its halt is cleared,
// a discarded URB loses its data, an unplugged camera fails everything with "no
// device" and comes back as a new device on the same port.
//
// Linux only, built outside the SDK library; the process must run under
// umockdev-wrapper (the testbed needs its preload library).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "sim/CSimDriver.h"

namespace veltcam::sim {

class CSimUsbFront {
  public:
    // Puts the cameras of `simulator` (this model's and the others) on the emulated
    // bus. Null, with `error`, when there is no testbed (not under umockdev-wrapper).
    static std::unique_ptr<CSimUsbFront> Create(std::shared_ptr<CSimDriver> simulator,
                                                std::string* error);
    ~CSimUsbFront();
    CSimUsbFront(const CSimUsbFront&) = delete;
    CSimUsbFront& operator=(const CSimUsbFront&) = delete;

    CSimDriver& Simulator();
    // URBs submitted and not yet reaped, over every device of this front.
    uint64_t OutstandingUrbs() const;
    uint64_t SubmittedUrbs() const;
    // The device node of a plugged camera ("/dev/bus/usb/002/NNN"), empty if unplugged.
    std::string DeviceNode(int camera) const;
    // Device nodes that have come and gone (a replug shows as a new node).
    uint32_t Enumerations() const;
    // The sysfs "speed" the cameras are plugged in at (Mbit/s).
    void SetSpeedMbps(int camera, int mbps);

    class CImpl;

  private:
    explicit CSimUsbFront(std::unique_ptr<CImpl> impl);
    std::unique_ptr<CImpl> impl_;
};

}  // namespace veltcam::sim
