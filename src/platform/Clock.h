// Millisecond clock, short sleeps and thread priority.
#pragma once

#include <cstdint>
#include <thread>

namespace veltcam::platform {

// Milliseconds since an arbitrary start; wraps after about 49.7 days like the
// system tick the frame-rate arithmetic is written for.
uint32_t TickMs();

// Nanoseconds of the host's monotonic clock (CLOCK_MONOTONIC on Linux,
// QueryPerformanceCounter on Windows): frame timestamps that applications compare
// with their own readings of the same clock. Never goes backwards.
uint64_t MonotonicNs();

// Sleeps about `ms` milliseconds. Precise to ~1 ms only inside a CTimerResolution scope.
void SleepMs(uint32_t ms);

// Raises the system timer resolution to 1 ms for its lifetime, so that the short
// sleeps of register polling and frame waits do not stretch to 15.6 ms on Windows.
class CTimerResolution {
public:
    CTimerResolution();
    ~CTimerResolution();
    CTimerResolution(const CTimerResolution&) = delete;
    CTimerResolution& operator=(const CTimerResolution&) = delete;
};

// Processor time `thread` has used so far, user and kernel, in microseconds.
uint64_t ThreadCpuMicros(std::thread& thread);

// Gives the calling thread the highest priority the platform allows it: the USB
// transfer thread must drain the camera's FIFO before it overflows.
void RaiseCurrentThreadToTimeCritical();

}  // namespace veltcam::platform
