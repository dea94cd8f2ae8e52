#include "platform/posix/UsbRequestMap.h"

#include <libusb.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/DriverChannel.h"

namespace veltcam::platform::usb {
namespace {

// A control request whose header asks for no time-out still must not hang the
// caller forever: the device's endpoint 0 answers within milliseconds or not at all.
constexpr uint32_t kDefaultControlTimeoutMs = 5000;
constexpr char kInterfaceClass[] = "{328184c5-93e6-49b7-94b8-2ada13aabb39}";

// The driver's requests as the transport issues them (the platform sits below the
// transport, so it knows the codes and the record layout only as bytes).
constexpr uint32_t kIoctlControlRequest = 0x220020;
constexpr uint32_t kIoctlResetPipe = 0x22002C;
constexpr uint32_t kIoctlResetPort = 0x220030;
constexpr uint32_t kIoctlAbortPipe = 0x220044;
constexpr uint32_t kIoctlDirectTransfer = 0x22004B;
constexpr uint32_t kIoctlBusSpeed = 0x22004C;

uint16_t Le16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | at[1] << 8); }
uint32_t Le32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
           static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

}  // namespace

UsbAction ActionForCode(uint32_t ioControlCode) {
    switch (ioControlCode) {
        case kIoctlControlRequest:
            return UsbAction::Control;
        case kIoctlDirectTransfer:
            return UsbAction::Bulk;
        case kIoctlAbortPipe:
            return UsbAction::AbortPipe;
        case kIoctlResetPipe:
            return UsbAction::ResetPipe;
        case kIoctlResetPort:
            return UsbAction::ResetDevice;
        case kIoctlBusSpeed:
            return UsbAction::BusSpeed;
        default:
            return UsbAction::Refuse;
    }
}

bool DecodeControlRecord(const uint8_t* record, uint32_t bytes, ControlSetup* setup) {
    if (record == nullptr || setup == nullptr || bytes < kControlRecordBytes) return false;
    setup->requestType = record[0];
    setup->request = record[1];
    setup->value = Le16(record + 2);
    setup->index = Le16(record + 4);
    const uint32_t timeoutSeconds = Le32(record + 8);
    switch (kDataStage) {
        case DataStage::WholeArea:
            setup->dataLength = kControlDataBytes;
            break;
    }
    setup->toHost = (setup->requestType & LIBUSB_ENDPOINT_IN) != 0;
    setup->timeoutMs = timeoutSeconds == 0 || timeoutSeconds > 3600 ? kDefaultControlTimeoutMs
                                                                    : timeoutSeconds * 1000;
    return true;
}

uint32_t ErrorForTransferStatus(int transferStatus) {
    switch (transferStatus) {
        case LIBUSB_TRANSFER_COMPLETED:
            return 0;
        case LIBUSB_TRANSFER_CANCELLED:
            return kErrorOperationAborted;
        case LIBUSB_TRANSFER_NO_DEVICE:
            return kErrorDeviceGone;
        case LIBUSB_TRANSFER_TIMED_OUT:
            return kErrorSemTimeout;
        default:
            return kErrorGenFailure;  // stall, overflow, transfer error
    }
}

uint32_t ErrorForLibusbError(int libusbError) {
    switch (libusbError) {
        case LIBUSB_SUCCESS:
            return 0;
        case LIBUSB_ERROR_NO_DEVICE:
            return kErrorDeviceGone;
        case LIBUSB_ERROR_TIMEOUT:
            return kErrorSemTimeout;
        case LIBUSB_ERROR_INTERRUPTED:
            return kErrorOperationAborted;
        case LIBUSB_ERROR_INVALID_PARAM:
            return kErrorInvalidParameter;
        case LIBUSB_ERROR_BUSY:
            return kErrorBusy;
        case LIBUSB_ERROR_NO_MEM:
            return kErrorNoResources;
        case LIBUSB_ERROR_ACCESS:
            return kErrorAccessDenied;
        default:
            return kErrorGenFailure;
    }
}

uint32_t SpeedCode(int libusbSpeed) {
    switch (libusbSpeed) {
        case LIBUSB_SPEED_LOW:
            return 1;
        case LIBUSB_SPEED_FULL:
            return 2;
        case LIBUSB_SPEED_HIGH:
            return 3;
        case LIBUSB_SPEED_UNKNOWN:
            return 0;
        default:
            return 4;  // SuperSpeed and every faster kind
    }
}

std::string DevicePath(uint16_t vendorId, uint16_t productId, int bus,
                       const std::vector<int>& ports) {
    char head[40];
    std::snprintf(head, sizeof(head), "\\\\?\\usb#vid_%04x&pid_%04x#%d-", vendorId, productId, bus);
    std::string path = head;
    for (size_t i = 0; i < ports.size(); ++i) {
        if (i) path += '.';
        path += std::to_string(ports[i]);
    }
    return path + "#" + kInterfaceClass;
}

bool ParseDevicePath(const char* path, PathLocation* location) {
    if (path == nullptr || location == nullptr) return false;
    unsigned vid = 0, pid = 0;
    int consumed = 0;
    if (std::sscanf(path, "\\\\?\\usb#vid_%4x&pid_%4x#%n", &vid, &pid, &consumed) != 2 ||
        consumed == 0) {
        return false;
    }
    const char* at = path + consumed;
    char* end = nullptr;
    long bus = std::strtol(at, &end, 10);
    if (end == at || *end != '-' || bus < 0 || bus > 255) return false;
    PathLocation parsed;
    parsed.vendorId = static_cast<uint16_t>(vid);
    parsed.productId = static_cast<uint16_t>(pid);
    parsed.bus = static_cast<int>(bus);
    at = end + 1;
    while (true) {
        long port = std::strtol(at, &end, 10);
        if (end == at || port < 0 || port > 255 || parsed.ports.size() >= 7) return false;
        parsed.ports.push_back(static_cast<int>(port));
        if (*end == '.') {
            at = end + 1;
            continue;
        }
        break;
    }
    if (*end != '#' || std::strcmp(end + 1, kInterfaceClass) != 0) return false;
    *location = parsed;
    return true;
}

bool IsCameraInterface(uint16_t productId, uint8_t interfaceClass,
                       const std::vector<uint8_t>& bulkEndpoints) {
    auto has = [&](uint8_t address) {
        return std::find(bulkEndpoints.begin(), bulkEndpoints.end(), address) !=
               bulkEndpoints.end();
    };
    return productId == kCameraProductId && interfaceClass == kVendorSpecificClass && has(0x81) &&
           has(0x01);
}

uint16_t VendorFilter(const char* text) {
    if (text == nullptr || *text == '\0') return 0;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 16);
    return *end == '\0' && value > 0 && value <= 0xFFFF ? static_cast<uint16_t>(value) : 0;
}

bool PortOrder(const PathLocation& a, const PathLocation& b) {
    if (a.bus != b.bus) return a.bus < b.bus;
    return a.ports < b.ports;
}

}  // namespace veltcam::platform::usb
