// The control side of the network camera: answers discovery, register and
// memory reads and writes, keeps the control privilege with its heartbeat, and
// holds the bootstrap registers (identity, XML location, stream channel). It
// does no socket work: one datagram in, acks out through a callback, so it runs
// the same in tests, in the fuzzer and behind the server's sockets.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace veltcam::gige {

// What the control server needs from the camera behind it.
class IGvcpDevice {
  public:
    virtual ~IGvcpDevice() = default;
    // Feature registers (feature::kBase .. feature::kEnd): a GVCP status.
    virtual uint16_t ReadFeature(uint32_t address, uint32_t* value) = 0;
    virtual uint16_t WriteFeature(uint32_t address, uint32_t value) = 0;
    // Writes that reconfigure the camera and can outlast the client's 500 ms
    // time-out; the server sends a pending ack before running them.
    virtual bool SlowWrite(uint32_t /*address*/) const { return false; }
    virtual void FireTestPacket() {}
    // The controller released control or stopped sending heartbeats.
    virtual void ControlReleased() {}
    // A resend request from the stream receiver (24-bit packet ids).
    virtual void Resend(uint16_t /*block*/, uint32_t /*first*/, uint32_t /*last*/) {}
};

struct Endpoint {
    uint32_t ip = 0;  // host order
    uint16_t port = 0;
    bool operator==(const Endpoint&) const = default;
};

struct DeviceIdentity {
    std::string manufacturer = "VeltCam";
    std::string model = "M40-USB3-R7";
    std::string version;
    std::string information;
    std::string serial;
    std::string userName;
    uint32_t ip = 0;  // host order
    uint32_t mask = 0;
    uint64_t mac = 0;  // 48 bits
    uint32_t maxPacketSize = 9000;
    uint32_t packetSize = 1500;
    uint32_t heartbeatMs = 3000;
    uint16_t sourcePort = 0;      // the stream socket's port
    bool allowMulticast = false;  // a controller may send the stream to a multicast group
};

// The stream channel as the controlling client configured it.
struct StreamChannel {
    uint32_t destination = 0;  // host order; 0: nowhere
    uint16_t port = 0;         // 0: do not stream
    uint32_t packetSize = 1500;
    uint32_t packetDelayTicks = 0;
};

class CGvcpServer {
  public:
    using Reply = std::function<void(const uint8_t* data, std::size_t size)>;

    CGvcpServer(const DeviceIdentity& identity, std::string xml, IGvcpDevice& device);

    // Handles one datagram from `from` at time nowMs (any monotonic clock);
    // zero or more acks go out through reply (a pending ack, then the ack).
    void Handle(const uint8_t* data, std::size_t size, const Endpoint& from, uint64_t nowMs,
                const Reply& reply);
    // Releases a controller whose heartbeat time-out has passed.
    void Tick(uint64_t nowMs);

    StreamChannel Stream() const;
    bool HasController() const;
    Endpoint Controller() const;
    const std::string& Xml() const { return xml_; }
    // Reads device memory as a client would (tests and the discovery ack).
    uint16_t ReadMemory(uint32_t address, uint8_t* out, std::size_t size);

  private:
    uint16_t ReadWord(uint32_t address, uint32_t* value);
    uint16_t WriteWord(uint32_t address, uint32_t value, const Endpoint& from, uint64_t nowMs);
    uint16_t WriteBytes(uint32_t address, const uint8_t* data, std::size_t size,
                        const Endpoint& from, uint64_t nowMs);
    bool MayRead(const Endpoint& from) const;
    bool MayWrite(const Endpoint& from) const;
    void ReleaseControl();
    void SetBoot(uint32_t address, uint32_t value);
    uint32_t Boot(uint32_t address) const;
    void SetString(uint32_t address, std::size_t size, const std::string& text);

    std::string xml_;
    IGvcpDevice& device_;
    mutable std::mutex mutex_;  // bootstrap image and privilege; the stream thread reads them
    std::array<uint8_t, 0x1000> boot_{};
    Endpoint controller_;
    uint32_t ccp_ = 0;
    uint64_t lastHeard_ = 0;
    uint32_t maxPacketSize_;
    uint32_t ip_, mask_;
    bool allowMulticast_;
};

}  // namespace veltcam::gige
