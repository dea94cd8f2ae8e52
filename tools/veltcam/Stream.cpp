#include "Stream.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "Failures.h"
#include "FrameWindow.h"
#include "VeltCamSdk.h"

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
    CFrameWindow window;
    // Room for a full frame in the widest colour mode: every frame is copied
    // out, as an application's callback buffer would receive it.
    std::vector<BYTE> buffer(static_cast<std::size_t>(VELTCAM_MAX_WIDTH) * VELTCAM_MAX_HEIGHT * 8);
    int size = static_cast<int>(buffer.size());
    session.ClearErrors();
    session.Check(VeltCam_SetPreviewWindow(h, nullptr, 0, 0, 0, 0), "VeltCam_SetPreviewWindow");
    if (trigger) {
        session.Check(VeltCam_Trigger(h, window.Handle(), buffer.data(), size, 1),
                      "VeltCam_Trigger");
    } else {
        session.Check(VeltCam_CallBackPreview(h, window.Handle(), buffer.data(), size, 1),
                      "VeltCam_CallBackPreview");
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
        WindowMessage message;
        if (window.Wait(message, static_cast<int>(wait.count()) + 1)) {
            if (message.message == VELTCAM_WM_FRAME && message.lParam == 0 && message.wParam != 0) {
                const auto* info = reinterpret_cast<const VeltCamFrameInfo*>(message.wParam);
                ++result.frames;
                result.width = info->width;
                result.height = info->height;
                result.bits = info->bitsPerPixel;
            } else if (message.message == VELTCAM_WM_FRAME || message.message == VELTCAM_WM_ERROR) {
                ++result.errors[static_cast<int>(message.lParam)];
            }
        }
        now = Clock::now();
        if (!quiet && now >= nextReport) {
            double elapsed = std::chrono::duration<double>(now - start).count();
            std::printf("%5.1f s  %6d frames  %6.1f frames/s\n", elapsed, result.frames,
                        static_cast<double>(result.frames - framesAtReport));
            std::fflush(stdout);
            framesAtReport = result.frames;
            nextReport += std::chrono::seconds(1);
        }
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    session.Check(VeltCam_StopPreview(h), "VeltCam_StopPreview");
    return result;
}

}  // namespace veltcam::tool
