// One SDK handle for the length of a command: opens the camera, or the built-in
// simulator when asked for by --simulate or VELTCAM_SIMULATOR, selects the device and turns failed
// calls into CSdkFailure.
#pragma once

#include <optional>
#include <string>

#include "VeltCamSdk.h"

namespace veltcam::tool {

struct SessionOptions {
    // Set by --simulate: the simulator's options ("1" for the defaults).
    std::optional<std::string> simulate;
    // Extra simulator options a command needs (e.g. a periodic trigger).
    std::string extraSimulatorOptions;
    int device = -1;  // -1: the SDK's own choice
    // list and info report an empty bus; every other command needs a picture
    // source and refuses to start without a camera or an explicit simulator.
    bool allowNoCamera = false;
};

// What the tool says when no camera is attached and no simulator was asked for.
extern const char kNoCameraHint[];

class CCameraSession {
  public:
    explicit CCameraSession(const SessionOptions& options);
    ~CCameraSession();
    CCameraSession(const CCameraSession&) = delete;
    CCameraSession& operator=(const CCameraSession&) = delete;

    VeltCamHandle Handle() const { return handle_; }
    bool Simulated() const { return simulated_; }
    // False only with allowNoCamera and nothing on the bus.
    bool Attached() const { return attached_; }

    // Throws CSdkFailure naming `what` and the newest error code when result is 0.
    void Check(int result, const std::string& what);
    // The newest recorded code's name (draining the history), or "no error code".
    std::string TakeErrorText();
    // Forgets codes recorded so far, so the next failure is not blamed on them.
    void ClearErrors();

  private:
    void Open();

    VeltCamHandle handle_ = 0;
    bool simulated_ = false;
    bool attached_ = true;
    std::string initError_;
};

}  // namespace veltcam::tool
