// Bulk transfers of CVeltCy3Cam: the overlapped direct-transfer primitive with its
// time-outs and abort, frame header and payload reads, memory commands.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <vector>

#include "transport/CVeltCy3Cam.h"

namespace veltcam {
namespace {

constexpr uint32_t kMemoryChunkBytes = 0x1000000;  // 16 MiB per memory command
constexpr uint32_t kMemoryPageBytes = 4096;
constexpr uint32_t kStreamBlockBytes = 16384;
constexpr uint32_t kStreamChunkBytes = 4u << 20;
constexpr uint32_t kMemoryCommandBytes = 32;
constexpr uint8_t kRearmRegister = 108;
constexpr uint32_t kRearmPauseMs = 10;
constexpr uint32_t kAbortWaitMs = 3000;

void BuildMemoryCommand(uint8_t* command, const char* magic, uint64_t address, uint32_t length) {
    std::memset(command, 0, kMemoryCommandBytes);
    std::memcpy(command, magic, 4);
    PutLe32(command + 4, 2);
    PutLe32(command + 8, static_cast<uint32_t>(address));
    PutLe32(command + 12, static_cast<uint32_t>(address >> 32));
    PutLe32(command + 16, length);
}

// Closes the stream handle on the way out when the operation opened it itself.
class CStreamScope {
  public:
    CStreamScope(CVeltCy3Cam& camera, bool opened) : camera_(camera), opened_(opened) {}
    ~CStreamScope() {
        if (opened_) camera_.CloseStreamHandle();
    }
    void Keep() { opened_ = false; }

  private:
    CVeltCy3Cam& camera_;
    bool opened_;
};

}  // namespace

bool CVeltCy3Cam::TransferChecks(platform::DeviceHandle handle, uint32_t length) const {
    return length <= kMaxTransferBytes && handle != nullptr && transferBuffer_ != nullptr;
}

bool CVeltCy3Cam::EnsureTransferBuffer(uint32_t bytes) {
    if (transferBuffer_ && transferBufferBytes_ >= bytes) return true;
    // Not zeroed: the request header and data are written before each request.
    std::unique_ptr<uint8_t[]> larger(new (std::nothrow) uint8_t[bytes]);
    if (!larger) return false;
    transferBuffer_ = std::move(larger);
    transferBufferBytes_ = bytes;
    return true;
}

bool CVeltCy3Cam::AbortEndpoint(platform::DeviceHandle handle, uint8_t endpoint) {
    if (handle == nullptr) return true;
    IssueAndWait(handle, kIoctlAbortPipe, &endpoint, 1, nullptr, 0, nullptr, kAbortWaitMs);
    return true;
}

bool CVeltCy3Cam::AbortStream() {
    // The stream lock keeps the handle open while the abort is under way; the
    // transfer thread may be closing it after a failed read.
    std::lock_guard<std::mutex> lock(streamLock_);
    return AbortEndpoint(streamHandle_, kEndpointIn);
}

void CVeltCy3Cam::CancelReads() {
    readsCancelled_ = true;
    AbortStream();
}

void CVeltCy3Cam::AllowReads() { readsCancelled_ = false; }

bool CVeltCy3Cam::BulkTransferTimed(platform::DeviceHandle handle, uint8_t* buffer, uint32_t length,
                                    uint8_t endpoint, uint32_t* bytes, uint32_t timeoutMs) {
    if (bytes) *bytes = 0;
    if (!TransferChecks(handle, length)) return false;
    std::unique_ptr<platform::CIoOperation> operation = channel_->NewOperation();
    if (!operation) return false;

    // The driver reads the endpoint from the header and writes its status words back
    // into it, so the header lives as long as the request.
    std::unique_ptr<uint8_t[]> record(new (std::nothrow) uint8_t[kRequestHeaderBytes]);
    if (!record) return false;
    RequestFields fields;
    fields.endpoint = endpoint;
    WriteRequestHeader(record.get(), fields);

    // The driver writes into the data buffer directly until the request completes,
    // however long after an abort that is. A small transfer gets memory of its own
    // that a written-off request takes along, so that the caller's (often a stack
    // array or a buffer freed on return) is never written late. Large buffers stay
    // the caller's: DriverMayWrite tells whether one must be given up.
    const bool into = (endpoint & 0x80) != 0;
    std::unique_ptr<uint8_t[]> bounce;
    uint8_t* target = buffer;
    if (buffer != nullptr && length > 0 && length <= kBounceBytes) {
        bounce.reset(new (std::nothrow) uint8_t[length]);
        if (!bounce) return false;
        if (!into) std::memcpy(bounce.get(), buffer, length);
        target = bounce.get();
    }

    uint32_t count = 0, error = 0;
    bool completed =
        channel_->Control(handle, kIoctlDirectTransfer, record.get(), kRequestHeaderBytes, target,
                          length, &count, operation.get(), &error);
    if (!completed) {
        // A request the driver refused at once never completes: nothing to wait for.
        if (error != platform::kErrorIoPending) return false;
        if (!operation->Wait(timeoutMs)) {
            // Time-out: abort the endpoint this transfer waits on, then give the driver a
            // bounded time to hand the buffer back.
            AbortEndpoint(handle, endpoint);
            if (!operation->Wait(kAbortSettleMs)) {
                AbortEndpoint(handle, endpoint);
                if (!operation->Wait(kAbortGraceMs)) {
                    WriteOff(std::move(operation), std::move(record), std::move(bounce), target,
                             length);
                }
            }
            return false;
        }
    }
    if (!operation->Result(&count)) return false;
    if (bytes) *bytes = count;
    if (bounce && into) std::memcpy(buffer, bounce.get(), std::min(count, length));
    uint32_t status1 = GetLe32(record.get() + header::kStatus1);
    uint32_t status2 = GetLe32(record.get() + header::kStatus2);
    if (status1 != 0 || status2 != 0) {
        time_->SleepMs(1);
        return false;
    }
    return true;
}

bool CVeltCy3Cam::BulkTransfer(platform::DeviceHandle handle, uint8_t* buffer, uint32_t length,
                               uint8_t endpoint, uint32_t* bytes) {
    return BulkTransferTimed(handle, buffer, length, endpoint, bytes, kBulkTimeoutMs);
}

bool CVeltCy3Cam::BulkTransferFixed(platform::DeviceHandle handle, uint8_t* buffer, uint32_t length,
                                    uint8_t endpoint, uint32_t* bytes) {
    if (bytes) *bytes = 0;
    if (!TransferChecks(handle, length)) return false;
    RequestFrame(handle);
    // A timed-out read is aborted like any other: left pending it would later write
    // into a buffer its caller has long reused.
    return BulkTransferTimed(handle, buffer, length, endpoint, bytes, kFixedTimeoutMs);
}

bool CVeltCy3Cam::ReadFrameHeader(FrameDescriptor* descriptor) {
    if (descriptor == nullptr) return false;
    bool opened = false;
    if (!OpenStreamIfClosed(&opened)) return false;
    CStreamScope scope(*this, opened);
    platform::DeviceHandle stream = StreamHandle();

    uint8_t header[64] = {};
    for (int attempt = 0; attempt <= kHeaderAttempts; ++attempt) {
        if (readsCancelled_.load() || !RequestFrame(stream)) break;
        if (attempt == kHeaderAttempts) break;
        uint32_t bytes = 0;
        if (BulkTransferTimed(stream, header, sizeof(header), kEndpointIn, &bytes,
                              kHeaderTimeoutMs) &&
            bytes == sizeof(header)) {
            std::memcpy(descriptor->header, header, sizeof(header));
            descriptor->frameCounter = GetLe32(header + frame_header::kFrameCounter);
            scope.Keep();
            return true;
        }
        // Pulse the FPGA's frame-output re-arm before asking again.
        WriteFpgaRegister(kRearmRegister, 1);
        WriteFpgaRegister(kRearmRegister, 0);
        time_->SleepMs(kRearmPauseMs);
    }
    return false;
}

// One payload piece queued on the stream endpoint. Its record and, for a short last
// piece, its bounce memory go with it when it is written off.
struct CVeltCy3Cam::PayloadPiece {
    std::unique_ptr<platform::CIoOperation> operation;
    std::unique_ptr<uint8_t[]> record;
    std::unique_ptr<uint8_t[]> bounce;
    uint8_t* destination = nullptr;  // the piece's place in the caller's frame
    uint8_t* target = nullptr;       // where the driver writes: destination or bounce
    uint32_t length = 0;
    uint32_t count = 0;
    bool completed = false;  // the driver finished it as it was issued
    bool charged = false;    // counted in the process's payload bytes in flight
};

namespace {

std::atomic<uint64_t> g_payloadBytesInFlight{0};
std::atomic<uint64_t> g_payloadBytesInFlightPeak{0};

// Counts a piece against the process's cap. The first piece of a frame is always
// allowed, so a camera never waits on another camera's pieces to make progress.
bool ChargePayloadBytes(uint32_t bytes, bool first) {
    uint64_t now = g_payloadBytesInFlight.load();
    do {
        if (!first && now + bytes > CVeltCy3Cam::kPayloadBytesInFlightCap) return false;
    } while (!g_payloadBytesInFlight.compare_exchange_weak(now, now + bytes));
    uint64_t peak = g_payloadBytesInFlightPeak.load();
    while (now + bytes > peak &&
           !g_payloadBytesInFlightPeak.compare_exchange_weak(peak, now + bytes)) {
    }
    return true;
}

}  // namespace

void CVeltCy3Cam::SetPayloadPieces(int pieces) {
    payloadPieces_.store(std::clamp(pieces, 1, kMaxPayloadPieces));
}

uint64_t CVeltCy3Cam::PayloadBytesInFlight() { return g_payloadBytesInFlight.load(); }

uint64_t CVeltCy3Cam::PayloadBytesInFlightPeak() { return g_payloadBytesInFlightPeak.load(); }

bool CVeltCy3Cam::SubmitPiece(platform::DeviceHandle handle, PayloadPiece& piece, uint32_t* error) {
    *error = platform::kErrorGenFailure;
    piece.operation = channel_->NewOperation();
    piece.record.reset(new (std::nothrow) uint8_t[kRequestHeaderBytes]);
    if (!piece.operation || !piece.record) return false;
    RequestFields fields;
    fields.endpoint = kEndpointIn;
    WriteRequestHeader(piece.record.get(), fields);
    // A short last piece reads into memory of its own, as any small read does, so a
    // late completion never writes past the frame into the caller's memory.
    piece.target = piece.destination;
    if (piece.length <= kBounceBytes) {
        piece.bounce.reset(new (std::nothrow) uint8_t[piece.length]);
        if (!piece.bounce) return false;
        piece.target = piece.bounce.get();
    }
    piece.count = 0;
    *error = 0;
    piece.completed =
        channel_->Control(handle, kIoctlDirectTransfer, piece.record.get(), kRequestHeaderBytes,
                          piece.target, piece.length, &piece.count, piece.operation.get(), error);
    return piece.completed || *error == platform::kErrorIoPending;
}

bool CVeltCy3Cam::FinishPiece(PayloadPiece& piece, uint32_t timeoutMs) {
    if (!piece.completed) {
        if (!piece.operation->Wait(timeoutMs)) return false;
        piece.completed = true;
        if (!piece.operation->Result(&piece.count)) return false;
    }
    const uint32_t status1 = GetLe32(piece.record.get() + header::kStatus1);
    const uint32_t status2 = GetLe32(piece.record.get() + header::kStatus2);
    if (status1 != 0 || status2 != 0) {
        time_->SleepMs(1);
        return false;
    }
    // A short piece would leave the rest of the frame stale.
    if (piece.count != piece.length) return false;
    if (piece.bounce) std::memcpy(piece.destination, piece.bounce.get(), piece.length);
    return true;
}

void CVeltCy3Cam::DrainPieces(platform::DeviceHandle handle, std::vector<PayloadPiece>& queued) {
    // Pieces still queued would otherwise take the next frame's header and payload.
    bool pending = false;
    for (const PayloadPiece& piece : queued) pending = pending || !piece.completed;
    if (pending) AbortEndpoint(handle, kEndpointIn);
    bool abortedAgain = false;
    for (PayloadPiece& piece : queued) {
        if (piece.charged) g_payloadBytesInFlight.fetch_sub(piece.length);
        piece.charged = false;
        if (piece.completed) continue;
        if (piece.operation->Wait(kAbortSettleMs)) continue;
        if (!abortedAgain) {
            AbortEndpoint(handle, kEndpointIn);
            abortedAgain = true;
        }
        if (piece.operation->Wait(kAbortGraceMs)) continue;
        WriteOff(std::move(piece.operation), std::move(piece.record), std::move(piece.bounce),
                 piece.target, piece.length);
    }
    queued.clear();
}

bool CVeltCy3Cam::ReadFramePayload(FrameDescriptor* descriptor, uint32_t timeoutMs) {
    if (descriptor == nullptr) return false;
    bool opened = false;
    if (!OpenStreamIfClosed(&opened)) return false;
    CStreamScope scope(*this, opened);
    platform::DeviceHandle stream = StreamHandle();

    const uint32_t length = GetLe32(descriptor->header + frame_header::kPayloadLength);
    if (descriptor->destination == nullptr || descriptor->capacity < length) return false;
    if (!TransferChecks(stream, std::min(kPayloadChunkBytes, length))) return false;
    const size_t depth = static_cast<size_t>(PayloadPieces());

    // Pieces are queued in frame order and come back in that order: the endpoint is one
    // FIFO. `queued.front()` is always the oldest.
    std::vector<PayloadPiece> queued;
    queued.reserve(depth);
    uint32_t submitted = 0;
    bool failed = false;
    while (!failed && (submitted < length || !queued.empty())) {
        // A stop is ending the reads: nothing more goes out, and what is queued was
        // aborted with the endpoint and is taken back below.
        if (readsCancelled_.load()) {
            failed = true;
            break;
        }
        // Keep the queue full, within this process's share of the kernel's memory.
        while (submitted < length && queued.size() < depth) {
            PayloadPiece piece;
            piece.destination = descriptor->destination + submitted;
            piece.length = std::min(kPayloadChunkBytes, length - submitted);
            if (!ChargePayloadBytes(piece.length, queued.empty())) break;
            piece.charged = true;
            uint32_t error = 0;
            const bool issued = SubmitPiece(stream, piece, &error);
            if (!issued) {
                g_payloadBytesInFlight.fetch_sub(piece.length);
                // Out of transfer memory with pieces of our own queued: one of them
                // coming back frees some; try again then. Alone, the refusal stands.
                if (error == platform::kErrorNoSystemResources && !queued.empty()) break;
                failed = true;
                break;
            }
            queued.push_back(std::move(piece));
            submitted += queued.back().length;
        }
        if (failed || queued.empty()) break;
        PayloadPiece& oldest = queued.front();
        if (!FinishPiece(oldest, timeoutMs)) {
            failed = true;
            break;
        }
        g_payloadBytesInFlight.fetch_sub(oldest.length);
        queued.erase(queued.begin());
    }
    if (failed || submitted < length) {
        DrainPieces(stream, queued);
        return false;
    }
    scope.Keep();
    return true;
}

bool CVeltCy3Cam::ReadBlockEp83(FrameDescriptor* descriptor) {
    if (descriptor == nullptr || descriptor->destination == nullptr) return false;
    if (descriptor->capacity < descriptor->expectedSize) return false;
    bool opened = false;
    if (!OpenStreamIfClosed(&opened)) return false;
    CStreamScope scope(*this, opened);
    uint32_t bytes = 0;
    bool ok = BulkTransferFixed(StreamHandle(), descriptor->destination, descriptor->expectedSize,
                                kEndpointIn83, &bytes);
    if (ok && bytes == descriptor->expectedSize) {
        scope.Keep();
        return true;
    }
    return false;
}

bool CVeltCy3Cam::ReadMemory(uint64_t address, uint8_t* buffer, uint32_t length) {
    if (buffer == nullptr) return false;
    // The camera moves whole pages and one page more than asked for.
    const uint32_t total = (length / kMemoryPageBytes) * kMemoryPageBytes + kMemoryPageBytes;
    if (total == 0) return true;
    // It lands in a scratch area: the caller's buffer holds only `length` bytes.
    std::unique_ptr<uint8_t[]> scratch(new (std::nothrow) uint8_t[total]);
    if (!scratch) return false;
    bool opened = false;
    if (!OpenStreamIfClosed(&opened)) return false;
    CStreamScope scope(*this, opened);
    platform::DeviceHandle stream = StreamHandle();

    uint32_t done = 0;
    while (done < total) {
        uint32_t chunk = std::min(kMemoryChunkBytes, total - done);
        uint8_t command[kMemoryCommandBytes];
        BuildMemoryCommand(command, "AU3R", address, chunk);
        uint32_t bytes = 0;
        if (!BulkTransfer(stream, command, sizeof(command), kEndpointOut, &bytes)) return false;
        bytes = 0;
        if (!BulkTransferTimed(stream, scratch.get() + done, chunk, kEndpointIn, &bytes,
                               kBulkTimeoutMs)) {
            // A read the driver never handed back keeps the scratch area.
            KeepWhileDriverWrites(scratch, total);
            time_->SleepMs(1);
            return false;
        }
        if (bytes != chunk) return false;
        done += bytes;
        address += bytes;
    }
    std::memcpy(buffer, scratch.get(), length);
    return true;
}

bool CVeltCy3Cam::WriteMemory(uint64_t address, const uint8_t* buffer, uint32_t length) {
    if (buffer == nullptr) return false;
    const uint32_t total = (length / kMemoryPageBytes) * kMemoryPageBytes + kMemoryPageBytes;
    if (total == 0) return true;
    // Padded with zeros up to the page the camera expects; never read past the caller's data.
    std::unique_ptr<uint8_t[]> scratch(new (std::nothrow) uint8_t[total]());
    if (!scratch) return false;
    std::memcpy(scratch.get(), buffer, length);
    bool opened = false;
    if (!OpenStreamIfClosed(&opened)) return false;
    CStreamScope scope(*this, opened);
    platform::DeviceHandle stream = StreamHandle();

    uint32_t done = 0;
    while (done < total) {
        uint32_t chunk = std::min(kMemoryChunkBytes, total - done);
        uint8_t command[kMemoryCommandBytes];
        BuildMemoryCommand(command, "AU3W", address, chunk);
        uint32_t bytes = 0;
        if (!BulkTransfer(stream, command, sizeof(command), kEndpointOut, &bytes)) return false;
        bytes = 0;
        if (!BulkTransfer(stream, scratch.get() + done, chunk, kEndpointOut, &bytes)) {
            // The driver may still be reading it.
            KeepWhileDriverWrites(scratch, total);
            time_->SleepMs(1);
            return false;
        }
        if (bytes != chunk) return false;
        done += bytes;
        address += bytes;
    }
    return true;
}

bool CVeltCy3Cam::ReadStream(FrameDescriptor* descriptor, uint32_t* length, uint32_t timeoutMs) {
    if (descriptor == nullptr || length == nullptr || descriptor->destination == nullptr) {
        return false;
    }
    const uint64_t total64 =
        (static_cast<uint64_t>(*length) / kStreamBlockBytes + 1) * kStreamBlockBytes;
    // The camera sends whole blocks, more than asked for: they must fit the destination.
    if (total64 > descriptor->capacity) return false;
    const uint32_t total = static_cast<uint32_t>(total64);
    bool opened = false;
    if (!OpenStreamIfClosed(&opened)) return false;
    CStreamScope scope(*this, opened);
    platform::DeviceHandle stream = StreamHandle();

    uint8_t command[kMemoryCommandBytes];
    BuildMemoryCommand(command, "AU3R", 0, total);
    uint32_t bytes = 0;
    if (!BulkTransfer(stream, command, sizeof(command), kEndpointOut, &bytes)) return false;
    uint32_t done = 0;
    while (done < total) {
        uint32_t chunk = std::min(kStreamChunkBytes, total - done);
        bytes = 0;
        if (!BulkTransferTimed(stream, descriptor->destination + done, chunk, kEndpointIn, &bytes,
                               timeoutMs)) {
            return false;
        }
        done += bytes;
        if (bytes < chunk) return false;
    }
    *length = done;
    return true;
}

bool CVeltCy3Cam::EndpointControlTransfer(platform::DeviceHandle handle, uint8_t* data,
                                          uint32_t length, uint8_t endpoint, uint32_t* count) {
    if (count) *count = 0;
    if (!TransferChecks(handle, length)) return false;
    if (!EnsureTransferBuffer(length + kRequestHeaderBytes)) return false;
    uint8_t* buffer = transferBuffer_.get();
    RequestFields fields;
    fields.endpoint = endpoint;
    fields.dataOffset = kRequestHeaderBytes;
    fields.dataLength = length;
    WriteRequestHeader(buffer, fields);
    if (data && length) std::memcpy(buffer + kRequestHeaderBytes, data, length);

    std::unique_ptr<platform::CIoOperation> operation = channel_->NewOperation();
    if (!operation) return false;
    const uint32_t recordBytes = length + kRequestHeaderBytes;
    uint32_t bytes = 0, error = 0;
    bool completed = channel_->Control(handle, kIoctlEndpointRequest, buffer, recordBytes, buffer,
                                       recordBytes, &bytes, operation.get(), &error);
    if (!completed) {
        if (error != platform::kErrorIoPending) return false;
        if (!operation->Wait(kBulkTimeoutMs)) {
            AbortEndpoint(handle, endpoint);
            if (!operation->Wait(kAbortSettleMs)) {
                AbortEndpoint(handle, endpoint);
                if (!operation->Wait(kAbortGraceMs)) {
                    // The driver still owns the transfer buffer: give it up and take a
                    // fresh one for the next request.
                    WriteOff(std::move(operation), nullptr, nullptr, buffer, recordBytes);
                    const uint32_t size = transferBufferBytes_;
                    KeepWhileDriverWrites(transferBuffer_, size);
                    transferBufferBytes_ = 0;
                    EnsureTransferBuffer(size);
                }
            }
            return false;
        }
        if (!operation->Result(&bytes)) return false;
    }
    uint32_t dataCount = bytes >= kRequestHeaderBytes ? bytes - kRequestHeaderBytes : 0;
    if (dataCount <= length && data) std::memcpy(data, buffer + kRequestHeaderBytes, dataCount);
    if (count) *count = dataCount;
    return true;
}

}  // namespace veltcam
