// Cuts one image into stream packets: a leader with the image's format, size
// and timestamp, payload packets of exactly packet size - 36 bytes (the
// receiver places each at packet id x that size), and a trailer. Pure
// functions over caller buffers: the streamer, the resend path and the tests
// share them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace veltcam::gige {

struct StreamFrame {
    uint16_t blockId = 0;  // 0: empty slot (never a valid block id)
    uint32_t pixelFormat = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t offsetX = 0;
    uint32_t offsetY = 0;
    uint64_t timestamp = 0;     // ticks
    uint32_t packetSize = 0;    // SCPS the frame is cut with (fixed for its lifetime)
    std::vector<uint8_t> data;  // the image, rows packed
    std::size_t size = 0;       // bytes of data in use
};

// Block ids run 1..65535 and wrap back to 1: 0 means "no block" to receivers.
uint16_t BlockIdFor(uint64_t frameNumber);

// Payload bytes per data packet for a packet size (IP and UDP headers included).
uint32_t PayloadPerPacket(uint32_t packetSize);
// Data packets of a frame (the leader is packet 0, the trailer DataPackets + 1).
uint32_t DataPackets(std::size_t payloadBytes, uint32_t packetSize);
// Largest datagram BuildPacket writes for a packet size.
std::size_t MaxDatagram(uint32_t packetSize);

// Writes packet `packetId` of the frame into out (MaxDatagram bytes); returns
// its length, 0 for an id past the trailer.
std::size_t BuildPacket(const StreamFrame& frame, uint32_t packetId, uint8_t* out);
// A header-only packet telling the receiver that packet is gone for good.
std::size_t BuildUnavailablePacket(uint16_t blockId, uint32_t packetId, uint8_t* out);

}  // namespace veltcam::gige
