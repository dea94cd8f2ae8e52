// The camera's USB controller: the only code that talks to the driver. Its device
// face (CFx3Api) keeps the device table and the raw transfers; its register face
// (CControllerBase) is what the camera core and the sensor program the camera with.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/DriverChannel.h"
#include "transport/CControllerBase.h"
#include "transport/CFx3Api.h"
#include "transport/RequestHeader.h"

namespace veltcam {

// What the transfer thread hands to the frame reads.
struct FrameDescriptor {
    uint8_t header[64] = {};    // the frame header as received
    uint32_t frameCounter = 0;  // header bytes 32..35
    uint8_t* destination = nullptr;
    uint32_t capacity = 0;      // bytes available at the destination
    uint32_t expectedSize = 0;  // block size of endpoint 0x83 reads
};

// Frame header fields (little-endian).
namespace frame_header {
constexpr int kPayloadLength = 16;
constexpr int kWordA = 28;
constexpr int kFrameCounter = 32;  // word B
constexpr int kWordC = 40;
constexpr int kWordD = 44;
}  // namespace frame_header

// Vendor request codes on endpoint 0.
namespace vendor {
constexpr uint8_t kInfoBlock = 0xB0;
constexpr uint8_t kInfoBlock2 = 0xB1;
constexpr uint8_t kStopStream = 0xC0;
constexpr uint8_t kRequestFrame = 0xC2;
constexpr uint8_t kReadyFlag = 0xC3;
constexpr uint8_t kCommandCC = 0xCC;
constexpr uint8_t kWriteMode = 0x3C;
constexpr uint8_t kReadMode = 0x3D;
constexpr uint8_t kI2cWrite = 0x30;
constexpr uint8_t kI2cRead = 0x31;
constexpr uint8_t kBridgeWrite = 0xD0;
constexpr uint8_t kBridgeRead = 0xD1;
constexpr uint8_t kBridgeWritePair = 0x3E;
constexpr uint8_t kBridgeReadWord = 0x3F;
}  // namespace vendor

// I2C devices behind the controller (8-bit write addresses).
namespace i2c {
constexpr uint8_t kFpga = 0x40;
constexpr uint8_t kAux = 0x5A;
constexpr uint8_t kEeprom = 0xA2;
}  // namespace i2c

class CVeltCy3Cam : public CFx3Api, public CControllerBase {
  public:
    static constexpr uint32_t kMaxTransferBytes = 0x4000000;  // 64 MiB
    // The transfer buffer holds one endpoint request (header and data). It starts at
    // this size when the camera opens and grows to what a larger request needs, up to
    // kMaxTransferBytes of data: reserving the whole 64 MiB per open camera would
    // commit memory that no request of the camera's ever uses.
    static constexpr uint32_t kInitialTransferBufferBytes = 4096 + kRequestHeaderBytes;
    static constexpr uint32_t kPayloadChunkBytes = 524288;
    static constexpr int kHeaderAttempts = 15;
    static constexpr uint32_t kHeaderTimeoutMs = 400;
    static constexpr uint32_t kBulkTimeoutMs = 3000;
    static constexpr uint32_t kFixedTimeoutMs = 5000;
    static constexpr uint32_t kEepromWriteMs = 14;
    static constexpr uint32_t kEepromAddressMs = 10;
    // After an abort the driver gets this long to hand the request back before it is
    // written off (and its memory kept out of reuse).
    static constexpr uint32_t kAbortSettleMs = 50;
    static constexpr uint32_t kAbortGraceMs = 2000;
    // Bulk transfers up to this size (frame headers, memory commands, a payload's last
    // piece) go through memory of their own that a written-off request can keep.
    static constexpr uint32_t kBounceBytes = 4096;
    // Payload pieces kept queued on the stream endpoint while a frame is read: with one,
    // the endpoint idles from each completion until the next piece is submitted, and the
    // camera's small FIFO overflows at full rate. VELTCAM_PAYLOAD_PIECES overrides it.
    static constexpr int kDefaultPayloadPieces = 4;
    static constexpr int kMaxPayloadPieces = 8;
    // Payload bytes queued at once by all cameras of this process: the kernel's transfer
    // memory is shared by every program on the machine (16 MiB by default on Linux).
    static constexpr uint64_t kPayloadBytesInFlightCap = 8u << 20;

    // `interfaceClass` null: the camera's own interface class. `channel` is chosen by
    // the layer that owns the camera (the simulator or the driver); null means the
    // installed driver.
    explicit CVeltCy3Cam(const platform::Guid* interfaceClass = nullptr,
                         std::shared_ptr<platform::CDriverChannel> channel = nullptr);
    ~CVeltCy3Cam() override;

    // Device and port.
    bool AllocateTransferBuffer();
    bool ResetPort();
    bool ResetPipe(uint8_t endpoint);
    bool GetBusSpeed(uint32_t* code);
    bool DeviceName(int tableIndex, char* text, size_t size);

    // Endpoint-0 requests of the controller itself.
    bool ReadInfoBlock(uint8_t* block64);
    bool ReadInfoBlock2(uint8_t* block64);
    bool StopStream();
    // Sent on `handle`, or on the stream handle when `handle` is null.
    bool RequestFrame(platform::DeviceHandle handle);

    // Stream and bulk transfers.
    virtual bool EnsureStreamHandle();
    virtual bool ReadFrameHeader(FrameDescriptor* descriptor);
    virtual bool ReadFramePayload(FrameDescriptor* descriptor, uint32_t timeoutMs);
    virtual bool ReadBlockEp83(FrameDescriptor* descriptor);
    virtual bool ReadStream(FrameDescriptor* descriptor, uint32_t* length, uint32_t timeoutMs);
    virtual void CloseStreamHandle();
    virtual bool WriteMemory(uint64_t address, const uint8_t* buffer, uint32_t length);
    virtual bool ReadMemory(uint64_t address, uint8_t* buffer, uint32_t length);
    virtual bool WriteModeByte(uint32_t value);
    virtual bool ReadModeByte(uint8_t* value);
    virtual bool EndpointControlTransfer(platform::DeviceHandle handle, uint8_t* data,
                                         uint32_t length, uint8_t endpoint, uint32_t* count);
    virtual bool BulkTransferFixed(platform::DeviceHandle handle, uint8_t* buffer, uint32_t length,
                                   uint8_t endpoint, uint32_t* bytes);
    virtual bool BulkTransferTimed(platform::DeviceHandle handle, uint8_t* buffer, uint32_t length,
                                   uint8_t endpoint, uint32_t* bytes, uint32_t timeoutMs);
    virtual bool BulkTransfer(platform::DeviceHandle handle, uint8_t* buffer, uint32_t length,
                              uint8_t endpoint, uint32_t* bytes);

    // Register face.
    void Release() override;
    bool SelectDevice(int tableIndex) override;
    bool ReadFpgaWord(uint16_t* value) override;
    bool ReadReadyFlag(uint8_t* flag) override;
    bool VendorCommandCC() override;
    bool I2cWrite(uint8_t address, const uint8_t* bytes, int count, uint32_t timeoutMs) override;
    bool I2cRead(uint8_t address, uint8_t* bytes, int count, uint32_t timeoutMs) override;
    bool BridgeWrite(uint16_t reg, uint32_t value) override;
    bool BridgeRead(uint16_t reg, uint16_t* value) override;
    bool BridgeWritePair(uint16_t first, uint16_t second) override;
    bool BridgeReadWord(uint16_t argument, uint16_t* value) override;
    bool WriteFpgaRegister(uint8_t reg, uint8_t value) override;
    bool ReadFpgaRegister(uint8_t reg, uint8_t* value) override;
    bool WriteAuxRegister(uint8_t reg, uint8_t value) override;
    bool ReadAuxRegister(uint8_t reg, uint8_t* value) override;
    bool WriteEeprom(uint16_t address, uint8_t value) override;
    bool ReadEeprom(uint16_t address, uint8_t* value) override;
    bool AbortStream() override;
    // Ends the frame read under way and keeps the header and payload reads from
    // asking again, until AllowReads: a stop must not wait for a frame seconds away.
    void CancelReads();
    void AllowReads();

    platform::DeviceHandle StreamHandle() const;
    bool HasTransferBuffer() const { return transferBuffer_ != nullptr; }
    uint32_t BusSpeed() const { return busSpeed_; }
    // Requests written off after an abort that the driver never returned. Memory they
    // write into must not be freed or reused.
    size_t UnfinishedTransfers() const;
    // Whether a written-off request may still write into [at, at + bytes).
    bool DriverMayWrite(const void* at, size_t bytes) const;
    // Hands over a caller's buffer that a written-off request may still write into
    // (true): it is freed once the driver has returned every such request. False,
    // and `buffer` stays the caller's, when nothing writes into it.
    bool KeepWhileDriverWrites(std::unique_ptr<uint8_t[]>& buffer, size_t bytes);
    // Whether [at, at + bytes) is memory this controller keeps for a written-off request.
    bool HoldsForDriver(const void* at, size_t bytes) const;
    // Payload pieces queued at once (clamped to 1..kMaxPayloadPieces; 1: one at a time).
    void SetPayloadPieces(int pieces);
    int PayloadPieces() const { return payloadPieces_.load(); }
    // Payload bytes this process has queued right now, and the most it ever had.
    static uint64_t PayloadBytesInFlight();
    static uint64_t PayloadBytesInFlightPeak();

  private:
    struct Pending;
    struct PayloadPiece;

    // Queues one payload piece on the stream endpoint. `error` holds the driver's
    // refusal when it returns false.
    bool SubmitPiece(platform::DeviceHandle handle, PayloadPiece& piece, uint32_t* error);
    // Waits for a queued piece and checks it came back whole.
    bool FinishPiece(PayloadPiece& piece, uint32_t timeoutMs);
    // After a failed piece: aborts the endpoint and takes every queued piece back, writing
    // off those the driver keeps.
    void DrainPieces(platform::DeviceHandle handle, std::vector<PayloadPiece>& queued);

    // One endpoint-0 request: zeroed 102-byte record, header, `data` at offset 38.
    // On success `reply` (64 bytes, may be null) receives the returned data part and
    // `dataCount` the returned count less the header.
    bool ControlTransfer(platform::DeviceHandle handle, bool overlapped, uint8_t requestType,
                         uint8_t request, uint16_t value, uint16_t index, const uint8_t* data,
                         size_t dataBytes, uint8_t* reply, uint32_t* dataCount,
                         uint32_t* rawCount = nullptr);
    // A request without data on a handle of its own (port, pipe, speed).
    bool SimpleRequest(uint32_t code, const void* in, uint32_t inBytes, void* out,
                       uint32_t outBytes, uint32_t* bytes);
    // Issues on an overlapped handle and waits up to `waitMs`; a request still out after
    // that is written off.
    // `owned`, when given, is the memory the request writes into: a written-off
    // request takes it along.
    bool IssueAndWait(platform::DeviceHandle handle, uint32_t code, const void* in,
                      uint32_t inBytes, void* out, uint32_t outBytes, uint32_t* bytes,
                      uint32_t waitMs, std::unique_ptr<uint8_t[]>* owned = nullptr);
    bool AbortEndpoint(platform::DeviceHandle handle, uint8_t endpoint);
    // The request is kept, with everything it writes into, until the driver returns it.
    // `target`/`targetBytes`: where it may still write; `owned`: memory it keeps.
    void WriteOff(std::unique_ptr<platform::CIoOperation> operation,
                  std::unique_ptr<uint8_t[]> record, std::unique_ptr<uint8_t[]> owned,
                  const uint8_t* target, size_t targetBytes);
    void CollectWrittenOff(uint32_t waitMs);
    bool TransferChecks(platform::DeviceHandle handle, uint32_t length) const;
    // A transfer buffer of at least `bytes`; false when it cannot be had.
    bool EnsureTransferBuffer(uint32_t bytes);
    // Opens the stream handle when it is closed; `opened` tells the caller to close it.
    bool OpenStreamIfClosed(bool* opened);
    // Opens the stream handle (stream lock held) and asks to hear of its removal.
    bool OpenStreamLocked();
    // Safe removal of the camera: the stream handle is closed so that it does not veto
    // it, and stays closed until the device is selected again.
    void OnRemoval(bool removing);

    mutable std::mutex streamLock_;
    platform::DeviceHandle streamHandle_ = nullptr;
    void* removalWatch_ = nullptr;             // the stream handle's removal notifications
    std::atomic<bool> removalPending_{false};  // the camera is being removed
    std::atomic<bool> readsCancelled_{false};  // a stop is ending the frame reads
    std::unique_ptr<uint8_t[]> transferBuffer_;
    uint32_t transferBufferBytes_ = 0;
    std::mutex controllerLock_;  // FPGA register write-then-read pairs
    uint32_t busSpeed_ = 0;
    std::atomic<int> payloadPieces_{kDefaultPayloadPieces};
    mutable std::mutex writtenOffLock_;
    std::vector<Pending> writtenOff_;
    struct Kept {
        std::unique_ptr<uint8_t[]> buffer;
        size_t bytes;
    };
    std::vector<Kept> kept_;  // callers' buffers handed over while the driver may write
};

}  // namespace veltcam
