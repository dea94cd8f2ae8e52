#include "sim/CSimCamera.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/DriverChannel.h"
#include "transport/RequestHeader.h"

namespace veltcam::sim {
namespace {

constexpr uint8_t kI2cFpga = 0x40;
constexpr uint8_t kI2cAux = 0x5A;
constexpr uint8_t kI2cEeprom = 0xA2;
constexpr uint8_t kI2cSensor = 0x48;
constexpr uint8_t kI2cSensorReadiness = 0x5E;
constexpr uint32_t kFrameHeaderBytes = 64;
// Bulk packets on a SuperSpeed link.
constexpr uint32_t kMaxPacketBytes = 1024;
// What the controller writes into status word 1 when an I2C device did not acknowledge.
constexpr uint32_t kStatusI2cNak = 0xC0000004;
// Busy, with the configuration bits that the sensor start-up waits on.
constexpr uint8_t kFpgaBusyStatus = 0x92;
constexpr uint8_t kSensorInterfaceReady = 0x02;
// Line times of the sensor: free-run, and paced by the FPGA in trigger mode. Half
// readout has shorter lines (2212 instead of 2256 clocks).
constexpr double kLineMicros = 6153.0 / 54545.0 * 100.0;
constexpr double kTriggeredLineMicros = 5760.0 / 54545.0 * 100.0;
constexpr double kHalfLineFactor = 2212.0 / 2256.0;
// The exposure at which the scene is shown at its nominal brightness: 1507 lines.
constexpr double kReferenceExposureMicros = 1507 * kLineMicros;

}  // namespace

CSimCamera::CSimCamera(int index, uint16_t vendorId, uint16_t productId, const SimOptions& options,
                       CSimFaults& faults, CSimClock& clock)
    : index_(index),
      vendorId_(vendorId),
      productId_(productId),
      options_(options),
      faults_(faults),
      clock_(clock),
      scene_(options) {
    char path[128];
    std::snprintf(path, sizeof(path),
                  "\\\\?\\usb#vid_%04x&pid_%04x#SIM%04d#{328184c5-93e6-49b7-94b8-2ada13aabb39}",
                  vendorId, productId, index);
    path_ = path;

    eeprom_.fill(0xFF);
    std::string serial = options.serial;
    if (serial.empty()) {
        char text[32];
        std::snprintf(text, sizeof(text), "VCSIM%04d", index);
        serial = text;
    } else if (index > 0) {
        serial.append(1, '-').append(std::to_string(index));
    }
    serial = serial.substr(0, 31);
    std::memcpy(eeprom_.data() + kSerialAddress, serial.c_str(), serial.size() + 1);
    PowerUp();
}

CSimCamera::~CSimCamera() = default;

void CSimCamera::PowerUp() {
    modeByte_ = 0;
    bridge_.clear();
    bridgePairs_.clear();
    fpga_.fill(0);
    fpga_[fpga::kVersionLow] = static_cast<uint8_t>(options_.fpgaVersion);
    fpga_[fpga::kVersionHigh] = static_cast<uint8_t>(options_.fpgaVersion >> 8);
    fpga_[fpga::kDepth] = 1;
    fpga_[fpga::kWidthLow] = 2048 & 0xFF;
    fpga_[fpga::kWidthHigh] = 2048 >> 8;
    fpga_[fpga::kHeightLow] = 1536 & 0xFF;
    fpga_[fpga::kHeightHigh] = 1536 >> 8;
    fpga_[fpga::kReadoutMode] = 12;
    fpga_[fpga::kSensorInterface] = kSensorInterfaceReady;
    fpgaPointer_ = 0;
    aux_.fill(0);
    auxPointer_ = 0;
    eepromAddress_ = 0;
    eepromWriting_ = false;
    sensor_.PowerUp();
    in_.clear();
    frameRequests_ = 0;
    triggersPending_ = 0;
    writeRemaining_ = 0;
    lastFrameAt_ = SteadyClock::time_point{};
    nextTriggerAt_ = SteadyClock::time_point{};
}

void CSimCamera::Unplug() {
    plugged_ = false;
    in_.clear();
    frameRequests_ = 0;
}

void CSimCamera::Replug() {
    if (plugged_) return;
    plugged_ = true;
    ++generation_;
    PowerUp();
}

// ---------------------------------------------------------------------------
// Endpoint 0

bool CSimCamera::Control(uint8_t* record, uint32_t inBytes, uint32_t outBytes, uint32_t* bytes,
                         uint32_t* error) {
    *bytes = 0;
    if (inBytes < kControlRecordBytes || outBytes < kControlRecordBytes) {
        *error = platform::kErrorInvalidParameter;
        return false;
    }
    const RequestFields f = ReadRequestHeader(record);
    // The driver takes only well-formed endpoint-0 records.
    if (f.length != kControlRecordBytes || f.timeoutSeconds == 0 || f.endpoint != 0 ||
        f.dataOffset != kRequestHeaderBytes || f.dataLength != kControlDataBytes) {
        *error = platform::kErrorInvalidParameter;
        return false;
    }
    uint8_t data[kControlDataBytes];
    std::memcpy(data, record + kRequestHeaderBytes, sizeof(data));
    uint8_t reply[kControlDataBytes] = {};
    i2cNak_ = false;
    if (!Vendor(f.requestType, f.request, f.value, f.index, data, reply, error)) return false;
    if (f.requestType & 0x80) std::memcpy(record + kRequestHeaderBytes, reply, sizeof(reply));
    // The controller answers a request whose I2C transfer found no acknowledge: the
    // request itself went through, only the status word tells.
    if (i2cNak_) PutLe32(record + header::kStatus1, kStatusI2cNak);
    *bytes = kControlRecordBytes;
    if (faults_.Hit(FaultKind::ShortReply, index_, f.request)) *bytes = kRequestHeaderBytes;
    return true;
}

bool CSimCamera::Vendor(uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                        const uint8_t* data, uint8_t* reply, uint32_t* error) {
    *error = platform::kErrorGenFailure;
    auto is = [&](uint8_t wantType, uint8_t wantRequest) {
        return type == wantType && request == wantRequest;
    };
    if (is(kVendorFromDevice, 0xB0)) {
        std::memcpy(reply, "VCSIM-FX3", 9);
        PutLe16(reply + 24, options_.firmware);
        reply[52] = options_.gpio25;
        return true;
    }
    if (is(kVendorFromDevice, 0xB1)) {
        std::memcpy(reply, "VCSIM-FX3-2", 11);
        return true;
    }
    if (is(kVendorToDevice, 0xC0)) {  // stop stream
        in_.clear();
        frameRequests_ = 0;
        return true;
    }
    if (is(kVendorToEndpoint, 0xC2)) {  // request frame
        ++frameRequests_;
        return true;
    }
    if (is(kVendorFromDevice, 0xC3)) {  // ready flag
        reply[0] = faults_.Hit(FaultKind::ReadyStuck, index_) ? 0 : 1;
        return true;
    }
    if (is(kVendorToEndpoint, 0xCC)) return true;
    if (is(kVendorToDevice, 0x3C)) {
        modeByte_ = data[0];
        return true;
    }
    if (is(kVendorFromDevice, 0x3D)) {
        reply[0] = modeByte_;
        return true;
    }
    if (is(kVendorToDevice, 0x30)) {
        if (value > kControlDataBytes) return false;
        return I2cWrite(static_cast<uint8_t>(index), data, value);
    }
    if (is(kVendorFromDevice, 0x31)) {
        if (value > kControlDataBytes || (index & 1) == 0) return false;
        return I2cRead(static_cast<uint8_t>(index & 0xFE), reply, value);
    }
    if (is(kVendorToDevice, 0xD0)) {
        bridge_[static_cast<uint16_t>(((value & 1) << 15) | (index & 0x7FFF))] = GetLe32(data);
        return true;
    }
    if (is(kVendorFromDevice, 0xD1)) {
        PutLe16(reply, static_cast<uint16_t>(bridge_[index]));
        return true;
    }
    if (is(kVendorToDevice, 0x3E)) {
        uint16_t first = static_cast<uint16_t>(data[0] << 8 | data[1]);
        bridgePairs_[first] = static_cast<uint16_t>(data[2] << 8 | data[3]);
        return true;
    }
    if (is(kVendorFromDevice, 0x3F)) {
        PutLe16(reply, bridgePairs_[value]);
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// I2C bus

bool CSimCamera::EepromBusy() {
    if (!eepromWriting_) return false;
    if (clock_.TickMs() - eepromWriteTick_ < options_.eepromWriteCycleMs) return true;
    eepromWriting_ = false;
    return false;
}

bool CSimCamera::I2cWrite(uint8_t device, const uint8_t* bytes, int count) {
    const int reg = count > 0 ? bytes[0] : -1;
    int refuseReg = reg;
    if ((device == kI2cEeprom || device == kI2cSensor) && count >= 2) {
        refuseReg = (bytes[0] << 8) | bytes[1];
    }
    if (faults_.Hit(FaultKind::I2cRefuse, index_, device, refuseReg)) return false;
    if (faults_.Hit(FaultKind::I2cNak, index_, device, refuseReg)) return Nak();
    switch (device) {
        case kI2cFpga:
            if (count < 1) return false;
            fpgaPointer_ = bytes[0];
            // Data goes high byte first; the register keeps the low byte.
            if (count >= 3) WriteFpga(bytes[0], bytes[2]);
            return true;
        case kI2cAux:
            if (count < 1) return false;
            auxPointer_ = bytes[0];
            if (count >= 2) aux_[bytes[0]] = bytes[1];
            return true;
        case kI2cEeprom:
            if (EepromBusy()) return Nak();  // no acknowledge during a write cycle
            if (count < 2) return false;
            eepromAddress_ = static_cast<uint16_t>(((bytes[0] << 8) | bytes[1]) % kEepromBytes);
            if (count > 2) {
                for (int i = 2; i < count; ++i) {
                    eeprom_[eepromAddress_] = bytes[i];
                    eepromAddress_ = static_cast<uint16_t>((eepromAddress_ + 1) % kEepromBytes);
                }
                eepromWriting_ = true;
                eepromWriteTick_ = clock_.TickMs();
            }
            return true;
        case kI2cSensor:
            return sensor_.Write(bytes, count);
        case kI2cSensorReadiness:
            return true;
        default:
            return false;
    }
}

bool CSimCamera::I2cRead(uint8_t device, uint8_t* bytes, int count) {
    int reg = -1;
    if (device == kI2cFpga) reg = fpgaPointer_;
    if (device == kI2cAux) reg = auxPointer_;
    if (device == kI2cEeprom) reg = eepromAddress_;
    if (device == kI2cSensor) reg = -1;
    if (faults_.Hit(FaultKind::I2cRefuse, index_, device, reg)) return false;
    if (faults_.Hit(FaultKind::I2cNak, index_, device, reg)) return Nak();
    switch (device) {
        case kI2cFpga:
            // Two bytes: the high byte (always 0) and the register.
            if (count >= 1) bytes[0] = 0;
            if (count >= 2) bytes[1] = ReadFpga(fpgaPointer_);
            return true;
        case kI2cAux:
            for (int i = 0; i < count; ++i) bytes[i] = aux_[static_cast<uint8_t>(auxPointer_ + i)];
            return true;
        case kI2cEeprom:
            if (EepromBusy()) return Nak();
            for (int i = 0; i < count; ++i) {
                bytes[i] = eeprom_[eepromAddress_];
                eepromAddress_ = static_cast<uint16_t>((eepromAddress_ + 1) % kEepromBytes);
            }
            return true;
        case kI2cSensor:
            return sensor_.Read(bytes, count);
        case kI2cSensorReadiness:
            // First byte 0: the sensor has finished its power-up.
            for (int i = 0; i < count; ++i) bytes[i] = 0;
            if (count > 0 && faults_.Hit(FaultKind::SensorBusy, index_)) bytes[0] = 1;
            return true;
        default:
            return false;
    }
}

void CSimCamera::WriteFpga(uint8_t reg, uint8_t value) {
    const uint8_t old = fpga_[reg];
    switch (reg) {
        case fpga::kStatus:
        case fpga::kFrameCounter:
        case fpga::kVersionLow:
        case fpga::kVersionHigh:
            return;  // read-only
        case fpga::kRearm:
            // Re-arming restarts the frame output: whatever was on its way is dropped.
            if (old == 1 && value == 0) {
                ++rearms_;
                in_.clear();
                frameRequests_ = 0;
            }
            break;
        case fpga::kSensorInterface:
            // Bit 0 is the host's request line; the ready bit belongs to the FPGA.
            fpga_[reg] = static_cast<uint8_t>((old & kSensorInterfaceReady) | (value & 1));
            if ((old & 1) && !(value & 1)) fpga_[reg] |= kSensorInterfaceReady;
            return;
        case fpga::kSensorInterfaceReset:
            if (!(old & 1) && (value & 1)) ++interfaceResets_;
            break;
        default:
            break;
    }
    fpga_[reg] = value;
}

uint8_t CSimCamera::ReadFpga(uint8_t reg) {
    switch (reg) {
        case fpga::kStatus:
            return faults_.Hit(FaultKind::FpgaBusy, index_) ? kFpgaBusyStatus : fpga_[reg];
        case fpga::kSensorInterface:
            if (faults_.Hit(FaultKind::SensorIfDown, index_)) {
                return static_cast<uint8_t>(fpga_[reg] & ~kSensorInterfaceReady);
            }
            return fpga_[reg];
        default:
            return fpga_[reg];
    }
}

// ---------------------------------------------------------------------------
// Bulk endpoints

bool CSimCamera::NextReadIsHeader(uint32_t length) const {
    return length == kFrameHeaderBytes &&
           (in_.empty() || in_.front().kind == MessageKind::FrameHeader);
}

void CSimCamera::LoseNextFrame() {
    if (!in_.empty() && in_.front().kind == MessageKind::FrameHeader) {
        in_.pop_front();
        if (!in_.empty() && in_.front().kind == MessageKind::FramePayload) in_.pop_front();
        return;
    }
    if (frameRequests_ > 0) {
        // The sensor took the frame; it just never left the camera.
        --frameRequests_;
        ++frameNumber_;
    }
}

void CSimCamera::FlushIn() {
    in_.clear();
    frameRequests_ = 0;
}

void CSimCamera::ResetPort() {
    in_.clear();
    frameRequests_ = 0;
    writeRemaining_ = 0;
}

bool CSimCamera::TriggerMode() const { return sensor_.HardwareTrigger(); }

SteadyClock::duration CSimCamera::FramePeriod() const {
    if (options_.fpsMax) return SteadyClock::duration::zero();
    double micros;
    if (options_.fps > 0) {
        micros = 1e6 / options_.fps;
    } else {
        micros = std::max(sensor_.FrameLength(), 1) * kLineMicros *
                 (sensor_.HalfReadout() ? kHalfLineFactor : 1.0);
    }
    return std::chrono::duration_cast<SteadyClock::duration>(
        std::chrono::duration<double, std::micro>(micros));
}

SceneSetup CSimCamera::CurrentSetup() const {
    SceneSetup setup;
    setup.width = fpga_[fpga::kWidthLow] | (fpga_[fpga::kWidthHigh] << 8);
    setup.height = fpga_[fpga::kHeightLow] | (fpga_[fpga::kHeightHigh] << 8);
    setup.bytesPerPixel = fpga_[fpga::kDepth] == 2 ? 2 : 1;
    setup.half = sensor_.HalfReadout();
    setup.windowOn = !setup.half && sensor_.WindowOn();
    if (setup.windowOn) {
        setup.startX = sensor_.WindowStartX();
        setup.startY = sensor_.WindowStartY();
        setup.windowWidth = sensor_.WindowWidth();
        setup.windowHeightRegister = sensor_.WindowHeightRegister();
    }
    setup.mirrorH = sensor_.MirrorH();
    setup.mirrorV = sensor_.MirrorV();
    // Light collected: exposure time (free-run: frame length less the shutter line; in
    // trigger mode: the FPGA's exposure lines at its line time), amplified by the gain
    // in 0.1 dB steps.
    double micros;
    if (TriggerMode()) {
        const int lines = fpga_[fpga::kTriggerLines0] | (fpga_[fpga::kTriggerLines1] << 8) |
                          (fpga_[fpga::kTriggerLines2] << 16);
        micros = lines * kTriggeredLineMicros;
    } else {
        micros = std::max(sensor_.FrameLength() - sensor_.Shutter(), 1) * kLineMicros;
    }
    setup.brightness =
        micros / kReferenceExposureMicros * std::pow(10.0, (sensor_.Gain() - 64) / 200.0);
    return setup;
}

bool CSimCamera::FrameDue(SteadyClock::time_point now, SteadyClock::time_point* readyAt) {
    *readyAt = SteadyClock::time_point::max();
    if (frameRequests_ == 0) return false;
    if (TriggerMode()) return triggersPending_ > 0;
    SteadyClock::time_point due = lastFrameAt_ + FramePeriod();
    if (now >= due) return true;
    *readyAt = due;
    return false;
}

void CSimCamera::ProduceFrame(SteadyClock::time_point now) {
    --frameRequests_;
    if (TriggerMode() && triggersPending_ > 0) --triggersPending_;
    lastFrameAt_ = now;
    ++frameNumber_;
    ++framesSent_;
    if (!TriggerMode()) fpga_[fpga::kFrameCounter] = static_cast<uint8_t>(framesSent_);

    const SceneSetup setup = CurrentSetup();
    uint32_t length = 0;
    const uint8_t* payload = nullptr;
    // The sensor's whole frame at 16 bits is the most its FIFO ever holds; any
    // window shape within that is rendered (tests use long narrow ones).
    const uint64_t frameBytes = uint64_t{setup.width} * setup.height * setup.bytesPerPixel;
    if (frameBytes <= uint64_t{scene::kWidth} * scene::kHeight * 2) {
        try {
            payload = scene_.Frame(setup, frameNumber_, &length);
        } catch (const std::bad_alloc&) {
            payload = nullptr;  // announced below, never sent
        }
    }
    if (payload == nullptr) {
        // Frame registers written past the sensor (directly, through the FPGA register
        // export) ask for more than the sensor has: the FPGA announces that size and
        // sends nothing, so the host's transfer fails instead of the simulator
        // rendering gigabytes.
        length = static_cast<uint32_t>(std::min<uint64_t>(frameBytes, 0xFFFFFFFFu));
    } else if (const FaultSpec* wrong = faults_.Hit(FaultKind::PayloadLength, index_)) {
        // A glitched length: the camera sends what its header declares, cut short or
        // padded with whatever its memory held.
        if (wrong->argument > length) {
            padded_.assign(wrong->argument, 0x5A);
            std::memcpy(padded_.data(), payload, length);
            payload = padded_.data();
        }
        length = wrong->argument;
    }

    Message header{MessageKind::FrameHeader, nullptr, std::vector<uint8_t>(kFrameHeaderBytes, 0),
                   kFrameHeaderBytes, 0};
    uint8_t* h = header.owned.data();
    std::memcpy(h, "VCFH", 4);
    PutLe32(h + 16, length);
    PutLe32(h + 28, framesSent_);
    PutLe32(h + 32, frameNumber_);
    PutLe32(h + 40, setup.width);
    PutLe32(h + 44, setup.height);
    header.data = h;
    in_.push_back(std::move(header));
    if (length > 0 && payload != nullptr) {
        in_.push_back(Message{MessageKind::FramePayload, payload, {}, length, 0});
    }
}

CSimCamera::InResult CSimCamera::ReadIn(SteadyClock::time_point now, uint8_t* destination,
                                        uint32_t length, uint32_t* bytes,
                                        SteadyClock::time_point* readyAt) {
    *bytes = 0;
    *readyAt = SteadyClock::time_point::max();
    if (in_.empty()) {
        if (!FrameDue(now, readyAt)) return InResult::Wait;
        if (faults_.Hit(FaultKind::Unplug, index_)) return InResult::Unplugged;
        ProduceFrame(now);
    }
    Message& message = in_.front();
    const uint32_t remaining = message.length - message.offset;
    const uint32_t n = std::min(length, remaining);
    if (n > 0 && destination != nullptr) std::memcpy(destination, message.data + message.offset, n);
    if (remaining > length && length % kMaxPacketBytes != 0) {
        // The camera's next packet does not fit what is left of the read: the host
        // controller reports an overflow and the packet is lost.
        const uint32_t lost = std::min(remaining, (length / kMaxPacketBytes + 1) * kMaxPacketBytes);
        message.offset += lost;
        if (message.offset >= message.length) in_.pop_front();
        return InResult::Overflow;
    }
    message.offset += n;
    if (message.offset >= message.length) in_.pop_front();
    *bytes = n;
    return InResult::Served;
}

void CSimCamera::LoseInFlight(uint32_t length) {
    // A header read that stalls has already lost its frame (LoseNextFrame).
    if (in_.empty() || length == 0 || in_.front().kind == MessageKind::FrameHeader) return;
    Message& message = in_.front();
    message.offset += std::min(length, message.length - message.offset);
    if (message.offset >= message.length) in_.pop_front();
}

bool CSimCamera::Nak() {
    i2cNak_ = true;
    return true;
}

uint8_t CSimCamera::MemoryByte(uint64_t address) const {
    auto it = memory_.find(address);
    if (it != memory_.end()) return it->second;
    // Unwritten memory reads as a pattern of its address.
    return static_cast<uint8_t>((address * 31) ^ (address >> 8));
}

uint32_t CSimCamera::WriteOut(const uint8_t* source, uint32_t length) {
    if (writeRemaining_ > 0) {
        const uint32_t n = std::min(length, writeRemaining_);
        for (uint32_t i = 0; i < n; ++i) memory_[writeAddress_ + i] = source[i];
        writeAddress_ += n;
        writeRemaining_ -= n;
        return n;
    }
    if (length >= 32 &&
        (std::memcmp(source, "AU3R", 4) == 0 || std::memcmp(source, "AU3W", 4) == 0)) {
        const uint64_t address = GetLe32(source + 8) | (uint64_t{GetLe32(source + 12)} << 32);
        const uint32_t count = GetLe32(source + 16);
        if (source[3] == 'R') {
            Message message{MessageKind::Memory, nullptr, std::vector<uint8_t>(count), count, 0};
            for (uint32_t i = 0; i < count; ++i) message.owned[i] = MemoryByte(address + i);
            message.data = message.owned.data();
            if (count > 0) in_.push_back(std::move(message));
        } else {
            writeAddress_ = address;
            writeRemaining_ = count;
        }
    }
    return length;
}

// ---------------------------------------------------------------------------
// Triggers

void CSimCamera::Trigger() {
    ++triggersPending_;
    fpga_[fpga::kFrameCounter] = static_cast<uint8_t>(fpga_[fpga::kFrameCounter] + 1);
}

void CSimCamera::Tick(SteadyClock::time_point now, SteadyClock::time_point* wake) {
    if (!plugged_ || options_.triggerPeriodMs == 0) return;
    const auto period = std::chrono::milliseconds(options_.triggerPeriodMs);
    if (nextTriggerAt_ == SteadyClock::time_point{}) nextTriggerAt_ = now + period;
    if (now >= nextTriggerAt_) {
        if (TriggerMode()) Trigger();
        nextTriggerAt_ = now + period;
    }
    *wake = std::min(*wake, nextTriggerAt_);
}

}  // namespace veltcam::sim
