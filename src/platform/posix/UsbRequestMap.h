// How the camera driver's I/O control requests are carried over libusb: which USB
// operation each request becomes, the control setup taken from a request record, the
// system error codes that libusb's results turn into, and the device paths that the
// transport parses. Pure functions, so that the whole mapping can be checked without
// a device.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace veltcam::platform::usb {

constexpr uint16_t kCameraProductId = 0x31C4;
// Vendor id of the simulated camera; VELTCAM_USB_VID adds another.
constexpr uint16_t kDefaultVendorId = 0x2A5D;
constexpr uint32_t kErrorSemTimeout = 121;  // a control request that timed out

// The request record: a 38-byte header, then the 64-byte data area of endpoint-0
// requests. Header bytes the channel reads or fills: endpoint 13, status words 14, 18.
constexpr uint32_t kHeaderBytes = 38;
constexpr uint32_t kControlDataBytes = 64;
constexpr uint32_t kControlRecordBytes = kHeaderBytes + kControlDataBytes;
constexpr int kEndpointOffset = 13;
constexpr int kStatus1Offset = 14;
constexpr int kStatus2Offset = 18;

enum class UsbAction { Control, Bulk, AbortPipe, ResetPipe, ResetDevice, BusSpeed, Refuse };

UsbAction ActionForCode(uint32_t ioControlCode);

// The control transfer of a 102-byte request record: setup fields from the header,
// the 64-byte data stage behind it, the header's time-out.
struct ControlSetup {
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t dataLength = 0;  // bytes of the data stage
    uint32_t timeoutMs = 0;
    bool toHost = false;
};
// False when the record is too short to hold a header and its data stage.
bool DecodeControlRecord(const uint8_t* record, uint32_t bytes, ControlSetup* setup);

// System error code of a finished libusb transfer (enum libusb_transfer_status) and
// of a failed libusb call (enum libusb_error).
uint32_t ErrorForTransferStatus(int transferStatus);
uint32_t ErrorForLibusbError(int libusbError);

// The driver's bus speed code for a libusb speed (enum libusb_speed): SuperSpeed and
// faster all answer as SuperSpeed, the value the camera core looks for.
uint32_t SpeedCode(int libusbSpeed);

// \\?\usb#vid_XXXX&pid_XXXX#<bus>-<port>[.<port>...]#{interface class}: what the
// transport parses, and the same for a camera replugged on the same port.
std::string DevicePath(uint16_t vendorId, uint16_t productId, int bus,
                       const std::vector<int>& ports);
struct PathLocation {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    int bus = 0;
    std::vector<int> ports;
};
bool ParseDevicePath(const char* path, PathLocation* location);

// The vendor ids looked for: the simulated camera's and `extra` (VELTCAM_USB_VID, hex)
// when it is a valid id.
std::vector<uint16_t> VendorIds(const char* extra);

}  // namespace veltcam::platform::usb
