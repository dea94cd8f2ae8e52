// `veltcam list` over the SDK's own system channel (libusb) on umockdev's emulated
// bus, in this process: the emulated bus answers only requests from the process that
// holds it, so the tool's command runs here rather than as a program of its own.
#include <gtest/gtest.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "Commands.h"
#include "sim/usb/CSimUsbFront.h"
#include "support/PrivateSettingsStore.h"
#include "support/SimTestSupport.h"

namespace veltcam {
namespace {

std::string List() {
    CLI::App app;
    tool::ToolContext context;
    tool::AddListCommand(app, context);
    testing::internal::CaptureStdout();
    app.parse(std::vector<std::string>{"list"});
    return testing::internal::GetCapturedStdout();
}

int Count(const std::string& text, const std::string& what) {
    int count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

TEST(UsbTool, ListShowsEachCamerasBusSpeedAndWarnsOnceForACameraOnAUsb2Port) {
    unsetenv("VELTCAM_SIMULATOR");
    test::CPrivateSettingsStore store;
    struct Case {
        const char* options;
        const char* speed;
        int warnings;
    };
    const Case cases[] = {{"speed=3;fps=max", "USB 2 (High-Speed)", 1},
                          {"fps=max", "USB 3 (SuperSpeed)", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        auto simulator = test::MakeSim(c.options);
        std::string error;
        auto front = sim::CSimUsbFront::Create(simulator, &error);
        ASSERT_TRUE(front) << error;
        // The SDK's channel lives as long as the process and hears of the cameras of
        // each new bus through its hotplug events: the first listing may come early.
        std::string out = List();
        for (int i = 0; i < 100 && out.find("1 camera\n") == std::string::npos; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            out = List();
        }
        ASSERT_NE(out.find("1 camera\n"), std::string::npos) << out;
        EXPECT_EQ(Count(out, std::string("  ") + c.speed + "\n"), 1) << "the camera's row: " << out;
        EXPECT_EQ(Count(out, "warning"), c.warnings) << out;
        // 40 MB/s over a full frame at 8 bits (2048 x 1536 bytes): 12.7 frames/s.
        if (c.warnings > 0) {
            EXPECT_NE(out.find("reach about 12 frames/s"), std::string::npos) << out;
        }
    }
}

}  // namespace
}  // namespace veltcam
