// Facts of the one camera model this SDK drives.
#pragma once

#include <cstdint>

#include "platform/Guid.h"

namespace veltcam {

constexpr uint16_t kProductCode = 12740;  // USB product id 0x31C4
constexpr int kSensorWidth = 2048;
constexpr int kSensorHeight = 1536;
constexpr const char* kProductString = "VeltCamM40-USB3-R7";
constexpr uint32_t kDllVersion = 0x020D0521;  // 34407713

// Device-interface class under which the camera's driver registers every camera.
constexpr platform::Guid kCameraInterfaceGuid{
    0x328184C5, 0x93E6, 0x49B7, {0x94, 0xB8, 0x2A, 0xDA, 0x13, 0xAA, 0xBB, 0x39}};

}  // namespace veltcam
