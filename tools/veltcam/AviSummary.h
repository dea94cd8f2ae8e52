// What a finished movie's header says: the tool reports the file as written, not
// what it hoped to write.
#pragma once

#include <string>

namespace veltcam::tool {

struct AviSummary {
    bool valid = false;
    int frames = 0;
    int width = 0;
    int height = 0;
    int microsecondsPerFrame = 0;

    double FramesPerSecond() const {
        return microsecondsPerFrame > 0 ? 1e6 / microsecondsPerFrame : 0;
    }
};

AviSummary ReadAviSummary(const std::string& fileName);
long long FileSize(const std::string& fileName);

}  // namespace veltcam::tool
