// Sends frames to the stream channel: paced to a bandwidth so a 3 MiB frame
// is not one burst into the receiver's socket buffer, kept in a ring of recent
// frames so resend requests are answered (also in the middle of a frame), and
// able to drop packets on purpose to test a receiver's recovery.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "CGvcpServer.h"
#include "CGvspPacketizer.h"
#include "CUdpSocket.h"

namespace veltcam::gige {

struct StreamerOptions {
    double bytesPerSecond = 0.0;  // 0: as fast as the socket takes them
    double dropFraction = 0.0;    // payload packets lost on purpose on their first send
    uint32_t seed = 1;
    int ringFrames = 8;
};

struct StreamerStats {
    std::atomic<uint64_t> frames{0};
    std::atomic<uint64_t> packets{0};
    std::atomic<uint64_t> resendRequests{0};
    std::atomic<uint64_t> packetsResent{0};
    std::atomic<uint64_t> packetsUnavailable{0};
    std::atomic<uint64_t> packetsDropped{0};
};

class CGvspStreamer {
  public:
    CGvspStreamer(IPacketSink& socket, const StreamerOptions& options);

    // The ring slot the next frame goes into; it stops answering resends for
    // its old frame at once. Only the frame thread calls this and SendFrame.
    StreamFrame& BeginFrame();
    // Sends the image filled into the slot (everything but blockId and
    // packetSize) as block blockId; returns false when stop was set. Without a
    // bandwidth, spreadSeconds > 0 spreads the frame's packets over that long.
    bool SendFrame(StreamFrame& frame, uint16_t blockId, const StreamChannel& channel,
                   const std::atomic<bool>& stop, double spreadSeconds = 0.0);
    // Any thread: resends packets first..last of a block from the ring, or
    // tells the receiver they are gone.
    void Resend(uint16_t block, uint32_t first, uint32_t last, const StreamChannel& channel);
    void SendTestPacket(const StreamChannel& channel);

    const StreamerStats& Stats() const { return stats_; }

  private:
    bool Drop();

    IPacketSink& socket_;
    StreamerOptions options_;
    std::mutex ringMutex_;  // slot identity (block ids); held while resending
    std::vector<StreamFrame> ring_;
    std::size_t next_ = 0;
    uint64_t random_;
    StreamerStats stats_;
    std::vector<uint8_t> packets_;  // the frame thread's batch of datagrams
    std::vector<uint8_t> resendBuffer_;
};

}  // namespace veltcam::gige
