// Exports of the capture modes, the preview window and the movie recorder.
#include "VeltCamSdk.h"
#include "api/ExportFrame.h"

using veltcam::CallObject;
using veltcam::CVeltCam;

namespace {

uint32_t Key(VeltCamHandle handle) { return static_cast<uint32_t>(handle); }

}  // namespace

extern "C" {

int VELTCAM_CALL VeltCam_Preview(VeltCamHandle handle) {
    return CallObject(Key(handle), 0, [](CVeltCam& cam) { return cam.Preview(); });
}

int VELTCAM_CALL VeltCam_CallBackPreview(VeltCamHandle handle, HWND window, BYTE* buffer, int size,
                                         int flip) {
    return CallObject(Key(handle), 0, [=](CVeltCam& cam) {
        return cam.CallBackPreview(window, buffer, size, flip);
    });
}

int VELTCAM_CALL VeltCam_StartPreview(VeltCamHandle handle) {
    return CallObject(Key(handle), 0, [](CVeltCam& cam) { return cam.StartPreview(); });
}

int VELTCAM_CALL VeltCam_StopPreview(VeltCamHandle handle) {
    return CallObject(Key(handle), 0, [](CVeltCam& cam) { return cam.StopPreview(); });
}

int VELTCAM_CALL VeltCam_Capture(VeltCamHandle handle) {
    return CallObject(Key(handle), 0, [](CVeltCam& cam) { return cam.Capture(); });
}

int VELTCAM_CALL VeltCam_SnapShot(VeltCamHandle handle, BYTE* buffer, int size, int flip) {
    return CallObject(Key(handle), 0,
                      [=](CVeltCam& cam) { return cam.SnapShot(buffer, size, flip); });
}

int VELTCAM_CALL VeltCam_GetImage(VeltCamHandle handle, BYTE* buffer, int size, int flip) {
    return CallObject(Key(handle), 0,
                      [=](CVeltCam& cam) { return cam.GetImage(buffer, size, flip); });
}

int VELTCAM_CALL VeltCam_Trigger(VeltCamHandle handle, HWND window, BYTE* buffer, int size,
                                 int flip) {
    return CallObject(Key(handle), 0,
                      [=](CVeltCam& cam) { return cam.Trigger(window, buffer, size, flip); });
}

int VELTCAM_CALL VeltCam_Record(VeltCamHandle handle, const char* fileName, int durationMs,
                                int display) {
    return CallObject(Key(handle), 0,
                      [=](CVeltCam& cam) { return cam.Record(fileName, durationMs, display); });
}

int VELTCAM_CALL VeltCam_RecordW(VeltCamHandle handle, const wchar_t* fileName, int durationMs,
                                 int display) {
    return CallObject(Key(handle), 0,
                      [=](CVeltCam& cam) { return cam.RecordW(fileName, durationMs, display); });
}

int VELTCAM_CALL VeltCam_SetPreviewWindow(VeltCamHandle handle, HWND parent, int x, int y,
                                          int width, int height) {
    return CallObject(Key(handle), 0, [=](CVeltCam& cam) {
        return cam.SetPreviewWindow(parent, x, y, width, height);
    });
}

int VELTCAM_CALL VeltCam_Close(VeltCamHandle handle) {
    return CallObject(Key(handle), 0, [](CVeltCam& cam) { return cam.Close(); });
}

}  // extern "C"
