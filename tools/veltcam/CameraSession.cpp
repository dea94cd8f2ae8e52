#include "CameraSession.h"

#include <cstdio>
#include <cstdlib>

#include "Failures.h"
#include "SettingsLocation.h"

namespace veltcam::tool {
namespace {

constexpr char kSimulatorVariable[] = "VELTCAM_SIMULATOR";

void SetEnvironment(const char* name, const std::string& value) {
#if defined(_WIN32)
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// "1" means the defaults; anything else is an options list to extend.
std::string WithExtra(const std::string& options, const std::string& extra) {
    if (extra.empty()) return options;
    if (options.empty() || options == "1") return extra;
    return options + ";" + extra;
}

int CameraCount(VeltCamHandle handle) {
    char names[VELTCAM_MAX_ENUM_DEVICES][VELTCAM_DEVICE_NAME_SIZE] = {};
    return VeltCam_EnumDevice(handle, names);
}

}  // namespace

const char kNoCameraHint[] =
    "no camera attached; connect one (and check that this user may open it), or run on "
    "the built-in simulator with --simulate (or VELTCAM_SIMULATOR=1)";

CCameraSession::CCameraSession(const SessionOptions& options) {
    std::string current = Environment(kSimulatorVariable);
    if (options.simulate) {
        SetEnvironment(kSimulatorVariable,
                       WithExtra(*options.simulate, options.extraSimulatorOptions));
        simulated_ = true;
        std::fprintf(stderr, "veltcam: using the built-in camera simulator\n");
    } else if (!current.empty()) {
        SetEnvironment(kSimulatorVariable, WithExtra(current, options.extraSimulatorOptions));
        simulated_ = true;
        std::fprintf(stderr, "veltcam: using the built-in camera simulator (%s=%s)\n",
                     kSimulatorVariable, current.c_str());
    }
    Open();
    if (!simulated_ && CameraCount(handle_) == 0) {
        // A simulated picture saved with a success status would pass for the
        // camera's on a production line: only an explicit request gets one.
        attached_ = false;
        if (!options.allowNoCamera) {
            VeltCam_Release(handle_);
            handle_ = 0;
            throw CSdkFailure(kNoCameraHint);
        }
        return;
    }
    if (options.device >= 0) {
        Check(VeltCam_SetDeviceNumber(handle_, options.device),
              "selecting device " + std::to_string(options.device));
    }
    WarnIfSettingsCannotBeSaved();
}

CCameraSession::~CCameraSession() {
    // Release also stops a capture mode and finalises a recording.
    if (handle_ != 0) VeltCam_Release(handle_);
}

void CCameraSession::Open() {
    handle_ = VeltCam_Initialize(nullptr);
    if (handle_ == 0) throw CSdkFailure("VeltCam_Initialize failed: ERR_MEMORY");
    // A failed initialisation leaves its reasons in the history; later calls only
    // say ERR_NOT_READY, so keep the first reason to explain them.
    initError_.clear();
    for (int code = VeltCam_GetLastError(handle_); code != 0;
         code = VeltCam_GetLastError(handle_)) {
        initError_ = ErrorName(code);
    }
}

void CCameraSession::ClearErrors() {
    while (VeltCam_GetLastError(handle_) != 0) {
    }
}

std::string CCameraSession::TakeErrorText() {
    int newest = VeltCam_GetLastError(handle_);
    ClearErrors();
    std::string text = newest != 0 ? ErrorName(newest) : "no error code";
    if (!initError_.empty() && newest == ERR_NOT_READY) {
        text += " (initialisation: " + initError_ + ")";
    }
    return text;
}

void CCameraSession::Check(int result, const std::string& what) {
    if (result == 0) throw CSdkFailure(what + " failed: " + TakeErrorText());
}

}  // namespace veltcam::tool
