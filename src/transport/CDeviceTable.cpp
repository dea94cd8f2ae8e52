#include "transport/CDeviceTable.h"

#include <cstring>
#include <mutex>

#include "platform/SharedBlock.h"

namespace veltcam {
namespace {

// Threads of this process exclude each other here first; the named lock then keeps
// other processes out. Both are needed: one lock object shared by two threads of
// the same process does not separate them on every platform.
std::mutex& ProcessLock() {
    static std::mutex lock;
    return lock;
}

// Where the table lives when no shared block can be had.
uint8_t* PrivateBlock() {
    static uint8_t block[CDeviceTable::kBlockBytes] = {};
    return block;
}

int32_t LoadInt(const uint8_t* at) {
    int32_t v;
    std::memcpy(&v, at, sizeof(v));
    return v;
}
void StoreInt(uint8_t* at, int32_t v) { std::memcpy(at, &v, sizeof(v)); }

void ClearRecords(uint8_t* block) {
    DeviceRecord empty;
    for (int i = 0; i < CDeviceTable::kMaxRecords; ++i) {
        std::memcpy(block + CDeviceTable::kRecordsOffset + i * sizeof(DeviceRecord), &empty,
                    sizeof(empty));
    }
    StoreInt(block + CDeviceTable::kCountOffset, 0);
}

// A count read from a block that another process may have damaged is kept in range.
int ClampCount(int32_t count) {
    if (count < 0) return 0;
    return count > CDeviceTable::kMaxRecords ? CDeviceTable::kMaxRecords : count;
}

}  // namespace

class CDeviceTable::CGuard {
  public:
    explicit CGuard(const CDeviceTable& table) : process_(ProcessLock()), table_(table) {
        if (table_.lock_) table_.lock_->lock();
    }
    ~CGuard() {
        if (table_.lock_) table_.lock_->unlock();
    }

  private:
    std::lock_guard<std::mutex> process_;
    const CDeviceTable& table_;
};

CDeviceTable::CDeviceTable(const std::string& name) : name_(name) {
    lock_ = std::make_unique<platform::CNamedLock>(name);
    if (!lock_->Valid()) lock_.reset();
    CGuard guard(*this);
    bool created = false;
    block_ = platform::CSharedBlock::OpenOrCreate(name, kBlockBytes, &created);
    uint8_t* block = Bytes();
    int32_t users = LoadInt(block + kUsersOffset);
    if (users <= 0) {
        users = 0;
        ClearRecords(block);
    }
    StoreInt(block + kUsersOffset, users + 1);
}

CDeviceTable::~CDeviceTable() {
    CGuard guard(*this);
    uint8_t* block = Bytes();
    int32_t users = LoadInt(block + kUsersOffset) - 1;
    if (users < 0) users = 0;
    StoreInt(block + kUsersOffset, users);
    if (users == 0 && block_) block_->RemoveName();
    block_.reset();
}

uint8_t* CDeviceTable::Bytes() const { return block_ ? block_->Data() : PrivateBlock(); }

DeviceTableSnapshot CDeviceTable::Read() const {
    DeviceTableSnapshot snapshot;
    CGuard guard(*this);
    const uint8_t* block = Bytes();
    snapshot.users = LoadInt(block + kUsersOffset);
    snapshot.count = ClampCount(LoadInt(block + kCountOffset));
    std::memcpy(snapshot.records.data(), block + kRecordsOffset,
                kMaxRecords * sizeof(DeviceRecord));
    for (auto& record : snapshot.records) record.path[sizeof(record.path) - 1] = '\0';
    return snapshot;
}

int CDeviceTable::Count() const {
    CGuard guard(*this);
    return ClampCount(LoadInt(Bytes() + kCountOffset));
}

bool CDeviceTable::Record(int index, DeviceRecord* out) const {
    if (index < 0 || index >= kMaxRecords) return false;
    CGuard guard(*this);
    const uint8_t* block = Bytes();
    if (index >= ClampCount(LoadInt(block + kCountOffset))) return false;
    std::memcpy(out, block + kRecordsOffset + index * sizeof(DeviceRecord), sizeof(*out));
    out->path[sizeof(out->path) - 1] = '\0';
    return true;
}

void CDeviceTable::Register(uint16_t vendorId, uint16_t productId, const std::string& path) {
    if (path.size() > kMaxPathChars) return;
    CGuard guard(*this);
    // Work on the block as it is now, not on an older copy: another process may have
    // appended since this one last looked.
    uint8_t* block = Bytes();
    int count = ClampCount(LoadInt(block + kCountOffset));
    int sameIds = 0;
    for (int i = 0; i < count; ++i) {
        DeviceRecord record;
        std::memcpy(&record, block + kRecordsOffset + i * sizeof(DeviceRecord), sizeof(record));
        record.path[sizeof(record.path) - 1] = '\0';
        if (record.vendorId != vendorId || record.productId != productId) continue;
        if (path == record.path) return;
        ++sameIds;
    }
    if (count >= kMaxRecords) return;
    DeviceRecord record;
    record.vendorId = vendorId;
    record.productId = productId;
    record.instance = sameIds;
    std::memcpy(record.path, path.c_str(), path.size() + 1);
    std::memcpy(block + kRecordsOffset + count * sizeof(DeviceRecord), &record, sizeof(record));
    StoreInt(block + kCountOffset, count + 1);
}

}  // namespace veltcam
