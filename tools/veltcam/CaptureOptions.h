// The camera options shared by the capturing commands: colour mode, exposure,
// gain, window, half readout, mirroring and --set NAME=VALUE.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace veltcam::tool {

class CCameraSession;

struct CaptureOptions {
    std::optional<int> bits;
    std::optional<int> exposure;  // 0.1 ms units
    std::optional<int> gain;      // sensor gain steps
    std::string window;           // "X,Y,W,H"
    bool half = false;
    std::string mirror;  // h, v or hv
    std::vector<std::string> settings;

    void Register(CLI::App& command, bool withBits = true);
    // Applies what was given, in an order where later settings see the window.
    void Apply(CCameraSession& session) const;
};

// Applies NAME=VALUE pairs through the setting-ID interface.
void ApplySettings(CCameraSession& session, const std::vector<std::string>& settings);

}  // namespace veltcam::tool
