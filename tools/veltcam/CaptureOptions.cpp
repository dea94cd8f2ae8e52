#include "CaptureOptions.h"

#include <CLI/CLI.hpp>

#include "CameraSession.h"
#include "Failures.h"
#include "NumberParsing.h"
#include "SettingNames.h"
#include "VeltCamSdk.h"

namespace veltcam::tool {

void CaptureOptions::Register(CLI::App& command, bool withBits) {
    if (withBits) {
        command.add_option("--bits", bits, "colour mode in bits per pixel")
            ->check(CLI::IsMember({8, 16, 24, 32, 48, 64}));
    }
    command.add_option("--exposure", exposure, "exposure time in 0.1 ms units");
    command.add_option("--gain", gain, "sensor gain steps");
    command.add_option("--window", window, "capture window X,Y,W,H in sensor pixels")
        ->check(UsageCheck("X,Y,W,H",
                           [](const std::string& text) { ParseIntList(text, 4, "window"); }));
    command.add_flag("--half", half, "half-resolution readout");
    command.add_option("--mirror", mirror, "mirroring")->check(CLI::IsMember({"h", "v", "hv"}));
    command.add_option("--set", settings, "setting NAME=VALUE (repeatable)")
        ->check(UsageCheck("NAME=VALUE", ParseSetting));
}

std::pair<int, int> ParseSetting(const std::string& pair) {
    std::size_t equals = pair.find('=');
    if (equals == std::string::npos)
        throw CUsageError("--set needs NAME=VALUE, not '" + pair + "'");
    int id = SettingIdFromText(pair.substr(0, equals));
    auto value = ParseInt(pair.substr(equals + 1));
    if (!value) throw CUsageError("--set " + pair + ": the value must be an integer");
    return {id, *value};
}

CLI::Validator UsageCheck(const std::string& description,
                          std::function<void(const std::string&)> parse) {
    return CLI::Validator(
        [parse](std::string& text) {
            try {
                parse(text);
            } catch (const CUsageError& e) {
                return std::string(e.what());
            }
            return std::string();
        },
        description);
}

void ApplySettings(CCameraSession& session, const std::vector<std::string>& settings) {
    for (const std::string& pair : settings) {
        auto [id, value] = ParseSetting(pair);
        session.Check(VeltCam_SetFilterValue(session.Handle(), id, value), "--set " + pair);
    }
}

void CaptureOptions::Apply(CCameraSession& session) const {
    // Parse everything first: a typo must not leave the camera half configured.
    std::vector<int> rect;
    if (!window.empty()) rect = ParseIntList(window, 4, "window (X,Y,W,H)");

    VeltCamHandle h = session.Handle();
    if (bits) session.Check(VeltCam_SetColorMode(h, *bits), "--bits " + std::to_string(*bits));
    if (half) session.Check(VeltCam_SetSubSample(h, VELTCAM_SUBSAMPLE_HALF), "--half");
    if (!rect.empty()) {
        session.Check(VeltCam_SetCaptureWindowEx(h, VELTCAM_MAX_WIDTH, rect[0], rect[2],
                                                 VELTCAM_MAX_HEIGHT, rect[1], rect[3]),
                      "--window " + window);
    }
    if (exposure) {
        session.Check(VeltCam_SetExposureTime(h, *exposure),
                      "--exposure " + std::to_string(*exposure));
    }
    if (gain) session.Check(VeltCam_SetGlobalGain(h, *gain), "--gain " + std::to_string(*gain));
    if (!mirror.empty()) {
        bool horizontal = mirror.find('h') != std::string::npos;
        bool vertical = mirror.find('v') != std::string::npos;
        session.Check(VeltCam_SetMirrorH(h, horizontal ? 1 : 0), "--mirror");
        session.Check(VeltCam_SetMirrorV(h, vertical ? 1 : 0), "--mirror");
    }
    ApplySettings(session, settings);
}

}  // namespace veltcam::tool
