// The bridge from feature registers to the SDK's public calls, and the frame
// thread that pulls images from the SDK and hands them to the streamer.
// Every feature reads back from the SDK what the camera holds, except the few
// the SDK keeps no getter for (frame rate, trigger choice, acquisition mode),
// which this bridge owns.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "CGvcpServer.h"
#include "CGvspStreamer.h"
#include "VeltCamSdk.h"

namespace veltcam::gige {

// The settings the SDK stores per camera, as far as its public calls reach them.
struct UserSetValues {
    std::array<int, 22> ids{};  // setting IDs, in the bridge's order
    int mirrorH = 0, mirrorV = 0, autoIris = 0;
};

class CSdkCamera : public IGvcpDevice {
  public:
    using Log = std::function<void(const std::string&)>;

    CSdkCamera(VeltCamHandle handle, int device, Log log);
    ~CSdkCamera() override;

    // Wires the streamer and the control server in (both outlive the camera's thread).
    void Attach(CGvspStreamer* streamer, CGvcpServer* server);
    void Start();  // the frame thread
    void Stop();

    uint16_t ReadFeature(uint32_t address, uint32_t* value) override;
    uint16_t WriteFeature(uint32_t address, uint32_t value) override;
    bool SlowWrite(uint32_t address) const override;
    void FireTestPacket() override;
    void ControlReleased() override;
    void Resend(uint16_t block, uint32_t first, uint32_t last) override;

    std::string Serial();
    uint64_t FramesSent() const { return framesSent_.load(); }
    // Frames the camera delivered that the network did not keep up with.
    uint64_t FramesLostBefore() const { return framesLostBefore_.load(); }

  private:
    struct Window {
        int x = 0, y = 0, width = 0, height = 0;
    };
    // What the SDK object holds and a fresh one must be given after a reopen.
    struct Carried {
        int x = 0, y = 0, width = 0, height = 0, subSample = 0, bits = 0;
        UserSetValues settings;
    };
    Window CurrentWindow();  // sensor pixels, as the SDK holds it
    int Decimation();        // 1, or 2 in half readout
    Window ImageWindow();    // image pixels of the readout
    bool Busy();
    uint16_t SetImageWindow(Window w);
    uint16_t SetDecimation(uint32_t value);
    uint16_t LoadUserSet();
    uint16_t SaveUserSet();
    Carried Carry(VeltCamHandle handle);
    uint32_t PixelFormat();
    uint32_t BytesPerPixel();
    uint16_t StartAcquisition();
    void StopAcquisition();
    void FrameLoop();
    bool PullFrame(StreamFrame& slot, uint64_t* frameNumber);
    bool StartMode();
    bool Reopen(bool releaseFirst);
    bool TooEarly(uint64_t timestampNs);
    void NoteFrame(uint64_t timestampNs);
    double Spread() const;
    void StopMode();

    // The caller's handle, or after a replug one this bridge opened (and releases).
    std::atomic<VeltCamHandle> handle_;
    const VeltCamHandle original_;
    bool originalReleased_ = false;  // a save let go of the caller's object
    int device_;
    Log log_;
    UserSetValues stored_;  // what the SDK last read from or wrote to its store
    std::optional<Carried> carried_;
    CGvspStreamer* streamer_ = nullptr;
    CGvcpServer* server_ = nullptr;

    std::mutex mutex_;  // acquisition state below
    std::condition_variable wake_;
    bool acquiring_ = false;    // the client asked for images
    bool modeRunning_ = false;  // the SDK's capture mode runs
    bool quit_ = false;
    bool reopen_ = false;  // the camera went away: select it again before the next start
    uint32_t userSet_ = 0;
    uint32_t acquisitionMode_ = 0;
    uint32_t frameCount_ = 1;
    uint32_t framesLeft_ = 0;
    float frameRate_ = 30.0f;
    bool frameRateEnable_ = false;
    bool triggerOn_ = false;
    uint32_t triggerSource_ = 0;
    uint32_t pendingTriggers_ = 0;
    uint64_t latchedTimestamp_ = 0;
    uint64_t blockBase_ = 0;         // frame thread only
    uint64_t nextStreamNumber_ = 0;  // frame thread only
    uint64_t nextDueNs_ = 0;         // frame thread only: when the next frame may go
    uint64_t lastFrameNs_ = 0;       // frame thread only
    double frameInterval_ = 0.0;     // frame thread only, seconds

    std::atomic<bool> stopSending_{false};
    std::atomic<uint64_t> framesSent_{0};
    std::atomic<uint64_t> framesLostBefore_{0};
    std::thread thread_;
    std::vector<uint8_t> staging_;
};

}  // namespace veltcam::gige
