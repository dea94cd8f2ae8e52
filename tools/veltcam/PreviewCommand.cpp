// preview: the SDK's own preview window, for a while or until it is closed.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "CaptureOptions.h"
#include "Commands.h"
#include "FrameWindow.h"
#include "PreviewWindow.h"
#include "VeltCamSdk.h"

namespace veltcam::tool {

void AddPreviewCommand(CLI::App& app, ToolContext& context) {
    static CaptureOptions capture;
    static double seconds = 10;
    auto* command = app.add_subcommand("preview", "show the live picture in the SDK's window");
    command->add_option("--seconds", seconds, "how long to show it")
        ->check(CLI::Range(0.1, 86400.0));
    capture.Register(*command);
    command->callback([&context] {
        CCameraSession session(context.session);
        capture.Apply(session);
#ifdef _WIN32
        VeltCamHandle h = session.Handle();
        session.ClearErrors();
        session.Check(VeltCam_Preview(h), "VeltCam_Preview");
        std::printf("previewing for %.1f s (close the window to stop)\n", seconds);
        std::fflush(stdout);
        PumpMessages(static_cast<int>(seconds * 1000));
        VeltCam_Close(h);
#else
        RunPreviewWindow(session, seconds);
#endif
    });
}

}  // namespace veltcam::tool
