// The public API on Linux with VELTCAM_SIMULATOR unset: the SDK's own system channel
// (libusb) finds the simulated cameras on umockdev's emulated bus. The assertions are
// the capture tests': device names, the scene in every colour mode, and an unplug
// that ends the callback preview with one time-out message, then the replug.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "VeltCamSdk.h"
#include "sim/usb/CSimUsbFront.h"
#include "support/PrivateSettingsStore.h"
#include "support/SceneChecks.h"
#include "support/SimTestSupport.h"
#include "support/TestWindow.h"

namespace veltcam {
namespace {

constexpr uint32_t kDeviceChange = 0x0219;
constexpr uintptr_t kDeviceArrival = 0x8000;
constexpr uintptr_t kDeviceRemoveComplete = 0x8004;

// Two cameras on the bus for the whole program: the SDK keeps its system channel
// for the life of the process, as it would with real cameras.
class UsbBus : public testing::Environment {
  public:
    void SetUp() override {
        unsetenv("VELTCAM_SIMULATOR");
        simulator = test::MakeSim("cameras=2;fps=max");
        std::string error;
        front = sim::CSimUsbFront::Create(simulator, &error);
        ASSERT_TRUE(front) << error;
    }
    void TearDown() override {
        front.reset();
        simulator.reset();
    }
    static inline std::shared_ptr<sim::CSimDriver> simulator;
    static inline std::unique_ptr<sim::CSimUsbFront> front;
};
testing::Environment* const bus = testing::AddGlobalTestEnvironment(new UsbBus);

class UsbSdk : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(UsbBus::front);
        UsbBus::simulator->ClearFaults();
        // The application's window also hears of cameras arriving and leaving.
        handle_ = VeltCam_Initialize(window_.Handle());
        ASSERT_NE(handle_, 0u);
        ASSERT_EQ(VeltCam_SetPreviewWindow(handle_, nullptr, 0, 0, 0, 0), 1);
        while (VeltCam_GetLastError(handle_) != 0) {
        }
    }
    void TearDown() override {
        if (handle_ != 0) VeltCam_Release(handle_);
    }
    test::CPrivateSettingsStore store_;
    test::CTestWindow window_;
    VeltCamHandle handle_ = 0;
};

TEST_F(UsbSdk, CamerasAreNamedInPortOrderAndShowTheSceneInEveryColourMode) {
    char names[VELTCAM_MAX_ENUM_DEVICES][VELTCAM_DEVICE_NAME_SIZE];
    ASSERT_EQ(VeltCam_EnumDevice(handle_, names), 2);
    EXPECT_STREQ(names[0], "VeltCamM40-USB3-R7_01");
    EXPECT_STREQ(names[1], "VeltCamM40-USB3-R7_02");
    ASSERT_EQ(VeltCam_SetDeviceNumber(handle_, 0), 1);
    for (int bits : {8, 16, 24, 32, 48, 64}) {
        SCOPED_TRACE(testing::Message() << bits << " bits");
        ASSERT_EQ(VeltCam_SetColorMode(handle_, bits), 1);
        std::vector<uint8_t> image(static_cast<size_t>(test::RowBytes(bits)) * test::kSceneHeight);
        ASSERT_EQ(VeltCam_SnapShot(handle_, image.data(), static_cast<int>(image.size()), 1), 1);
        test::ExpectScene(image, bits);
    }
}

TEST_F(UsbSdk, AnUnplugEndsThePreviewWithOneTimeoutAndTheReplugCapturesAgain) {
    ASSERT_EQ(VeltCam_SetDeviceNumber(handle_, 1), 1);
    ASSERT_EQ(VeltCam_SetColorMode(handle_, 8), 1);
    sim::FaultSpec fault;
    std::string error;
    ASSERT_TRUE(sim::ParseFault("unplug:500@10#1", &fault, &error)) << error;
    UsbBus::simulator->AddFault(fault);
    test::CTestWindow window;
    ASSERT_EQ(VeltCam_CallBackPreview(handle_, window.Handle(), nullptr, 0, 1), 1);
    std::vector<test::PostedMessage> failures;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (failures.empty() && std::chrono::steady_clock::now() < end) {
        for (auto& m : window.Take(VELTCAM_WM_FRAME, 50)) {
            if (m.lParam != 0) failures.push_back(m);
        }
    }
    // A second failure message would come right behind the first: collect a while
    // longer, so that "one" is seen to be one.
    const auto more = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < more) {
        for (auto& m : window.Take(VELTCAM_WM_FRAME, 50)) {
            if (m.lParam != 0) failures.push_back(m);
        }
    }
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].lParam, ERR_TIMEOUT);
    EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_TIMEOUT);
    EXPECT_EQ(VeltCam_StopPreview(handle_), 1);
    // Back on its port as a new USB device: the same device number opens it again.
    int opened = 0;
    for (int i = 0; i < 100 && opened != 1; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        opened = VeltCam_SetDeviceNumber(handle_, 1);
    }
    ASSERT_EQ(opened, 1);
    // The removal and the arrival, as device-change messages.
    std::vector<uintptr_t> events;
    for (auto& m : window_.Take(kDeviceChange, 100)) events.push_back(m.wParam);
    EXPECT_NE(std::find(events.begin(), events.end(), kDeviceRemoveComplete), events.end());
    EXPECT_NE(std::find(events.begin(), events.end(), kDeviceArrival), events.end());
    ASSERT_EQ(VeltCam_SetColorMode(handle_, 8), 1);
    std::vector<uint8_t> image(static_cast<size_t>(test::RowBytes(8)) * test::kSceneHeight);
    ASSERT_EQ(VeltCam_SnapShot(handle_, image.data(), static_cast<int>(image.size()), 1), 1);
    test::ExpectScene(image, 8);
}

}  // namespace
}  // namespace veltcam
