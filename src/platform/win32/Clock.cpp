#include "platform/Clock.h"

#include <windows.h>
#include <mmsystem.h>

namespace veltcam::platform {

uint32_t TickMs() { return timeGetTime(); }

void SleepMs(uint32_t ms) { Sleep(ms); }

CTimerResolution::CTimerResolution() { timeBeginPeriod(1); }
CTimerResolution::~CTimerResolution() { timeEndPeriod(1); }

void RaiseCurrentThreadToTimeCritical() {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
}

}  // namespace veltcam::platform
