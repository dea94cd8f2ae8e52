#include "CGvspStreamer.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "GvcpProtocol.h"

namespace veltcam::gige {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kBatch = 32;
// Resend requests name at most this many packets: a bogus range must not turn
// one request into a flood.
constexpr uint32_t kMaxResendSpan = 8192;

}  // namespace

CGvspStreamer::CGvspStreamer(IPacketSink& socket, const StreamerOptions& options)
    : socket_(socket),
      options_(options),
      ring_(std::max(options.ringFrames, 2)),
      random_(options.seed * 6364136223846793005ull + 1442695040888963407ull) {}

bool CGvspStreamer::Drop() {
    if (options_.dropFraction <= 0.0) return false;
    random_ = random_ * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<double>(random_ >> 11) * (1.0 / 9007199254740992.0) < options_.dropFraction;
}

StreamFrame& CGvspStreamer::BeginFrame() {
    std::lock_guard lock(ringMutex_);
    StreamFrame& slot = ring_[next_];
    next_ = (next_ + 1) % ring_.size();
    slot.blockId = 0;
    return slot;
}

bool CGvspStreamer::SendFrame(StreamFrame& frame, uint16_t blockId, const StreamChannel& channel,
                              const std::atomic<bool>& stop, double spreadSeconds) {
    {
        // From here on the slot answers resends for this block, cut with the
        // packet size it goes out with (receivers place data by that size).
        std::lock_guard lock(ringMutex_);
        frame.blockId = blockId;
        frame.packetSize = channel.packetSize;
    }
    const Endpoint to{channel.destination, channel.port};
    const std::size_t datagram = MaxDatagram(frame.packetSize);
    const uint32_t last = DataPackets(frame.size, frame.packetSize) + 1;
    packets_.resize(datagram * kBatch);
    // Pacing: each packet may leave no earlier than its share of the bandwidth
    // and the client's inter-packet delay allow.
    double secondsPerByte = options_.bytesPerSecond > 0 ? 1.0 / options_.bytesPerSecond : 0.0;
    if (secondsPerByte == 0.0 && spreadSeconds > 0.0 && frame.size > 0) {
        secondsPerByte = spreadSeconds / static_cast<double>(frame.size);
    }
    const double packetDelay = channel.packetDelayTicks / static_cast<double>(kTickFrequency);
    // Paced batches hold about half a millisecond of the bandwidth, so the
    // receiver sees a steady trickle rather than bursts.
    std::size_t batch = kBatch;
    if (secondsPerByte > 0.0 || packetDelay > 0.0) {
        const double perPacket =
            static_cast<double>(datagram + kIpUdpOverhead) * secondsPerByte + packetDelay;
        batch = std::clamp<std::size_t>(static_cast<std::size_t>(0.0005 / perPacket), 1, kBatch);
    }
    const auto start = Clock::now();
    double due = 0.0;  // seconds after start at which the next batch may go
    auto waitDue = [&] {
        if (due <= 0.0) return;
        const auto when =
            start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(due));
        if (when > Clock::now()) std::this_thread::sleep_until(when);
    };
    for (uint32_t id = 0; id <= last;) {
        if (stop.load(std::memory_order_relaxed)) return false;
        const uint8_t* data[kBatch];
        std::size_t sizes[kBatch];
        std::size_t n = 0;
        std::size_t bytes = 0;
        for (; n < batch && id <= last; ++id) {
            uint8_t* out = packets_.data() + n * datagram;
            const std::size_t size = BuildPacket(frame, id, out);
            if (id != 0 && id != last && Drop()) {
                stats_.packetsDropped.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            data[n] = out;
            sizes[n] = size;
            bytes += size + kIpUdpOverhead;
            ++n;
        }
        waitDue();
        socket_.SendBatch(data, sizes, n, to);
        stats_.packets.fetch_add(n, std::memory_order_relaxed);
        due += static_cast<double>(bytes) * secondsPerByte + packetDelay * static_cast<double>(n);
    }
    waitDue();  // the next frame starts after this one's share of the bandwidth
    stats_.frames.fetch_add(1, std::memory_order_relaxed);
    return true;
}

void CGvspStreamer::Resend(uint16_t block, uint32_t first, uint32_t last,
                           const StreamChannel& channel) {
    stats_.resendRequests.fetch_add(1, std::memory_order_relaxed);
    const Endpoint to{channel.destination, channel.port};
    if (last - first >= kMaxResendSpan) last = first + kMaxResendSpan - 1;
    std::lock_guard lock(ringMutex_);
    const StreamFrame* frame = nullptr;
    for (const StreamFrame& slot : ring_) {
        if (slot.blockId != 0 && slot.blockId == block) frame = &slot;
    }
    if (frame == nullptr) {
        uint8_t packet[kGvspHeaderSize];
        for (uint32_t id = first; id <= last; ++id) {
            socket_.SendTo(packet, BuildUnavailablePacket(block, id, packet), to);
            stats_.packetsUnavailable.fetch_add(1, std::memory_order_relaxed);
        }
        return;
    }
    resendBuffer_.resize(MaxDatagram(frame->packetSize));
    const uint32_t trailer = DataPackets(frame->size, frame->packetSize) + 1;
    for (uint32_t id = first; id <= last; ++id) {
        std::size_t size = id <= trailer ? BuildPacket(*frame, id, resendBuffer_.data()) : 0;
        if (size == 0) {
            size = BuildUnavailablePacket(block, id, resendBuffer_.data());
            stats_.packetsUnavailable.fetch_add(1, std::memory_order_relaxed);
        } else {
            stats_.packetsResent.fetch_add(1, std::memory_order_relaxed);
        }
        socket_.SendTo(resendBuffer_.data(), size, to);
    }
}

void CGvspStreamer::SendTestPacket(const StreamChannel& channel) {
    if (channel.port == 0 || channel.destination == 0) return;
    // One datagram of exactly the packet size on the wire, so the receiver
    // learns whether that size passes the path unfragmented.
    std::vector<uint8_t> packet(std::max(channel.packetSize, kMinPacketSize) - kIpUdpOverhead, 0);
    socket_.SendTo(packet.data(), packet.size(), {channel.destination, channel.port});
}

}  // namespace veltcam::gige
