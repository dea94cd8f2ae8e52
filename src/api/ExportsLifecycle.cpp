// Exports that create and destroy handles, drain the error history, and the
// entry points of features this camera does not have.
#include <chrono>
#include <thread>

#include "VeltCamSdk.h"
#include "api/ExportFrame.h"

using veltcam::CallObject;
using veltcam::CSdkChain;
using veltcam::CVeltCam;

namespace {

uint32_t Key(VeltCamHandle handle) { return static_cast<uint32_t>(handle); }

constexpr int kReleaseGraceMs = 200;

}  // namespace

extern "C" {

VeltCamHandle VELTCAM_CALL VeltCam_Initialize(HWND window) {
    try {
        auto& chain = CSdkChain::Instance();
        uint32_t handle = chain.Create([] { return std::make_shared<CVeltCam>(); });
        if (handle == 0) return 0;
        // The handle stays valid even when initialisation fails: the application
        // learns why from the history and from later calls.
        if (auto object = chain.Lookup(handle)) object->Initialize(window);
        return handle;
    } catch (...) {
        return 0;
    }
}

int VELTCAM_CALL VeltCam_Release(VeltCamHandle handle) {
    try {
        std::shared_ptr<CVeltCam> object = CSdkChain::Instance().Detach(Key(handle));
        if (!object) return 0;
        // A thread pulling frames holds the object: it returns now, not at its
        // time-out. Give it a moment to let go, so that the object is destroyed
        // here and not on that thread, which would then return only afterwards.
        object->EndFrameStream();
        for (int ms = 0; ms < kReleaseGraceMs && object.use_count() > 1; ++ms) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        // Destroyed here, outside the registry lock, unless a call on another thread
        // still uses it; then the last of those calls destroys it on its way out.
        object.reset();
        return 1;
    } catch (...) {
        return 0;
    }
}

int VELTCAM_CALL VeltCam_GetLastError(VeltCamHandle handle) {
    return CallObject(Key(handle), 0, [](CVeltCam& cam) { return cam.GetLastError(); });
}

int VELTCAM_CALL VeltCam_GetDllVersion(void) { return static_cast<int>(veltcam::kDllVersion); }

int VELTCAM_CALL VeltCam_GetStatus(VeltCamHandle handle) {
    return CallObject(Key(handle), 0, [](CVeltCam&) { return 0; });
}

int VELTCAM_CALL VeltCam_Width(VeltCamHandle handle) {
    return CallObject(Key(handle), 0, [](CVeltCam& cam) { return cam.Width(); });
}

int VELTCAM_CALL VeltCam_Height(VeltCamHandle handle) {
    return CallObject(Key(handle), 0, [](CVeltCam& cam) { return cam.Height(); });
}

int VELTCAM_CALL VeltCam_GetCaptureWindowEx(VeltCamHandle handle, int* th, int* ehs, int* eh, int* tv,
                                            int* evs, int* ev) {
    return CallObject(Key(handle), 0, [&](CVeltCam& cam) {
        return cam.GetCaptureWindowEx(th, ehs, eh, tv, evs, ev);
    });
}

int VELTCAM_CALL VeltCam_GetColorMode(VeltCamHandle handle) {
    return CallObject(Key(handle), -1, [](CVeltCam& cam) { return cam.GetColorMode(); });
}

int VELTCAM_CALL VeltCam_SetSubSample(VeltCamHandle handle, int mode) {
    return CallObject(Key(handle), 0, [=](CVeltCam& cam) { return cam.SetSubSample(mode); });
}

int VELTCAM_CALL VeltCam_GetSubSample(VeltCamHandle handle) {
    return CallObject(Key(handle), -1, [](CVeltCam& cam) { return cam.GetSubSample(); });
}

int VELTCAM_CALL VeltCam_SetWaitTime(VeltCamHandle handle, int ms) {
    return CallObject(Key(handle), 0, [=](CVeltCam& cam) { return cam.SetWaitTime(ms); });
}

int VELTCAM_CALL VeltCam_GetWaitTime(VeltCamHandle handle) {
    return CallObject(Key(handle), -1, [](CVeltCam& cam) { return cam.GetWaitTime(); });
}

// One entry point under four names (VeltCam_GetHalfClock, VeltCam_SetHalfClock and
// VeltCam_SetCrossbar are aliases in the export table).
int VELTCAM_CALL VeltCam_Fps(VeltCamHandle handle) {
    return CallObject(Key(handle), 0, [](CVeltCam& cam) { return cam.NotifyNotSupported(); });
}

int VELTCAM_CALL VeltCam_GetConfigFilter(VeltCamHandle handle) {
    return CallObject(Key(handle), 0, [](CVeltCam& cam) {
        cam.ReportNotSupported();
        return -1;
    });
}

int VELTCAM_CALL VeltCam_SetConfigFilter(VeltCamHandle handle) {
    return CallObject(Key(handle), 0, [](CVeltCam& cam) {
        cam.ReportNotSupported();
        return -1;
    });
}

// Also exported as VeltCam_ReceiveText.
int VELTCAM_CALL VeltCam_SendText(VeltCamHandle handle) {
    return CallObject(Key(handle), 0, [](CVeltCam& cam) { return cam.ReportNotSupported(); });
}

// Also exported as VeltCam_GetVideoFormat.
int VELTCAM_CALL VeltCam_GetSamplingRate(VeltCamHandle handle, int* rate) {
    return CallObject(Key(handle), 0, [=](CVeltCam&) {
        if (rate != nullptr) *rate = 0;
        return 0;
    });
}

}  // extern "C"

// One function under several names: the aliases share the primary's address.
extern "C" {
int VeltCam_GetHalfClock(VeltCamHandle) __attribute__((alias("VeltCam_Fps")));
int VeltCam_SetHalfClock(VeltCamHandle) __attribute__((alias("VeltCam_Fps")));
int VeltCam_SetCrossbar(VeltCamHandle) __attribute__((alias("VeltCam_Fps")));
int VeltCam_ReceiveText(VeltCamHandle) __attribute__((alias("VeltCam_SendText")));
int VeltCam_GetVideoFormat(VeltCamHandle, int*) __attribute__((alias("VeltCam_GetSamplingRate")));
}
