// Helpers for tests that run the transport, sensor and camera core against the
// simulated driver: private simulators (each with its own device table) and
// queries over the requests the simulated driver recorded.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "sim/CSimDriver.h"
#include "transport/CVeltCy3Cam.h"

namespace veltcam::test {

// A device-table name no other test (or process) uses, so that tests running side by
// side do not see each other's cameras.
inline std::string UniqueTableName() {
    static std::mt19937_64 random{std::random_device{}()};
    static const char* digits = "0123456789abcdef";
    uint64_t v = random();
    std::string name = "vctest-";
    for (int i = 0; i < 16; ++i) name += digits[(v >> (4 * i)) & 15];
    return name;
}

// Set by the Windows harness that runs the SDK's real driver path against the test
// camera driver (tests/win32/driver), when that harness is linked in and switched on:
// `use` then puts a simulator with these options behind the driver instead of into
// the SDK, `simulator` is that simulator, `sync` waits until the driver's cameras
// follow the simulator's plug state.
struct RealDriverHooks {
    std::function<void(const std::string& options)> use;
    std::function<sim::CSimDriver*()> simulator;
    std::function<void()> sync;
};
inline RealDriverHooks& RealDriver() {
    static RealDriverHooks hooks;
    return hooks;
}

// Points the SDK of this process at a fresh simulator with its own device table,
// for tests that go through VeltCam_Initialize.
inline void UseSdkSimulator(const std::string& options) {
    const std::string value = "table=" + UniqueTableName() + ";" + options;
    if (RealDriver().use) return RealDriver().use(value);
#ifdef _WIN32
    _putenv_s("VELTCAM_SIMULATOR", value.c_str());
#else
    setenv("VELTCAM_SIMULATOR", value.c_str(), 1);
#endif
}

inline std::shared_ptr<sim::CSimDriver> MakeSim(const std::string& options = "") {
    std::string text = "table=" + UniqueTableName();
    if (!options.empty()) text += ";" + options;
    std::string error;
    auto simulator = sim::CSimDriver::Create(text, &error);
    if (!simulator) throw std::runtime_error("simulator options refused: " + error);
    return simulator;
}

// A controller on the first camera of `simulator`, opened as the camera core opens
// it (discovery, selection, transfer buffer with its port reset), recording on.
inline std::unique_ptr<CVeltCy3Cam> OpenController(
    const std::shared_ptr<sim::CSimDriver>& simulator, int tableIndex = 0) {
    auto controller = std::make_unique<CVeltCy3Cam>(nullptr, simulator);
    controller->EnumerateDevices();
    if (!controller->SelectDevice(tableIndex) || !controller->AllocateTransferBuffer()) {
        throw std::runtime_error("simulated camera did not open");
    }
    simulator->Recorder().Enable(true);
    simulator->Recorder().Clear();
    return controller;
}

// Requests (not completions) with the given I/O control code.
inline std::vector<sim::SimRecord> Requests(const sim::CSimDriver& simulator, uint32_t code) {
    std::vector<sim::SimRecord> out;
    for (const sim::SimRecord& r : const_cast<sim::CSimDriver&>(simulator).Recorder().Records()) {
        if (r.kind == sim::SimRecord::Kind::Request && r.code == code) out.push_back(r);
    }
    return out;
}

// Endpoint-0 requests with the given vendor request code.
inline std::vector<sim::SimRecord> VendorRequests(const sim::CSimDriver& simulator,
                                                  uint8_t request) {
    std::vector<sim::SimRecord> out;
    for (const sim::SimRecord& r : Requests(simulator, kIoctlControlRequest)) {
        if (r.fields.request == request) out.push_back(r);
    }
    return out;
}

// I2C writes to `device` (write form) as byte lists.
inline std::vector<std::vector<uint8_t>> I2cWrites(const sim::CSimDriver& simulator,
                                                   uint8_t device) {
    std::vector<std::vector<uint8_t>> out;
    for (const sim::SimRecord& r : VendorRequests(simulator, 0x30)) {
        if (r.fields.index == device) {
            out.emplace_back(r.data.begin(), r.data.begin() + r.fields.value);
        }
    }
    return out;
}

// Register writes of a two-byte-address device (the sensor): (register, value).
inline std::vector<std::pair<uint16_t, uint8_t>> RegisterWrites16(const sim::CSimDriver& simulator,
                                                                  uint8_t device) {
    std::vector<std::pair<uint16_t, uint8_t>> out;
    for (const auto& bytes : I2cWrites(simulator, device)) {
        if (bytes.size() == 3)
            out.emplace_back(static_cast<uint16_t>(bytes[0] << 8 | bytes[1]), bytes[2]);
    }
    return out;
}

// FPGA register writes: (register, value).
inline std::vector<std::pair<uint8_t, uint8_t>> FpgaWrites(const sim::CSimDriver& simulator) {
    std::vector<std::pair<uint8_t, uint8_t>> out;
    for (const auto& bytes : I2cWrites(simulator, 0x40)) {
        if (bytes.size() == 3) out.emplace_back(bytes[0], bytes[2]);
    }
    return out;
}

}  // namespace veltcam::test
