// VeltCamEx_GetBusSpeed: the selected camera's speed as its driver reports it, names
// for the codes a driver gives, and the arguments it refuses.
#include <gtest/gtest.h>

#include "VeltCamSdkEx.h"
#include "support/PrivateSettingsStore.h"
#include "support/SimTestSupport.h"

namespace veltcam {
namespace {

TEST(BusSpeed, TheSelectedCamerasSpeedComesFromItsDriverAndBadArgumentsAreRefused) {
    test::CPrivateSettingsStore store;
    struct Case {
        const char* options;
        int speed;
    };
    const Case cases[] = {{"cameras=1", VELTCAM_EX_BUS_SUPER_SPEED},
                          {"cameras=1;speed=3", VELTCAM_EX_BUS_HIGH_SPEED},
                          {"cameras=1;speed=9", VELTCAM_EX_BUS_UNKNOWN}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        test::UseSdkSimulator(c.options);
        const VeltCamHandle handle = VeltCam_Initialize(nullptr);
        ASSERT_NE(handle, 0u);
        while (VeltCam_GetLastError(handle) != 0) {
        }
        int speed = -1;
        EXPECT_EQ(VeltCamEx_GetBusSpeed(handle, &speed), 1);
        EXPECT_EQ(speed, c.speed);
        EXPECT_EQ(VeltCamEx_GetBusSpeed(handle, nullptr), 0);
        EXPECT_EQ(VeltCam_GetLastError(handle), ERR_PARAMETER);
        VeltCam_Release(handle);
    }
    int untouched = -1;
    EXPECT_EQ(VeltCamEx_GetBusSpeed(0x7fff1234u, &untouched), 0) << "unknown handle";
    EXPECT_EQ(untouched, -1);
}

}  // namespace
}  // namespace veltcam
