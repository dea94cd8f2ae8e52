// Streaming frames pulled from the SDK's frame queue and what came of it; shared
// by stream, bench and demo.
#pragma once

#include <map>
#include <string>

#include "CameraSession.h"

namespace veltcam::tool {

struct StreamResult {
    int frames = 0;
    int width = 0;
    int height = 0;
    int bits = 0;
    double seconds = 0;
    unsigned long long lastFrameNumber = 0;
    unsigned long long framesLost = 0;  // gaps in the frame numbers received
    double measuredRate = 0;            // delivered frames over their transfer timestamps
    std::map<int, int> errors;          // codes of failed waits, counted

    double FramesPerSecond() const { return seconds > 0 ? frames / seconds : 0; }
    std::string ErrorSummary() const;
};

// Streams for `seconds`, printing a line a second unless quiet; trigger selects
// hardware-trigger mode instead of the continuous preview.
StreamResult RunStream(CCameraSession& session, double seconds, bool trigger, bool quiet);

}  // namespace veltcam::tool
