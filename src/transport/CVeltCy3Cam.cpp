#include "transport/CVeltCy3Cam.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "foundation/ModelConstants.h"

namespace veltcam {

struct CVeltCy3Cam::Pending {
    std::unique_ptr<platform::CIoOperation> operation;
    std::unique_ptr<uint8_t[]> record;  // the request header the driver writes back
    std::unique_ptr<uint8_t[]> owned;   // data memory of the request's own
    const uint8_t* target = nullptr;    // where the driver may still write data
    size_t targetBytes = 0;
};

namespace {

bool Inside(const void* at, size_t bytes, const uint8_t* begin, size_t size) {
    const auto* p = static_cast<const uint8_t*>(at);
    return begin != nullptr && p >= begin && bytes <= size &&
           static_cast<size_t>(p - begin) <= size - bytes;
}

bool Overlaps(const void* at, size_t bytes, const uint8_t* begin, size_t size) {
    const auto* p = static_cast<const uint8_t*>(at);
    return begin != nullptr && p < begin + size && begin < p + bytes;
}

}  // namespace

namespace {

// Every endpoint-0 request carries a 3-second time-out that the driver enforces; on
// an overlapped handle the host waits a little longer than that for the answer.
constexpr uint32_t kControlTimeoutSeconds = 3;
constexpr uint32_t kControlWaitMs = 5000;
constexpr uint32_t kI2cTimeoutMs = 3000;

}  // namespace

CVeltCy3Cam::CVeltCy3Cam(const platform::Guid* interfaceClass,
                         std::shared_ptr<platform::CDriverChannel> channel)
    : CFx3Api(channel ? std::move(channel)
                      : std::shared_ptr<platform::CDriverChannel>(
                            platform::CreateSystemDriverChannel()),
              interfaceClass ? *interfaceClass : kCameraInterfaceGuid) {
    time_ = &channel_->Time();
    if (const char* pieces = std::getenv("VELTCAM_PAYLOAD_PIECES")) {
        char* end = nullptr;
        const long value = std::strtol(pieces, &end, 10);
        if (end != pieces && *end == '\0') SetPayloadPieces(static_cast<int>(value));
    }
}

CVeltCy3Cam::~CVeltCy3Cam() {
    Release();
    // Requests the driver never returned keep their memory; freeing it could let the
    // driver write into someone else's allocation.
    std::lock_guard<std::mutex> lock(writtenOffLock_);
    for (Pending& pending : writtenOff_) {
        pending.operation.release();
        pending.record.release();
        pending.owned.release();
    }
    for (Kept& kept : kept_) kept.buffer.release();
}

// ---------------------------------------------------------------------------
// Device and port

bool CVeltCy3Cam::SelectDevice(int tableIndex) {
    CloseStreamHandle();
    removalPending_ = false;
    if (!IsDevicePresent(tableIndex)) return false;
    selected_.store(tableIndex);
    return true;
}

bool CVeltCy3Cam::AllocateTransferBuffer() {
    if (!transferBuffer_ && !EnsureTransferBuffer(kInitialTransferBufferBytes)) return false;
    ResetPort();
    return true;
}

void CVeltCy3Cam::Release() {
    CloseStreamHandle();
    if (UnfinishedTransfers() == 0) {
        transferBuffer_.reset();
        transferBufferBytes_ = 0;
    } else {
        transferBuffer_.release();  // an endpoint request may still write into it
        transferBufferBytes_ = 0;
    }
}

bool CVeltCy3Cam::SimpleRequest(uint32_t code, const void* in, uint32_t inBytes, void* out,
                                uint32_t outBytes, uint32_t* bytes) {
    platform::DeviceHandle handle = OpenDevicePath(selected_.load(), false);
    if (handle == nullptr) return false;
    uint32_t count = 0, error = 0;
    bool ok = channel_->Control(handle, code, in, inBytes, out, outBytes, &count, nullptr, &error);
    channel_->Close(handle);
    if (bytes) *bytes = count;
    return ok;
}

bool CVeltCy3Cam::ResetPort() {
    return SimpleRequest(kIoctlResetPort, nullptr, 0, nullptr, 0, nullptr);
}

bool CVeltCy3Cam::ResetPipe(uint8_t endpoint) {
    return SimpleRequest(kIoctlResetPipe, &endpoint, 1, nullptr, 0, nullptr);
}

bool CVeltCy3Cam::GetBusSpeed(uint32_t* code) {
    uint8_t in[4] = {}, out[4] = {};
    uint32_t bytes = 0;
    if (!SimpleRequest(kIoctlBusSpeed, in, sizeof(in), out, sizeof(out), &bytes)) return false;
    busSpeed_ = GetLe32(out);
    if (code) *code = busSpeed_;
    return true;
}

bool CVeltCy3Cam::DeviceName(int tableIndex, char* text, size_t size) {
    // The controller only names cameras of the maker's other models; this model's
    // cameras are named by the SDK object.
    (void)text;
    (void)size;
    if (!IsDevicePresent(tableIndex)) return false;
    return false;
}

// ---------------------------------------------------------------------------
// Stream handle

platform::DeviceHandle CVeltCy3Cam::StreamHandle() const {
    std::lock_guard<std::mutex> lock(streamLock_);
    return streamHandle_;
}

bool CVeltCy3Cam::OpenStreamLocked() {
    // A camera on its way out is not opened again: it is treated as unplugged.
    if (removalPending_.load()) return false;
    streamHandle_ = OpenDevicePath(selected_.load(), true);
    if (streamHandle_ == nullptr) return false;
    // The stream handle stays open while streaming; registered, it does not veto the
    // safe removal of the camera (a handle no one closes on request would).
    removalWatch_ =
        channel_->WatchRemoval(streamHandle_, [this](bool removing) { OnRemoval(removing); });
    return true;
}

void CVeltCy3Cam::OnRemoval(bool removing) {
    removalPending_ = removing;
    // The transfer thread's read fails and it gives up after its retries, as after an
    // unplug, so that the application hears of it.
    if (removing) CloseStreamHandle();
}

bool CVeltCy3Cam::EnsureStreamHandle() {
    std::lock_guard<std::mutex> lock(streamLock_);
    if (streamHandle_ != nullptr) return true;
    return OpenStreamLocked();
}

bool CVeltCy3Cam::OpenStreamIfClosed(bool* opened) {
    std::lock_guard<std::mutex> lock(streamLock_);
    *opened = false;
    if (streamHandle_ != nullptr) return true;
    *opened = OpenStreamLocked();
    return *opened;
}

void CVeltCy3Cam::CloseStreamHandle() {
    void* watch = nullptr;
    {
        std::lock_guard<std::mutex> lock(streamLock_);
        if (streamHandle_ != nullptr) {
            watch = removalWatch_;
            removalWatch_ = nullptr;
            channel_->Close(streamHandle_);
            streamHandle_ = nullptr;
        }
    }
    // Outside the stream lock: ending a watch waits for a removal notice under way,
    // which itself closes the stream.
    channel_->UnwatchRemoval(watch);
    // Closing the handle makes the driver hand back what it still held.
    CollectWrittenOff(kAbortSettleMs);
}

// ---------------------------------------------------------------------------
// Requests that outlive their wait

void CVeltCy3Cam::WriteOff(std::unique_ptr<platform::CIoOperation> operation,
                           std::unique_ptr<uint8_t[]> record, std::unique_ptr<uint8_t[]> owned,
                           const uint8_t* target, size_t targetBytes) {
    std::lock_guard<std::mutex> lock(writtenOffLock_);
    writtenOff_.push_back(
        Pending{std::move(operation), std::move(record), std::move(owned), target, targetBytes});
}

void CVeltCy3Cam::CollectWrittenOff(uint32_t waitMs) {
    std::lock_guard<std::mutex> lock(writtenOffLock_);
    for (size_t i = 0; i < writtenOff_.size();) {
        if (writtenOff_[i].operation->Wait(waitMs)) {
            writtenOff_.erase(writtenOff_.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
    // A handed-over buffer is free again once no unfinished request writes into it.
    for (size_t i = 0; i < kept_.size();) {
        const uint8_t* begin = kept_[i].buffer.get();
        const bool written =
            std::any_of(writtenOff_.begin(), writtenOff_.end(), [&](const Pending& p) {
                return Overlaps(p.target, p.targetBytes, begin, kept_[i].bytes);
            });
        if (written) {
            ++i;
        } else {
            kept_.erase(kept_.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
}

bool CVeltCy3Cam::DriverMayWrite(const void* at, size_t bytes) const {
    std::lock_guard<std::mutex> lock(writtenOffLock_);
    return std::any_of(writtenOff_.begin(), writtenOff_.end(), [&](const Pending& p) {
        return Overlaps(at, bytes, p.target, p.targetBytes);
    });
}

bool CVeltCy3Cam::KeepWhileDriverWrites(std::unique_ptr<uint8_t[]>& buffer, size_t bytes) {
    if (!buffer || !DriverMayWrite(buffer.get(), bytes)) return false;
    std::lock_guard<std::mutex> lock(writtenOffLock_);
    kept_.push_back(Kept{std::move(buffer), bytes});
    return true;
}

bool CVeltCy3Cam::HoldsForDriver(const void* at, size_t bytes) const {
    std::lock_guard<std::mutex> lock(writtenOffLock_);
    for (const Pending& p : writtenOff_) {
        if (Inside(at, bytes, p.record.get(), kRequestHeaderBytes)) return true;
        if (p.owned && Inside(at, bytes, p.target, p.targetBytes)) return true;
    }
    for (const Kept& kept : kept_) {
        if (Inside(at, bytes, kept.buffer.get(), kept.bytes)) return true;
    }
    return false;
}

size_t CVeltCy3Cam::UnfinishedTransfers() const {
    std::lock_guard<std::mutex> lock(writtenOffLock_);
    return writtenOff_.size();
}

bool CVeltCy3Cam::IssueAndWait(platform::DeviceHandle handle, uint32_t code, const void* in,
                               uint32_t inBytes, void* out, uint32_t outBytes, uint32_t* bytes,
                               uint32_t waitMs, std::unique_ptr<uint8_t[]>* owned) {
    if (bytes) *bytes = 0;
    std::unique_ptr<platform::CIoOperation> operation = channel_->NewOperation();
    if (!operation) return false;
    uint32_t count = 0, error = 0;
    if (channel_->Control(handle, code, in, inBytes, out, outBytes, &count, operation.get(),
                          &error)) {
        if (bytes) *bytes = count;
        return true;
    }
    if (error != platform::kErrorIoPending) return false;
    if (!operation->Wait(waitMs)) {
        // The driver may still write its reply: the request keeps the memory it was
        // given, or the caller must not free `out` (only inputs without a reply, such
        // as the abort pipe's endpoint byte, come without `owned`).
        std::unique_ptr<uint8_t[]> keep = owned ? std::move(*owned) : nullptr;
        WriteOff(std::move(operation), nullptr, std::move(keep), static_cast<uint8_t*>(out),
                 outBytes);
        return false;
    }
    bool ok = operation->Result(&count);
    if (bytes) *bytes = count;
    return ok;
}

// ---------------------------------------------------------------------------
// Endpoint-0 requests

bool CVeltCy3Cam::ControlTransfer(platform::DeviceHandle handle, bool overlapped,
                                  uint8_t requestType, uint8_t request, uint16_t value,
                                  uint16_t index, const uint8_t* data, size_t dataBytes,
                                  uint8_t* reply, uint32_t* dataCount, uint32_t* rawCount) {
    // On the heap: a request on an overlapped handle that outlives its wait is written
    // off with its record, into which the driver still copies the reply.
    std::unique_ptr<uint8_t[]> owned(new (std::nothrow) uint8_t[kControlRecordBytes]());
    if (!owned) return false;
    uint8_t* record = owned.get();
    RequestFields fields;
    fields.requestType = requestType;
    fields.request = request;
    fields.value = value;
    fields.index = index;
    fields.length = kControlRecordBytes;
    fields.timeoutSeconds = kControlTimeoutSeconds;
    fields.dataOffset = kRequestHeaderBytes;
    fields.dataLength = kControlDataBytes;
    WriteRequestHeader(record, fields);
    if (data && dataBytes) {
        std::memcpy(record + kRequestHeaderBytes, data,
                    dataBytes < kControlDataBytes ? dataBytes : kControlDataBytes);
    }

    uint32_t count = 0;
    bool ok;
    if (handle != nullptr) {
        // A handle opened for overlapped I/O needs an overlapped record even for a
        // request that completes quickly.
        if (overlapped) {
            ok = IssueAndWait(handle, kIoctlControlRequest, record, kControlRecordBytes, record,
                              kControlRecordBytes, &count, kControlWaitMs, &owned);
        } else {
            uint32_t error = 0;
            ok = channel_->Control(handle, kIoctlControlRequest, record, kControlRecordBytes,
                                   record, kControlRecordBytes, &count, nullptr, &error);
        }
    } else {
        platform::DeviceHandle own = OpenDevicePath(selected_.load(), false);
        if (own == nullptr) return false;
        uint32_t error = 0;
        ok = channel_->Control(own, kIoctlControlRequest, record, kControlRecordBytes, record,
                               kControlRecordBytes, &count, nullptr, &error);
        channel_->Close(own);
    }
    if (!ok) return false;
    // The controller completes a request whose I2C transfer found no acknowledge (a
    // refused register write, an EEPROM still in its write cycle) and says so only in
    // the status words: such a request did not do what was asked.
    if (GetLe32(record + header::kStatus1) != 0 || GetLe32(record + header::kStatus2) != 0) {
        return false;
    }
    if (rawCount) *rawCount = count;
    if (dataCount) *dataCount = count >= kRequestHeaderBytes ? count - kRequestHeaderBytes : 0;
    if (reply) std::memcpy(reply, record + kRequestHeaderBytes, kControlDataBytes);
    return true;
}

bool CVeltCy3Cam::ReadInfoBlock(uint8_t* block64) {
    uint8_t reply[kControlDataBytes];
    uint32_t raw = 0;
    if (!ControlTransfer(nullptr, false, kVendorFromDevice, vendor::kInfoBlock, 0, 0, nullptr, 0,
                         reply, nullptr, &raw)) {
        return false;
    }
    if (raw == kControlRecordBytes && block64) std::memcpy(block64, reply, kControlDataBytes);
    return true;
}

bool CVeltCy3Cam::ReadInfoBlock2(uint8_t* block64) {
    uint8_t reply[kControlDataBytes];
    uint32_t raw = 0;
    if (!ControlTransfer(nullptr, false, kVendorFromDevice, vendor::kInfoBlock2, 0, 0, nullptr, 0,
                         reply, nullptr, &raw)) {
        return false;
    }
    if (raw == kControlRecordBytes && block64) std::memcpy(block64, reply, kControlDataBytes);
    return true;
}

bool CVeltCy3Cam::StopStream() {
    return ControlTransfer(nullptr, false, kVendorToDevice, vendor::kStopStream, 0, 0, nullptr, 0,
                           nullptr, nullptr);
}

bool CVeltCy3Cam::RequestFrame(platform::DeviceHandle handle) {
    if (handle == nullptr) handle = StreamHandle();
    if (handle == nullptr) return false;
    return ControlTransfer(handle, true, kVendorToEndpoint, vendor::kRequestFrame, 0, 0, nullptr, 0,
                           nullptr, nullptr);
}

bool CVeltCy3Cam::ReadReadyFlag(uint8_t* flag) {
    uint8_t reply[kControlDataBytes];
    uint32_t raw = 0;
    if (!ControlTransfer(nullptr, false, kVendorFromDevice, vendor::kReadyFlag, 0, 0, nullptr, 0,
                         reply, nullptr, &raw)) {
        return false;
    }
    if (raw == kControlRecordBytes && flag) *flag = reply[0];
    return true;
}

bool CVeltCy3Cam::VendorCommandCC() {
    return ControlTransfer(nullptr, false, kVendorToEndpoint, vendor::kCommandCC, 0, 0, nullptr, 0,
                           nullptr, nullptr);
}

bool CVeltCy3Cam::WriteModeByte(uint32_t value) {
    uint8_t data[4];
    PutLe32(data, value & 0xFF);
    return ControlTransfer(nullptr, false, kVendorToDevice, vendor::kWriteMode, 0, 0, data,
                           sizeof(data), nullptr, nullptr);
}

bool CVeltCy3Cam::ReadModeByte(uint8_t* value) {
    uint8_t reply[kControlDataBytes];
    uint32_t dataCount = 0;
    if (!ControlTransfer(nullptr, false, kVendorFromDevice, vendor::kReadMode, 0, 0, nullptr, 0,
                         reply, &dataCount)) {
        return false;
    }
    if (dataCount != 0 && value) *value = reply[0];
    return true;
}

bool CVeltCy3Cam::I2cWrite(uint8_t address, const uint8_t* bytes, int count, uint32_t) {
    if (count < 0 || count > static_cast<int>(kControlDataBytes)) return false;
    if (count > 0 && bytes == nullptr) return false;
    return ControlTransfer(nullptr, false, kVendorToDevice, vendor::kI2cWrite,
                           static_cast<uint16_t>(count), address, bytes, static_cast<size_t>(count),
                           nullptr, nullptr);
}

bool CVeltCy3Cam::I2cRead(uint8_t address, uint8_t* bytes, int count, uint32_t) {
    if (count < 0 || count > static_cast<int>(kControlDataBytes)) return false;
    if (count > 0 && bytes == nullptr) return false;
    // A reply that falls short leaves zeros, not stale bytes, behind.
    if (count > 0) std::memset(bytes, 0, static_cast<size_t>(count));
    uint8_t reply[kControlDataBytes];
    uint32_t dataCount = 0;
    if (!ControlTransfer(nullptr, false, kVendorFromDevice, vendor::kI2cRead,
                         static_cast<uint16_t>(count), static_cast<uint16_t>(address | 1), nullptr,
                         0, reply, &dataCount)) {
        return false;
    }
    if (dataCount < static_cast<uint32_t>(count)) return false;
    if (count > 0) std::memcpy(bytes, reply, static_cast<size_t>(count));
    return true;
}

bool CVeltCy3Cam::BridgeWrite(uint16_t reg, uint32_t value) {
    uint8_t data[4];
    PutLe32(data, value);
    return ControlTransfer(nullptr, false, kVendorToDevice, vendor::kBridgeWrite,
                           static_cast<uint16_t>((reg >> 15) & 1),
                           static_cast<uint16_t>(reg & 0x7FFF), data, sizeof(data), nullptr,
                           nullptr);
}

bool CVeltCy3Cam::BridgeRead(uint16_t reg, uint16_t* value) {
    if (value) *value = 0;
    uint8_t reply[kControlDataBytes];
    uint32_t dataCount = 0;
    if (!ControlTransfer(nullptr, false, kVendorFromDevice, vendor::kBridgeRead, 0, reg, nullptr, 0,
                         reply, &dataCount)) {
        return false;
    }
    if (dataCount < kControlDataBytes) return false;
    if (value) *value = GetLe16(reply);
    return true;
}

bool CVeltCy3Cam::BridgeWritePair(uint16_t first, uint16_t second) {
    const uint8_t data[4] = {static_cast<uint8_t>(first >> 8), static_cast<uint8_t>(first),
                             static_cast<uint8_t>(second >> 8), static_cast<uint8_t>(second)};
    return ControlTransfer(nullptr, false, kVendorToDevice, vendor::kBridgeWritePair, 0, 0, data,
                           sizeof(data), nullptr, nullptr);
}

bool CVeltCy3Cam::BridgeReadWord(uint16_t argument, uint16_t* value) {
    uint8_t reply[kControlDataBytes];
    uint32_t dataCount = 0;
    if (!ControlTransfer(nullptr, false, kVendorFromDevice, vendor::kBridgeReadWord, argument, 0,
                         nullptr, 0, reply, &dataCount)) {
        return false;
    }
    if (dataCount != 0 && value) *value = GetLe16(reply);
    return true;
}

// ---------------------------------------------------------------------------
// Registers behind the I2C bus

bool CVeltCy3Cam::WriteFpgaRegister(uint8_t reg, uint8_t value) {
    std::lock_guard<std::mutex> lock(controllerLock_);
    const uint8_t bytes[3] = {reg, 0x00, value};
    return I2cWrite(i2c::kFpga, bytes, 3, kI2cTimeoutMs);
}

bool CVeltCy3Cam::ReadFpgaRegister(uint8_t reg, uint8_t* value) {
    if (value) *value = 0;
    // The pointer write and the read stay one pair: another thread's register access
    // in between would move the FPGA's register pointer.
    std::lock_guard<std::mutex> lock(controllerLock_);
    if (!I2cWrite(i2c::kFpga, &reg, 1, kI2cTimeoutMs)) return false;
    uint8_t bytes[2] = {};
    if (!I2cRead(i2c::kFpga + 1, bytes, 2, kI2cTimeoutMs)) return false;
    if (value) *value = bytes[1];
    return true;
}

bool CVeltCy3Cam::ReadFpgaWord(uint16_t* value) {
    if (value) *value = 0;
    uint8_t low = 0, high = 0;
    bool okLow = ReadFpgaRegister(16, &low);
    bool okHigh = ReadFpgaRegister(17, &high);
    if (!okLow || !okHigh) return false;
    if (value) *value = static_cast<uint16_t>(high * 256 + low);
    return true;
}

bool CVeltCy3Cam::WriteAuxRegister(uint8_t reg, uint8_t value) {
    const uint8_t bytes[2] = {reg, value};
    return I2cWrite(i2c::kAux, bytes, 2, kI2cTimeoutMs);
}

bool CVeltCy3Cam::ReadAuxRegister(uint8_t reg, uint8_t* value) {
    if (value) *value = 0;
    if (!I2cWrite(i2c::kAux, &reg, 1, kI2cTimeoutMs)) return false;
    uint8_t byte = 0;
    if (!I2cRead(i2c::kAux + 1, &byte, 1, kI2cTimeoutMs)) return false;
    if (value) *value = byte;
    return true;
}

bool CVeltCy3Cam::WriteEeprom(uint16_t address, uint8_t value) {
    const uint8_t bytes[3] = {static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                              value};
    if (!I2cWrite(i2c::kEeprom, bytes, 3, kI2cTimeoutMs)) return false;
    // The EEPROM ignores the bus until its write cycle is over.
    time_->SleepMs(kEepromWriteMs);
    return true;
}

bool CVeltCy3Cam::ReadEeprom(uint16_t address, uint8_t* value) {
    if (value) *value = 0;
    const uint8_t bytes[2] = {static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
    if (!I2cWrite(i2c::kEeprom, bytes, 2, kI2cTimeoutMs)) return false;
    time_->SleepMs(kEepromAddressMs);
    uint8_t byte = 0;
    if (!I2cRead(i2c::kEeprom + 1, &byte, 1, kI2cTimeoutMs)) return false;
    if (value) *value = byte;
    return true;
}

}  // namespace veltcam
