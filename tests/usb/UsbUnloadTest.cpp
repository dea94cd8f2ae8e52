// A host program that loads the SDK library, finds the cameras over libusb, releases
// the SDK and unloads the library, then keeps running while the USB bus reports
// devices coming and going: nothing of the library may still run in unmapped code.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <thread>

#include "VeltCamSdk.h"
#include "sim/usb/CSimUsbFront.h"
#include "support/PrivateSettingsStore.h"
#include "support/SimTestSupport.h"

namespace veltcam {
namespace {

size_t ThreadCount() {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                             std::filesystem::directory_iterator()));
}

TEST(UsbUnload, TheLibraryUnloadedAfterUseSurvivesTheNextHotplugEvents) {
    unsetenv("VELTCAM_SIMULATOR");
    test::CPrivateSettingsStore store;
    auto simulator = test::MakeSim("cameras=1");
    std::string error;
    auto front = sim::CSimUsbFront::Create(simulator, &error);
    ASSERT_TRUE(front) << error;

    const size_t threadsBefore = ThreadCount();
    void* library = dlopen(VELTCAM_SDK_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto initialize =
        reinterpret_cast<decltype(&VeltCam_Initialize)>(dlsym(library, "VeltCam_Initialize"));
    auto enumerate =
        reinterpret_cast<decltype(&VeltCam_EnumDevice)>(dlsym(library, "VeltCam_EnumDevice"));
    auto release = reinterpret_cast<decltype(&VeltCam_Release)>(dlsym(library, "VeltCam_Release"));
    ASSERT_TRUE(initialize && enumerate && release);
    VeltCamHandle handle = initialize(nullptr);
    ASSERT_NE(handle, 0u);
    char names[VELTCAM_MAX_ENUM_DEVICES][VELTCAM_DEVICE_NAME_SIZE];
    EXPECT_EQ(enumerate(handle, names), 1);
    EXPECT_EQ(release(handle), 1);
    EXPECT_EQ(dlclose(library), 0);
    // A thread the library started may outlive the unload only in a library that
    // stays mapped.
    void* still = dlopen(VELTCAM_SDK_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
    EXPECT_TRUE(ThreadCount() == threadsBefore || still != nullptr)
        << ThreadCount() - threadsBefore << " threads left in an unmapped library";
    if (still) dlclose(still);

    // Each event wakes libusb's hotplug monitor of every context in the process.
    for (const char* action : {"change", "remove", "add"}) {
        front->Uevent(0, action);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    SUCCEED() << "still running";
}

}  // namespace
}  // namespace veltcam
