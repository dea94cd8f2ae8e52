#include "platform/Clock.h"

#include <windows.h>
#include <mmsystem.h>
#include <pthread.h>

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

uint64_t ThreadCpuMicros(std::thread& thread) {
    // std::thread runs on winpthreads; its Windows thread handle is what has the times.
    HANDLE handle = static_cast<HANDLE>(pthread_gethandle(thread.native_handle()));
    FILETIME created, exited, kernel, user;
    if (handle == nullptr || !GetThreadTimes(handle, &created, &exited, &kernel, &user)) return 0;
    auto ticks = [](const FILETIME& t) {
        return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return (ticks(kernel) + ticks(user)) / 10;  // 100 ns units
}

void RaiseCurrentThreadToTimeCritical() {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
}

}  // namespace veltcam::platform
