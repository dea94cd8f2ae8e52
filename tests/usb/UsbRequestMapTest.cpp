// The driver's requests as libusb operations, without a device: which operation each
// I/O control code becomes, the control setup read from a request record, the error
// codes libusb's results turn into, and the device paths the transport parses.
#include <gtest/gtest.h>
#include <libusb.h>

#include "platform/DriverChannel.h"
#include "platform/posix/UsbRequestMap.h"
#include "transport/RequestHeader.h"

namespace veltcam::platform::usb {
namespace {

TEST(UsbRequestMap, EachDriverRequestBecomesItsUsbOperation) {
    const struct {
        uint32_t code;
        UsbAction action;
    } cases[] = {
        {kIoctlControlRequest, UsbAction::Control},
        {kIoctlDirectTransfer, UsbAction::Bulk},
        {kIoctlAbortPipe, UsbAction::AbortPipe},
        {kIoctlResetPipe, UsbAction::ResetPipe},
        {kIoctlResetPort, UsbAction::ResetDevice},
        {kIoctlBusSpeed, UsbAction::BusSpeed},
        {kIoctlEndpointRequest, UsbAction::Refuse},
        {0, UsbAction::Refuse},
        {0x220021, UsbAction::Refuse},
    };
    for (const auto& c : cases) EXPECT_EQ(ActionForCode(c.code), c.action) << std::hex << c.code;
}

TEST(UsbRequestMap, AControlRecordGivesSetupDataStageAndTimeout) {
    uint8_t record[kControlRecordBytes] = {};
    RequestFields fields;
    fields.requestType = kVendorFromDevice;
    fields.request = 0x31;
    fields.value = 2;
    fields.index = 0x41;
    fields.length = kControlRecordBytes;
    fields.timeoutSeconds = 3;
    fields.dataOffset = kRequestHeaderBytes;
    fields.dataLength = kControlDataBytes;
    WriteRequestHeader(record, fields);
    ControlSetup setup;
    ASSERT_TRUE(DecodeControlRecord(record, sizeof(record), &setup));
    EXPECT_EQ(setup.requestType, 0xC0);
    EXPECT_EQ(setup.request, 0x31);
    EXPECT_EQ(setup.value, 2);
    EXPECT_EQ(setup.index, 0x41);
    EXPECT_EQ(setup.dataLength, 64);
    EXPECT_EQ(setup.timeoutMs, 3000u);
    EXPECT_TRUE(setup.toHost);

    record[0] = kVendorToEndpoint;
    PutLe32(record + header::kTimeoutSeconds, 0);  // none asked for: bounded all the same
    ASSERT_TRUE(DecodeControlRecord(record, sizeof(record), &setup));
    EXPECT_FALSE(setup.toHost);
    EXPECT_GT(setup.timeoutMs, 0u);

    EXPECT_FALSE(DecodeControlRecord(record, kControlRecordBytes - 1, &setup));
    EXPECT_FALSE(DecodeControlRecord(nullptr, kControlRecordBytes, &setup));
}

TEST(UsbRequestMap, LibusbResultsBecomeTheDriversErrorCodes) {
    const struct {
        int status;
        uint32_t error;
    } transfers[] = {
        {LIBUSB_TRANSFER_COMPLETED, 0},
        {LIBUSB_TRANSFER_CANCELLED, kErrorOperationAborted},
        {LIBUSB_TRANSFER_NO_DEVICE, kErrorDeviceGone},
        {LIBUSB_TRANSFER_STALL, kErrorGenFailure},
        {LIBUSB_TRANSFER_OVERFLOW, kErrorGenFailure},
        {LIBUSB_TRANSFER_ERROR, kErrorGenFailure},
        {LIBUSB_TRANSFER_TIMED_OUT, kErrorSemTimeout},
    };
    for (const auto& c : transfers) EXPECT_EQ(ErrorForTransferStatus(c.status), c.error);
    const struct {
        int result;
        uint32_t error;
    } calls[] = {
        {LIBUSB_SUCCESS, 0},
        {LIBUSB_ERROR_NO_DEVICE, kErrorDeviceGone},
        {LIBUSB_ERROR_PIPE, kErrorGenFailure},
        {LIBUSB_ERROR_OVERFLOW, kErrorGenFailure},
        {LIBUSB_ERROR_IO, kErrorGenFailure},
        {LIBUSB_ERROR_TIMEOUT, kErrorSemTimeout},
        {LIBUSB_ERROR_INTERRUPTED, kErrorOperationAborted},
        {LIBUSB_ERROR_INVALID_PARAM, kErrorInvalidParameter},
        {LIBUSB_ERROR_BUSY, kErrorBusy},
        {LIBUSB_ERROR_NO_MEM, kErrorNoResources},
        {LIBUSB_ERROR_ACCESS, kErrorAccessDenied},
    };
    for (const auto& c : calls) EXPECT_EQ(ErrorForLibusbError(c.result), c.error) << c.result;
}

TEST(UsbRequestMap, SuperSpeedAndFasterAnswerAsSuperSpeed) {
    EXPECT_EQ(SpeedCode(LIBUSB_SPEED_SUPER), 4u);
    EXPECT_EQ(SpeedCode(LIBUSB_SPEED_SUPER_PLUS), 4u);
    EXPECT_EQ(SpeedCode(LIBUSB_SPEED_HIGH), 3u);
    EXPECT_EQ(SpeedCode(LIBUSB_SPEED_UNKNOWN), 0u);
}

TEST(UsbRequestMap, DevicePathsNameThePortAndParseBack) {
    const std::string path = DevicePath(0x2A5D, 0x31C4, 2, {1, 4});
    EXPECT_EQ(path, "\\\\?\\usb#vid_2a5d&pid_31c4#2-1.4#{328184c5-93e6-49b7-94b8-2ada13aabb39}");
    // Where the transport reads the ids.
    EXPECT_EQ(path.substr(12, 4), "2a5d");
    EXPECT_EQ(path.substr(21, 4), "31c4");
    PathLocation where;
    ASSERT_TRUE(ParseDevicePath(path.c_str(), &where));
    EXPECT_EQ(where.vendorId, 0x2A5D);
    EXPECT_EQ(where.productId, 0x31C4);
    EXPECT_EQ(where.bus, 2);
    EXPECT_EQ(where.ports, (std::vector<int>{1, 4}));
    for (const char* bad :
         {"", "\\\\?\\usb#vid_2a5d&pid_31c4#2-#{328184c5-93e6-49b7-94b8-2ada13aabb39}",
          "\\\\?\\usb#vid_2a5d&pid_31c4#SIM0000#{328184c5-93e6-49b7-94b8-2ada13aabb39}",
          "\\\\?\\usb#vid_2a5d&pid_31c4#2-1#{00000000-93e6-49b7-94b8-2ada13aabb39}",
          "\\\\?\\usb#vid_2a5d&pid_31c4#2-1.2.3.4.5.6.7.8#{328184c5-93e6-49b7-94b8-"
          "2ada13aabb39}"}) {
        EXPECT_FALSE(ParseDevicePath(bad, &where)) << bad;
    }
}

TEST(UsbRequestMap, ACameraIsItsProductIdOnAVendorInterfaceWithTheBulkPair) {
    const struct {
        uint16_t product;
        uint8_t interfaceClass;
        std::vector<uint8_t> bulk;
        bool camera;
    } cases[] = {
        {0x31C4, 0xFF, {0x81, 0x01, 0x83}, true},
        {0x31C4, 0xFF, {0x01, 0x81}, true},
        {0x31C4, 0x08, {0x81, 0x01}, false},  // a mass-storage device with the same id
        {0x31C4, 0xFF, {0x81}, false},
        {0x31C4, 0xFF, {0x82, 0x02}, false},
        {0x31C5, 0xFF, {0x81, 0x01}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsCameraInterface(c.product, c.interfaceClass, c.bulk), c.camera)
            << std::hex << c.product << " class " << int(c.interfaceClass);
    }
}

TEST(UsbRequestMap, TheVendorFilterNarrowsToOneValidIdOrNone) {
    EXPECT_EQ(VendorFilter(nullptr), 0);
    EXPECT_EQ(VendorFilter("04b4"), 0x04B4);
    EXPECT_EQ(VendorFilter("2A5D"), 0x2A5D);
    for (const char* bad : {"", "xyz", "10000", "0", "12g"}) EXPECT_EQ(VendorFilter(bad), 0) << bad;
}

TEST(UsbRequestMap, CamerasAreNumberedByBusThenPortsAsNumbers) {
    const std::vector<PathLocation> ordered = {
        {0, 0, 2, {2}},  {0, 0, 2, {2, 3}}, {0, 0, 2, {2, 10}},
        {0, 0, 2, {10}}, {0, 0, 3, {1}},    {0, 0, 10, {1}},
    };
    for (size_t i = 0; i + 1 < ordered.size(); ++i) {
        EXPECT_TRUE(PortOrder(ordered[i], ordered[i + 1])) << i;
        EXPECT_FALSE(PortOrder(ordered[i + 1], ordered[i])) << i;
    }
    EXPECT_FALSE(PortOrder(ordered[0], ordered[0]));
}

}  // namespace
}  // namespace veltcam::platform::usb
