#include "SettingNames.h"

#include <array>

#include "Failures.h"
#include "NumberParsing.h"
#include "VeltCamSdk.h"

namespace veltcam::tool {
namespace {

constexpr std::array kNames{
    SettingName{"brightness", VELTCAM_ID_BRIGHTNESS},
    SettingName{"contrast", VELTCAM_ID_CONTRAST},
    SettingName{"hue", VELTCAM_ID_HUE},
    SettingName{"saturation", VELTCAM_ID_SATURATION},
    SettingName{"sharpness", VELTCAM_ID_SHARPNESS},
    SettingName{"bayer-gain-rgb", VELTCAM_ID_BAYER_GAIN_RGB},
    SettingName{"bayer-gain-red", VELTCAM_ID_BAYER_GAIN_RED},
    SettingName{"bayer-gain-green", VELTCAM_ID_BAYER_GAIN_GREEN},
    SettingName{"bayer-gain-blue", VELTCAM_ID_BAYER_GAIN_BLUE},
    SettingName{"bayer-gain-auto", VELTCAM_ID_BAYER_GAIN_AUTO},
    SettingName{"gamma", VELTCAM_ID_GAMMA},
    SettingName{"bayer-mode", VELTCAM_ID_BAYER_MODE},
    SettingName{"global-gain", VELTCAM_ID_GLOBAL_GAIN},
    SettingName{"color-gain-red", VELTCAM_ID_COLOR_GAIN_RED},
    SettingName{"color-gain-green1", VELTCAM_ID_COLOR_GAIN_GREEN1},
    SettingName{"color-gain-green2", VELTCAM_ID_COLOR_GAIN_GREEN2},
    SettingName{"color-gain-blue", VELTCAM_ID_COLOR_GAIN_BLUE},
    SettingName{"exposure-time", VELTCAM_ID_EXPOSURE_TIME},
    SettingName{"gray-mode", VELTCAM_ID_GRAY_MODE},
    SettingName{"gray-gain-r", VELTCAM_ID_GRAY_GAIN_R},
    SettingName{"gray-gain-g1", VELTCAM_ID_GRAY_GAIN_G1},
    SettingName{"gray-gain-g2", VELTCAM_ID_GRAY_GAIN_G2},
    SettingName{"gray-gain-b", VELTCAM_ID_GRAY_GAIN_B},
    SettingName{"gray-offset-r", VELTCAM_ID_GRAY_OFFSET_R},
    SettingName{"gray-offset-g1", VELTCAM_ID_GRAY_OFFSET_G1},
    SettingName{"gray-offset-g2", VELTCAM_ID_GRAY_OFFSET_G2},
    SettingName{"gray-offset-b", VELTCAM_ID_GRAY_OFFSET_B},
    SettingName{"dot-filter", VELTCAM_ID_DOT_FILTER},
    SettingName{"mask-filter", VELTCAM_ID_MASK_FILTER},
};

}  // namespace

std::span<const SettingName> SettingNames() { return kNames; }

int SettingIdFromText(const std::string& text) {
    for (const SettingName& entry : kNames) {
        if (text == entry.name) return entry.id;
    }
    // Numeric IDs reach the settings without a name here (and let the SDK judge them).
    if (auto id = ParseInt(text)) return *id;
    throw CUsageError("unknown setting '" + text + "'");
}

}  // namespace veltcam::tool
