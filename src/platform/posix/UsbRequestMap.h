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
constexpr uint32_t kErrorSemTimeout = 121;    // a control request that timed out
constexpr uint32_t kErrorBusy = 170;          // another program has claimed the camera
constexpr uint32_t kErrorNoResources = 1450;  // the kernel's usbfs memory is used up
constexpr uint32_t kErrorAccessDenied = 5;

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

// How long the data stage of an endpoint-0 request is. The request record always
// carries a 64-byte data area, and the driver on the other system is believed to send
// all of it whatever the request, including requests that carry no data. A firmware
// that acknowledges a no-data request without reading endpoint 0 would leave such a
// data stage waiting until it times out, so this is the one place to change once a
// bus capture of the other driver settles what goes on the wire.
enum class DataStage { WholeArea };
constexpr DataStage kDataStage = DataStage::WholeArea;

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

// Cameras are recognised by their product id and their interface, whatever vendor id
// they carry: interface 0 is vendor-specific (class 0xFF) and has the bulk endpoints
// 0x81 and 0x01. `bulkEndpoints` are interface 0's bulk endpoint addresses.
constexpr uint8_t kVendorSpecificClass = 0xFF;
bool IsCameraInterface(uint16_t productId, uint8_t interfaceClass,
                       const std::vector<uint8_t>& bulkEndpoints);

// The one vendor id to look for when `text` (VELTCAM_USB_VID, hex) names a valid id;
// 0 (any vendor) otherwise.
uint16_t VendorFilter(const char* text);

// Camera numbering order: bus, then the port path, compared as numbers (port 10 after
// port 2).
bool PortOrder(const PathLocation& a, const PathLocation& b);

}  // namespace veltcam::platform::usb
