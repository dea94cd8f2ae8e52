// A movie through VeltCam_Record; shared by record and demo.
#pragma once

#include <string>

#include "AviSummary.h"
#include "CameraSession.h"
#include "VeltCamSdk.h"

namespace veltcam::tool {

// Bytes one frame takes in the movie file as the SDK writes it now (24-bit
// rows padded to 4 bytes, plus the chunk header), for the current window.
long long MovieFrameBytes(VeltCamHandle handle);

// Records durationMs of the continuous preview into fileName, stops and reads
// the finished file's header back.
AviSummary RecordMovie(CCameraSession& session, const std::string& fileName, int durationMs,
                       bool showProgress);

}  // namespace veltcam::tool
