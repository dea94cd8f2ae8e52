#include "Snapshot.h"

#include "VeltCamSdk.h"

namespace veltcam::tool {

void TakeSnapshot(CCameraSession& session) {
    session.ClearErrors();
    // The frame stays in the SDK for VeltCam_SaveImage and the mask references.
    session.Check(VeltCam_SnapShot(session.Handle(), nullptr, 0, 1), "VeltCam_SnapShot");
}

void SnapToFile(CCameraSession& session, const std::string& fileName, int format) {
    TakeSnapshot(session);
    session.Check(VeltCam_SaveImage(session.Handle(), fileName.c_str(), format),
                  "saving " + fileName);
}

}  // namespace veltcam::tool
