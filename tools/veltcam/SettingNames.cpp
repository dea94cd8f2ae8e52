#include "SettingNames.h"

#include <algorithm>
#include <array>
#include <vector>

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

// Edits (insert, delete, replace) between two names.
std::size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

}  // namespace

std::string NearestSettingName(const std::string& text) {
    if (text.empty()) return {};
    // A shortened name ("exposure", "gain") is what people type most.
    for (const SettingName& entry : kNames) {
        if (std::string_view(entry.name).starts_with(text)) return entry.name;
    }
    for (const SettingName& entry : kNames) {
        if (std::string_view(entry.name).ends_with("-" + text)) return entry.name;
    }
    for (const SettingName& entry : kNames) {
        if (std::string_view(entry.name).find(text) != std::string_view::npos) return entry.name;
    }
    const SettingName* best = nullptr;
    std::size_t bestDistance = 0;
    for (const SettingName& entry : kNames) {
        std::size_t distance = EditDistance(text, entry.name);
        if (best == nullptr || distance < bestDistance) {
            best = &entry;
            bestDistance = distance;
        }
    }
    // Beyond a third of the name it is a different word, not a typo.
    return bestDistance <= std::max<std::size_t>(2, text.size() / 3) ? best->name : "";
}

std::span<const SettingName> SettingNames() { return kNames; }

int SettingIdFromText(const std::string& text) {
    for (const SettingName& entry : kNames) {
        if (text == entry.name) return entry.id;
    }
    // Numeric IDs reach the settings without a name here (and let the SDK judge them).
    if (auto id = ParseInt(text)) return *id;
    std::string message = "unknown setting '" + text + "'";
    std::string nearest = NearestSettingName(text);
    message += nearest.empty() ? "." : "; did you mean '" + nearest + "'?";
    message += " Settings:";
    const char* separator = " ";
    for (const SettingName& entry : kNames) {
        message += separator;
        message += entry.name;
        separator = ", ";
    }
    throw CUsageError(message);
}

}  // namespace veltcam::tool
