// The control server as a client sees it: discovery, register and memory
// access, privilege and heartbeat, the packet-size clamp, pending acks and the
// answers to malformed or refused commands.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "CGvcpServer.h"
#include "FeatureRegisters.h"
#include "GenICamXml.h"
#include "GvcpProtocol.h"

namespace veltcam::gige {
namespace {

class CFakeDevice : public IGvcpDevice {
  public:
    std::map<uint32_t, uint32_t> registers{{feature::kWidth, 2048}, {feature::kGain, 0}};
    int testPackets = 0;
    int released = 0;
    std::vector<std::vector<uint32_t>> resends;

    uint16_t ReadFeature(uint32_t address, uint32_t* value) override {
        auto it = registers.find(address);
        if (it == registers.end()) return kStatusInvalidAddress;
        *value = it->second;
        return kStatusSuccess;
    }
    uint16_t WriteFeature(uint32_t address, uint32_t value) override {
        if (address == feature::kPixelFormat && value == 0xDEAD) return kStatusInvalidParameter;
        registers[address] = value;
        return kStatusSuccess;
    }
    bool SlowWrite(uint32_t address) const override { return address == feature::kWidth; }
    void FireTestPacket() override { ++testPackets; }
    void ControlReleased() override { ++released; }
    void Resend(uint16_t block, uint32_t first, uint32_t last) override {
        resends.push_back({block, first, last});
    }
};

using Bytes = std::vector<uint8_t>;

Bytes Command(uint16_t command, const Bytes& body, uint16_t id = 7, uint8_t flags = 1) {
    Bytes p(8);
    p[0] = kGvcpKey;
    p[1] = flags;
    PutU16(&p[2], command);
    PutU16(&p[4], static_cast<uint16_t>(body.size()));
    PutU16(&p[6], id);
    p.insert(p.end(), body.begin(), body.end());
    return p;
}

Bytes Words(std::initializer_list<uint32_t> words) {
    Bytes b;
    for (uint32_t w : words) {
        uint8_t x[4];
        PutU32(x, w);
        b.insert(b.end(), x, x + 4);
    }
    return b;
}

Bytes ReadMem(uint32_t address, uint16_t count) {
    Bytes b = Words({address, 0});
    PutU16(&b[6], count);
    return Command(kReadMemCmd, b);
}

struct Ack {
    uint16_t status = 0xFFFF, command = 0, length = 0, id = 0;
    Bytes data;
};

class GvcpServerTest : public ::testing::Test {
  protected:
    GvcpServerTest() : server_(Identity(), "<RegisterDescription/>", device_) {}

    static DeviceIdentity Identity() {
        DeviceIdentity id;
        id.serial = "VCSIM0000";
        id.ip = 0x7F000002;
        id.mask = 0xFF000000;
        id.mac = 0x025643000002ull;
        id.maxPacketSize = 9000;
        id.packetSize = 1500;
        id.heartbeatMs = 3000;
        id.sourcePort = 40000;
        return id;
    }

    std::vector<Ack> Send(const Bytes& packet, Endpoint from, uint64_t now = 0) {
        std::vector<Ack> acks;
        server_.Handle(packet.data(), packet.size(), from, now,
                       [&](const uint8_t* d, std::size_t n) {
                           Ack a;
                           EXPECT_GE(n, 8u);
                           a.status = GetU16(d);
                           a.command = GetU16(d + 2);
                           a.length = GetU16(d + 4);
                           a.id = GetU16(d + 6);
                           EXPECT_EQ(a.length, n - 8);
                           a.data.assign(d + 8, d + n);
                           acks.push_back(a);
                       });
        return acks;
    }
    Ack One(const Bytes& packet, Endpoint from, uint64_t now = 0) {
        auto acks = Send(packet, from, now);
        EXPECT_EQ(acks.size(), 1u);
        return acks.empty() ? Ack{} : acks.back();
    }
    uint16_t Write(uint32_t address, uint32_t value, Endpoint from, uint64_t now = 0) {
        return One(Command(kWriteRegCmd, Words({address, value})), from, now).status;
    }
    uint32_t Read(uint32_t address, Endpoint from = {0x7F000001, 5000}) {
        Ack a = One(Command(kReadRegCmd, Words({address})), from);
        EXPECT_EQ(a.status, kStatusSuccess);
        return a.data.size() == 4 ? GetU32(a.data.data()) : 0;
    }

    CFakeDevice device_;
    CGvcpServer server_;
    const Endpoint alice_{0x7F000001, 5000};
    const Endpoint bob_{0x7F000001, 6000};
};

TEST_F(GvcpServerTest, DiscoveryAnswersWithAddressIdentityAndCapabilities) {
    // Discovery is answered even when the client did not set the ack flag.
    Ack a = One(Command(kDiscoveryCmd, {}, 0x1234, 0), alice_);
    EXPECT_EQ(a.status, kStatusSuccess);
    EXPECT_EQ(a.command, kDiscoveryAck);
    EXPECT_EQ(a.id, 0x1234);
    ASSERT_EQ(a.data.size(), reg::kDiscoveryDataSize);
    EXPECT_EQ(GetU32(&a.data[reg::kCurrentIp]), 0x7F000002u);
    EXPECT_EQ(GetU32(&a.data[reg::kCurrentMask]), 0xFF000000u);
    EXPECT_EQ(GetU32(&a.data[reg::kMacLow]), 0x43000002u);
    EXPECT_EQ(GetU32(&a.data[reg::kDeviceMode]) >> 31, 1u);  // big-endian registers
    EXPECT_STREQ(reinterpret_cast<const char*>(&a.data[reg::kManufacturer]), "VeltCam");
    EXPECT_STREQ(reinterpret_cast<const char*>(&a.data[reg::kSerial]), "VCSIM0000");

    EXPECT_EQ(Read(reg::kGvcpCapability) & (kCapWriteMem | kCapPacketResend),
              kCapWriteMem | kCapPacketResend);
    EXPECT_EQ(Read(reg::kStreamChannels), 1u);
    EXPECT_EQ(Read(reg::kMessageChannels), 0u);
    EXPECT_EQ(Read(reg::kHeartbeatTimeout), 3000u);
    EXPECT_EQ(Read(reg::kStreamSourcePort), 40000u);
    EXPECT_EQ((uint64_t{Read(reg::kTickFrequencyHigh)} << 32) | Read(reg::kTickFrequencyLow),
              kTickFrequency);
}

TEST_F(GvcpServerTest, UrlLeadsToTheDescriptionInDeviceMemory) {
    Ack url = One(ReadMem(reg::kFirstUrl, 512), alice_);
    ASSERT_EQ(url.status, kStatusSuccess);
    ASSERT_EQ(url.data.size(), 4u + 512u);
    EXPECT_EQ(GetU32(url.data.data()), reg::kFirstUrl);
    const std::string text(reinterpret_cast<const char*>(url.data.data() + 4));
    unsigned address = 0, length = 0;
    ASSERT_EQ(std::sscanf(text.c_str(), "Local:veltcam.xml;%x;%x", &address, &length), 2) << text;
    EXPECT_EQ(address, feature::kXmlAddress);
    ASSERT_EQ(length, server_.Xml().size());

    // Read back in whole words, the tail padded with zeros; past that: bad address.
    Ack xml = One(ReadMem(address, static_cast<uint16_t>((length + 3) & ~3u)), alice_);
    ASSERT_EQ(xml.status, kStatusSuccess);
    EXPECT_EQ(std::string(xml.data.begin() + 4, xml.data.begin() + 4 + length), server_.Xml());
    EXPECT_EQ(One(ReadMem(address, static_cast<uint16_t>(((length + 3) & ~3u) + 4)), alice_).status,
              kStatusInvalidAddress);
}

TEST_F(GvcpServerTest, RegisterAndMemoryAccessRoundTrip) {
    ASSERT_EQ(Write(reg::kCcp, kCcpControl, alice_), kStatusSuccess);
    // Several registers per READREG, in order.
    Ack two = One(Command(kReadRegCmd, Words({feature::kWidth, reg::kCcp})), alice_);
    ASSERT_EQ(two.data.size(), 8u);
    EXPECT_EQ(GetU32(&two.data[0]), 2048u);
    EXPECT_EQ(GetU32(&two.data[4]), kCcpControl);
    // WRITEREG acks with the count of registers written.
    Ack w = One(Command(kWriteRegCmd, Words({feature::kGain, 5, reg::kStreamPort, 0x10000 + 4242})),
                alice_);
    EXPECT_EQ(w.status, kStatusSuccess);
    EXPECT_EQ(w.command, kWriteRegAck);
    EXPECT_EQ(GetU16(&w.data[2]), 2);
    EXPECT_EQ(device_.registers[feature::kGain], 5u);
    EXPECT_EQ(server_.Stream().port, 4242);  // the port is the low 16 bits
    // WRITEMEM into features and into the user name; READMEM sees both.
    Bytes body = Words({feature::kGain, 9});
    EXPECT_EQ(One(Command(kWriteMemCmd, body), alice_).status, kStatusSuccess);
    EXPECT_EQ(device_.registers[feature::kGain], 9u);
    Bytes name = Words({reg::kUserName});
    for (char c : std::string("line-3\0\0", 8)) name.push_back(static_cast<uint8_t>(c));
    EXPECT_EQ(One(Command(kWriteMemCmd, name), alice_).status, kStatusSuccess);
    Ack read = One(ReadMem(reg::kUserName, 16), alice_);
    EXPECT_STREQ(reinterpret_cast<const char*>(read.data.data() + 4), "line-3");
    // A failed feature write reports the camera's status.
    EXPECT_EQ(Write(feature::kPixelFormat, 0xDEAD, alice_), kStatusInvalidParameter);
}

TEST_F(GvcpServerTest, ControlPrivilegeDecidesWhoMayWriteAndRead) {
    EXPECT_EQ(Write(feature::kGain, 1, alice_), kStatusAccessDenied) << "write without control";
    EXPECT_EQ(Write(reg::kCcp, kCcpControl, alice_), kStatusSuccess);
    EXPECT_EQ(Write(feature::kGain, 1, alice_), kStatusSuccess);
    EXPECT_EQ(Write(feature::kGain, 2, bob_), kStatusAccessDenied)
        << "another port is another client";
    EXPECT_EQ(Write(reg::kCcp, kCcpControl, bob_), kStatusAccessDenied);
    EXPECT_EQ(Read(reg::kCcp, bob_), kCcpControl) << "monitors may read";
    EXPECT_EQ(Write(reg::kCcp, kCcpExclusive, alice_), kStatusSuccess);
    EXPECT_EQ(One(Command(kReadRegCmd, Words({reg::kCcp})), bob_).status, kStatusAccessDenied);
    EXPECT_EQ(One(ReadMem(reg::kFirstUrl, 64), bob_).status, kStatusAccessDenied);
    // Release: stream channel cleared, the camera told, bob may take over.
    EXPECT_EQ(Write(reg::kStreamPort, 4242, alice_), kStatusSuccess);
    EXPECT_EQ(Write(reg::kCcp, 0, alice_), kStatusSuccess);
    EXPECT_EQ(device_.released, 1);
    EXPECT_EQ(server_.Stream().port, 0);
    EXPECT_EQ(Write(reg::kCcp, kCcpControl, bob_), kStatusSuccess);
    EXPECT_EQ(server_.Controller(), bob_);
}

TEST_F(GvcpServerTest, HeartbeatTimeoutReleasesASilentController) {
    ASSERT_EQ(Write(reg::kCcp, kCcpControl, alice_, 1000), kStatusSuccess);
    ASSERT_EQ(Write(reg::kHeartbeatTimeout, 100, alice_, 1000), kStatusSuccess);
    EXPECT_EQ(Read(reg::kHeartbeatTimeout, bob_), 500u) << "clamped to the shortest time-out";
    server_.Tick(1400);
    EXPECT_TRUE(server_.HasController());
    // Any command from the controller is a heartbeat...
    Send(Command(kReadRegCmd, Words({reg::kCcp})), alice_, 1450);
    server_.Tick(1900);
    EXPECT_TRUE(server_.HasController());
    EXPECT_EQ(Write(reg::kCcp, kCcpControl, bob_, 1900), kStatusAccessDenied);
    server_.Tick(1951);  // ...but after the time-out of silence control is gone
    EXPECT_FALSE(server_.HasController());
    EXPECT_EQ(device_.released, 1);
    EXPECT_EQ(Write(reg::kCcp, kCcpControl, bob_, 1960), kStatusSuccess);
}

TEST_F(GvcpServerTest, PacketSizeWritesAreClampedAndFireTheTestPacket) {
    ASSERT_EQ(Write(reg::kCcp, kCcpControl, alice_), kStatusSuccess);
    struct Case {
        uint32_t written, stored;
    } cases[] = {{9000, 9000}, {100000 & 0xFFFF, 9000}, {65500, 9000}, {100, 576}, {1502, 1500}};
    for (const Case& c : cases) {
        EXPECT_EQ(Write(reg::kStreamPacketSize, c.written, alice_), kStatusSuccess);
        EXPECT_EQ(server_.Stream().packetSize, c.stored) << c.written;
    }
    EXPECT_EQ(
        Write(reg::kStreamPacketSize, kScpsFireTestPacket | kScpsDoNotFragment | 4000, alice_),
        kStatusSuccess);
    EXPECT_EQ(device_.testPackets, 1);
    EXPECT_EQ(Read(reg::kStreamPacketSize), kScpsDoNotFragment | 4000u) << "the fire bit clears";
}

TEST_F(GvcpServerTest, StreamGoesToOneHostOrAGroupOnlyWhenAllowed) {
    DeviceIdentity id = Identity();
    id.allowMulticast = true;
    CGvcpServer multicast(id, "<RegisterDescription/>", device_);
    struct Case {
        const char* what;
        uint32_t destination;
        bool plain, withMulticast;
    } cases[] = {
        {"a host", 0x7F000001, true, true},
        {"a group", 0xEF010203, false, true},
        {"the lowest group", 0xE0000001, false, true},
        {"every host", 0xFFFFFFFF, false, false},
        {"every host of the served network", 0x7FFFFFFF, false, false},
    };
    for (CGvcpServer* server : {&server_, &multicast}) {
        const bool allowed = server == &multicast;
        auto write = [&](uint32_t address, uint32_t value) {
            std::vector<uint16_t> statuses;
            const Bytes packet = Command(kWriteRegCmd, Words({address, value}));
            server->Handle(packet.data(), packet.size(), alice_, 0,
                           [&](const uint8_t* d, std::size_t) { statuses.push_back(GetU16(d)); });
            return statuses.size() == 1 ? statuses[0] : uint16_t{0xFFFF};
        };
        ASSERT_EQ(write(reg::kCcp, kCcpControl), kStatusSuccess);
        ASSERT_EQ(write(reg::kStreamDestination, 0x7F000003), kStatusSuccess);
        for (const Case& c : cases) {
            const bool accepted = allowed ? c.withMulticast : c.plain;
            EXPECT_EQ(write(reg::kStreamDestination, c.destination),
                      accepted ? kStatusSuccess : kStatusInvalidParameter)
                << c.what << (allowed ? " (multicast allowed)" : "");
            EXPECT_EQ(server->Stream().destination, accepted ? c.destination : 0x7F000003u)
                << c.what << ": a refused destination leaves the previous one";
            ASSERT_EQ(write(reg::kStreamDestination, 0x7F000003), kStatusSuccess);
        }
    }
}

TEST_F(GvcpServerTest, SlowWritesAreAnnouncedWithAPendingAck) {
    ASSERT_EQ(Write(reg::kCcp, kCcpControl, alice_), kStatusSuccess);
    auto acks = Send(Command(kWriteRegCmd, Words({feature::kWidth, 1024}), 9), alice_);
    ASSERT_EQ(acks.size(), 2u);
    EXPECT_EQ(acks[0].command, kPendingAck);
    EXPECT_EQ(acks[0].id, 9);
    EXPECT_GE(GetU16(&acks[0].data[2]), 500) << "longer than the client's time-out";
    EXPECT_EQ(acks[1].command, kWriteRegAck);
    // Not for fast registers, and not for a client that may not write.
    EXPECT_EQ(Send(Command(kWriteRegCmd, Words({feature::kGain, 1})), alice_).size(), 1u);
    EXPECT_EQ(Send(Command(kWriteRegCmd, Words({feature::kWidth, 64})), bob_).size(), 1u);
}

TEST_F(GvcpServerTest, MalformedAndRefusedCommands) {
    ASSERT_EQ(Write(reg::kCcp, kCcpControl, alice_), kStatusSuccess);
    Bytes notCommand = Command(kReadRegCmd, Words({0}));
    notCommand[0] = 0x43;
    EXPECT_TRUE(Send(notCommand, alice_).empty());
    EXPECT_TRUE(Send(Bytes{kGvcpKey, 1, 0, 0x80}, alice_).empty()) << "shorter than a header";
    Bytes truncated = Command(kReadRegCmd, Words({0, 4}));
    truncated.resize(12);
    struct Case {
        const char* what;
        Bytes packet;
        uint16_t status;
    } cases[] = {
        {"length past the datagram", truncated, kStatusInvalidHeader},
        {"unknown command", Command(0x0100, {}), kStatusNotImplemented},
        {"action command", Command(0x0100, Words({1, 2, 3})), kStatusNotImplemented},
        {"misaligned register", Command(kReadRegCmd, Words({2})), kStatusBadAlignment},
        {"register list not whole words", Command(kReadRegCmd, Bytes{0, 0, 0}),
         kStatusInvalidParameter},
        {"no register", Command(kReadRegCmd, {}), kStatusInvalidParameter},
        {"unmapped address", Command(kReadRegCmd, Words({0x00800000})), kStatusInvalidAddress},
        {"read-only register", Command(kWriteRegCmd, Words({reg::kVersion, 1})),
         kStatusWriteProtect},
        {"odd write pair", Command(kWriteRegCmd, Words({reg::kStreamPort})),
         kStatusInvalidParameter},
        {"read past 512 bytes", ReadMem(0, 516), kStatusInvalidParameter},
        {"empty read", ReadMem(0, 0), kStatusInvalidParameter},
        {"read past the end of memory", ReadMem(0xFFFFFFFC, 8), kStatusInvalidAddress},
        {"write memory without data", Command(kWriteMemCmd, Words({reg::kStreamPort})),
         kStatusInvalidParameter},
        {"misaligned memory write", Command(kWriteMemCmd, Bytes{0, 0, 0x0D, 0, 1, 2}),
         kStatusBadAlignment},
    };
    for (const Case& c : cases) {
        Ack a = One(c.packet, alice_);
        EXPECT_EQ(a.status, c.status) << c.what;
        EXPECT_EQ(a.id, 7) << c.what;
    }
    // Without the ack flag a refused command gets no answer at all.
    EXPECT_TRUE(Send(Command(0x0100, {}, 7, 0), alice_).empty());
}

TEST_F(GvcpServerTest, ResendRequestsComeOnlyFromTheStreamReceiverAndAreNotAcked) {
    ASSERT_EQ(Write(reg::kCcp, kCcpControl, alice_), kStatusSuccess);
    ASSERT_EQ(Write(reg::kStreamDestination, 0x7F000001, alice_), kStatusSuccess);
    ASSERT_EQ(Write(reg::kStreamPort, 4242, alice_), kStatusSuccess);
    const Endpoint receiver{0x7F000001, 4242};
    EXPECT_TRUE(Send(Command(kPacketResendCmd, Words({0x00010005, 3, 9}), 1, 0), receiver).empty());
    EXPECT_TRUE(Send(Command(kPacketResendCmd, Words({5, 7, 2})), receiver).empty()) << "reversed";
    EXPECT_TRUE(Send(Command(kPacketResendCmd, Words({5, 1})), receiver).empty()) << "short";
    EXPECT_TRUE(Send(Command(kPacketResendCmd, Words({5, 1, 2})), {0x7F000009, 4242}).empty());
    ASSERT_EQ(device_.resends.size(), 1u) << "only the well-formed request from the receiver";
    EXPECT_EQ(device_.resends[0], (std::vector<uint32_t>{5, 3, 9}));
}

TEST(GenICamXmlTest, DescribesTheStandardFeaturesWithThePacketSizeLimits) {
    XmlOptions options;
    options.maxPacketSize = 65500;
    const std::string xml = BuildGenICamXml(options);
    for (const char* name :
         {"Width", "Height", "OffsetX", "OffsetY", "PixelFormat", "PayloadSize", "AcquisitionMode",
          "AcquisitionStart", "AcquisitionStop", "TriggerMode", "TriggerSource", "TriggerSoftware",
          "ExposureTime", "Gain", "ReverseX", "ReverseY", "GevSCPSPacketSize",
          "GevSCPSFireTestPacket", "DeviceSerialNumber"}) {
        EXPECT_NE(xml.find("Name=\"" + std::string(name) + "\""), std::string::npos) << name;
    }
    for (const char* name : {"DecimationHorizontal", "DecimationVertical", "UserSetSelector",
                             "UserSetLoad", "UserSetSave"}) {
        EXPECT_NE(xml.find("Name=\"" + std::string(name) + "\""), std::string::npos) << name;
    }
    // A client's packet-size search must see the device's real maximum.
    const auto at = xml.find("Name=\"GevSCPSPacketSize\"");
    const auto end = xml.find("</Integer>", at);
    EXPECT_NE(xml.substr(at, end - at).find("<Max>65500</Max>"), std::string::npos);
}

}  // namespace
}  // namespace veltcam::gige
