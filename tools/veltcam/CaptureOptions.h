// The camera options shared by the capturing commands: colour mode, exposure,
// gain, window, half readout, mirroring and --set NAME=VALUE.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace CLI {
class App;
class Validator;
}  // namespace CLI

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

// NAME=VALUE as setting ID and value; throws CUsageError.
std::pair<int, int> ParseSetting(const std::string& pair);

// A command-line check that runs `parse` and reports its CUsageError, so bad
// values are refused before the camera is touched.
CLI::Validator UsageCheck(const std::string& description,
                          std::function<void(const std::string&)> parse);

// Applies NAME=VALUE pairs through the setting-ID interface.
void ApplySettings(CCameraSession& session, const std::vector<std::string>& settings);

}  // namespace veltcam::tool
