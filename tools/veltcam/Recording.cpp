#include "Recording.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>

#include "Failures.h"
#include "Progress.h"
#include "VeltCamSdk.h"

namespace veltcam::tool {

long long MovieFrameBytes(VeltCamHandle h) {
    int width = VeltCam_Width(h);
    int height = VeltCam_Height(h);
    if (VeltCam_GetSubSample(h) == VELTCAM_SUBSAMPLE_HALF) {
        width /= 2;
        height /= 2;
    }
    return ((static_cast<long long>(width) * 3 + 3) / 4 * 4) * height + 8;
}

AviSummary RecordMovie(CCameraSession& session, const std::string& fileName, int durationMs,
                       bool showProgress) {
    using Clock = std::chrono::steady_clock;
    VeltCamHandle h = session.Handle();
    session.ClearErrors();
    session.Check(VeltCam_SetPreviewWindow(h, nullptr, 0, 0, 0, 0), "VeltCam_SetPreviewWindow");
    session.Check(VeltCam_Record(h, fileName.c_str(), durationMs, 0), "VeltCam_Record");

    // The SDK writes 24-bit frames; the file's growth shows the frames so far.
    long long frameBytes = MovieFrameBytes(h);
    double duration = durationMs / 1000.0;
    CProgress progress(duration);
    auto start = Clock::now();
    std::optional<Clock::time_point> firstFrame;
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        auto now = Clock::now();
        int frames = static_cast<int>(FileSize(fileName) / frameBytes);
        if (frames > 0 && !firstFrame) firstFrame = now;
        double elapsed = firstFrame ? std::chrono::duration<double>(now - *firstFrame).count() : 0;
        if (showProgress) progress.Update(std::min(elapsed, duration), frames);
        // The recording ends by itself `duration` after its first frame; the
        // margin lets the last frame land before the stop finalises the file.
        if (elapsed >= duration + 0.3) break;
        if (std::chrono::duration<double>(now - start).count() > duration + 6.0) break;
    }
    if (showProgress) progress.Finish();
    session.Check(VeltCam_StopPreview(h), "VeltCam_StopPreview");
    AviSummary summary = ReadAviSummary(fileName);
    if (!summary.valid) throw CSdkFailure("the recording " + fileName + " is not a valid AVI file");
    return summary;
}

}  // namespace veltcam::tool
