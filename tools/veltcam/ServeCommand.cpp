// serve: the camera as a network camera that any GenICam client can open.
// One address per camera (port 3956 is fixed); Ctrl-C ends it.
#include <CLI/CLI.hpp>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "CGigeServer.h"
#include "CUdpSocket.h"
#include "Commands.h"
#include "Failures.h"

namespace veltcam::tool {
namespace {

std::atomic<bool> g_stop{false};

extern "C" void OnStopSignal(int) { g_stop = true; }

void Log(const std::string& prefix, const std::string& text) {
    std::printf("%s%s\n", prefix.c_str(), text.c_str());
    std::fflush(stdout);
}

}  // namespace

void AddServeCommand(CLI::App& app, ToolContext& context) {
    static std::vector<std::string> addresses;
    static uint32_t packetSize = 0;
    static double bandwidth = 0;
    static uint32_t heartbeat = 3000;
    static double dropPercent = 0;
    static double seconds = 0;
    static bool multicast = false;
    static int multicastTtl = 1;
    auto* command = app.add_subcommand(
        "serve", "serve the camera as a GigE Vision network camera (GenICam clients)");
    command
        ->add_option("--address", addresses,
                     "address to serve on, one per camera (default 127.0.0.1); "
                     "a non-loopback address exposes the camera to that network")
        ->expected(1, 16);
    command
        ->add_option("--packet-size", packetSize,
                     "initial stream packet size in bytes, headers included "
                     "(default 8192 on loopback, 1500 otherwise)")
        ->check(CLI::Range(576, 65500));
    command->add_option("--bandwidth", bandwidth, "pace the stream to this many MB/s (0: unpaced)")
        ->check(CLI::Range(0.0, 100000.0));
    command
        ->add_option("--heartbeat", heartbeat,
                     "default heartbeat time-out in ms (a client may change it)")
        ->check(CLI::Range(500, 600000));
    command
        ->add_option("--drop-percent", dropPercent,
                     "testing: lose this share of stream packets on their first send")
        ->check(CLI::Range(0.0, 50.0));
    auto* multicastFlag = command->add_flag(
        "--multicast", multicast,
        "let the controlling client send the stream to a multicast group (refused otherwise)");
    command
        ->add_option("--multicast-ttl", multicastTtl,
                     "routers a multicast stream may cross (default 1: the local network only)")
        ->check(CLI::Range(1, 255))
        ->needs(multicastFlag);
    command->add_option("--seconds", seconds, "stop after this long (0: until Ctrl-C)")
        ->check(CLI::Range(0.0, 1e9));
    command->callback([&context] {
        if (addresses.empty()) addresses.push_back("127.0.0.1");
        if (!gige::CUdpSocket::StartNetworking()) throw CSdkFailure("networking did not start");
        std::vector<std::unique_ptr<CCameraSession>> sessions;
        std::vector<std::unique_ptr<gige::CGigeServer>> servers;
        const int firstDevice = context.session.device;
        for (std::size_t i = 0; i < addresses.size(); ++i) {
            uint32_t ip = 0;
            if (!gige::ParseIpv4(addresses[i], &ip) || ip == 0 || ip == 0xFFFFFFFFu) {
                throw CUsageError("--address: not a single IPv4 address: " + addresses[i]);
            }
            if ((ip >> 24) != 127) {
                // The protocol has no authentication: anyone who reaches this
                // address can take control of the camera.
                std::printf(
                    "veltcam: serving on %s: any machine that reaches this address can "
                    "control the camera and receive its images\n",
                    addresses[i].c_str());
            }
            SessionOptions options = context.session;
            const int device = addresses.size() > 1
                                   ? (firstDevice >= 0 ? firstDevice : 0) + static_cast<int>(i)
                                   : firstDevice;
            options.device = device;
            sessions.push_back(std::make_unique<CCameraSession>(options));
            gige::ServerOptions so;
            so.address = ip;
            so.packetSize = packetSize;
            so.bandwidthMBps = bandwidth;
            so.heartbeatMs = heartbeat;
            so.dropFraction = dropPercent / 100.0;
            so.multicastTtl = multicast ? multicastTtl : 0;
            so.device = device;
            const std::string prefix = "[" + addresses[i] + "] ";
            servers.push_back(std::make_unique<gige::CGigeServer>(
                sessions.back()->Handle(), so, [prefix](const std::string& t) { Log(prefix, t); }));
            std::string error;
            if (!servers.back()->Open(&error)) throw CSdkFailure(addresses[i] + ": " + error);
        }
        std::signal(SIGINT, OnStopSignal);
        std::signal(SIGTERM, OnStopSignal);
        std::atomic<bool> stop{false};
        std::vector<std::thread> threads;
        for (auto& server : servers) {
            threads.emplace_back([&stop, s = server.get()] { s->Run(stop); });
        }
        const auto end = std::chrono::steady_clock::now() +
                         std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                             std::chrono::duration<double>(seconds));
        while (!g_stop.load() && (seconds <= 0 || std::chrono::steady_clock::now() < end)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        stop = true;
        for (auto& t : threads) t.join();
        std::printf("veltcam: serve stopped\n");
    });
}

}  // namespace veltcam::tool
