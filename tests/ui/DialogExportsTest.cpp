// The dialog exports through the public API, on a platform without dialog windows.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "VeltCamSdk.h"
#include "support/PrivateSettingsStore.h"
#include "support/SimTestSupport.h"

namespace veltcam {
namespace {

#ifndef _WIN32
TEST(DialogExports, ReportNotSupportedOnLinux) {
    test::CPrivateSettingsStore store;
    std::string options = "cameras=1;table=" + test::UniqueTableName();
    setenv("VELTCAM_SIMULATOR", options.c_str(), 1);
    VeltCamHandle handle = VeltCam_Initialize(nullptr);
    ASSERT_NE(handle, 0u);
    while (VeltCam_GetLastError(handle) != 0) {
    }
    for (auto dialog : {VeltCam_SetCameraDlg, VeltCam_SetAnalogDlg, VeltCam_SetImageDlg}) {
        EXPECT_EQ(dialog(handle, nullptr), 0);
        EXPECT_EQ(VeltCam_GetLastError(handle), ERR_NOT_SUPPORTED);
    }
    VeltCam_Release(handle);
    // An unknown handle is silent.
    EXPECT_EQ(VeltCam_SetImageDlg(handle, nullptr), 0);
}
#endif

}  // namespace
}  // namespace veltcam
