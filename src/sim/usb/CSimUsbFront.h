// The simulated cameras on an emulated USB bus, for the Linux USB path's tests and
// benchmarks. Each camera of a simulated driver appears as a USB device (sysfs
// attributes and descriptors, a device node) in a umockdev testbed; the usbdevfs
// requests that libusb sends to the node are answered by the same simulated camera:
// control URBs become endpoint-0 requests, bulk URBs become direct transfers, discards
// abort the pipe. Real USB rules hold on top of the simulator's own: SuperSpeed
// packets of 1024 bytes (512 on the High-Speed bus when the simulator's bus speed is
// below SuperSpeed), a stalled endpoint fails every URB until its halt is cleared, a
// discarded URB loses its data, interface 0 is claimed by one open device file at a
// time (a bulk URB claims it implicitly, as the kernel does), an unplugged camera
// fails everything with "no device" and comes back as a new device on the same port.
//
// Linux only, built outside the SDK library; the process must run under
// umockdev-wrapper (the testbed needs its preload library).
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "sim/CSimDriver.h"

namespace veltcam::sim {

struct UsbFrontOptions {
    // Root-hub port of each camera in turn; cameras past the list sit on the ports
    // after the last one given (the default: ports 1, 2, ...).
    std::vector<int> ports;
    // A kernel driver bound to interface 0 of every camera: it answers GETDRIVER and
    // makes a plain claim fail with EBUSY until it is disconnected.
    std::string kernelDriver;
    // Cameras (by index) whose device node nobody may write, as a node is for a user
    // when no udev rule gives the camera to them: libusb's open for reading and
    // writing fails with EACCES, unless the process may override file permissions
    // (root with CAP_DAC_OVERRIDE).
    std::set<int> readOnlyNodes;
    // > 0: a port reset makes the camera enumerate afresh, as a reset that changes its
    // descriptors does: the reset answers "no device", the node goes, and the camera
    // comes back on the same port with a new device number this many ms later.
    uint32_t reenumerateAfterResetMs = 0;
    // > 0: a discarded URB is given back only this many ms after the discard, as by a
    // host controller slow to let go of it; the discard itself returns at once.
    uint32_t lateDiscardMs = 0;
    // The kernel's memory for URBs of all device files together (usbcore's
    // usbfs_memory_mb, 16 MiB by default): a URB is charged its buffer plus the
    // kernel's records while submitted and not yet reaped; past the limit SUBMITURB
    // fails with ENOMEM.
    uint64_t usbfsMemoryBytes = 16u << 20;
    // The wire between the camera and the host, off by default (the bus then moves
    // data as fast as the host asks). On: the camera's bridge buffers a frame in a FIFO
    // of `fifoBytes`, filled at the sensor's readout rate (a frame in 1/readoutFps s)
    // from the host's first payload read of the frame on, and emptied at up to
    // `drainBytesPerSecond` only while a URB is queued on 0x81. A FIFO that overflows
    // drops packets: the rest of that frame's reads fail (-EOVERFLOW), the frame is torn.
    struct BusModel {
        bool on = false;
        uint32_t fifoBytes = 256u << 10;
        double drainBytesPerSecond = 380e6;
        double readoutFps = 56.0;
    } bus;
};

// What the wire model saw, over the front's life.
struct BusCounters {
    uint64_t frames = 0;  // frame headers sent
    uint64_t lost = 0;    // frames the camera read out that the host never asked for
    uint64_t torn = 0;    // frames whose FIFO overflowed
    // Idle time of endpoint 0x81 before each payload read after a frame's first, in µs.
    std::vector<uint32_t> gapsUs;
};

class CSimUsbFront {
  public:
    // Puts the cameras of `simulator` (this model's and the others) on the emulated
    // bus. Null, with `error`, when there is no testbed (not under umockdev-wrapper).
    static std::unique_ptr<CSimUsbFront> Create(std::shared_ptr<CSimDriver> simulator,
                                                std::string* error,
                                                const UsbFrontOptions& options = {});
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
    // Times a device node was opened (each libusb handle opens it once).
    uint32_t NodeOpens() const;
    // The most URB memory charged at once, over the front's life.
    uint64_t UsbfsMemoryPeak() const;
    BusCounters Bus() const;
    // CLEAR_HALT requests the cameras received.
    uint32_t ClearHalts() const;
    // Sends a uevent for camera's device ("add", "remove", "change").
    void Uevent(int camera, const char* action);
    // The sysfs "speed" the cameras are plugged in at (Mbit/s).
    void SetSpeedMbps(int camera, int mbps);

    class CImpl;

  private:
    explicit CSimUsbFront(std::unique_ptr<CImpl> impl);
    std::unique_ptr<CImpl> impl_;
};

}  // namespace veltcam::sim
