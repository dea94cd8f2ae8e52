// The bridge from feature registers to the SDK, on the simulated camera through
// the public library (the DLL under Wine): what a client writes reaches the
// camera in the camera's units and reads back as the camera holds it; what the
// camera cannot take is refused with the status a client understands.
#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cstdlib>
#include <string>

#include "CSdkCamera.h"
#include "FeatureRegisters.h"
#include "GvcpProtocol.h"
#include "VeltCamSdk.h"
#include "support/PrivateSettingsStore.h"

namespace veltcam::gige {
namespace {

namespace f = feature;

void SetEnvironment(const char* name, const std::string& value) {
#if defined(_WIN32)
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

uint32_t Bits(float v) { return std::bit_cast<uint32_t>(v); }

class SdkCameraTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto tag = std::chrono::steady_clock::now().time_since_epoch().count() % 1000000007;
        SetEnvironment("VELTCAM_SIMULATOR", "table=vcgige-" + std::to_string(tag));
        handle_ = VeltCam_Initialize(nullptr);
        ASSERT_NE(handle_, 0u);
        camera_ = std::make_unique<CSdkCamera>(handle_, -1, [](const std::string&) {});
    }
    void TearDown() override {
        camera_.reset();
        VeltCam_Release(handle_);
        SetEnvironment("VELTCAM_SIMULATOR", "");
    }
    uint32_t Read(uint32_t address) {
        uint32_t value = 0xFFFFFFFF;
        EXPECT_EQ(camera_->ReadFeature(address, &value), kStatusSuccess) << std::hex << address;
        return value;
    }

    test::CPrivateSettingsStore store_;
    VeltCamHandle handle_ = 0;
    std::unique_ptr<CSdkCamera> camera_;
};

TEST_F(SdkCameraTest, WritesReachTheCameraInItsUnitsAndReadBack) {
    int ok = 0;
    struct Case {
        const char* what;
        uint32_t address, value, readBack;
    } cases[] = {
        {"width", f::kWidth, 1024, 1024},
        {"height", f::kHeight, 768, 768},
        {"offset x", f::kOffsetX, 64, 64},
        {"offset y", f::kOffsetY, 32, 32},
        {"pixel format", f::kPixelFormat, kPixMono16, kPixMono16},
        {"exposure", f::kExposureTime, Bits(5000), Bits(5000)},
        {"exposure to the nearest 0.1 ms", f::kExposureTime, Bits(12345), Bits(12300)},
        {"gain", f::kGain, Bits(12.5f), Bits(12.5f)},
        {"mirror", f::kReverseX, 1, 1},
        {"gamma", f::kGamma, Bits(1.5f), Bits(1.5f)},
        {"white balance", f::kBalanceWhiteAuto, f::kAutoContinuous, f::kAutoContinuous},
        {"frame count", f::kAcquisitionFrameCount, 7, 7},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(camera_->WriteFeature(c.address, c.value), kStatusSuccess) << c.what;
        EXPECT_EQ(Read(c.address), c.readBack) << c.what;
    }
    // What the camera itself now holds.
    int x = 0, y = 0, w = 0, h = 0;
    VeltCam_GetCaptureWindowEx(handle_, nullptr, &x, &w, nullptr, &y, &h);
    EXPECT_EQ(x, 64);
    EXPECT_EQ(y, 32);
    EXPECT_EQ(w, 1024);
    EXPECT_EQ(h, 768);
    EXPECT_EQ(VeltCam_GetColorMode(handle_), 16);
    EXPECT_EQ(VeltCam_GetExposureTime(handle_, &ok), 123);
    EXPECT_EQ(VeltCam_GetGlobalGain(handle_, &ok), 125);
    EXPECT_EQ(VeltCam_GetMirrorH(handle_), 1);
    EXPECT_EQ(VeltCam_GetGamma(handle_, &ok), 150);
    EXPECT_EQ(Read(f::kPayloadSize), 1024u * 768u * 2u);
    EXPECT_EQ(Read(f::kWidthMax), 2048u - 64u);
    EXPECT_EQ(Read(f::kOffsetYMax), 1536u - 768u);

    // One automatic loop drives exposure or gain: switching one on turns the other off.
    EXPECT_EQ(camera_->WriteFeature(f::kExposureAuto, f::kAutoContinuous), kStatusSuccess);
    EXPECT_EQ(camera_->WriteFeature(f::kGainAuto, f::kAutoContinuous), kStatusSuccess);
    EXPECT_EQ(Read(f::kExposureAuto), f::kAutoOff);
    EXPECT_EQ(Read(f::kGainAuto), f::kAutoContinuous);
    EXPECT_EQ(camera_->WriteFeature(f::kExposureAuto, f::kAutoOff), kStatusSuccess);
    EXPECT_EQ(Read(f::kGainAuto), f::kAutoContinuous) << "turning the other one off leaves it";
}

TEST_F(SdkCameraTest, WhatTheCameraCannotTakeIsRefused) {
    ASSERT_EQ(camera_->WriteFeature(f::kWidth, 1024), kStatusSuccess);
    const float nan = std::bit_cast<float>(0x7FC00000u);
    struct Case {
        const char* what;
        uint32_t address, value;
        uint16_t status;
    } cases[] = {
        {"width off its increment", f::kWidth, 1000, kStatusInvalidParameter},
        {"width below the minimum", f::kWidth, 16, kStatusInvalidParameter},
        {"window past the sensor", f::kOffsetX, 1040, kStatusInvalidParameter},
        {"odd offset", f::kOffsetY, 3, kStatusInvalidParameter},
        {"unknown pixel format", f::kPixelFormat, 0x01080009, kStatusInvalidParameter},
        {"exposure not a number", f::kExposureTime, Bits(nan), kStatusInvalidParameter},
        {"exposure too long", f::kExposureTime, Bits(3e6f), kStatusInvalidParameter},
        {"gain past 48 dB", f::kGain, Bits(60), kStatusInvalidParameter},
        {"acquisition mode", f::kAcquisitionMode, 3, kStatusInvalidParameter},
        {"frame count 0", f::kAcquisitionFrameCount, 0, kStatusInvalidParameter},
        {"trigger source", f::kTriggerSource, 5, kStatusInvalidParameter},
        {"read-only payload size", f::kPayloadSize, 5, kStatusWriteProtect},
        {"outside the features", f::kEnd + 4, 0, kStatusInvalidAddress},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(camera_->WriteFeature(c.address, c.value), c.status) << c.what;
    }
    EXPECT_EQ(Read(f::kWidth), 1024u) << "a refused write changes nothing";
    EXPECT_EQ(Read(f::kOffsetX), 0u);
}

TEST_F(SdkCameraTest, DecimationIsTheHalfReadoutInImagePixels) {
    ASSERT_EQ(camera_->WriteFeature(f::kPixelFormat, kPixMono8), kStatusSuccess);
    ASSERT_EQ(camera_->WriteFeature(f::kWidth, 1040), kStatusSuccess);
    ASSERT_EQ(camera_->WriteFeature(f::kHeight, 772), kStatusSuccess);
    ASSERT_EQ(camera_->WriteFeature(f::kOffsetX, 64), kStatusSuccess);
    ASSERT_EQ(camera_->WriteFeature(f::kOffsetY, 32), kStatusSuccess);

    // Both axes move together; the window keeps its area of the sensor, moved
    // to the origin and onto the half readout's 32 x 8 steps.
    ASSERT_EQ(camera_->WriteFeature(f::kDecimationVertical, 2), kStatusSuccess);
    EXPECT_EQ(VeltCam_GetSubSample(handle_), VELTCAM_SUBSAMPLE_HALF);
    int x = -1, y = -1, w = 0, h = 0;
    VeltCam_GetCaptureWindowEx(handle_, nullptr, &x, &w, nullptr, &y, &h);
    EXPECT_EQ(x, 0);
    EXPECT_EQ(y, 0);
    EXPECT_EQ(w, 1024);
    EXPECT_EQ(h, 768);
    struct Held {
        const char* what;
        uint32_t address, value;
    } decimated[] = {
        {"decimation x", f::kDecimationHorizontal, 2},
        {"decimation y", f::kDecimationVertical, 2},
        {"width", f::kWidth, 512},
        {"height", f::kHeight, 384},
        {"offset x", f::kOffsetX, 0},
        {"offset y", f::kOffsetY, 0},
        {"offset x max", f::kOffsetXMax, 0},
        {"offset y max", f::kOffsetYMax, 0},
        {"width max", f::kWidthMax, 1024},
        {"height max", f::kHeightMax, 768},
        {"payload", f::kPayloadSize, 512 * 384},
    };
    for (const Held& r : decimated) EXPECT_EQ(Read(r.address), r.value) << r.what;

    struct Write {
        const char* what;
        uint32_t address, value;
        uint16_t status;
    } writes[] = {
        {"offset 0 is a no-op", f::kOffsetX, 0, kStatusSuccess},
        {"no offsets at half readout", f::kOffsetY, 4, kStatusInvalidParameter},
        {"widest half image", f::kWidth, 1024, kStatusSuccess},
        {"past the half sensor", f::kHeight, 772, kStatusInvalidParameter},
        {"height off its step", f::kHeight, 382, kStatusInvalidParameter},
        {"a quarter is not offered", f::kDecimationHorizontal, 4, kStatusInvalidParameter},
    };
    for (const Write& c : writes) {
        EXPECT_EQ(camera_->WriteFeature(c.address, c.value), c.status) << c.what;
    }
    VeltCam_GetCaptureWindowEx(handle_, nullptr, &x, &w, nullptr, &y, &h);
    EXPECT_EQ(w, 2048) << "image pixels reach the camera as sensor pixels";

    ASSERT_EQ(camera_->WriteFeature(f::kDecimationHorizontal, 1), kStatusSuccess);
    EXPECT_EQ(VeltCam_GetSubSample(handle_), VELTCAM_SUBSAMPLE_FULL);
    EXPECT_EQ(Read(f::kDecimationVertical), 1u);
    EXPECT_EQ(Read(f::kWidth), 2048u);
    EXPECT_EQ(Read(f::kHeight), 768u);
    EXPECT_EQ(camera_->WriteFeature(f::kOffsetY, 4), kStatusSuccess) << "offsets again";
}

TEST_F(SdkCameraTest, UserSetOneIsTheCamerasStoredSettings) {
    int ok = 0;
    ASSERT_EQ(camera_->WriteFeature(f::kUserSetSelector, f::kUserSet1), kStatusSuccess);
    ASSERT_EQ(camera_->WriteFeature(f::kExposureTime, Bits(5000)), kStatusSuccess);
    ASSERT_EQ(camera_->WriteFeature(f::kGain, Bits(12.5f)), kStatusSuccess);
    ASSERT_EQ(camera_->WriteFeature(f::kReverseY, 1), kStatusSuccess);
    ASSERT_EQ(camera_->WriteFeature(f::kWidth, 1024), kStatusSuccess);
    ASSERT_EQ(camera_->WriteFeature(f::kUserSetSave, 1), kStatusSuccess);
    EXPECT_EQ(Read(f::kWidth), 1024u) << "the window is not stored, but carried over";

    // Changed, then loaded back.
    ASSERT_EQ(camera_->WriteFeature(f::kExposureTime, Bits(20000)), kStatusSuccess);
    ASSERT_EQ(camera_->WriteFeature(f::kGain, Bits(3)), kStatusSuccess);
    ASSERT_EQ(camera_->WriteFeature(f::kReverseY, 0), kStatusSuccess);
    ASSERT_EQ(camera_->WriteFeature(f::kUserSetLoad, 1), kStatusSuccess);
    EXPECT_EQ(Read(f::kExposureTime), Bits(5000));
    EXPECT_EQ(Read(f::kGain), Bits(12.5f));
    EXPECT_EQ(Read(f::kReverseY), 1u);

    // The power-on set can be loaded but not overwritten.
    ASSERT_EQ(camera_->WriteFeature(f::kUserSetSelector, f::kUserSetDefault), kStatusSuccess);
    EXPECT_EQ(camera_->WriteFeature(f::kUserSetSave, 1), kStatusWriteProtect);
    ASSERT_EQ(camera_->WriteFeature(f::kUserSetLoad, 1), kStatusSuccess);
    EXPECT_EQ(Read(f::kExposureTime), Bits(17000));
    EXPECT_EQ(Read(f::kGain), Bits(6.4f));
    EXPECT_EQ(Read(f::kReverseY), 0u);
    EXPECT_EQ(Read(f::kWidth), 2048u);
    EXPECT_EQ(camera_->WriteFeature(f::kUserSetSelector, 2), kStatusInvalidParameter);

    // The store holds the saved set, not what the camera held when the server
    // let go of it: the next SDK object to open the camera comes up with it.
    camera_.reset();
    VeltCam_Release(handle_);
    handle_ = VeltCam_Initialize(nullptr);
    ASSERT_NE(handle_, 0u);
    EXPECT_EQ(VeltCam_GetExposureTime(handle_, &ok), 50);
    EXPECT_EQ(VeltCam_GetGlobalGain(handle_, &ok), 125);
    EXPECT_EQ(VeltCam_GetMirrorV(handle_), 1);
}

}  // namespace
}  // namespace veltcam::gige
