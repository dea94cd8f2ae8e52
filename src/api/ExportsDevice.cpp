// Exports of device selection, the capture window, the colour mode and the SROM.
#include "VeltCamSdk.h"
#include "api/ExportFrame.h"

using veltcam::CallObject;
using veltcam::CVeltCam;

extern "C" {

int VELTCAM_CALL VeltCam_SetDeviceNumber(VeltCamHandle handle, int deviceNumber) {
    return CallObject(handle, 0, [=](CVeltCam& cam) { return cam.SetDeviceNumber(deviceNumber); });
}

int VELTCAM_CALL VeltCam_EnumDevice(VeltCamHandle handle, char names[][VELTCAM_DEVICE_NAME_SIZE]) {
    return CallObject(handle, 0, [=](CVeltCam& cam) {
        return cam.EnumDevice(names, VELTCAM_MAX_ENUM_DEVICES);
    });
}

int VELTCAM_CALL VeltCam_EnumDeviceW(VeltCamHandle handle,
                                     wchar_t names[][VELTCAM_DEVICE_NAME_SIZE]) {
    return CallObject(handle, 0, [=](CVeltCam& cam) { return cam.EnumDeviceW(names); });
}

int VELTCAM_CALL VeltCam_GetDeviceName(VeltCamHandle handle, int deviceNumber, char* buffer,
                                       int size) {
    return CallObject(handle, 0, [=](CVeltCam& cam) {
        return cam.GetDeviceName(deviceNumber, buffer, size);
    });
}

int VELTCAM_CALL VeltCam_GetDeviceNameW(VeltCamHandle handle, int deviceNumber, wchar_t* buffer,
                                        int size) {
    return CallObject(handle, 0, [=](CVeltCam& cam) {
        return cam.GetDeviceNameW(deviceNumber, buffer, size);
    });
}

int VELTCAM_CALL VeltCam_GetCameraInfo(VeltCamHandle handle, VeltCamDeviceInfo* info) {
    return CallObject(handle, 0, [=](CVeltCam& cam) { return cam.GetCameraInfo(info); });
}

int VELTCAM_CALL VeltCam_ReadSerialNumberA(VeltCamHandle handle, char* buffer, int size) {
    return CallObject(handle, 0, [=](CVeltCam& cam) { return cam.ReadSerialNumberA(buffer, size); });
}

int VELTCAM_CALL VeltCam_ReadSerialNumberW(VeltCamHandle handle, wchar_t* buffer, int size) {
    return CallObject(handle, 0, [=](CVeltCam& cam) { return cam.ReadSerialNumberW(buffer, size); });
}

int VELTCAM_CALL VeltCam_ReadSromID(VeltCamHandle handle, int address, int* ok) {
    return CallObject(handle, 0, [=](CVeltCam& cam) { return cam.ReadSromID(address, ok); });
}

int VELTCAM_CALL VeltCam_WriteSromID(VeltCamHandle handle, int address, int value) {
    return CallObject(handle, 0, [=](CVeltCam& cam) { return cam.WriteSromID(address, value); });
}

int VELTCAM_CALL VeltCam_SetCaptureWindow(VeltCamHandle handle, int width, int height) {
    return CallObject(handle, 0, [=](CVeltCam& cam) { return cam.SetCaptureWindow(width, height); });
}

int VELTCAM_CALL VeltCam_SetCaptureWindowEx(VeltCamHandle handle, int totalWidth, int startX,
                                            int width, int totalHeight, int startY, int height) {
    return CallObject(handle, 0, [=](CVeltCam& cam) {
        return cam.SetCaptureWindowEx(totalWidth, startX, width, totalHeight, startY, height);
    });
}

int VELTCAM_CALL VeltCam_SetColorMode(VeltCamHandle handle, int bitsPerPixel) {
    return CallObject(handle, 0, [=](CVeltCam& cam) { return cam.SetColorMode(bitsPerPixel); });
}

}  // extern "C"
