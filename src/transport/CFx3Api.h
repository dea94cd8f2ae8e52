// The USB controller's device side: the shared device table, discovery, the
// selected device and the way its paths are opened.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/DriverChannel.h"
#include "platform/Guid.h"
#include "transport/CDeviceTable.h"

namespace veltcam {

// Vendor and product id of a device path of the form \\?\usb#vid_XXXX&pid_XXXX#...
// False unless the path is long enough and the ids are where and what they must be.
bool ParseDevicePath(const std::string& path, uint16_t* vendorId, uint16_t* productId);

class CFx3Api {
  public:
    static constexpr int kMaxDevices = 32;

    CFx3Api(std::shared_ptr<platform::CDriverChannel> channel,
            const platform::Guid& interfaceClass);
    virtual ~CFx3Api();
    CFx3Api(const CFx3Api&) = delete;
    CFx3Api& operator=(const CFx3Api&) = delete;

    // Discovery: registers every present interface of the class whose path opens and
    // is well formed; returns the record count. Never fails.
    int EnumerateDevices();
    // True when the record at `tableIndex` exists and its path opens now.
    bool IsDevicePresent(int tableIndex);
    // Opens the record's path; null for an index out of the table or a failed open.
    platform::DeviceHandle OpenDevicePath(int tableIndex, bool overlapped);

    int RecordCount() const { return table_->Count(); }
    bool RecordAt(int tableIndex, DeviceRecord* out) const {
        return table_->Record(tableIndex, out);
    }
    DeviceTableSnapshot Table() const { return table_->Read(); }
    int SelectedIndex() const { return selected_.load(); }
    const platform::Guid& InterfaceClass() const { return interfaceClass_; }
    platform::CDriverChannel& Channel() const { return *channel_; }

  protected:
    std::shared_ptr<platform::CDriverChannel> channel_;
    std::unique_ptr<CDeviceTable> table_;
    std::atomic<int> selected_{0};
    platform::Guid interfaceClass_;
};

}  // namespace veltcam
