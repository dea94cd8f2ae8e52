// One frame through VeltCam_SnapShot, optionally written with VeltCam_SaveImage;
// shared by snap, calibrate and demo.
#pragma once

#include <string>

#include "CameraSession.h"

namespace veltcam::tool {

void TakeSnapshot(CCameraSession& session);
void SnapToFile(CCameraSession& session, const std::string& fileName, int format);

}  // namespace veltcam::tool
