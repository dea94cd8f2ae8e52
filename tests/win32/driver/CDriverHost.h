// The test process's side of the test camera driver: it puts the cameras of a
// simulator on the driver's bus and answers every request that reaches them. A pull
// thread takes the driver's messages in order and hands each request to the
// simulator; requests that stay pending are waited for on worker threads, which post
// the completions back. Plug state follows the simulator (its unplug faults and test
// hooks), so the interfaces appear and vanish as the cameras do.
//
// What the driver cannot pass on: a direct transfer's status words (the driver gets a
// copy of the request header, not the caller's), so a transfer that the simulator
// completes with a nonzero status word fails as a whole instead; and writes into the
// caller's buffers after a request was written off (the caller's buffers are copies
// too). The simulator's own tests cover both.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/CSimDriver.h"
#include "win32/driver/TestDriverProtocol.h"

namespace veltcam::test {

class CDriverHost {
  public:
    // Serves `simulator`'s cameras (at most VCT_MAX_CAMERAS) through the driver and
    // waits until their interfaces are listed. Null, with `error`, when the driver is
    // not installed or the interfaces did not come within `ms`.
    static std::unique_ptr<CDriverHost> Start(std::shared_ptr<sim::CSimDriver> simulator,
                                              uint32_t ms, std::string* error);
    // Unplugs every camera (their requests fail, their interfaces go) and stops.
    ~CDriverHost();

    sim::CSimDriver& Simulator() { return *simulator_; }

    // Waits until the driver's cameras are those the simulator has plugged and the
    // interfaces listed are theirs; false after `ms`.
    bool WaitForPlugState(uint32_t ms);

    // The next request with I/O control code `code` is answered with `ntStatus` by
    // the host itself, without reaching the simulator.
    void FailNext(uint32_t code, uint32_t ntStatus);

    VCT_STATS Stats();

    // Interface paths of the camera class that the system lists now.
    static std::vector<std::string> ListedInterfaces();

  private:
    struct Impl;
    explicit CDriverHost(std::unique_ptr<Impl> impl);
    std::shared_ptr<sim::CSimDriver> simulator_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace veltcam::test
