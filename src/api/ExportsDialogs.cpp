// Exports of the setting dialogs: capture format, analog and image.
#include "VeltCamSdk.h"
#include "api/ExportFrame.h"

using veltcam::CallObject;
using veltcam::CVeltCam;

extern "C" {

int VELTCAM_CALL VeltCam_SetCameraDlg(VeltCamHandle handle, HWND parent) {
    return CallObject(handle, 0, [=](CVeltCam& cam) { return cam.SetCameraDlg(parent); });
}

int VELTCAM_CALL VeltCam_SetAnalogDlg(VeltCamHandle handle, HWND parent) {
    return CallObject(handle, 0, [=](CVeltCam& cam) { return cam.SetAnalogDlg(parent); });
}

int VELTCAM_CALL VeltCam_SetImageDlg(VeltCamHandle handle, HWND parent) {
    return CallObject(handle, 0, [=](CVeltCam& cam) { return cam.SetImageDlg(parent); });
}

}  // extern "C"
