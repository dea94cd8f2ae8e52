#include "platform/DriverChannel.h"

#include "platform/Clock.h"

namespace veltcam::platform {
namespace {

class CSystemTime final : public CTimeSource {
  public:
    uint32_t TickMs() override { return platform::TickMs(); }
    void SleepMs(uint32_t ms) override { platform::SleepMs(ms); }
};

}  // namespace

CTimeSource& SystemTime() {
    static CSystemTime time;
    return time;
}

}  // namespace veltcam::platform
