// Exports that load the application's configuration file into the SDK object.
#include "VeltCamSdk.h"
#include "api/ExportFrame.h"

using veltcam::CallObject;
using veltcam::CVeltCam;

extern "C" {

int VELTCAM_CALL VeltCam_LoadConfigFileA(VeltCamHandle handle, const char* fileName) {
    return CallObject(static_cast<uint32_t>(handle), 0,
                      [=](CVeltCam& cam) { return cam.LoadConfigFile(fileName); });
}

int VELTCAM_CALL VeltCam_LoadConfigFileW(VeltCamHandle handle, const wchar_t* fileName) {
    return CallObject(static_cast<uint32_t>(handle), 0,
                      [=](CVeltCam& cam) { return cam.LoadConfigFileW(fileName); });
}

}  // extern "C"
