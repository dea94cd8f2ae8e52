// Wire constants of the network camera protocol: control commands (GVCP, UDP
// port 3956), stream packets (GVSP), status codes and the bootstrap register
// addresses every client reads. Every field on the wire is big-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace veltcam::gige {

constexpr uint16_t kGvcpPort = 3956;
constexpr uint8_t kGvcpKey = 0x42;        // first byte of every command
constexpr uint8_t kFlagAckWanted = 0x01;  // command flag: the client waits for an ack
constexpr std::size_t kGvcpHeaderSize = 8;
constexpr std::size_t kMaxMemoryAccess = 512;  // READMEM/WRITEMEM data limit
constexpr std::size_t kMaxGvcpPacket = 576;    // largest ack we build (header + 512 + a bit)

enum Command : uint16_t {
    kDiscoveryCmd = 0x0002,
    kDiscoveryAck = 0x0003,
    kForceIpCmd = 0x0004,
    kPacketResendCmd = 0x0040,
    kReadRegCmd = 0x0080,
    kReadRegAck = 0x0081,
    kWriteRegCmd = 0x0082,
    kWriteRegAck = 0x0083,
    kReadMemCmd = 0x0084,
    kReadMemAck = 0x0085,
    kWriteMemCmd = 0x0086,
    kWriteMemAck = 0x0087,
    kPendingAck = 0x0089,
};

enum Status : uint16_t {
    kStatusSuccess = 0x0000,
    kStatusNotImplemented = 0x8001,
    kStatusInvalidParameter = 0x8002,
    kStatusInvalidAddress = 0x8003,
    kStatusWriteProtect = 0x8004,
    kStatusBadAlignment = 0x8005,
    kStatusAccessDenied = 0x8006,
    kStatusBusy = 0x8007,
    kStatusPacketUnavailable = 0x800C,
    kStatusInvalidHeader = 0x800E,
    kStatusError = 0x8FFF,
};

// Bootstrap registers.
namespace reg {
constexpr uint32_t kVersion = 0x0000;
constexpr uint32_t kDeviceMode = 0x0004;
constexpr uint32_t kMacHigh = 0x0008;
constexpr uint32_t kMacLow = 0x000C;
constexpr uint32_t kIpConfigOptions = 0x0010;
constexpr uint32_t kIpConfigCurrent = 0x0014;
constexpr uint32_t kCurrentIp = 0x0024;
constexpr uint32_t kCurrentMask = 0x0034;
constexpr uint32_t kCurrentGateway = 0x0044;
constexpr uint32_t kManufacturer = 0x0048;      // 32 bytes
constexpr uint32_t kModel = 0x0068;             // 32
constexpr uint32_t kDeviceVersion = 0x0088;     // 32
constexpr uint32_t kManufacturerInfo = 0x00A8;  // 48
constexpr uint32_t kSerial = 0x00D8;            // 16
constexpr uint32_t kUserName = 0x00E8;          // 16
constexpr uint32_t kDiscoveryDataSize = 0x00F8;
constexpr uint32_t kFirstUrl = 0x0200;   // 512
constexpr uint32_t kSecondUrl = 0x0400;  // 512
constexpr uint32_t kInterfaceCount = 0x0600;
constexpr uint32_t kPersistentIp = 0x064C;
constexpr uint32_t kPersistentMask = 0x065C;
constexpr uint32_t kPersistentGateway = 0x066C;
constexpr uint32_t kLinkSpeed = 0x0670;
constexpr uint32_t kMessageChannels = 0x0900;
constexpr uint32_t kStreamChannels = 0x0904;
constexpr uint32_t kActionDevices = 0x0908;
constexpr uint32_t kStreamChannelsCapability = 0x092C;
constexpr uint32_t kMessageChannelCapability = 0x0930;
constexpr uint32_t kGvcpCapability = 0x0934;
constexpr uint32_t kHeartbeatTimeout = 0x0938;
constexpr uint32_t kTickFrequencyHigh = 0x093C;
constexpr uint32_t kTickFrequencyLow = 0x0940;
constexpr uint32_t kTimestampControl = 0x0944;
constexpr uint32_t kTimestampValueHigh = 0x0948;
constexpr uint32_t kTimestampValueLow = 0x094C;
constexpr uint32_t kDiscoveryAckDelay = 0x0950;
constexpr uint32_t kGvcpConfiguration = 0x0954;
constexpr uint32_t kPendingTimeout = 0x0958;
constexpr uint32_t kControlSwitchoverKey = 0x095C;
constexpr uint32_t kCcp = 0x0A00;
constexpr uint32_t kPrimaryAppPort = 0x0A04;
constexpr uint32_t kPrimaryAppAddress = 0x0A14;
constexpr uint32_t kMessageChannelPort = 0x0B00;
constexpr uint32_t kMessageChannelAddress = 0x0B10;
constexpr uint32_t kStreamPort = 0x0D00;           // SCP0: host port
constexpr uint32_t kStreamPacketSize = 0x0D04;     // SCPS0
constexpr uint32_t kStreamPacketDelay = 0x0D08;    // SCPD0, in timestamp ticks
constexpr uint32_t kStreamDestination = 0x0D18;    // SCDA0
constexpr uint32_t kStreamSourcePort = 0x0D1C;     // SCSP0
constexpr uint32_t kStreamCapability = 0x0D20;     // SCC0
constexpr uint32_t kStreamConfiguration = 0x0D24;  // SCCFG0
constexpr uint32_t kBootstrapEnd = 0x10000;
}  // namespace reg

// Bits of the control channel privilege register (CCP).
constexpr uint32_t kCcpExclusive = 0x1;
constexpr uint32_t kCcpControl = 0x2;
constexpr uint32_t kCcpSwitchover = 0x4;

// Bits of the stream packet size register (SCPS).
constexpr uint32_t kScpsFireTestPacket = 0x80000000u;
constexpr uint32_t kScpsDoNotFragment = 0x40000000u;
constexpr uint32_t kScpsBigEndian = 0x20000000u;
constexpr uint32_t kScpsSizeMask = 0x0000FFFFu;

// GVCP capability bits (register 0x934), counted from the least significant.
constexpr uint32_t kCapUserName = 1u << 31;
constexpr uint32_t kCapSerialNumber = 1u << 30;
constexpr uint32_t kCapHeartbeatDisable = 1u << 29;
constexpr uint32_t kCapPendingAck = 1u << 5;
constexpr uint32_t kCapPacketResend = 1u << 2;
constexpr uint32_t kCapWriteMem = 1u << 1;

// Stream packets: IP (20) + UDP (8) + GVSP header (8) in front of every payload.
constexpr uint32_t kIpUdpOverhead = 28;
constexpr uint32_t kGvspHeaderSize = 8;
constexpr uint32_t kPacketOverhead = kIpUdpOverhead + kGvspHeaderSize;
constexpr uint32_t kMinPacketSize = 576;
constexpr uint32_t kMaxPacketSize = 65500;
constexpr uint32_t kDefaultPacketSize = 1500;
constexpr uint64_t kTickFrequency = 1000000000;  // timestamps in nanoseconds

enum GvspContent : uint8_t { kContentLeader = 1, kContentTrailer = 2, kContentPayload = 3 };
constexpr uint16_t kPayloadTypeImage = 0x0001;

// Pixel format codes (PFNC) of the formats the camera delivers.
constexpr uint32_t kPixMono8 = 0x01080001;
constexpr uint32_t kPixMono16 = 0x01100007;
constexpr uint32_t kPixBgr8 = 0x02180015;
constexpr uint32_t kPixBgra8 = 0x02200017;

inline void PutU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void PutU32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
inline uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t GetU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

}  // namespace veltcam::gige
