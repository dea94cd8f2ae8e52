// Callback preview throughput: frames per second that reach the application (one
// frame message each) with the simulator delivering as fast as frames are read,
// the same for frames pulled from the frame queue by one consumer thread, one
// frame drawn into an X11 preview window, and the cost of copying one full 24-bit
// frame for comparison.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "VeltCamSdk.h"
#include "VeltCamSdkEx.h"
#ifndef _WIN32
#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <sys/mman.h>
#include <unistd.h>

#include "VeltCamSdkLinux.h"
#include "platform/PreviewWindow.h"
#include "platform/posix/X11PreviewWindow.h"
#endif

#ifndef _WIN32
// Bytes allocated through operator new and not yet freed, by every thread: the
// memory rows read it. Each block carries its size in front of it.
static std::atomic<int64_t> gLiveBytes{0};
static constexpr size_t kSizeHeader = alignof(std::max_align_t);

// While a memory row traces, every block of at least kTracedBytes is recorded
// with the call stack that allocated it, so that the row can tell who holds
// what: the camera simulator (which a real camera would not need) apart from
// the library. Smaller blocks are counted but not traced. The table is a fixed
// array: the allocator must not allocate for itself.
constexpr size_t kTracedBytes = 64 * 1024;
constexpr int kTraceDepth = 40;
constexpr int kTraceCapacity = 1024;
struct TracedBlock {
    const void* pointer;
    size_t bytes;
    int depth;
    void* frames[kTraceDepth];
};
static std::atomic<bool> gTracing{false};
static std::mutex gTraceLock;
static TracedBlock gTraced[kTraceCapacity];
static int gTracedCount = 0;
static int gTraceOverflow = 0;
static thread_local bool tTracing = false;

static void TraceAllocation(const void* pointer, size_t bytes) {
    if (tTracing) return;  // the unwinder's own first-use allocations
    tTracing = true;
    TracedBlock block{pointer, bytes, 0, {}};
    block.depth = backtrace(block.frames, kTraceDepth);
    {
        std::lock_guard<std::mutex> lock(gTraceLock);
        if (gTracedCount < kTraceCapacity) {
            gTraced[gTracedCount++] = block;
        } else {
            ++gTraceOverflow;
        }
    }
    tTracing = false;
}

static void ForgetAllocation(const void* pointer) {
    std::lock_guard<std::mutex> lock(gTraceLock);
    for (int i = 0; i < gTracedCount; ++i) {
        if (gTraced[i].pointer == pointer) {
            gTraced[i] = gTraced[--gTracedCount];
            return;
        }
    }
}

static void* CountedAllocate(size_t bytes) {
    auto* block = static_cast<unsigned char*>(std::malloc(bytes + kSizeHeader));
    if (block == nullptr) return nullptr;
    std::memcpy(block, &bytes, sizeof bytes);
    gLiveBytes += static_cast<int64_t>(bytes);
    if (bytes >= kTracedBytes && gTracing.load(std::memory_order_relaxed)) {
        TraceAllocation(block + kSizeHeader, bytes);
    }
    return block + kSizeHeader;
}

static void CountedFree(void* pointer) {
    if (pointer == nullptr) return;
    auto* block = static_cast<unsigned char*>(pointer) - kSizeHeader;
    size_t bytes = 0;
    std::memcpy(&bytes, block, sizeof bytes);
    gLiveBytes -= static_cast<int64_t>(bytes);
    if (bytes >= kTracedBytes) ForgetAllocation(pointer);
    std::free(block);
}

void* operator new(size_t bytes) {
    if (void* p = CountedAllocate(bytes)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t bytes) {
    if (void* p = CountedAllocate(bytes)) return p;
    throw std::bad_alloc();
}
void* operator new(size_t bytes, const std::nothrow_t&) noexcept { return CountedAllocate(bytes); }
void* operator new[](size_t bytes, const std::nothrow_t&) noexcept {
    return CountedAllocate(bytes);
}
void operator delete(void* p) noexcept { CountedFree(p); }
void operator delete[](void* p) noexcept { CountedFree(p); }
void operator delete(void* p, size_t) noexcept { CountedFree(p); }
void operator delete[](void* p, size_t) noexcept { CountedFree(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { CountedFree(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { CountedFree(p); }

#endif

namespace {

constexpr int kWidth = 2048;
constexpr int kHeight = 1536;
constexpr size_t kFrameBytes = static_cast<size_t>(kWidth) * kHeight * 3;

void BM_Memcpy_Frame24(benchmark::State& state) {
    std::vector<uint8_t> source(kFrameBytes, 0x5A);
    std::vector<uint8_t> destination(kFrameBytes);
    for (auto _ : state) {
        std::memcpy(destination.data(), source.data(), kFrameBytes);
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFrameBytes));
}
BENCHMARK(BM_Memcpy_Frame24)->Unit(benchmark::kMillisecond);

#ifndef _WIN32
// A handle on a simulated camera that delivers as fast as frames are read (or
// at `cameraFps`), set for headless full-frame preview (24 bits unless told)
// with no pause between frames; 0 when any of that fails. `settings` is the private settings file
// to remove afterwards.
VeltCamHandle OpenBenchCamera(const char* table, std::filesystem::path* settings, int bits = 24,
                              int cameraFps = 0) {
    *settings = std::filesystem::temp_directory_path() / "veltcam-bench-settings.reg";
    setenv("VELTCAM_SETTINGS", settings->c_str(), 1);
    const std::string fps = cameraFps > 0 ? std::to_string(cameraFps) : "max";
    const std::string options =
        "cameras=1;fps=" + fps + ";complete=inline;table=" + std::string(table);
    setenv("VELTCAM_SIMULATOR", options.c_str(), 1);
    VeltCamHandle handle = VeltCam_Initialize(nullptr);
    if (handle != 0 &&
        (VeltCam_SetPreviewWindow(handle, nullptr, 0, 0, 0, 0) != 1 ||
         VeltCam_SetColorMode(handle, bits) != 1 || VeltCam_SetWaitTime(handle, 0) != 1)) {
        VeltCam_Release(handle);
        return 0;
    }
    return handle;
}

// Each iteration waits for one frame message; the preview runs throughout.
void CallbackPreview(benchmark::State& state, VeltCamHandle handle,
                     const std::filesystem::path& settings, size_t frameBytes) {
    HWND window = VeltCamLinux_CreateMessageWindow(0);
    std::vector<uint8_t> buffer(frameBytes);
    if (handle == 0 || window == nullptr ||
        VeltCam_CallBackPreview(handle, window, buffer.data(), static_cast<int>(buffer.size()),
                                1) != 1) {
        state.SkipWithError("callback preview did not start");
        return;
    }
    VeltCamMessage message{};
    int64_t frames = 0;
    for (auto _ : state) {
        while (VeltCamLinux_GetMessage(window, &message, 5000) == 1) {
            if (message.message == VELTCAM_WM_FRAME && message.lParam == 0) {
                ++frames;
                break;
            }
        }
    }
    // Frames the camera sent that the display thread could not convert in time.
    VeltCamExStreamStats stats{};
    stats.size = sizeof stats;
    if (VeltCamEx_GetStreamStats(handle, &stats) == 1) {
        state.counters["lost_in_ring"] = static_cast<double>(stats.framesLostInRing);
    }
    VeltCam_StopPreview(handle);
    VeltCam_Release(handle);
    VeltCamLinux_DestroyMessageWindow(window);
    std::filesystem::remove(settings);
    state.SetItemsProcessed(frames);
}

void BM_CallbackPreview24(benchmark::State& state) {
    std::filesystem::path settings;
    VeltCamHandle handle = OpenBenchCamera("vc-bench-capture", &settings);
    CallbackPreview(state, handle, settings, kFrameBytes);
}
BENCHMARK(BM_CallbackPreview24)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->MinTime(3.0);

// 48-bit colour with every correction, colour and tone stage on: the heaviest
// frame the display thread converts, spread over the pipeline's threads. With
// the simulated camera as fast as it can (camera_fps 0) its own frame synthesis
// takes a core of its own; at the sensor's full-frame rate (56) lost_in_ring
// says whether the conversion keeps up.
void BM_CallbackPreview48AllStages(benchmark::State& state) {
    std::filesystem::path settings;
    VeltCamHandle handle =
        OpenBenchCamera("vc-bench-capture48", &settings, 48, static_cast<int>(state.range(0)));
    const std::pair<int, int> stages[] = {{VELTCAM_ID_HUE, 15},
                                          {VELTCAM_ID_SATURATION, 40},
                                          {VELTCAM_ID_GAMMA, 80},
                                          {VELTCAM_ID_CONTRAST, 20},
                                          {VELTCAM_ID_SHARPNESS, 10},
                                          {VELTCAM_ID_BRIGHTNESS, 20},
                                          {VELTCAM_ID_DOT_FILTER, 1},
                                          {VELTCAM_ID_MASK_FILTER, 1},
                                          {VELTCAM_ID_BAYER_GAIN_RED, 110},
                                          {VELTCAM_ID_BAYER_GAIN_BLUE, 95}};
    for (const auto& [id, value] : stages) {
        if (handle != 0 && VeltCam_SetFilterValue(handle, id, value) != 1) {
            state.SkipWithError("a stage setting was refused");
            VeltCam_Release(handle);
            std::filesystem::remove(settings);
            return;
        }
    }
    CallbackPreview(state, handle, settings, kFrameBytes * 2);
}
BENCHMARK(BM_CallbackPreview48AllStages)
    ->ArgName("camera_fps")
    ->Arg(0)
    ->Arg(56)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->MinTime(3.0);

// Each iteration pulls one frame from the queue; the preview runs headless
// throughout. The queue adds one copy per frame over the callback preview.
// Frames pulled from the frame queue by one consumer thread, the pull interface's
// counterpart of the callback preview rows.
void PullStream(benchmark::State& state, int bits, size_t frameBytes) {
    std::filesystem::path settings;
    VeltCamHandle handle = OpenBenchCamera("vc-bench-pull", &settings, bits);
    std::vector<uint8_t> buffer(frameBytes);
    if (handle == 0 || VeltCamEx_SetFrameQueue(handle, 4, VELTCAM_EX_QUEUE_OLDEST_FIRST) != 1 ||
        VeltCam_StartPreview(handle) != 1) {
        state.SkipWithError("pull stream did not start");
        return;
    }
    VeltCamExFrameInfo info{};
    info.size = sizeof info;
    int64_t frames = 0;
    for (auto _ : state) {
        if (VeltCamEx_WaitFrame(handle, buffer.data(), static_cast<int>(buffer.size()), 1, 5000,
                                &info) != 1) {
            state.SkipWithError("no frame");
            break;
        }
        ++frames;
    }
    VeltCam_StopPreview(handle);
    VeltCam_Release(handle);
    std::filesystem::remove(settings);
    state.SetItemsProcessed(frames);
}

void BM_PullStream24(benchmark::State& state) { PullStream(state, 24, kFrameBytes); }
BENCHMARK(BM_PullStream24)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->MinTime(3.0);

// One full 24-bit frame drawn into a preview window of the given size, until the
// X server has put it on screen: the stretch into the shared-memory image, the put
// and the round trip that waits for it. Needs a display (DISPLAY, e.g. Xvfb).
void BM_PreviewDraw24(benchmark::State& state, int width, int height) {
    veltcam::platform::PreviewWindowRequest request;
    request.imageWidth = width;
    request.imageHeight = height;
    std::string className;
    auto* window = static_cast<veltcam::platform::CX11PreviewWindow*>(
        veltcam::platform::CreatePreviewWindow(request, className));
    if (window == nullptr) {
        state.SkipWithError("no preview window (no X display?)");
        return;
    }
    std::vector<uint8_t> frame(kFrameBytes);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 7 + i / 6144);
    const veltcam::platform::PreviewImage image{frame.data(), kWidth, kHeight, 24, kWidth * 3};
    for (auto _ : state) {
        veltcam::platform::DrawPreviewImage(window, width, height, image);
        window->WaitDrawn();
    }
    veltcam::platform::DestroyPreviewWindow(window);
    state.SetItemsProcessed(state.iterations());
}
// The row names are the tokens as written, so formatting keeps off them.
// clang-format off
BENCHMARK_CAPTURE(BM_PreviewDraw24, window:1024x768, 1024, 768)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_PreviewDraw24, window:2048x1536, 2048, 1536)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
// clang-format on

// The same pair at 48 bits, no stages on.
void BM_CallbackPreview48(benchmark::State& state) {
    std::filesystem::path settings;
    VeltCamHandle handle = OpenBenchCamera("vc-bench-capture48", &settings, 48);
    CallbackPreview(state, handle, settings, kFrameBytes * 2);
}
BENCHMARK(BM_CallbackPreview48)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->MinTime(3.0);

void BM_PullStream48(benchmark::State& state) { PullStream(state, 48, kFrameBytes * 2); }
BENCHMARK(BM_PullStream48)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->MinTime(3.0);

// The function a return address lies in, demangled, without its arguments;
// empty without a symbol (the bench exports its symbols for this).
std::string FunctionAt(void* address) {
    Dl_info info{};
    // A return address points past its call: step back into the call.
    if (dladdr(static_cast<char*>(address) - 1, &info) == 0 || info.dli_sname == nullptr) {
        return {};
    }
    int status = 0;
    char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
    std::string name = status == 0 && demangled != nullptr ? demangled : info.dli_sname;
    std::free(demangled);
    const std::string anonymous = "(anonymous namespace)";
    for (size_t at; (at = name.find(anonymous)) != std::string::npos;) {
        name.replace(at, anonymous.size(), "{anon}");
    }
    return name.substr(0, name.find('('));
}

// Bytes of [pointer, pointer + bytes) in resident pages.
int64_t ResidentBytes(const void* pointer, size_t bytes) {
    const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t first = reinterpret_cast<uintptr_t>(pointer) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(pointer) + bytes + page - 1) & ~(page - 1);
    std::vector<unsigned char> pages((end - first) / page);
    if (mincore(reinterpret_cast<void*>(first), end - first, pages.data()) != 0) return -1;
    int64_t resident = 0;
    for (const unsigned char p : pages) resident += p & 1;
    return std::min(resident * static_cast<int64_t>(page), static_cast<int64_t>(bytes));
}

// Who holds the traced blocks: the simulator (any block allocated with a
// simulator function on the stack), the transport's transfer buffer, and by the
// first library function on the stack for the rest.
struct HeldBytes {
    int64_t simulator = 0;
    int64_t transferBuffer = 0;
    struct Owner {
        int blocks = 0;
        int64_t bytes = 0;
        int64_t resident = 0;
    };
    std::map<std::string, Owner> owners;
};

HeldBytes AttributeTracedBlocks() {
    static TracedBlock blocks[kTraceCapacity];
    int count = 0;
    {
        std::lock_guard<std::mutex> lock(gTraceLock);
        count = gTracedCount;
        std::copy(gTraced, gTraced + count, blocks);
    }
    HeldBytes held;
    for (int i = 0; i < count; ++i) {
        const TracedBlock& block = blocks[i];
        std::string owner;
        bool simulator = false;
        for (int f = 0; f < block.depth; ++f) {
            const std::string name = FunctionAt(block.frames[f]);
            if (name.rfind("veltcam::", 0) != 0) continue;
            simulator |= name.rfind("veltcam::sim::", 0) == 0;
            if (owner.empty() && name.rfind("veltcam::DibImage::", 0) != 0) owner = name;
        }
        const auto bytes = static_cast<int64_t>(block.bytes);
        if (simulator) {
            held.simulator += bytes;
            owner = "[simulator] " + owner;
        } else if (owner.find("TransferBuffer") != std::string::npos) {
            held.transferBuffer += bytes;
        }
        HeldBytes::Owner& o = held.owners[owner.empty() ? "?" : owner];
        ++o.blocks;
        o.bytes += bytes;
        o.resident += ResidentBytes(block.pointer, block.bytes);
    }
    return held;
}

// What one streaming camera holds: the bytes allocated with a headless
// full-frame preview running (no queue, no callback buffer) less those
// allocated before the handle was opened, against the floor every streaming
// camera needs: its ring of raw frames and one output image of the colour mode.
// The in-process simulator's own blocks of 64 KiB or more (its scene, its frame
// synthesis) count in held_MB but not in library_MB: a real camera needs none of
// them (its smaller blocks stay in both). The
// transport's transfer buffer (64 MiB for endpoint requests, allocated when the
// camera opens) is part of library_MB; streaming never touches its pages, so
// the last ratio leaves it out. VELTCAM_BENCH_MEMORY_OWNERS=1 prints who holds
// which blocks of 64 KiB or more (with their resident bytes) on standard error.
void BM_MemoryPerCamera(benchmark::State& state) {
    const int bits = static_cast<int>(state.range(0));
    const int64_t before = gLiveBytes.load();
    gTracing = true;
    std::filesystem::path settings;
    VeltCamHandle handle = OpenBenchCamera("vc-bench-memory", &settings, bits);
    if (handle == 0 || VeltCam_StartPreview(handle) != 1) {
        state.SkipWithError("preview did not start");
        if (handle != 0) VeltCam_Release(handle);
        gTracing = false;
        return;
    }
    VeltCamExStreamStats stats{};
    stats.size = sizeof stats;
    // A few frames through every stage, so that whatever a frame allocates is there.
    while (VeltCamEx_GetStreamStats(handle, &stats) == 1 && stats.framesDelivered < 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    int64_t held = 0;
    for (auto _ : state) {
        held = gLiveBytes.load() - before;
    }
    gTracing = false;
    const HeldBytes owners = AttributeTracedBlocks();
    VeltCam_StopPreview(handle);
    VeltCam_Release(handle);
    std::filesystem::remove(settings);
    {
        std::lock_guard<std::mutex> lock(gTraceLock);
        gTracedCount = 0;  // what outlives the handle is the next row's "before"
    }
    const bool sixteen = bits == 16 || bits == 48 || bits == 64;
    const double ring = 4.0 * kWidth * kHeight * (sixteen ? 2 : 1);
    const double output = static_cast<double>(kWidth) * kHeight * bits / 8;
    const double floor = ring + output;
    const auto library = static_cast<double>(held - owners.simulator);
    state.counters["held_MB"] = static_cast<double>(held) / 1e6;
    state.counters["held_per_floor"] = static_cast<double>(held) / floor;
    state.counters["simulator_MB"] = static_cast<double>(owners.simulator) / 1e6;
    state.counters["library_MB"] = library / 1e6;
    state.counters["transfer_buffer_MB"] = static_cast<double>(owners.transferBuffer) / 1e6;
    state.counters["floor_MB"] = floor / 1e6;
    state.counters["library_per_floor"] = library / floor;
    state.counters["less_transfer_buffer_per_floor"] =
        (library - static_cast<double>(owners.transferBuffer)) / floor;
    // After release nothing of the handle may stay.
    state.counters["left_after_release_MB"] = static_cast<double>(gLiveBytes.load() - before) / 1e6;
    if (std::getenv("VELTCAM_BENCH_MEMORY_OWNERS") != nullptr) {
        std::fprintf(stderr, "bits %d: %.1f MB held, traced blocks by owner:\n", bits,
                     static_cast<double>(held) / 1e6);
        for (const auto& [name, o] : owners.owners) {
            std::fprintf(stderr, "  %8.2f MB (%8.2f resident) %3d x  %s\n",
                         static_cast<double>(o.bytes) / 1e6, static_cast<double>(o.resident) / 1e6,
                         o.blocks, name.c_str());
        }
        if (gTraceOverflow > 0) std::fprintf(stderr, "  (%d blocks not traced)\n", gTraceOverflow);
    }
}
BENCHMARK(BM_MemoryPerCamera)->ArgName("bits")->Arg(8)->Arg(24)->Arg(48)->Iterations(1);

// Resident pages of this process (Linux).
long ResidentPages() {
    long pages = 0;
    long resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident;
}

// A handle opened, streamed and released again and again: the bytes still
// allocated after the last release, against those after the first (which holds
// the process-wide first-use allocations), must not grow.
void BM_ReleaseLoop(benchmark::State& state) {
    std::filesystem::path settings;
    int64_t afterFirst = 0;
    long residentAfterFirst = 0;
    int cycles = 0;
    for (auto _ : state) {
        VeltCamHandle handle = OpenBenchCamera("vc-bench-release", &settings);
        if (handle == 0 || VeltCam_StartPreview(handle) != 1) {
            state.SkipWithError("preview did not start");
            if (handle != 0) VeltCam_Release(handle);
            break;
        }
        VeltCamExStreamStats stats{};
        stats.size = sizeof stats;
        while (VeltCamEx_GetStreamStats(handle, &stats) == 1 && stats.framesDelivered < 1) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        VeltCam_Release(handle);
        if (++cycles == 1) {
            afterFirst = gLiveBytes.load();
            residentAfterFirst = ResidentPages();
        }
    }
    std::filesystem::remove(settings);
    state.counters["cycles"] = cycles;
    state.counters["growth_bytes"] = static_cast<double>(gLiveBytes.load() - afterFirst);
    state.counters["resident_growth_MB"] =
        static_cast<double>(ResidentPages() - residentAfterFirst) * sysconf(_SC_PAGESIZE) / 1e6;
}
BENCHMARK(BM_ReleaseLoop)->Iterations(100)->Unit(benchmark::kMillisecond);
#endif

}  // namespace

BENCHMARK_MAIN();
