#include "platform/Clock.h"

#include <windows.h>
#include <mmsystem.h>

namespace veltcam::platform {

uint32_t TickMs() { return timeGetTime(); }

uint64_t MonotonicNs() {
    static const uint64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<uint64_t>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const uint64_t ticks = static_cast<uint64_t>(now.QuadPart);
    // Whole seconds and the remainder apart, so the product never overflows.
    return ticks / frequency * 1000000000u + ticks % frequency * 1000000000u / frequency;
}

void SleepMs(uint32_t ms) { Sleep(ms); }

CTimerResolution::CTimerResolution() { timeBeginPeriod(1); }
CTimerResolution::~CTimerResolution() { timeEndPeriod(1); }

void RaiseCurrentThreadToTimeCritical() {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
}

}  // namespace veltcam::platform
