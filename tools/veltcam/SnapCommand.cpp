// snap: one frame to a still file.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "CaptureOptions.h"
#include "Commands.h"
#include "ImageFormats.h"
#include "Snapshot.h"
#include "VeltCamSdk.h"

namespace veltcam::tool {

void AddSnapCommand(CLI::App& app, ToolContext& context) {
    static CaptureOptions capture;
    static std::string output;
    static std::string format;
    auto* command = app.add_subcommand("snap", "take one frame and save it to a file");
    command->add_option("-o,--output", output, "image file")->required();
    command->add_option("--format", format, "file format (default: from the extension)")
        ->check(CLI::IsMember(ImageFormatNames()));
    capture.Register(*command);
    command->callback([&context] {
        // Resolved before the camera is touched: a bad name is a usage error.
        int code = format.empty() ? ImageFormatFromFileName(output) : ImageFormatFromName(format);
        CCameraSession session(context.session);
        capture.Apply(session);
        SnapToFile(session, output, code);
        VeltCamHandle h = session.Handle();
        int width = VeltCam_Width(h);
        int height = VeltCam_Height(h);
        if (VeltCam_GetSubSample(h) == VELTCAM_SUBSAMPLE_HALF) {
            width /= 2;
            height /= 2;
        }
        std::printf("saved %s (%d x %d, %d bits per pixel)\n", output.c_str(), width, height,
                    VeltCam_GetColorMode(h));
    });
}

}  // namespace veltcam::tool
