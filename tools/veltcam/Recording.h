// A movie through VeltCam_Record; shared by record and demo.
#pragma once

#include <string>

#include "AviSummary.h"
#include "CameraSession.h"

namespace veltcam::tool {

// Records durationMs of the continuous preview into fileName, stops and reads
// the finished file's header back.
AviSummary RecordMovie(CCameraSession& session, const std::string& fileName, int durationMs,
                       bool showProgress);

}  // namespace veltcam::tool
