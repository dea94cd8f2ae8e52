// Stream packets as a receiver reassembles them: leader, payload at packet id
// x (packet size - 36), trailer; block ids; the resend ring answering from
// recent frames (also mid-frame) and reporting what is gone; packets dropped
// on purpose; pacing.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <numeric>
#include <vector>

#include "CGvspPacketizer.h"
#include "CGvspStreamer.h"
#include "GvcpProtocol.h"

namespace veltcam::gige {
namespace {

struct Packet {
    uint16_t status, block;
    uint8_t content;
    uint32_t id;
    std::vector<uint8_t> body;
};

Packet Parse(const uint8_t* d, std::size_t n) {
    Packet p{GetU16(d), GetU16(d + 2), static_cast<uint8_t>(d[4] & 0x7F), GetU32(d + 4) & 0xFFFFFF,
             std::vector<uint8_t>(d + 8, d + n)};
    return p;
}

class CRecorder : public IPacketSink {
  public:
    std::vector<Packet> packets;
    std::vector<std::size_t> batchSizes;
    bool SendTo(const uint8_t* data, std::size_t size, const Endpoint&) override {
        packets.push_back(Parse(data, size));
        return true;
    }
    std::size_t SendBatch(const uint8_t* const* data, const std::size_t* sizes, std::size_t count,
                          const Endpoint& to) override {
        batchSizes.push_back(count);
        for (std::size_t i = 0; i < count; ++i) SendTo(data[i], sizes[i], to);
        return count;
    }
};

StreamFrame MakeFrame(std::size_t size) {
    StreamFrame f;
    f.pixelFormat = kPixMono8;
    f.width = 100;
    f.height = static_cast<uint32_t>(size / 100);
    f.offsetX = 8;
    f.offsetY = 4;
    f.timestamp = 0x0000000123456789ull;
    f.data.resize(size);
    for (std::size_t i = 0; i < size; ++i) f.data[i] = static_cast<uint8_t>(i * 7 + i / 251);
    f.size = size;
    return f;
}

StreamChannel Channel(uint32_t packetSize) {
    StreamChannel c;
    c.destination = 0x7F000001;
    c.port = 4242;
    c.packetSize = packetSize;
    return c;
}

// Places payload packets by id, as the receiver does; checks leader and trailer.
std::vector<uint8_t> Reassemble(const std::vector<Packet>& packets, uint32_t packetSize,
                                std::size_t size, uint16_t block) {
    std::vector<uint8_t> image(size, 0);
    const std::size_t per = packetSize - 36;
    for (const Packet& p : packets) {
        if (p.block != block || p.content != kContentPayload || p.status != 0) continue;
        const std::size_t at = (p.id - 1) * per;
        EXPECT_LE(at + p.body.size(), size);
        std::copy(p.body.begin(), p.body.end(), image.begin() + static_cast<long>(at));
    }
    return image;
}

TEST(GvspPacketizerTest, FrameIsCutIntoLeaderExactPayloadsAndTrailer) {
    struct Case {
        std::size_t size;
        uint32_t packetSize;
    } cases[] = {{30000, 1500}, {30000, 576}, {8964 * 3, 9000}, {100, 65500}};
    for (const Case& c : cases) {
        StreamFrame f = MakeFrame(c.size);
        f.blockId = 77;
        f.packetSize = c.packetSize;
        const uint32_t n = DataPackets(c.size, c.packetSize);
        std::vector<uint8_t> buffer(MaxDatagram(c.packetSize));
        std::vector<Packet> packets;
        for (uint32_t id = 0;; ++id) {
            const std::size_t size = BuildPacket(f, id, buffer.data());
            if (size == 0) break;
            EXPECT_LE(size + kIpUdpOverhead, std::max<std::size_t>(c.packetSize, 72u));
            packets.push_back(Parse(buffer.data(), size));
        }
        ASSERT_EQ(packets.size(), n + 2u) << c.size;
        const Packet& leader = packets.front();
        EXPECT_EQ(leader.content, kContentLeader);
        EXPECT_EQ(leader.block, 77);
        ASSERT_EQ(leader.body.size(), 36u);
        EXPECT_EQ(GetU16(&leader.body[2]), kPayloadTypeImage);
        EXPECT_EQ((uint64_t{GetU32(&leader.body[4])} << 32) | GetU32(&leader.body[8]), f.timestamp);
        EXPECT_EQ(GetU32(&leader.body[12]), kPixMono8);
        EXPECT_EQ(GetU32(&leader.body[16]), 100u);
        EXPECT_EQ(GetU32(&leader.body[20]), f.height);
        EXPECT_EQ(GetU32(&leader.body[24]), 8u);
        EXPECT_EQ(GetU32(&leader.body[28]), 4u);
        for (uint32_t id = 1; id < n; ++id) {
            EXPECT_EQ(packets[id].body.size(), c.packetSize - 36) << "full payload " << id;
        }
        const Packet& trailer = packets.back();
        EXPECT_EQ(trailer.content, kContentTrailer);
        EXPECT_EQ(trailer.id, n + 1);
        EXPECT_EQ(GetU32(&trailer.body[4]), f.height);
        EXPECT_EQ(Reassemble(packets, c.packetSize, c.size, 77), f.data) << c.size;
    }
}

TEST(GvspPacketizerTest, BlockIdsSkipZero) {
    EXPECT_EQ(BlockIdFor(0), 1);
    EXPECT_EQ(BlockIdFor(65533), 65534);
    EXPECT_EQ(BlockIdFor(65534), 65535);
    EXPECT_EQ(BlockIdFor(65535), 1);
    EXPECT_EQ(BlockIdFor(2 * 65535ull + 4), 5);
}

TEST(GvspStreamerTest, DroppedPacketsComeBackThroughResendFromTheRing) {
    CRecorder sink;
    StreamerOptions options;
    options.dropFraction = 0.1;
    options.ringFrames = 8;
    CGvspStreamer streamer(sink, options);
    std::atomic<bool> stop{false};
    const StreamChannel channel = Channel(1500);
    const std::size_t size = 200000;
    std::vector<StreamFrame*> slots;
    for (uint16_t block = 1; block <= 10; ++block) {
        StreamFrame& slot = streamer.BeginFrame();
        slot = MakeFrame(size);
        slot.data[0] = static_cast<uint8_t>(block);
        ASSERT_TRUE(streamer.SendFrame(slot, block, channel, stop));
    }
    const uint32_t n = DataPackets(size, 1500);
    EXPECT_GT(streamer.Stats().packetsDropped.load(), 0u);
    EXPECT_EQ(streamer.Stats().packets.load() + streamer.Stats().packetsDropped.load(),
              10u * (n + 2));

    // Block 10 is the newest: ask for every packet it lost.
    std::map<uint32_t, bool> seen;
    for (const Packet& p : sink.packets) {
        if (p.block == 10) seen[p.id] = true;
    }
    const std::size_t before = sink.packets.size();
    for (uint32_t id = 1; id <= n; ++id) {
        if (!seen[id]) streamer.Resend(10, id, id, channel);
    }
    std::vector<Packet> all(sink.packets.begin(), sink.packets.end());
    StreamFrame expected = MakeFrame(size);
    expected.data[0] = 10;
    EXPECT_EQ(Reassemble(all, 1500, size, 10), expected.data);
    EXPECT_EQ(streamer.Stats().packetsResent.load(), sink.packets.size() - before);

    // Block 2 left the 8-frame ring; an id past the trailer was never sent.
    sink.packets.clear();
    streamer.Resend(2, 5, 6, channel);
    streamer.Resend(10, n + 2, n + 2, channel);
    ASSERT_EQ(sink.packets.size(), 3u);
    for (const Packet& p : sink.packets) EXPECT_EQ(p.status, kStatusPacketUnavailable);
    EXPECT_EQ(sink.packets[0].block, 2);
    EXPECT_EQ(sink.packets[0].id, 5u);

    // A slot being refilled answers nothing for its old block.
    StreamFrame& refill = streamer.BeginFrame();  // held block 3
    (void)refill;
    sink.packets.clear();
    streamer.Resend(3, 1, 1, channel);
    ASSERT_EQ(sink.packets.size(), 1u);
    EXPECT_EQ(sink.packets[0].status, kStatusPacketUnavailable);
}

TEST(GvspStreamerTest, ResendSpanIsBoundedAndLeaderAndTrailerAreNeverDropped) {
    CRecorder sink;
    StreamerOptions options;
    options.dropFraction = 0.5;
    CGvspStreamer streamer(sink, options);
    std::atomic<bool> stop{false};
    StreamFrame& slot = streamer.BeginFrame();
    slot = MakeFrame(50000);
    ASSERT_TRUE(streamer.SendFrame(slot, 1, Channel(1500), stop));
    ASSERT_FALSE(sink.packets.empty());
    EXPECT_EQ(sink.packets.front().content, kContentLeader);
    EXPECT_EQ(sink.packets.back().content, kContentTrailer);
    sink.packets.clear();
    streamer.Resend(99, 0, 0xFFFFFF, Channel(1500));  // a bogus request must not flood
    EXPECT_EQ(sink.packets.size(), 8192u);
}

TEST(GvspStreamerTest, PacingSpreadsAFrameOverItsShareOfTheBandwidth) {
    CRecorder sink;
    StreamerOptions options;
    options.bytesPerSecond = 10e6;  // 200 kB: at least 20 ms
    CGvspStreamer streamer(sink, options);
    std::atomic<bool> stop{false};
    StreamFrame& slot = streamer.BeginFrame();
    slot = MakeFrame(200000);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(streamer.SendFrame(slot, 1, Channel(9000), stop));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(15));  // lower bound only: never flaky on load
    EXPECT_GT(sink.batchSizes.size(), 1u);

    // Without a bandwidth, a spread asked for by the camera's frame period.
    CGvspStreamer unpaced(sink, {});
    StreamFrame& spread = unpaced.BeginFrame();
    spread = MakeFrame(200000);
    const auto spreadStart = std::chrono::steady_clock::now();
    ASSERT_TRUE(unpaced.SendFrame(spread, 1, Channel(9000), stop, 0.02));
    EXPECT_GE(std::chrono::steady_clock::now() - spreadStart, std::chrono::milliseconds(15));

    stop = true;
    StreamFrame& next = streamer.BeginFrame();
    next = MakeFrame(200000);
    EXPECT_FALSE(streamer.SendFrame(next, 2, Channel(9000), stop)) << "a stop ends the frame";
}

}  // namespace
}  // namespace veltcam::gige
