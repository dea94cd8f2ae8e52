// veltcam: drives a camera through the SDK's public C API only, or the SDK's
// built-in simulator when --simulate or VELTCAM_SIMULATOR asks for it.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>

#include "Commands.h"
#include "Failures.h"

using namespace veltcam::tool;

int main(int argc, char** argv) {
    CLI::App app{"veltcam - command-line tool of the VeltCam M40 USB3 camera SDK", "veltcam"};
    app.require_subcommand(1);
    app.fallthrough();
    ToolContext context;
    auto* simulate = app.add_option("--simulate",
                                    "use the built-in simulator, optionally with "
                                    "options key=value;...")
                         ->expected(0, 1);
    app.add_option("--device", context.session.device, "device number of the camera");
    app.parse_complete_callback([&] {
        if (simulate->count() > 0) {
            auto values = simulate->results();
            context.session.simulate = values.empty() || values[0].empty() ? "1" : values[0];
        }
    });

    AddListCommand(app, context);
    AddInfoCommand(app, context);
    AddSettingsCommand(app, context);
    AddSnapCommand(app, context);
    AddRecordCommand(app, context);
    AddStreamCommand(app, context);
    AddCalibrateCommands(app, context);
    AddPreviewCommand(app, context);
    AddBenchCommand(app, context);
    AddServeCommand(app, context);

    try {
        app.parse(argc, argv);
        return kExitOk;
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);  // --help
        std::fprintf(stderr, "veltcam: %s\n", e.what());
        return kExitUsage;
    } catch (const CUsageError& e) {
        std::fprintf(stderr, "veltcam: %s\n", e.what());
        return kExitUsage;
    } catch (const CSdkFailure& e) {
        std::fprintf(stderr, "veltcam: %s\n", e.what());
        return kExitFailure;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "veltcam: %s\n", e.what());
        return kExitFailure;
    }
}
