// record: a movie of the continuous preview, with progress while it runs.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "CaptureOptions.h"
#include "Commands.h"
#include "Failures.h"
#include "NumberParsing.h"
#include "Recording.h"
#include "VeltCamSdk.h"

namespace veltcam::tool {

void AddRecordCommand(CLI::App& app, ToolContext& context) {
    static CaptureOptions capture;
    static std::string output;
    static std::string duration = "5s";
    auto* command = app.add_subcommand("record", "record a movie (uncompressed AVI)");
    command->add_option("-o,--output", output, "movie file (.avi)")->required();
    command
        ->add_option("--duration", duration, "length, e.g. 5s, 500ms, 1m")

        ->capture_default_str()
        ->check(UsageCheck("DURATION", [](const std::string& text) { ParseDurationMs(text); }));
    capture.Register(*command);
    command->callback([&context] {
        int durationMs = ParseDurationMs(duration);
        CCameraSession session(context.session);
        capture.Apply(session);
        AviSummary summary = RecordMovie(session, output, durationMs, true);
        std::printf("recorded %s: %d frames, %d x %d, %.1f frames/s\n", output.c_str(),
                    summary.frames, summary.width, summary.height, summary.FramesPerSecond());
    });
}

}  // namespace veltcam::tool
