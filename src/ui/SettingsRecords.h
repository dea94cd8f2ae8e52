// The SDK object's records that the settings store keeps per camera and the
// setting dialogs edit: the capture window and the cached camera settings.
#pragma once

#include <array>

#include "foundation/ModelConstants.h"

namespace veltcam {

// The capture window as the application and the settings store name it.
struct CaptureWindow {
    int TH = kSensorWidth;   // total width, only stored and returned
    int TV = kSensorHeight;  // total height, only stored and returned
    int EH = kSensorWidth;   // effective width: the image size delivered
    int EV = kSensorHeight;  // effective height
    int EHS = 0;             // horizontal start
    int EVS = 0;             // vertical start
    int Buf = 4;             // only stored
};

// Camera settings the SDK object caches so that a device switch or capture set-up can
// program them into the camera again.
struct CameraSettings {
    int globalGain = 0;
    std::array<int, 4> colorGain{};  // red, green 1, green 2, blue
    int exposureUnits = 0;           // 0.1 ms
    int mirrorV = 0;
    int mirrorH = 0;
    int autoIris = 0;  // 0 off, 1 exposure, 2 gain
    int setting104 = 0;
    int setting105 = 0;
    int setting106 = 0;
    double exposureMs = 1.0;  // extended exposure, for sensors that take milliseconds
    int lastRealExposure = 0;
};

}  // namespace veltcam
