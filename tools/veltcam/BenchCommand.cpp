// bench: end-to-end frames per second of each colour mode at full frame.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "Commands.h"
#include "Stream.h"
#include "VeltCamSdk.h"

namespace veltcam::tool {

void AddBenchCommand(CLI::App& app, ToolContext& context) {
    static double seconds = 2;
    auto* command = app.add_subcommand("bench", "frames/s per colour mode at full frame");
    command->add_option("--seconds", seconds, "time per colour mode")
        ->check(CLI::Range(0.1, 600.0));
    command->callback([&context] {
        SessionOptions options = context.session;
        // On the simulator, frames come as fast as the SDK takes them, so the
        // figures measure the SDK rather than the sensor's frame timing.
        options.extraSimulatorOptions = "fps=max;complete=inline";
        CCameraSession session(options);
        VeltCamHandle h = session.Handle();
        session.Check(VeltCam_SetCaptureWindowEx(h, VELTCAM_MAX_WIDTH, 0, VELTCAM_MAX_WIDTH,
                                                 VELTCAM_MAX_HEIGHT, 0, VELTCAM_MAX_HEIGHT),
                      "full-frame window");
        std::printf("bits  frames  frames/s  errors\n");
        for (int bits : {8, 16, 24, 32, 48, 64}) {
            session.Check(VeltCam_SetColorMode(h, bits), "colour mode " + std::to_string(bits));
            StreamResult result = RunStream(session, seconds, false, true);
            std::printf("%4d  %6d  %8.1f  %s\n", bits, result.frames, result.FramesPerSecond(),
                        result.ErrorSummary().c_str());
            std::fflush(stdout);
        }
    });
}

}  // namespace veltcam::tool
