#include "CGvspPacketizer.h"

#include <algorithm>
#include <cstring>

#include "GvcpProtocol.h"

namespace veltcam::gige {
namespace {

constexpr std::size_t kLeaderSize = 36;
constexpr std::size_t kTrailerSize = 8;

void PutHeader(uint8_t* out, uint16_t status, uint16_t block, GvspContent content,
               uint32_t packetId) {
    PutU16(out, status);
    PutU16(out + 2, block);
    PutU32(out + 4, static_cast<uint32_t>(content) << 24 | (packetId & 0xFFFFFF));
}

}  // namespace

uint16_t BlockIdFor(uint64_t frameNumber) { return static_cast<uint16_t>(frameNumber % 65535 + 1); }

uint32_t PayloadPerPacket(uint32_t packetSize) {
    return std::max(packetSize, kMinPacketSize) - kPacketOverhead;
}

uint32_t DataPackets(std::size_t payloadBytes, uint32_t packetSize) {
    const uint32_t per = PayloadPerPacket(packetSize);
    return static_cast<uint32_t>((payloadBytes + per - 1) / per);
}

std::size_t MaxDatagram(uint32_t packetSize) {
    return std::max<std::size_t>(PayloadPerPacket(packetSize) + kGvspHeaderSize,
                                 kGvspHeaderSize + kLeaderSize);
}

std::size_t BuildPacket(const StreamFrame& frame, uint32_t packetId, uint8_t* out) {
    const uint32_t dataPackets = DataPackets(frame.size, frame.packetSize);
    if (packetId == 0) {
        PutHeader(out, kStatusSuccess, frame.blockId, kContentLeader, 0);
        uint8_t* p = out + kGvspHeaderSize;
        PutU16(p, 0);
        PutU16(p + 2, kPayloadTypeImage);
        PutU32(p + 4, static_cast<uint32_t>(frame.timestamp >> 32));
        PutU32(p + 8, static_cast<uint32_t>(frame.timestamp));
        PutU32(p + 12, frame.pixelFormat);
        PutU32(p + 16, frame.width);
        PutU32(p + 20, frame.height);
        PutU32(p + 24, frame.offsetX);
        PutU32(p + 28, frame.offsetY);
        PutU16(p + 32, 0);
        PutU16(p + 34, 0);
        return kGvspHeaderSize + kLeaderSize;
    }
    if (packetId <= dataPackets) {
        const std::size_t per = PayloadPerPacket(frame.packetSize);
        const std::size_t offset = static_cast<std::size_t>(packetId - 1) * per;
        const std::size_t bytes = std::min(per, frame.size - offset);
        PutHeader(out, kStatusSuccess, frame.blockId, kContentPayload, packetId);
        std::memcpy(out + kGvspHeaderSize, frame.data.data() + offset, bytes);
        return kGvspHeaderSize + bytes;
    }
    if (packetId == dataPackets + 1) {
        PutHeader(out, kStatusSuccess, frame.blockId, kContentTrailer, packetId);
        uint8_t* p = out + kGvspHeaderSize;
        PutU16(p, 0);
        PutU16(p + 2, kPayloadTypeImage);
        PutU32(p + 4, frame.height);
        return kGvspHeaderSize + kTrailerSize;
    }
    return 0;
}

std::size_t BuildUnavailablePacket(uint16_t blockId, uint32_t packetId, uint8_t* out) {
    // Content type of a payload packet, no data: receivers only look at the status.
    PutHeader(out, kStatusPacketUnavailable, blockId, kContentPayload, packetId);
    return kGvspHeaderSize;
}

}  // namespace veltcam::gige
