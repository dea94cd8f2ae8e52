// Sustained full frames through the transfer thread from the simulated camera at
// fps=max, against a plain copy of a frame: the ratio is what the transfer path
// costs in frame copies (the simulator's own share is one copy: the bulk read).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/CVeltCamUSB3R7SimpleSdk.h"
#include "sim/CSimDriver.h"
// The Linux USB path: libusb over the simulated camera on umockdev's emulated bus.
#include <fcntl.h>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/posix/UsbDriverChannel.h"
#include "sim/usb/CSimUsbFront.h"

namespace veltcam {
namespace {

constexpr size_t kFrame8 = 2048 * 1536;
constexpr size_t kFrame16 = 2048 * 1536 * 2;

std::string TableName() {
    std::mt19937_64 random{std::random_device{}()};
    return "vcbench-" + std::to_string(random() & 0xFFFFFFFF);
}

void TransferFullFrame(benchmark::State& state, int depth, bool usb = false) {
    std::string error;
    // Bulk reads whose data is there complete inside the call: the simulated driver's
    // thread switches are the simulator's cost, not the SDK's. VELTCAM_BENCH_SIMULATOR
    // adds options (for example complete=thread to measure with them).
    std::string options = "fps=max;complete=inline;table=" + TableName();
    if (const char* extra = std::getenv("VELTCAM_BENCH_SIMULATOR"))
        options += std::string(";") + extra;
    auto simulator = sim::CSimDriver::Create(options, &error);
    if (!simulator) {
        state.SkipWithError(error.c_str());
        return;
    }
    // Over USB: the same camera behind umockdev's emulated device node, reached
    // through the libusb channel (run the program under umockdev-wrapper).
    std::unique_ptr<sim::CSimUsbFront> front;
    std::shared_ptr<platform::CDriverChannel> channel = simulator;
    if (usb) {
        front = sim::CSimUsbFront::Create(simulator, &error);
        if (!front) {
            state.SkipWithError(("no emulated USB bus: " + error).c_str());
            return;
        }
        platform::UsbChannelOptions usbOptions;
        usbOptions.tableName = TableName();
        channel = platform::CreateUsbDriverChannel(usbOptions);
    }
    CVeltCamUSB3R7SimpleSdk core;
    core.SetDriverChannel(channel);
    core.SetProductCode(12740);
    core.CreateController(nullptr, nullptr);
    if (core.CountDevices(12740) != 1 || !core.SelectDeviceNumber(0) ||
        !core.SetTransferDepth(depth) || !core.StartTransfer(0)) {
        state.SkipWithError("the simulated camera did not start");
        return;
    }
    // Warm up: buffers touched, scene drawn.
    for (int i = 0; i < 5; ++i) core.WaitFrame(3000);
    const uint64_t before = core.FramesStored();
    const uint64_t urbsBefore = front ? front->SubmittedUrbs() : 0;
    for (auto _ : state) {
        if (core.WaitFrame(3000) == 1) {
            state.SkipWithError("transfer failed");
            break;
        }
    }
    const uint64_t frames = core.FramesStored() - before;
    if (front && frames) {
        state.counters["urbs_per_frame"] =
            static_cast<double>(front->SubmittedUrbs() - urbsBefore) / static_cast<double>(frames);
        // usbfs memory the stream held at most (the kernel's limit is shared by all
        // programs).
        state.counters["bytes_in_flight_max"] = static_cast<double>(front->UsbfsMemoryPeak());
    }
    core.StopTransfer(1);
    // Frames the thread stored while the loop ran; the loop only paces the measurement.
    state.SetItemsProcessed(static_cast<int64_t>(frames));
    state.SetBytesProcessed(static_cast<int64_t>(frames * (depth ? kFrame16 : kFrame8)));
}

void BM_TransferFullFrame8(benchmark::State& state) { TransferFullFrame(state, 0); }
void BM_TransferFullFrame16(benchmark::State& state) { TransferFullFrame(state, 1); }
void BM_TransferFullFrame8_Usb(benchmark::State& state) { TransferFullFrame(state, 0, true); }
void BM_TransferFullFrame16_Usb(benchmark::State& state) { TransferFullFrame(state, 1, true); }

// Frames at the sensor's own rate (not fps=max) through the emulated bus with its wire
// model: the camera's FIFO fills while a frame is read out and empties only while a
// read is queued on 0x81. Argument: payload pieces queued per frame. Counters: frames
// the camera read out that the host never fetched (lost), frames whose FIFO overflowed
// (torn), the median idle time of 0x81 between a frame's pieces (gap_us) and the most
// usbfs memory held at once.
void UsbStreamFullRate(benchmark::State& state, int depth) {
    const std::string pieces = std::to_string(state.range(0));
    setenv("VELTCAM_PAYLOAD_PIECES", pieces.c_str(), 1);
    std::string error;
    auto simulator = sim::CSimDriver::Create("table=" + TableName(), &error);
    sim::UsbFrontOptions frontOptions;
    frontOptions.bus.on = true;
    auto front = simulator ? sim::CSimUsbFront::Create(simulator, &error, frontOptions) : nullptr;
    if (!front) {
        state.SkipWithError(("no emulated USB bus: " + error).c_str());
        return;
    }
    platform::UsbChannelOptions usbOptions;
    usbOptions.tableName = TableName();
    CVeltCamUSB3R7SimpleSdk core;
    core.SetDriverChannel(platform::CreateUsbDriverChannel(usbOptions));
    core.SetProductCode(12740);
    core.CreateController(nullptr, nullptr);
    unsetenv("VELTCAM_PAYLOAD_PIECES");
    if (core.CountDevices(12740) != 1 || !core.SelectDeviceNumber(0) ||
        !core.SetTransferDepth(depth) || !core.StartTransfer(0)) {
        state.SkipWithError("the simulated camera did not start");
        return;
    }
    // No warm-up: a stream that tears from its first frames on must show it.
    const sim::BusCounters before;
    const uint64_t stored = core.FramesStored();
    // A transfer that gives up after torn frames in a row ends the row early; its
    // counters still tell why (ended = 1).
    bool ended = false;
    for (auto _ : state) {
        if (!ended && core.WaitFrame(3000) == 1) ended = true;
    }
    const sim::BusCounters after = front->Bus();
    core.StopTransfer(1);
    std::vector<uint32_t> gaps(
        after.gapsUs.begin() + static_cast<std::ptrdiff_t>(before.gapsUs.size()),
        after.gapsUs.end());
    std::nth_element(gaps.begin(), gaps.begin() + static_cast<std::ptrdiff_t>(gaps.size() / 2),
                     gaps.end());
    state.counters["lost"] = static_cast<double>(after.lost - before.lost);
    state.counters["torn"] = static_cast<double>(after.torn - before.torn);
    state.counters["gap_us"] = gaps.empty() ? 0.0 : gaps[gaps.size() / 2];
    // The rare long gaps are what tear frames when several pieces are queued.
    const size_t p99 = gaps.size() * 99 / 100;
    std::nth_element(gaps.begin(), gaps.begin() + static_cast<std::ptrdiff_t>(p99), gaps.end());
    state.counters["gap_p99_us"] = gaps.empty() ? 0.0 : gaps[p99];
    state.counters["bytes_in_flight_max"] = static_cast<double>(front->UsbfsMemoryPeak());
    state.counters["ended"] = ended ? 1.0 : 0.0;
    state.counters["frames_per_s"] = benchmark::Counter(
        static_cast<double>(core.FramesStored() - stored), benchmark::Counter::kIsRate);
}

void BM_UsbStream8_FullRate(benchmark::State& state) { UsbStreamFullRate(state, 0); }
void BM_UsbStream16_FullRate(benchmark::State& state) { UsbStreamFullRate(state, 1); }

// umockdev's own cost: one ioctl on the emulated node, carried over its socket to the
// handler thread and back. Each URB costs a submit and a reap, plus the reap attempts
// of libusb's event loop that find nothing.
void BM_UmockdevIoctlRoundTrip(benchmark::State& state) {
    std::string error;
    auto simulator = sim::CSimDriver::Create("table=" + TableName(), &error);
    auto front = simulator ? sim::CSimUsbFront::Create(simulator, &error) : nullptr;
    if (!front) {
        state.SkipWithError(("no emulated USB bus: " + error).c_str());
        return;
    }
    const int fd = open(front->DeviceNode(0).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        state.SkipWithError("no device node");
        return;
    }
    for (auto _ : state) {
        uint32_t caps = 0;
        benchmark::DoNotOptimize(ioctl(fd, USBDEVFS_GET_CAPABILITIES, &caps));
    }
    close(fd);
}

void Memcpy(benchmark::State& state, size_t bytes) {
    std::vector<uint8_t> source(bytes, 0x5A), destination(bytes);
    for (auto _ : state) {
        std::memcpy(destination.data(), source.data(), bytes);
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void BM_Memcpy_Frame8(benchmark::State& state) { Memcpy(state, kFrame8); }
void BM_Memcpy_Frame16(benchmark::State& state) { Memcpy(state, kFrame16); }

// The same copy with the transfer path's memory footprint: a frame from the camera's
// frame memory into the work buffer, then into the next of four ring buffers. Two
// copies per item, with a working set as large as the real one, so that the cost of
// cache misses on a shared machine can be told from the cost of the SDK's own work.
void TwoCopiesThroughARing(benchmark::State& state, size_t bytes) {
    std::vector<uint8_t> camera(bytes, 0x5A), work(bytes);
    std::vector<std::vector<uint8_t>> ring(4, std::vector<uint8_t>(bytes));
    size_t next = 0;
    for (auto _ : state) {
        std::memcpy(work.data(), camera.data(), bytes);
        std::memcpy(ring[next].data(), work.data(), bytes);
        next = (next + 1) % ring.size();
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_TwoCopiesThroughARing_Frame8(benchmark::State& state) {
    TwoCopiesThroughARing(state, kFrame8);
}
void BM_TwoCopiesThroughARing_Frame16(benchmark::State& state) {
    TwoCopiesThroughARing(state, kFrame16);
}

// The cost of a frame is the processor time of every thread involved (the transfer
// thread, the simulated driver's thread and the waiting caller): on a shared machine
// wall time would also count the time other programs held the processor.
BENCHMARK(BM_TransferFullFrame8)->MeasureProcessCPUTime()->MinTime(2.0);
BENCHMARK(BM_TransferFullFrame16)->MeasureProcessCPUTime()->MinTime(2.0);
BENCHMARK(BM_TransferFullFrame8_Usb)->MeasureProcessCPUTime()->MinTime(2.0);
BENCHMARK(BM_TransferFullFrame16_Usb)->MeasureProcessCPUTime()->MinTime(2.0);
// 600 frames each, in wall time: the rows show what the wire model lets through.
BENCHMARK(BM_UsbStream8_FullRate)
    ->ArgName("pieces")
    ->Arg(1)
    ->Arg(4)
    ->Iterations(600)
    ->UseRealTime();
BENCHMARK(BM_UsbStream16_FullRate)
    ->ArgName("pieces")
    ->Arg(1)
    ->Arg(4)
    ->Arg(8)
    ->Iterations(600)
    ->UseRealTime();
BENCHMARK(BM_UmockdevIoctlRoundTrip)->MeasureProcessCPUTime()->MinTime(1.0);
BENCHMARK(BM_Memcpy_Frame8)->MinTime(1.0);
BENCHMARK(BM_Memcpy_Frame16)->MinTime(1.0);
BENCHMARK(BM_TwoCopiesThroughARing_Frame8)->MinTime(1.0);
BENCHMARK(BM_TwoCopiesThroughARing_Frame16)->MinTime(1.0);

}  // namespace
}  // namespace veltcam

BENCHMARK_MAIN();
