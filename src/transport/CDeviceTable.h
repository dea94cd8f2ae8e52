// The device table: every camera interface found so far, numbered per vendor and
// product id, shared by all processes through a named block so that device
// numbers mean the same camera everywhere.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace veltcam {

namespace platform {
class CSharedBlock;
class CNamedLock;
}  // namespace platform

#pragma pack(push, 1)
struct DeviceRecord {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    int32_t instance = -1;  // n-th device of this vendor/product pair; -1 when empty
    char path[260] = {};    // device-interface path, NUL-terminated
};
#pragma pack(pop)
static_assert(sizeof(DeviceRecord) == 268);

struct DeviceTableSnapshot {
    std::array<DeviceRecord, 32> records{};
    int count = 0;
    int users = 0;
};

class CDeviceTable {
  public:
    static constexpr int kMaxRecords = 32;
    static constexpr size_t kMaxPathChars = 259;  // a record's path holds this many plus NUL
    // Block layout: user count, the 32 records, record count.
    static constexpr size_t kUsersOffset = 0;
    static constexpr size_t kRecordsOffset = 4;
    static constexpr size_t kCountOffset = 8580;
    static constexpr size_t kBlockBytes = 8584;

    // Attaches to the table `name`: opens or creates the block, starts it empty when
    // nobody else uses it, and counts this user in. Without a shared block (neither
    // open nor create works) the table is private to this process.
    explicit CDeviceTable(const std::string& name);
    // Counts this user out; the last one out drops the block.
    ~CDeviceTable();
    CDeviceTable(const CDeviceTable&) = delete;
    CDeviceTable& operator=(const CDeviceTable&) = delete;

    DeviceTableSnapshot Read() const;
    int Count() const;
    // The record at `index`; false when the index is not below the record count.
    bool Record(int index, DeviceRecord* out) const;

    // Adds a device found by discovery unless its path is already in the table or the
    // table is full. The instance number is the count of records with the same ids.
    void Register(uint16_t vendorId, uint16_t productId, const std::string& path);

    bool IsShared() const { return block_ != nullptr; }

  private:
    class CGuard;
    uint8_t* Bytes() const;

    std::string name_;
    std::unique_ptr<platform::CNamedLock> lock_;
    std::unique_ptr<platform::CSharedBlock> block_;
};

}  // namespace veltcam
