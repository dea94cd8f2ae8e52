// stream: frames through VeltCam_CallBackPreview (or VeltCam_Trigger with
// --trigger) without a picture: a line a second and a summary.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>

#include "CaptureOptions.h"
#include "Commands.h"
#include "Failures.h"
#include "Stream.h"
#include "VeltCamSdk.h"

namespace veltcam::tool {

void AddStreamCommand(CLI::App& app, ToolContext& context) {
    static CaptureOptions capture;
    static double seconds = 3;
    static double triggerHz = 0;
    auto* command = app.add_subcommand("stream", "stream frames without a window and count them");
    command->add_option("--seconds", seconds, "how long to stream")
        ->check(CLI::Range(0.1, 86400.0));
    command->add_option("--trigger", triggerHz, "hardware-trigger mode at this many triggers/s")
        ->check(CLI::Range(0.01, 1000.0));
    capture.Register(*command);
    command->callback([&context] {
        SessionOptions options = context.session;
        if (triggerHz > 0) {
            // The simulator's periodic trigger source stands in for the wiring.
            int periodMs = std::max(1, static_cast<int>(1000.0 / triggerHz + 0.5));
            options.extraSimulatorOptions = "trigger=" + std::to_string(periodMs);
        }
        CCameraSession session(options);
        capture.Apply(session);
        StreamResult result = RunStream(session, seconds, triggerHz > 0, false);
        std::printf(
            "stream: %d frames of %d x %d, %d bits in %.1f s: %.1f frames/s; errors: %s; "
            "last frame %llu, %llu lost, measured %.1f frames/s\n",
            result.frames, result.width, result.height, result.bits, result.seconds,
            result.FramesPerSecond(), result.ErrorSummary().c_str(), result.lastFrameNumber,
            result.framesLost, result.measuredRate);
        if (result.frames == 0) {
            throw CSdkFailure("no frames arrived; errors: " + result.ErrorSummary());
        }
    });
}

}  // namespace veltcam::tool
