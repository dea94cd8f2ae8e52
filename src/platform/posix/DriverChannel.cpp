#include "platform/DriverChannel.h"

namespace veltcam::platform {
namespace {

// No kernel driver for the camera on Linux yet (a libusb channel is planned): the
// channel finds no cameras and opens nothing, so everything above reports "no
// device" exactly as it would on a machine without a camera.
class CPosixDriverChannel final : public CDriverChannel {
  public:
    std::vector<std::string> ListInterfaces(const Guid&, int) override { return {}; }
    DeviceHandle Open(const char*, bool) override { return nullptr; }
    void Close(DeviceHandle) override {}
    std::unique_ptr<CIoOperation> NewOperation() override;
    bool Control(DeviceHandle, uint32_t, const void*, uint32_t, void*, uint32_t, uint32_t* bytes,
                 CIoOperation*, uint32_t* error) override {
        if (bytes) *bytes = 0;
        if (error) *error = kErrorInvalidParameter;
        return false;
    }
    CTimeSource& Time() override { return SystemTime(); }
    std::string SharedTableName() const override { return "D3A7-MemMap"; }
};

class CNeverCompletes final : public CIoOperation {
  public:
    bool Wait(uint32_t) override { return false; }
    bool Result(uint32_t* bytes) override {
        if (bytes) *bytes = 0;
        return false;
    }
};

std::unique_ptr<CIoOperation> CPosixDriverChannel::NewOperation() {
    return std::make_unique<CNeverCompletes>();
}

}  // namespace

std::unique_ptr<CDriverChannel> CreateSystemDriverChannel() {
    return std::make_unique<CPosixDriverChannel>();
}

}  // namespace veltcam::platform
