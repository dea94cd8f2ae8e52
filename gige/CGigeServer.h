// One camera served on one network address: the control socket on port 3956
// (plus a broadcast listener, so discovery reaches a server bound to a single
// address), the stream socket, the control server, the SDK bridge and its
// frame thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "CGvcpServer.h"
#include "CGvspStreamer.h"
#include "CSdkCamera.h"
#include "CUdpSocket.h"
#include "VeltCamSdk.h"

namespace veltcam::gige {

struct ServerOptions {
    uint32_t address = 0x7F000001;  // host order
    uint32_t packetSize = 0;        // initial stream packet size; 0: 1500 (8192 on loopback)
    double bandwidthMBps = 0.0;     // 0: unpaced except for the client's packet delay
    uint32_t heartbeatMs = 3000;
    double dropFraction = 0.0;  // test option: payload packets lost on purpose
    int multicastTtl = 0;       // 0: no multicast stream; else the groups' time to live
    int device = -1;
};

class CGigeServer {
  public:
    using Log = std::function<void(const std::string&)>;

    CGigeServer(VeltCamHandle handle, const ServerOptions& options, Log log);
    ~CGigeServer();

    bool Open(std::string* error);
    // Serves until stop is set; polls it at least every 100 ms.
    void Run(const std::atomic<bool>& stop);

    const CGvcpServer& Control() const { return *control_; }
    const StreamerStats& Stats() const { return streamer_->Stats(); }

  private:
    void LogChanges();

    VeltCamHandle handle_;
    ServerOptions options_;
    Log log_;
    CUdpSocket controlSocket_;
    CUdpSocket broadcastSocket_;
    CUdpSocket streamSocket_;
    std::unique_ptr<CSdkCamera> camera_;
    std::unique_ptr<CGvspStreamer> streamer_;
    std::unique_ptr<CGvcpServer> control_;
    Endpoint lastController_;
    Endpoint lastStream_;
    uint64_t lastResends_ = 0;
    uint64_t lastDropped_ = 0;
    uint64_t lastUnavailable_ = 0;
    uint64_t lastLost_ = 0;
};

}  // namespace veltcam::gige
