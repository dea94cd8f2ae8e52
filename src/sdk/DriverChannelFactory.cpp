#include "sdk/DriverChannelFactory.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

#include "sim/CSimDriver.h"

namespace veltcam {

std::shared_ptr<platform::CDriverChannel> MakeDriverChannel(const std::string& simulatorSetting,
                                                            std::string* error) {
    if (!simulatorSetting.empty()) {
        std::shared_ptr<sim::CSimDriver> simulator =
            sim::CSimDriver::Create(simulatorSetting, error);
        if (simulator) return simulator;
    }
    return std::shared_ptr<platform::CDriverChannel>(platform::CreateSystemDriverChannel());
}

std::shared_ptr<platform::CDriverChannel> OpenDriverChannel() {
    // One channel per setting for the life of the process: controllers created at
    // different times must see the same (simulated) cameras. Never destroyed, so no
    // driver thread has to be stopped while the process unloads.
    static std::mutex lock;
    static auto* channels = new std::map<std::string, std::shared_ptr<platform::CDriverChannel>>();
    const char* value = std::getenv("VELTCAM_SIMULATOR");
    const std::string setting = value ? value : "";
    std::lock_guard<std::mutex> guard(lock);
    auto it = channels->find(setting);
    if (it != channels->end()) return it->second;
    std::string error;
    std::shared_ptr<platform::CDriverChannel> channel = MakeDriverChannel(setting, &error);
    if (!error.empty()) {
        std::fprintf(stderr, "VELTCAM_SIMULATOR: %s; the simulator is not used\n", error.c_str());
    }
    (*channels)[setting] = channel;
    return channel;
}

}  // namespace veltcam
