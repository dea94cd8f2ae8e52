// Control and resend datagrams come from anyone on the network. The input is a
// sequence of datagrams, each as [sender byte][length byte][bytes...]; they go
// to one control server (with time passing, so heartbeats expire) whose resend
// requests reach a stream ring holding frames. Every answer must be a
// well-formed ack of bounded size; nothing may crash or read out of bounds.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "gige/CGvcpServer.h"
#include "gige/CGvspStreamer.h"
#include "gige/GenICamXml.h"
#include "gige/GvcpProtocol.h"

namespace {

using namespace veltcam::gige;

class CNullSink : public IPacketSink {
  public:
    bool SendTo(const uint8_t* data, std::size_t size, const Endpoint&) override {
        if (size < kGvspHeaderSize || size > MaxDatagram(kMaxPacketSize) || data == nullptr) {
            std::abort();
        }
        return true;
    }
    std::size_t SendBatch(const uint8_t* const* data, const std::size_t* sizes, std::size_t count,
                          const Endpoint& to) override {
        for (std::size_t i = 0; i < count; ++i) SendTo(data[i], sizes[i], to);
        return count;
    }
};

class CDevice : public IGvcpDevice {
  public:
    CGvspStreamer* streamer = nullptr;
    CGvcpServer* server = nullptr;
    uint32_t registers[64] = {};
    uint16_t ReadFeature(uint32_t address, uint32_t* value) override {
        *value = registers[(address / 4) % 64];
        return kStatusSuccess;
    }
    uint16_t WriteFeature(uint32_t address, uint32_t value) override {
        registers[(address / 4) % 64] = value;
        return value == 0xFFFFFFFFu ? kStatusInvalidParameter : kStatusSuccess;
    }
    bool SlowWrite(uint32_t address) const override { return address % 8 == 0; }
    void FireTestPacket() override { streamer->SendTestPacket(server->Stream()); }
    void Resend(uint16_t block, uint32_t first, uint32_t last) override {
        streamer->Resend(block, first, last, server->Stream());
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CNullSink sink;
    CGvspStreamer streamer(sink, {});
    std::atomic<bool> stop{false};
    StreamChannel channel;
    channel.destination = 0x7F000001;
    channel.port = 1;
    channel.packetSize = 1500;
    for (uint16_t block = 1; block <= 3; ++block) {
        StreamFrame& frame = streamer.BeginFrame();
        frame.data.assign(5000 * block, static_cast<uint8_t>(block));
        frame.size = frame.data.size();
        frame.width = 100;
        frame.height = static_cast<uint32_t>(frame.size / 100);
        streamer.SendFrame(frame, block, channel, stop);
    }
    CDevice device;
    DeviceIdentity id;
    id.ip = 0x7F000002;
    id.mask = 0xFF000000;
    id.allowMulticast = size > 0 && (data[0] & 0x80) != 0;  // both stream destination rules
    static const std::string xml = BuildGenICamXml({});
    CGvcpServer server(id, xml, device);
    device.streamer = &streamer;
    device.server = &server;

    const Endpoint senders[4] = {
        {0x7F000001, 5000}, {0x7F000001, 6000}, {0x7F000003, 5000}, {0x7F000001, 1}};
    uint64_t now = 0;
    std::size_t at = 0;
    while (at + 2 <= size) {
        const uint8_t who = data[at];
        std::size_t length = data[at + 1] * 4u;
        at += 2;
        if (length > size - at) length = size - at;
        // A copy of exactly the datagram's size, so reads past it are caught.
        std::vector<uint8_t> datagram(data + at, data + at + length);
        at += length;
        now += (who >> 2) * 50;
        server.Handle(datagram.data(), datagram.size(), senders[who & 3], now,
                      [](const uint8_t* ack, std::size_t n) {
                          if (n < kGvcpHeaderSize || n > kGvcpHeaderSize + 4 + kMaxMemoryAccess) {
                              std::abort();
                          }
                          if (GetU16(ack + 4) != n - kGvcpHeaderSize) std::abort();
                          const uint16_t status = GetU16(ack);
                          if (status != 0 && (status & 0x8000) == 0) std::abort();
                      });
        server.Tick(now);
    }
    return 0;
}
