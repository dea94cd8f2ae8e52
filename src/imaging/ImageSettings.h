// The image-side settings the pipeline reads as each stage starts (and the
// balances write gains back into). The SDK object holds one record and changes it
// under its image lock.
#pragma once

#include <array>

namespace veltcam {

// Image-side settings of the pipeline; all 0 until stored settings are loaded.
struct ImageSettings {
    int brightness = 0;
    int contrast = 0;
    int hue = 0;
    int saturation = 0;
    int sharpness = 0;
    int bayerGainRed = 0;
    int bayerGainGreen = 0;
    int bayerGainBlue = 0;
    int bayerGainAuto = 0;
    int gamma = 0;
    int bayerMode = 0;
    int grayMode = 0;
    std::array<int, 4> grayGain{};    // R, G1, G2, B
    std::array<int, 4> grayOffset{};  // R, G1, G2, B
    int grayBalanceFrames = 0;        // frames on which the gray gains are computed
};

}  // namespace veltcam
