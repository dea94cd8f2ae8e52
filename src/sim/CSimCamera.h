// One simulated camera behind the simulated driver: the USB controller's vendor
// requests, the I2C bus with the FPGA register file, the EEPROM and the auxiliary
// device, and the bulk endpoints that carry frames and memory data.
//
// Not thread-safe by itself: the driver calls it under its own lock.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/CSimClock.h"
#include "sim/CSimFaults.h"
#include "sim/CSimScene.h"
#include "sim/CSimSensor.h"
#include "sim/SimOptions.h"

namespace veltcam::sim {

using SteadyClock = std::chrono::steady_clock;

// FPGA registers the simulator gives a meaning to.
namespace fpga {
constexpr uint8_t kStatus = 2;
constexpr uint8_t kIoPort = 7;
constexpr uint8_t kFrameCounter = 8;
constexpr uint8_t kVersionLow = 16;
constexpr uint8_t kVersionHigh = 17;
constexpr uint8_t kDepth = 60;
constexpr uint8_t kHeightLow = 64;
constexpr uint8_t kHeightHigh = 65;
constexpr uint8_t kWidthLow = 68;
constexpr uint8_t kWidthHigh = 69;
constexpr uint8_t kReadoutMode = 72;
constexpr uint8_t kTriggerPacing = 88;
constexpr uint8_t kRearm = 108;
constexpr uint8_t kSensorInterface = 129;
constexpr uint8_t kSensorInterfaceReset = 130;
constexpr uint8_t kTriggerLines0 = 133;
constexpr uint8_t kTriggerLines1 = 134;
constexpr uint8_t kTriggerLines2 = 155;
}  // namespace fpga

class CSimCamera {
  public:
    static constexpr size_t kEepromBytes = 8192;
    static constexpr uint16_t kSerialAddress = 0x1040;

    CSimCamera(int index, uint16_t vendorId, uint16_t productId, const SimOptions& options,
               CSimFaults& faults, CSimClock& clock);
    ~CSimCamera();

    int Index() const { return index_; }
    uint16_t ProductId() const { return productId_; }
    const std::string& Path() const { return path_; }
    bool Plugged() const { return plugged_; }
    // Incremented by every replug: handles opened before it are dead.
    uint32_t Generation() const { return generation_; }
    void Unplug();
    // Plugged in again: the camera powers up afresh; the EEPROM keeps its contents.
    void Replug();

    // One endpoint-0 request record (102 bytes) answered in place. False with `error`
    // when the device does not acknowledge it.
    bool Control(uint8_t* record, uint32_t inBytes, uint32_t outBytes, uint32_t* bytes,
                 uint32_t* error);

    // Bulk endpoint 0x81.
    // Overflow: the next packet was longer than what was left of the read.
    enum class InResult { Served, Wait, Unplugged, Overflow };
    // True when a read of `length` bytes would be taken as a frame header.
    bool NextReadIsHeader(uint32_t length) const;
    // The camera never sends the frame that a timed-out header read waited for.
    void LoseNextFrame();
    InResult ReadIn(SteadyClock::time_point now, uint8_t* destination, uint32_t length,
                    uint32_t* bytes, SteadyClock::time_point* readyAt);
    // Bulk endpoint 0x01: memory commands and memory data.
    uint32_t WriteOut(const uint8_t* source, uint32_t length);
    // An aborted read loses the packets that were on their way into it.
    void LoseInFlight(uint32_t length);
    // Reset pipe: what the endpoint still held is dropped.
    void FlushIn();
    void ResetPort();

    // Hardware trigger input: one trigger now.
    void Trigger();
    // Periodic trigger source and other timed behaviour; lowers `wake` to the next
    // time something happens.
    void Tick(SteadyClock::time_point now, SteadyClock::time_point* wake);

    // Test access.
    uint8_t FpgaRegister(uint8_t reg) const { return fpga_[reg]; }
    void SetFpgaRegister(uint8_t reg, uint8_t value) { fpga_[reg] = value; }
    uint8_t EepromByte(uint16_t address) const { return eeprom_[address % kEepromBytes]; }
    uint8_t ModeByte() const { return modeByte_; }
    uint32_t FramesSent() const { return framesSent_; }
    uint32_t Rearms() const { return rearms_; }
    uint32_t InterfaceResets() const { return interfaceResets_; }
    uint32_t PendingFrameRequests() const { return frameRequests_; }
    uint32_t BusSpeed() const { return options_.busSpeed; }
    const CSimSensor& Sensor() const { return sensor_; }
    // What the next frame would be drawn with.
    SceneSetup CurrentSetup() const;

  private:
    enum class MessageKind { FrameHeader, FramePayload, Memory };
    struct Message {
        MessageKind kind;
        const uint8_t* data;         // payload: the camera's frame memory
        std::vector<uint8_t> owned;  // header and memory data
        uint32_t length;
        uint32_t offset;
    };

    void PowerUp();
    bool Vendor(uint8_t type, uint8_t request, uint16_t value, uint16_t index, const uint8_t* data,
                uint8_t* reply, uint32_t* error);
    bool I2cWrite(uint8_t device, const uint8_t* bytes, int count);
    bool I2cRead(uint8_t device, uint8_t* bytes, int count);
    void WriteFpga(uint8_t reg, uint8_t value);
    uint8_t ReadFpga(uint8_t reg);
    bool EepromBusy();
    // An I2C transfer without acknowledge: the request completes with a status word.
    bool Nak();
    // Frame timing and production.
    bool FrameDue(SteadyClock::time_point now, SteadyClock::time_point* readyAt);
    void ProduceFrame(SteadyClock::time_point now);
    SteadyClock::duration FramePeriod() const;
    bool TriggerMode() const;
    uint8_t MemoryByte(uint64_t address) const;

    int index_;
    uint16_t vendorId_;
    uint16_t productId_;
    std::string path_;
    const SimOptions& options_;
    CSimFaults& faults_;
    CSimClock& clock_;
    bool plugged_ = true;
    uint32_t generation_ = 0;

    // USB controller.
    uint8_t modeByte_ = 0;
    std::map<uint16_t, uint32_t> bridge_;
    std::map<uint16_t, uint16_t> bridgePairs_;
    // FPGA register file.
    std::array<uint8_t, 256> fpga_{};
    uint8_t fpgaPointer_ = 0;
    uint32_t rearms_ = 0;
    uint32_t interfaceResets_ = 0;
    // EEPROM.
    std::array<uint8_t, kEepromBytes> eeprom_{};
    uint16_t eepromAddress_ = 0;
    uint32_t eepromWriteTick_ = 0;
    bool eepromWriting_ = false;
    // Auxiliary device.
    std::array<uint8_t, 256> aux_{};
    uint8_t auxPointer_ = 0;
    // Image sensor and the scene it sees.
    CSimSensor sensor_;
    CSimScene scene_;

    // Endpoint 0x81 and the frame pipeline.
    std::deque<Message> in_;
    std::vector<uint8_t> padded_;  // a payload longer than the frame (wrong length fault)
    bool i2cNak_ = false;          // the current control request found no acknowledge
    uint32_t frameRequests_ = 0;
    uint32_t triggersPending_ = 0;
    uint32_t frameNumber_ = 0;
    uint32_t framesSent_ = 0;
    SteadyClock::time_point lastFrameAt_{};
    SteadyClock::time_point nextTriggerAt_{};
    // Endpoint 0x01: an "AU3W" command waiting for its data.
    uint64_t writeAddress_ = 0;
    uint32_t writeRemaining_ = 0;
    std::map<uint64_t, uint8_t> memory_;
};

}  // namespace veltcam::sim
