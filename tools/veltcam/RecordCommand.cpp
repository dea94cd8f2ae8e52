// record: a movie of the continuous preview, with progress while it runs.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "CaptureOptions.h"
#include "Commands.h"
#include "Failures.h"
#include "NumberParsing.h"
#include "Recording.h"
#include "VeltCamSdk.h"
#include "VeltCamSdkEx.h"

namespace veltcam::tool {
namespace {

// The camera's rate depends on window, readout and exposure, so it is measured
// on a short run of frames before the recording; 0 when none came in time.
double MeasureFramesPerSecond(CCameraSession& session) {
    VeltCamHandle h = session.Handle();
    if (VeltCam_SetPreviewWindow(h, nullptr, 0, 0, 0, 0) == 0 || VeltCam_StartPreview(h) == 0) {
        session.ClearErrors();
        return 0;
    }
    VeltCamExStreamStats stats{};
    stats.size = sizeof stats;
    VeltCamEx_ResetStreamStats(h);
    for (int waited = 0; waited < 2000; waited += 20) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (VeltCamEx_GetStreamStats(h, &stats) == 0) break;
        if (stats.framesDelivered >= 6) break;
    }
    VeltCam_StopPreview(h);
    session.ClearErrors();
    return stats.framesDelivered >= 2 ? stats.framesPerSecond : 0;
}

std::string Size(double bytes) {
    char text[32];
    if (bytes >= 1e9) {
        std::snprintf(text, sizeof text, "%.1f GB", bytes / 1e9);
    } else {
        std::snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
    }
    return text;
}

}  // namespace

void AddRecordCommand(CLI::App& app, ToolContext& context) {
    static CaptureOptions capture;
    static std::string output;
    static std::string duration = "5s";
    auto* command = app.add_subcommand(
        "record",
        "record a movie: an uncompressed AVI of 24-bit frames, 9.4 MB a full-size "
        "frame (about 0.5 GB a second at 53 frames/s); the rate and size are "
        "printed before it starts");
    command->add_option("-o,--output", output, "movie file (.avi, uncompressed)")->required();
    command
        ->add_option("--duration", duration, "length, e.g. 5s, 500ms, 1m")

        ->capture_default_str()
        ->check(UsageCheck("DURATION", [](const std::string& text) { ParseDurationMs(text); }));
    capture.Register(*command);
    command->callback([&context] {
        int durationMs = ParseDurationMs(duration);
        CCameraSession session(context.session);
        capture.Apply(session);
        // Uncompressed frames fill a disk fast: say how fast before starting.
        double frameBytes = static_cast<double>(MovieFrameBytes(session.Handle()));
        double rate = MeasureFramesPerSecond(session);
        if (rate > 0) {
            double perSecond = frameBytes * rate;
            std::printf(
                "recording uncompressed 24-bit frames of %s each at %.1f frames/s: "
                "%s/s, about %s for %.1f s\n",
                Size(frameBytes).c_str(), rate, Size(perSecond).c_str(),
                Size(perSecond * durationMs / 1000.0).c_str(), durationMs / 1000.0);
        } else {
            std::printf("recording uncompressed 24-bit frames of %s each\n",
                        Size(frameBytes).c_str());
        }
        std::fflush(stdout);
        AviSummary summary = RecordMovie(session, output, durationMs, true);
        std::printf("recorded %s: %d frames, %d x %d, %.1f frames/s, %s\n", output.c_str(),
                    summary.frames, summary.width, summary.height, summary.FramesPerSecond(),
                    Size(static_cast<double>(FileSize(output))).c_str());
    });
}

}  // namespace veltcam::tool
