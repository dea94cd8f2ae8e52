// Exports of still image files.
#include "VeltCamSdk.h"
#include "api/ExportFrame.h"

using veltcam::CallObject;
using veltcam::CVeltCam;

namespace {

uint32_t Key(VeltCamHandle handle) { return static_cast<uint32_t>(handle); }

}  // namespace

extern "C" {

int VELTCAM_CALL VeltCam_SaveImage(VeltCamHandle handle, const char* fileName, int format) {
    return CallObject(Key(handle), 0,
                      [=](CVeltCam& cam) { return cam.SaveImage(fileName, format); });
}

int VELTCAM_CALL VeltCam_SaveImageW(VeltCamHandle handle, const wchar_t* fileName, int format) {
    return CallObject(Key(handle), 0,
                      [=](CVeltCam& cam) { return cam.SaveImageW(fileName, format); });
}

}  // extern "C"
