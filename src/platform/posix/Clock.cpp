#include "platform/Clock.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>

namespace veltcam::platform {

uint32_t TickMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

uint64_t MonotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

void SleepMs(uint32_t ms) {
    timespec delay{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&delay, &delay) != 0) {
    }
}

// Linux timers are already fine-grained.
CTimerResolution::CTimerResolution() = default;
CTimerResolution::~CTimerResolution() = default;

uint64_t ThreadCpuMicros(std::thread& thread) {
    clockid_t clock{};
    if (pthread_getcpuclockid(thread.native_handle(), &clock) != 0) return 0;
    timespec used{};
    if (clock_gettime(clock, &used) != 0) return 0;
    return static_cast<uint64_t>(used.tv_sec) * 1000000u + static_cast<uint64_t>(used.tv_nsec) / 1000u;
}

void RaiseCurrentThreadToTimeCritical() {
    // Real-time scheduling needs privileges most users lack; when refused, the
    // thread keeps normal priority, which is enough with a four-buffer ring.
    sched_param param{};
    param.sched_priority = sched_get_priority_min(SCHED_RR);
    pthread_setschedparam(pthread_self(), SCHED_RR, &param);
}

}  // namespace veltcam::platform
