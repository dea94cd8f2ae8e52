// The simulator's options: what VELTCAM_SIMULATOR says (src/sim/README.md has the
// syntax), parsed into one record.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace veltcam::sim {

enum class FaultKind {
    HeaderTimeout,  // a frame-header read never completes (until aborted); the frame is lost
    PayloadStall,   // a payload read never completes (until aborted)
    Status,         // a bulk transfer completes with a nonzero status word
    ShortRead,      // a bulk read on 0x81 returns fewer bytes than asked for
    I2cRefuse,      // an I2C transfer to a device (and register) is not acknowledged
    ShortReply,     // an endpoint-0 request returns only the 38-byte header
    ReadyStuck,     // the ready flag reads 0
    FpgaBusy,       // FPGA status register 2 reads busy (0x92)
    SensorBusy,     // the sensor's readiness device reads not ready
    SensorIfDown,   // FPGA register 129 reads without its ready bit
    Unplug,         // the camera disappears when it is about to send a frame
    I2cNak,         // an I2C transfer is not acknowledged: the reply's status word says so
    Late,           // a bulk read ignores aborts and handle close; it comes back, writing
                    // into its buffer, only after the driver has served later reads
    LateControl,    // the same for an endpoint-0 request on an overlapped handle
    PayloadLength,  // a frame header declares (and the camera sends) a wrong payload length
};

struct FaultSpec {
    FaultKind kind = FaultKind::HeaderTimeout;
    // HeaderTimeout..ShortRead: unused, except Status: the status word (default 0xC0000001).
    // I2cRefuse: device address (write form). ShortReply: vendor request code.
    // Unplug: milliseconds until the camera is plugged in again (0: stays away).
    // I2cNak: as I2cRefuse. Late: reads on 0x81 the driver serves before the late
    // one comes back (default 1). LateControl: vendor request code (0: any).
    // PayloadLength: the length declared and sent.
    uint32_t argument = 0;
    int reg = -1;  // I2cRefuse, I2cNak: only this register (-1: every register)
    // Which occurrences of the fault's event are hit, counted from 1 per fault entry.
    uint64_t first = 1;
    uint64_t last = std::numeric_limits<uint64_t>::max();
    double probability = -1.0;  // >= 0: each occurrence is hit with this probability
    int camera = -1;            // -1: every camera
};

struct SimOptions {
    int cameras = 1;                      // cameras of this model
    std::vector<uint16_t> otherProducts;  // one camera per product id of other models
    uint16_t vendorId = 0x2A5D;
    bool fpsMax = false;  // frames as fast as they can be read
    double fps = 0.0;     // > 0: this rate instead of the sensor timing
    uint64_t seed = 1;
    uint16_t firmware = 0x1210;  // FX3 firmware version in the information block
    uint8_t gpio25 = 1;          // GPIO25 flag in the information block
    uint16_t fpgaVersion = 320;
    std::string serial;                     // serial number; empty: "VCSIM" + camera index
    uint32_t triggerPeriodMs = 0;           // periodic hardware trigger source; 0: none
    std::string table = "D3A7-MemMap-Sim";  // name of the shared device table
    bool virtualClock = false;
    bool instantStalls = true;  // a request that can only time out does so at once
    // A bulk request whose data is already there completes inside the call instead of
    // pending for the driver thread (as a driver may do); saves two thread switches.
    bool inlineCompletion = false;
    uint32_t abortDelayMs = 0;  // how long an aborted request takes to come back
    uint32_t eepromWriteCycleMs = 10;
    uint32_t busSpeed = 4;
    // Image defects and noise for the correction stages; 0 disables each.
    int noise = 0;  // amplitude of seeded fixed-pattern noise, 12-bit steps
    int hotPixels = 0;
    int deadPixels = 0;
    int vignette = 0;     // brightness lost at the corners, percent
    bool record = false;  // record every request from the start
    std::vector<FaultSpec> faults;
};

// Parses an options string. "1" means the defaults. On error returns false with a
// message naming the offending key or value.
bool ParseSimOptions(const std::string& text, SimOptions* options, std::string* error);

// Parses one fault entry (the grammar of the `faults` option).
bool ParseFault(const std::string& text, FaultSpec* fault, std::string* error);

}  // namespace veltcam::sim
