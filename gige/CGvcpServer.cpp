#include "CGvcpServer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "FeatureRegisters.h"
#include "GvcpProtocol.h"

namespace veltcam::gige {
namespace {

constexpr std::size_t kMaxRegistersPerCommand = 128;
constexpr uint32_t kMinHeartbeatMs = 500;
constexpr uint16_t kPendingMs = 3000;  // longest camera reconfiguration we expect

struct Ack {
    std::vector<uint8_t> bytes;
    Ack(uint16_t status, uint16_t command, uint16_t id, std::size_t length)
        : bytes(kGvcpHeaderSize + length, 0) {
        PutU16(&bytes[0], status);
        PutU16(&bytes[2], command);
        PutU16(&bytes[4], static_cast<uint16_t>(length));
        PutU16(&bytes[6], id);
    }
    uint8_t* Data() { return bytes.data() + kGvcpHeaderSize; }
};

uint16_t AckFor(uint16_t command) {
    switch (command) {
        case kDiscoveryCmd:
            return kDiscoveryAck;
        case kReadRegCmd:
            return kReadRegAck;
        case kWriteRegCmd:
            return kWriteRegAck;
        case kReadMemCmd:
            return kReadMemAck;
        case kWriteMemCmd:
            return kWriteMemAck;
        default:
            return static_cast<uint16_t>(command + 1);
    }
}

bool InFeatures(uint32_t address) { return address >= feature::kBase && address < feature::kEnd; }

// Registers a client may write in the bootstrap block.
bool WritableBootRegister(uint32_t address) {
    switch (address) {
        case reg::kHeartbeatTimeout:
        case reg::kTimestampControl:
        case reg::kDiscoveryAckDelay:
        case reg::kGvcpConfiguration:
        case reg::kCcp:
        case reg::kStreamPort:
        case reg::kStreamPacketSize:
        case reg::kStreamPacketDelay:
        case reg::kStreamDestination:
        case reg::kStreamConfiguration:
            return true;
        default:
            return false;
    }
}

}  // namespace

CGvcpServer::CGvcpServer(const DeviceIdentity& id, std::string xml, IGvcpDevice& device)
    : xml_(std::move(xml)),
      device_(device),
      maxPacketSize_(std::clamp(id.maxPacketSize, kMinPacketSize, kMaxPacketSize)),
      ip_(id.ip),
      mask_(id.mask),
      allowMulticast_(id.allowMulticast) {
    SetBoot(reg::kVersion, 0x00020000);
    SetBoot(reg::kDeviceMode, 0x80000001u);  // big-endian registers, UTF-8 strings
    SetBoot(reg::kMacHigh, static_cast<uint32_t>(id.mac >> 32) & 0xFFFF);
    SetBoot(reg::kMacLow, static_cast<uint32_t>(id.mac));
    SetBoot(reg::kIpConfigOptions, 0x80000007u);  // persistent, DHCP, link-local supported
    SetBoot(reg::kIpConfigCurrent, 0x80000001u);  // a fixed address
    SetBoot(reg::kCurrentIp, id.ip);
    SetBoot(reg::kCurrentMask, id.mask);
    SetBoot(reg::kPersistentIp, id.ip);
    SetBoot(reg::kPersistentMask, id.mask);
    SetString(reg::kManufacturer, 32, id.manufacturer);
    SetString(reg::kModel, 32, id.model);
    SetString(reg::kDeviceVersion, 32, id.version);
    SetString(reg::kManufacturerInfo, 48, id.information);
    SetString(reg::kSerial, 16, id.serial);
    SetString(reg::kUserName, 16, id.userName);
    char url[128];
    std::snprintf(url, sizeof url, "Local:veltcam.xml;%x;%zx", feature::kXmlAddress, xml_.size());
    SetString(reg::kFirstUrl, 512, url);
    SetString(reg::kSecondUrl, 512, url);
    SetBoot(reg::kInterfaceCount, 1);
    SetBoot(reg::kLinkSpeed, 1000);
    SetBoot(reg::kMessageChannels, 0);
    SetBoot(reg::kStreamChannels, 1);
    SetBoot(reg::kGvcpCapability,
            kCapUserName | kCapSerialNumber | kCapPendingAck | kCapPacketResend | kCapWriteMem);
    SetBoot(reg::kHeartbeatTimeout, std::max(id.heartbeatMs, kMinHeartbeatMs));
    SetBoot(reg::kTickFrequencyHigh, static_cast<uint32_t>(kTickFrequency >> 32));
    SetBoot(reg::kTickFrequencyLow, static_cast<uint32_t>(kTickFrequency));
    SetBoot(reg::kPendingTimeout, kPendingMs);
    const uint32_t packet = std::clamp(id.packetSize, kMinPacketSize, maxPacketSize_);
    SetBoot(reg::kStreamPacketSize, kScpsDoNotFragment | packet);
    SetBoot(reg::kStreamSourcePort, id.sourcePort);
}

void CGvcpServer::SetBoot(uint32_t address, uint32_t value) { PutU32(&boot_[address], value); }
uint32_t CGvcpServer::Boot(uint32_t address) const { return GetU32(&boot_[address]); }

void CGvcpServer::SetString(uint32_t address, std::size_t size, const std::string& text) {
    std::memset(&boot_[address], 0, size);
    // Always leave a terminator: clients read these as C strings.
    std::memcpy(&boot_[address], text.data(), std::min(text.size(), size - 1));
}

StreamChannel CGvcpServer::Stream() const {
    std::lock_guard lock(mutex_);
    StreamChannel channel;
    channel.destination = Boot(reg::kStreamDestination);
    channel.port = static_cast<uint16_t>(Boot(reg::kStreamPort));
    channel.packetSize = Boot(reg::kStreamPacketSize) & kScpsSizeMask;
    channel.packetDelayTicks = Boot(reg::kStreamPacketDelay);
    return channel;
}

bool CGvcpServer::HasController() const {
    std::lock_guard lock(mutex_);
    return ccp_ != 0;
}

Endpoint CGvcpServer::Controller() const {
    std::lock_guard lock(mutex_);
    return controller_;
}

bool CGvcpServer::MayRead(const Endpoint& from) const {
    return (ccp_ & kCcpExclusive) == 0 || from == controller_;
}

bool CGvcpServer::MayWrite(const Endpoint& from) const { return ccp_ != 0 && from == controller_; }

void CGvcpServer::ReleaseControl() {
    {
        std::lock_guard lock(mutex_);
        ccp_ = 0;
        controller_ = {};
        SetBoot(reg::kCcp, 0);
        // A new controller sets up its own channel: nothing streams to the old one.
        SetBoot(reg::kStreamPort, 0);
        SetBoot(reg::kStreamDestination, 0);
    }
    device_.ControlReleased();
}

void CGvcpServer::Tick(uint64_t nowMs) {
    bool expired;
    {
        std::lock_guard lock(mutex_);
        expired = ccp_ != 0 && nowMs - lastHeard_ > Boot(reg::kHeartbeatTimeout);
    }
    if (expired) ReleaseControl();
}

uint16_t CGvcpServer::ReadWord(uint32_t address, uint32_t* value) {
    if (address % 4 != 0) return kStatusBadAlignment;
    if (InFeatures(address)) return device_.ReadFeature(address, value);
    uint8_t bytes[4];
    const uint16_t status = ReadMemory(address, bytes, 4);
    if (status == kStatusSuccess) *value = GetU32(bytes);
    return status;
}

uint16_t CGvcpServer::ReadMemory(uint32_t address, uint8_t* out, std::size_t size) {
    const uint64_t end = static_cast<uint64_t>(address) + size;
    if (end <= boot_.size()) {
        std::lock_guard lock(mutex_);
        std::memcpy(out, &boot_[address], size);
        return kStatusSuccess;
    }
    if (address >= feature::kBase && end <= feature::kEnd) {
        if (address % 4 != 0 || size % 4 != 0) return kStatusBadAlignment;
        for (std::size_t i = 0; i < size; i += 4) {
            uint32_t value = 0;
            const uint16_t status = device_.ReadFeature(static_cast<uint32_t>(address + i), &value);
            if (status != kStatusSuccess) return status;
            PutU32(out + i, value);
        }
        return kStatusSuccess;
    }
    // The description, padded with zeros to whole words for clients that round up.
    const uint64_t xmlEnd = feature::kXmlAddress + ((xml_.size() + 3) & ~std::size_t{3});
    if (address >= feature::kXmlAddress && end <= xmlEnd) {
        const std::size_t offset = address - feature::kXmlAddress;
        const std::size_t available = offset < xml_.size() ? xml_.size() - offset : 0;
        const std::size_t copied = std::min(size, available);
        std::memcpy(out, xml_.data() + offset, copied);
        std::memset(out + copied, 0, size - copied);
        return kStatusSuccess;
    }
    return kStatusInvalidAddress;
}

uint16_t CGvcpServer::WriteWord(uint32_t address, uint32_t value, const Endpoint& from,
                                uint64_t nowMs) {
    if (address % 4 != 0) return kStatusBadAlignment;
    if (address == reg::kCcp) {
        std::unique_lock lock(mutex_);
        if (ccp_ != 0 && !(from == controller_)) return kStatusAccessDenied;
        const uint32_t wanted = value & (kCcpExclusive | kCcpControl);
        if (wanted == 0) {
            const bool held = ccp_ != 0;
            lock.unlock();
            if (held) ReleaseControl();
            return kStatusSuccess;
        }
        ccp_ = wanted;
        controller_ = from;
        lastHeard_ = nowMs;
        SetBoot(reg::kCcp, wanted);
        return kStatusSuccess;
    }
    if (!MayWrite(from)) return kStatusAccessDenied;
    if (InFeatures(address)) return device_.WriteFeature(address, value);
    if (address >= boot_.size()) return kStatusInvalidAddress;
    if (!WritableBootRegister(address)) return kStatusWriteProtect;
    bool fireTest = false;
    {
        std::lock_guard lock(mutex_);
        switch (address) {
            case reg::kHeartbeatTimeout:
                value = std::max(value, kMinHeartbeatMs);
                break;
            case reg::kStreamPacketSize: {
                // Out-of-range sizes are clamped: some clients size their receive
                // buffers from what they wrote, and a size above the advertised
                // maximum makes one of them overrun its heap.
                uint32_t size = std::clamp(value & kScpsSizeMask, kMinPacketSize, maxPacketSize_);
                size &= ~3u;
                fireTest = (value & kScpsFireTestPacket) != 0;
                value = (value & (kScpsDoNotFragment | kScpsBigEndian)) | size;
                break;
            }
            case reg::kStreamPort:
                value &= 0xFFFF;
                break;
            case reg::kStreamDestination: {
                // One receiver, or a group when the server was started for it;
                // never every host of a network.
                const bool group = (value >> 28) == 0xE;
                const bool broadcast =
                    value == 0xFFFFFFFFu ||
                    (mask_ != 0 && mask_ != 0xFFFFFFFFu && (value & mask_) == (ip_ & mask_) &&
                     (value | mask_) == 0xFFFFFFFFu);
                if (broadcast || (group && !allowMulticast_)) return kStatusInvalidParameter;
                break;
            }
            case reg::kTimestampControl:
                if (value & 0x2) {
                    // Latch: the value registers hold the clock until the next latch.
                    const uint64_t now = nowMs * 1000000ull;
                    SetBoot(reg::kTimestampValueHigh, static_cast<uint32_t>(now >> 32));
                    SetBoot(reg::kTimestampValueLow, static_cast<uint32_t>(now));
                }
                value = 0;  // self-clearing
                break;
            default:
                break;
        }
        SetBoot(address, value);
    }
    if (fireTest) device_.FireTestPacket();
    return kStatusSuccess;
}

uint16_t CGvcpServer::WriteBytes(uint32_t address, const uint8_t* data, std::size_t size,
                                 const Endpoint& from, uint64_t nowMs) {
    const uint64_t end = static_cast<uint64_t>(address) + size;
    if (address >= reg::kUserName && end <= reg::kUserName + 16) {
        if (!MayWrite(from)) return kStatusAccessDenied;
        std::lock_guard lock(mutex_);
        std::memcpy(&boot_[address], data, size);
        boot_[reg::kUserName + 15] = 0;
        return kStatusSuccess;
    }
    if (address % 4 != 0 || size % 4 != 0) return kStatusBadAlignment;
    for (std::size_t i = 0; i < size; i += 4) {
        const uint16_t status =
            WriteWord(static_cast<uint32_t>(address + i), GetU32(data + i), from, nowMs);
        if (status != kStatusSuccess) return status;
    }
    return kStatusSuccess;
}

void CGvcpServer::Handle(const uint8_t* data, std::size_t size, const Endpoint& from,
                         uint64_t nowMs, const Reply& reply) {
    if (size < kGvcpHeaderSize || data[0] != kGvcpKey) return;  // not a command: no answer
    const bool ackWanted = (data[1] & kFlagAckWanted) != 0;
    const uint16_t command = GetU16(data + 2);
    const uint16_t length = GetU16(data + 4);
    const uint16_t id = GetU16(data + 6);
    const uint8_t* body = data + kGvcpHeaderSize;
    const std::size_t bodySize = size - kGvcpHeaderSize;
    auto send = [&](Ack& ack) {
        if (ackWanted || command == kDiscoveryCmd) reply(ack.bytes.data(), ack.bytes.size());
    };
    auto nack = [&](uint16_t status) {
        Ack ack(status, AckFor(command), id, 0);
        send(ack);
    };
    if (length > bodySize) {
        nack(kStatusInvalidHeader);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        if (ccp_ != 0 && from == controller_) lastHeard_ = nowMs;  // any command is a heartbeat
    }

    switch (command) {
        case kDiscoveryCmd: {
            Ack ack(kStatusSuccess, kDiscoveryAck, id, reg::kDiscoveryDataSize);
            ReadMemory(0, ack.Data(), reg::kDiscoveryDataSize);
            reply(ack.bytes.data(), ack.bytes.size());
            return;
        }
        case kPacketResendCmd: {
            // From the receiver's stream socket, never acknowledged. Standard ids:
            // block (low 16 bits), first, last; extended ids follow with a 64-bit block.
            if (length < 12) return;
            const StreamChannel channel = Stream();
            if (channel.port == 0 || from.ip != channel.destination) return;
            const uint16_t block = static_cast<uint16_t>(GetU32(body));
            const uint32_t first = GetU32(body + 4) & 0xFFFFFF;
            const uint32_t last = GetU32(body + 8) & 0xFFFFFF;
            if (first <= last) device_.Resend(block, first, last);
            return;
        }
        case kReadRegCmd: {
            if (length == 0 || length % 4 != 0 || length / 4 > kMaxRegistersPerCommand) {
                nack(kStatusInvalidParameter);
                return;
            }
            if (!MayRead(from)) {
                nack(kStatusAccessDenied);
                return;
            }
            Ack ack(kStatusSuccess, kReadRegAck, id, length);
            for (std::size_t i = 0; i < length; i += 4) {
                uint32_t value = 0;
                const uint16_t status = ReadWord(GetU32(body + i), &value);
                if (status != kStatusSuccess) {
                    nack(status);
                    return;
                }
                PutU32(ack.Data() + i, value);
            }
            send(ack);
            return;
        }
        case kWriteRegCmd: {
            if (length == 0 || length % 8 != 0 || length / 8 > kMaxRegistersPerCommand) {
                nack(kStatusInvalidParameter);
                return;
            }
            uint16_t written = 0;
            for (std::size_t i = 0; i < length; i += 8) {
                const uint32_t address = GetU32(body + i);
                if (ackWanted && InFeatures(address) && device_.SlowWrite(address) &&
                    MayWrite(from)) {
                    Ack pending(kStatusSuccess, kPendingAck, id, 4);
                    PutU16(pending.Data() + 2, kPendingMs);
                    reply(pending.bytes.data(), pending.bytes.size());
                }
                const uint16_t status = WriteWord(address, GetU32(body + i + 4), from, nowMs);
                if (status != kStatusSuccess) {
                    Ack ack(status, kWriteRegAck, id, 4);
                    PutU16(ack.Data() + 2, written);
                    send(ack);
                    return;
                }
                ++written;
            }
            Ack ack(kStatusSuccess, kWriteRegAck, id, 4);
            PutU16(ack.Data() + 2, written);
            send(ack);
            return;
        }
        case kReadMemCmd: {
            if (length < 8) {
                nack(kStatusInvalidParameter);
                return;
            }
            const uint32_t address = GetU32(body);
            const uint16_t count = GetU16(body + 6);
            if (count == 0 || count > kMaxMemoryAccess) {
                nack(kStatusInvalidParameter);
                return;
            }
            if (!MayRead(from)) {
                nack(kStatusAccessDenied);
                return;
            }
            Ack ack(kStatusSuccess, kReadMemAck, id, 4 + count);
            PutU32(ack.Data(), address);
            const uint16_t status = ReadMemory(address, ack.Data() + 4, count);
            if (status != kStatusSuccess) {
                nack(status);
                return;
            }
            send(ack);
            return;
        }
        case kWriteMemCmd: {
            if (length <= 4 || length - 4u > kMaxMemoryAccess) {
                nack(kStatusInvalidParameter);
                return;
            }
            const uint32_t address = GetU32(body);
            if (ackWanted && InFeatures(address) && device_.SlowWrite(address) && MayWrite(from)) {
                Ack pending(kStatusSuccess, kPendingAck, id, 4);
                PutU16(pending.Data() + 2, kPendingMs);
                reply(pending.bytes.data(), pending.bytes.size());
            }
            const uint16_t status = WriteBytes(address, body + 4, length - 4u, from, nowMs);
            Ack ack(status, kWriteMemAck, id, 4);
            PutU16(ack.Data() + 2,
                   status == kStatusSuccess ? static_cast<uint16_t>(length - 4) : 0);
            send(ack);
            return;
        }
        default:
            nack(kStatusNotImplemented);
            return;
    }
}

}  // namespace veltcam::gige
