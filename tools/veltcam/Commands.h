// Each command registers itself on the application; its callback runs the
// command and throws CUsageError or CSdkFailure when it cannot finish.
#pragma once

#include "CameraSession.h"

namespace CLI {
class App;
}

namespace veltcam::tool {

// Options every command shares (--simulate, --device).
struct ToolContext {
    SessionOptions session;
};

void AddListCommand(CLI::App& app, ToolContext& context);
void AddInfoCommand(CLI::App& app, ToolContext& context);
void AddSettingsCommand(CLI::App& app, ToolContext& context);
void AddSnapCommand(CLI::App& app, ToolContext& context);
void AddRecordCommand(CLI::App& app, ToolContext& context);
void AddStreamCommand(CLI::App& app, ToolContext& context);
void AddCalibrateCommands(CLI::App& app, ToolContext& context);
void AddPreviewCommand(CLI::App& app, ToolContext& context);
void AddBenchCommand(CLI::App& app, ToolContext& context);
void AddServeCommand(CLI::App& app, ToolContext& context);

}  // namespace veltcam::tool
