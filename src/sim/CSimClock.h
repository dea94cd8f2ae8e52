// The simulator's millisecond clock: the real one, or a virtual one on which a sleep
// advances time at once, so that polling loops of minutes finish in moments.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/DriverChannel.h"

namespace veltcam::sim {

class CSimClock final : public platform::CTimeSource {
  public:
    explicit CSimClock(bool isVirtual) : virtual_(isVirtual) {}

    bool IsVirtual() const { return virtual_; }
    uint32_t TickMs() override;
    void SleepMs(uint32_t ms) override;
    // Lets virtual time pass as a wait would have (no effect on the real clock).
    void Advance(uint32_t ms);

  private:
    bool virtual_;
    std::atomic<uint32_t> now_{100000};
};

}  // namespace veltcam::sim
