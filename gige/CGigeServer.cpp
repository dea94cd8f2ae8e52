#include "CGigeServer.h"

#include <chrono>
#include <cstdio>

#include "GenICamXml.h"
#include "GvcpProtocol.h"
#include "VeltCamSdkEx.h"

#if !defined(_WIN32)
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#endif

namespace veltcam::gige {
namespace {

bool IsLoopback(uint32_t ip) { return (ip >> 24) == 127; }

// The mask of the interface holding the address, for the discovery answer.
uint32_t MaskOf(uint32_t ip) {
#if !defined(_WIN32)
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
        uint32_t mask = 0;
        for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
            if (i->ifa_addr == nullptr || i->ifa_netmask == nullptr ||
                i->ifa_addr->sa_family != AF_INET) {
                continue;
            }
            const auto* a = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
            const auto* m = reinterpret_cast<const sockaddr_in*>(i->ifa_netmask);
            const uint32_t m32 = ntohl(m->sin_addr.s_addr);
            if ((ntohl(a->sin_addr.s_addr) & m32) == (ip & m32) && m32 > mask) mask = m32;
        }
        freeifaddrs(list);
        if (mask != 0) return mask;
    }
#endif
    return IsLoopback(ip) ? 0xFF000000u : 0xFFFFFF00u;
}

uint64_t NowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

std::string VersionText() {
    const int v = VeltCamEx_GetVersion();
    return std::to_string(v >> 16) + "." + std::to_string((v >> 8) & 255) + "." +
           std::to_string(v & 255);
}

}  // namespace

CGigeServer::CGigeServer(VeltCamHandle handle, const ServerOptions& options, Log log)
    : handle_(handle), options_(options), log_(std::move(log)) {}

CGigeServer::~CGigeServer() {
    if (camera_) camera_->Stop();
}

bool CGigeServer::Open(std::string* error) {
    if (!controlSocket_.Open(options_.address, kGvcpPort, false, error)) return false;
#if !defined(_WIN32)
    // A socket bound to one address never sees the 255.255.255.255 discovery:
    // listen there too, shared with other servers on this machine.
    std::string ignored;
    broadcastSocket_.Open(0xFFFFFFFFu, kGvcpPort, true, &ignored);
#endif
    if (!streamSocket_.Open(options_.address, 0, false, error)) return false;
    streamSocket_.SetDontFragment();
    streamSocket_.SetSendBuffer(4 << 20);
    if (options_.multicastTtl > 0 &&
        !streamSocket_.SetMulticastSender(options_.address, options_.multicastTtl)) {
        if (error) *error = "cannot send multicast from " + FormatIpv4(options_.address);
        return false;
    }

    const bool loopback = IsLoopback(options_.address);
    uint32_t packet = options_.packetSize != 0 ? options_.packetSize : loopback ? 8192u : 1500u;
    const uint32_t maxPacket = std::max(loopback ? kMaxPacketSize : 9000u, packet);

    camera_ = std::make_unique<CSdkCamera>(handle_, options_.device, log_);
    StreamerOptions so;
    so.bytesPerSecond = options_.bandwidthMBps * 1e6;
    so.dropFraction = options_.dropFraction;
    streamer_ = std::make_unique<CGvspStreamer>(streamSocket_, so);

    DeviceIdentity id;
    id.version = VersionText();
    id.information = "veltcam serve";
    id.serial = camera_->Serial();
    id.userName = "";
    id.ip = options_.address;
    id.mask = MaskOf(options_.address);
    id.mac = 0x025643000000ull | (options_.address & 0xFFFFFF);  // locally administered
    id.maxPacketSize = maxPacket;
    id.packetSize = packet;
    id.heartbeatMs = options_.heartbeatMs;
    id.sourcePort = streamSocket_.LocalPort();
    id.allowMulticast = options_.multicastTtl > 0;
    XmlOptions xo;
    xo.maxPacketSize = std::min(maxPacket, kMaxPacketSize);
    control_ = std::make_unique<CGvcpServer>(id, BuildGenICamXml(xo), *camera_);
    camera_->Attach(streamer_.get(), control_.get());
    camera_->Start();
    log_("serving camera " + (id.serial.empty() ? std::string("(no serial)") : id.serial) + " at " +
         FormatIpv4(options_.address) + ":" + std::to_string(kGvcpPort) + ", stream packets of " +
         std::to_string(packet) + " bytes (at most " + std::to_string(maxPacket) + ")" +
         (id.allowMulticast
              ? ", multicast allowed (time to live " + std::to_string(options_.multicastTtl) + ")"
              : ""));
    return true;
}

void CGigeServer::LogChanges() {
    const Endpoint controller = control_->Controller();
    if (!(controller == lastController_)) {
        if (controller.ip != 0) {
            log_("client " + FormatIpv4(controller.ip) + ":" + std::to_string(controller.port) +
                 " has control");
        } else {
            log_("no client has control");
        }
        lastController_ = controller;
    }
    const StreamChannel channel = control_->Stream();
    const Endpoint stream{channel.port != 0 ? channel.destination : 0, channel.port};
    if (!(stream == lastStream_)) {
        if (stream.ip != 0) {
            const bool group = (stream.ip >> 28) == 0xE;
            log_("stream goes to " + FormatIpv4(stream.ip) + ":" + std::to_string(stream.port) +
                 (group ? " (multicast group)" : ""));
        }
        lastStream_ = stream;
    }
    const StreamerStats& s = streamer_->Stats();
    const uint64_t resends = s.resendRequests.load();
    const uint64_t dropped = s.packetsDropped.load();
    const uint64_t unavailable = s.packetsUnavailable.load();
    const uint64_t lost = camera_->FramesLostBefore();
    if (resends != lastResends_ || dropped != lastDropped_ || unavailable != lastUnavailable_ ||
        lost != lastLost_) {
        log_("frames " + std::to_string(s.frames.load()) + ", not sent in time " +
             std::to_string(lost) + ", resend requests " + std::to_string(resends) +
             ", packets resent " + std::to_string(s.packetsResent.load()) + ", unavailable " +
             std::to_string(unavailable) + ", dropped on purpose " + std::to_string(dropped));
        lastResends_ = resends;
        lastDropped_ = dropped;
        lastUnavailable_ = unavailable;
        lastLost_ = lost;
    }
}

void CGigeServer::Run(const std::atomic<bool>& stop) {
    uint8_t buffer[2048];
    uint64_t lastLog = NowMs();
    while (!stop.load()) {
        const int ready = CUdpSocket::WaitReadable({&controlSocket_, &broadcastSocket_}, 100);
        const uint64_t now = NowMs();
        if (ready >= 0) {
            CUdpSocket& socket = ready == 0 ? controlSocket_ : broadcastSocket_;
            Endpoint from;
            const int got = socket.Receive(buffer, sizeof buffer, &from);
            if (got > 0) {
                control_->Handle(buffer, static_cast<std::size_t>(got), from, now,
                                 [&](const uint8_t* data, std::size_t size) {
                                     // Answers always leave from the served address.
                                     controlSocket_.SendTo(data, size, from);
                                 });
            }
        }
        control_->Tick(now);
        if (now - lastLog >= 1000) {
            LogChanges();
            lastLog = now;
        }
    }
    camera_->Stop();
    LogChanges();
}

}  // namespace veltcam::gige
