// A ProcessFrame record with its own images and neutral settings.
#pragma once

#include "imaging/ImageFixtures.h"
#include "imaging/ProcessFrame.h"

namespace veltcam::testing_support {

inline ImageSettings NeutralSettings() {
    ImageSettings s;
    s.bayerGainRed = s.bayerGainGreen = s.bayerGainBlue = 100;
    s.gamma = 100;
    s.grayGain = {128, 128, 128, 128};
    s.grayOffset = {128, 128, 128, 128};
    return s;
}

struct PipelineHarness {
    PipelineHarness(int width, int height, int colorModeIndex) {
        raw8.Create(width, height, 8);
        raw16.Create(width, height, 16);
        color24.Create(width, height, 24);
        color32.Create(width, height, 32);
        color48.Create(width, height, 48);
        color64.Create(width, height, 64);
        frame.colorModeIndex = colorModeIndex;
        frame.settings = &settings;
        frame.raw8 = &raw8;
        frame.raw16 = &raw16;
        frame.color24 = &color24;
        frame.color32 = &color32;
        frame.color48 = &color48;
        frame.color64 = &color64;
        frame.sharpenWork = &work;
        frame.window = {width, height, 0, 0, 0};
    }
    DibImage& Raw() { return *RawImageOf(frame); }
    DibImage& Output() { return *OutputImageOf(frame); }
    void Run() { ProcessFrame(frame); }

    DibImage raw8, raw16, color24, color32, color48, color64, work;
    ImageSettings settings = NeutralSettings();
    PipelineFrame frame;
};

}  // namespace veltcam::testing_support
