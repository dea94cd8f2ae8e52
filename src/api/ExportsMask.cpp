// Exports of the defect-pixel mask: capturing the references and the mask file.
#include "VeltCamSdk.h"
#include "api/ExportFrame.h"

using veltcam::CallObject;
using veltcam::CVeltCam;

namespace {

uint32_t Key(VeltCamHandle handle) { return static_cast<uint32_t>(handle); }

}  // namespace

extern "C" {

int VELTCAM_CALL VeltCam_UpdateMaskData(VeltCamHandle handle, int which) {
    return CallObject(Key(handle), 0, [=](CVeltCam& cam) { return cam.UpdateMaskData(which); });
}

int VELTCAM_CALL VeltCam_SaveMaskFile(VeltCamHandle handle, const char* fileName) {
    return CallObject(Key(handle), 0, [=](CVeltCam& cam) { return cam.SaveMaskFile(fileName); });
}

int VELTCAM_CALL VeltCam_SaveMaskFileW(VeltCamHandle handle, const wchar_t* fileName) {
    return CallObject(Key(handle), 0, [=](CVeltCam& cam) { return cam.SaveMaskFileW(fileName); });
}

int VELTCAM_CALL VeltCam_LoadMaskFile(VeltCamHandle handle, const char* fileName) {
    return CallObject(Key(handle), 0, [=](CVeltCam& cam) { return cam.LoadMaskFile(fileName); });
}

int VELTCAM_CALL VeltCam_LoadMaskFileW(VeltCamHandle handle, const wchar_t* fileName) {
    return CallObject(Key(handle), 0, [=](CVeltCam& cam) { return cam.LoadMaskFileW(fileName); });
}

}  // extern "C"
