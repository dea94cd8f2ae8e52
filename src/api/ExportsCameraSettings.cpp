// Camera settings with exports of their own, and direct register access.
#include "VeltCamSdk.h"
#include "api/ExportFrame.h"

using veltcam::CallObject;
using veltcam::CVeltCam;

extern "C" {

int VELTCAM_CALL VeltCam_SetExposureTimeEx(VeltCamHandle handle, double milliseconds) {
    return CallObject(handle, 0, [=](CVeltCam& cam) { return cam.SetExposureTimeEx(milliseconds); });
}

double VELTCAM_CALL VeltCam_GetExposureTimeEx(VeltCamHandle handle, int* ok) {
    return CallObject(handle, 0.0, [=](CVeltCam& cam) { return cam.GetExposureTimeEx(ok); });
}

int VELTCAM_CALL VeltCam_SetRealExposureTime(VeltCamHandle handle, int microseconds) {
    return CallObject(handle, 0, [=](CVeltCam& cam) { return cam.SetRealExposureTime(microseconds); });
}

int VELTCAM_CALL VeltCam_GetRealExposureTime(VeltCamHandle handle, int* ok) {
    return CallObject(handle, 0, [=](CVeltCam& cam) { return cam.GetRealExposureTime(ok); });
}

int VELTCAM_CALL VeltCam_SetMirrorH(VeltCamHandle handle, int on) {
    return CallObject(handle, 0, [=](CVeltCam& cam) { return cam.SetMirrorH(on); });
}

int VELTCAM_CALL VeltCam_SetMirrorV(VeltCamHandle handle, int on) {
    return CallObject(handle, 0, [=](CVeltCam& cam) { return cam.SetMirrorV(on); });
}

int VELTCAM_CALL VeltCam_GetMirrorH(VeltCamHandle handle) {
    return CallObject(handle, 0, [](CVeltCam& cam) { return cam.GetMirrorH(); });
}

int VELTCAM_CALL VeltCam_GetMirrorV(VeltCamHandle handle) {
    return CallObject(handle, 0, [](CVeltCam& cam) { return cam.GetMirrorV(); });
}

int VELTCAM_CALL VeltCam_SetAutoIris(VeltCamHandle handle, int mode) {
    return CallObject(handle, 0, [=](CVeltCam& cam) { return cam.SetAutoIris(mode); });
}

int VELTCAM_CALL VeltCam_GetAutoIris(VeltCamHandle handle, int* ok) {
    return CallObject(handle, 0, [=](CVeltCam& cam) { return cam.GetAutoIris(ok); });
}

int VELTCAM_CALL VeltCam_SetIOPort(VeltCamHandle handle, int value) {
    return CallObject(handle, 0, [=](CVeltCam& cam) { return cam.SetIOPort(value); });
}

int VELTCAM_CALL VeltCam_GetIOPort(VeltCamHandle handle, BYTE* value) {
    return CallObject(handle, 0, [=](CVeltCam& cam) { return cam.GetIOPort(value); });
}

double VELTCAM_CALL VeltCam_GetTemperatureEx(VeltCamHandle handle, int* ok) {
    return CallObject(handle, 0.0, [=](CVeltCam& cam) { return cam.GetTemperatureEx(ok); });
}

int VELTCAM_CALL VeltCam_SetSamplingRate(VeltCamHandle handle, int framesPerSecond) {
    return CallObject(handle, 0, [=](CVeltCam& cam) { return cam.SetSamplingRate(framesPerSecond); });
}

intptr_t VELTCAM_CALL VeltCam_SetInternalCorrection(VeltCamHandle handle, int value) {
    return CallObject(handle, intptr_t{0}, [=](CVeltCam& cam) { return cam.SetInternalCorrection(value); });
}

intptr_t VELTCAM_CALL VeltCam_GetInternalCorrection(VeltCamHandle handle, int* ok) {
    return CallObject(handle, intptr_t{0}, [=](CVeltCam& cam) { return cam.GetInternalCorrection(ok); });
}

int VELTCAM_CALL VeltCam_Fpga_ReadRegister(VeltCamHandle handle, int address, int* ok) {
    return CallObject(handle, 0, [=](CVeltCam& cam) { return cam.FpgaReadRegister(address, ok); });
}

int VELTCAM_CALL VeltCam_Fpga_WriteRegister(VeltCamHandle handle, int address, int value) {
    return CallObject(handle, 0, [=](CVeltCam& cam) { return cam.FpgaWriteRegister(address, value); });
}

// The short forms address the sensor's 8-bit register space with 16-bit values;
// the Ex forms pass all 32 bits of address and value.
intptr_t VELTCAM_CALL VeltCam_ReadRegister(VeltCamHandle handle, int address, int* ok) {
    return CallObject(handle, intptr_t{0},
                      [=](CVeltCam& cam) { return cam.ReadSensorRegister(address & 0xFF, ok); });
}

intptr_t VELTCAM_CALL VeltCam_ReadRegisterEx(VeltCamHandle handle, int address, int* ok) {
    return CallObject(handle, intptr_t{0},
                      [=](CVeltCam& cam) { return cam.ReadSensorRegister(address, ok); });
}

int VELTCAM_CALL VeltCam_WriteRegister(VeltCamHandle handle, int address, int value) {
    return CallObject(handle, 0, [=](CVeltCam& cam) {
        return cam.WriteSensorRegister(address & 0xFF, value & 0xFFFF);
    });
}

int VELTCAM_CALL VeltCam_WriteRegisterEx(VeltCamHandle handle, int address, int value) {
    return CallObject(handle, 0, [=](CVeltCam& cam) { return cam.WriteSensorRegister(address, value); });
}

}  // extern "C"
