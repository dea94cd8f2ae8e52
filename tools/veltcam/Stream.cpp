#include "Stream.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "Failures.h"
#include "VeltCamSdk.h"
#include "VeltCamSdkEx.h"

namespace veltcam::tool {

std::string StreamResult::ErrorSummary() const {
    if (errors.empty()) return "none";
    std::string text;
    for (const auto& [code, count] : errors) {
        if (!text.empty()) text += ", ";
        text += ErrorName(code) + " x" + std::to_string(count);
    }
    return text;
}

StreamResult RunStream(CCameraSession& session, double seconds, bool trigger, bool quiet) {
    VeltCamHandle h = session.Handle();
    // Room for a full frame in the widest colour mode: every frame is copied out.
    std::vector<BYTE> buffer(static_cast<std::size_t>(VELTCAM_MAX_WIDTH) * VELTCAM_MAX_HEIGHT * 8);
    const int size = static_cast<int>(buffer.size());
    session.ClearErrors();
    session.Check(VeltCam_SetPreviewWindow(h, nullptr, 0, 0, 0, 0), "VeltCam_SetPreviewWindow");
    session.Check(VeltCamEx_SetFrameQueue(h, 4, VELTCAM_EX_QUEUE_OLDEST_FIRST),
                  "VeltCamEx_SetFrameQueue");
    session.Check(VeltCamEx_ResetStreamStats(h), "VeltCamEx_ResetStreamStats");
    if (trigger) {
        session.Check(VeltCam_Trigger(h, nullptr, nullptr, 0, 1), "VeltCam_Trigger");
    } else {
        session.Check(VeltCam_StartPreview(h), "VeltCam_StartPreview");
    }

    using Clock = std::chrono::steady_clock;
    StreamResult result;
    auto start = Clock::now();
    auto end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    auto nextReport = start + std::chrono::seconds(1);
    int framesAtReport = 0;
    for (auto now = start; now < end; now = Clock::now()) {
        auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::min(end, nextReport) - now);
        VeltCamExFrameInfo info{};
        info.size = sizeof info;
        const int got = VeltCamEx_WaitFrame(h, buffer.data(), size, 1,
                                            static_cast<int>(wait.count()) + 1, &info);
        if (got == VELTCAM_EX_WAIT_FRAME) {
            ++result.frames;
            result.width = info.width;
            result.height = info.height;
            result.bits = info.bitsPerPixel;
            result.lastFrameNumber = info.frameNumber;
            result.framesLost += info.droppedBefore;
        } else if (got == VELTCAM_EX_WAIT_FAILED) {
            const int code = VeltCam_GetLastError(h);
            ++result.errors[code];
            // The mode ended under us (the camera is gone): nothing more will come.
            if (code == ERR_TIMEOUT || code == ERR_NOT_READY) break;
        }
        now = Clock::now();
        if (!quiet && now >= nextReport) {
            double elapsed = std::chrono::duration<double>(now - start).count();
            std::printf("%5.1f s  %6d frames  %6.1f frames/s  frame %llu  %llu lost\n", elapsed,
                        result.frames, static_cast<double>(result.frames - framesAtReport),
                        result.lastFrameNumber, result.framesLost);
            std::fflush(stdout);
            framesAtReport = result.frames;
            nextReport += std::chrono::seconds(1);
        }
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    VeltCamExStreamStats stats{};
    stats.size = sizeof stats;
    if (VeltCamEx_GetStreamStats(h, &stats) == 1) result.measuredRate = stats.framesPerSecond;
    session.Check(VeltCam_StopPreview(h), "VeltCam_StopPreview");
    return result;
}

}  // namespace veltcam::tool
