#include "sim/CSimClock.h"

#include <chrono>
#include <thread>

namespace veltcam::sim {

uint32_t CSimClock::TickMs() { return virtual_ ? now_.load() : platform::SystemTime().TickMs(); }

void CSimClock::SleepMs(uint32_t ms) {
    if (!virtual_) {
        platform::SystemTime().SleepMs(ms);
        return;
    }
    now_.fetch_add(ms);
    // A sliver of real time per virtual millisecond keeps polling loops from
    // spinning a core flat out.
    std::this_thread::sleep_for(std::chrono::microseconds(2) * ms);
}

void CSimClock::Advance(uint32_t ms) {
    if (virtual_) now_.fetch_add(ms);
}

}  // namespace veltcam::sim
