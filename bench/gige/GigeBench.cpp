// The network camera's cost per frame: cutting a full frame into stream
// packets and handing them to the kernel (batched sends) over loopback, against
// one memcpy of the same frame in the same run. Sends only to 127.0.0.1: run it
// inside a private network namespace (bench/gige/run.sh does).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "CGvspStreamer.h"
#include "CUdpSocket.h"

namespace {

using namespace veltcam::gige;

constexpr std::size_t kFrame8 = 2048 * 1536;
constexpr std::size_t kFrame16 = kFrame8 * 2;

void Memcpy(benchmark::State& state, std::size_t bytes) {
    std::vector<uint8_t> source(bytes, 0x5A), destination(bytes);
    for (auto _ : state) {
        std::memcpy(destination.data(), source.data(), bytes);
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_Memcpy_Frame8(benchmark::State& state) { Memcpy(state, kFrame8); }
void BM_Memcpy_Frame16(benchmark::State& state) { Memcpy(state, kFrame16); }

// One frame through the streamer to a loopback socket nobody reads: the
// kernel drops what overflows its buffer, so this is the sender's own cost.
void SendFrame(benchmark::State& state, std::size_t bytes) {
    const uint32_t packetSize = static_cast<uint32_t>(state.range(0));
    CUdpSocket receiver, sender;
    std::string error;
    if (!receiver.Open(0x7F000001, 0, false, &error) ||
        !sender.Open(0x7F000001, 0, false, &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    sender.SetDontFragment();
    CGvspStreamer streamer(sender, {});
    StreamChannel channel;
    channel.destination = 0x7F000001;
    channel.port = receiver.LocalPort();
    channel.packetSize = packetSize;
    std::atomic<bool> stop{false};
    uint64_t frame = 0;
    for (auto _ : state) {
        StreamFrame& slot = streamer.BeginFrame();
        if (slot.data.size() != bytes) {
            state.PauseTiming();
            slot.data.assign(bytes, 0x5A);
            state.ResumeTiming();
        }
        slot.size = bytes;
        slot.width = 2048;
        slot.height = 1536;
        streamer.SendFrame(slot, BlockIdFor(frame++), channel, stop);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["packets/frame"] =
        static_cast<double>(streamer.Stats().packets.load()) / static_cast<double>(frame);
}

void BM_SendFrame8(benchmark::State& state) { SendFrame(state, kFrame8); }
void BM_SendFrame16(benchmark::State& state) { SendFrame(state, kFrame16); }

}  // namespace

BENCHMARK(BM_Memcpy_Frame8)->MinTime(1.0);
BENCHMARK(BM_Memcpy_Frame16)->MinTime(1.0);
BENCHMARK(BM_SendFrame8)
    ->Arg(1500)
    ->Arg(9000)
    ->Arg(65500)
    ->MinTime(1.0)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SendFrame16)->Arg(9000)->Arg(65500)->MinTime(1.0)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
