// Hostile use of the public API from many threads: eight threads over two handles
// on two simulated cameras streaming as fast as they can, mixing setters and
// getters, capture modes, snapshots, saves, camera switches, the frame's worker
// threads and release with re-initialisation. Run under the address and the
// thread sanitizer: a report, a crash or a hang (the watchdog) fails it.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "VeltCamSdk.h"
#include "VeltCamSdkEx.h"
#include "support/PrivateSettingsStore.h"
#include "support/SimTestSupport.h"

namespace veltcam {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

// Small windows keep a frame cheap under the sanitizers; the largest output
// (64 bits per pixel) of the largest window fits the callback buffers.
constexpr int kMaxWidth = 512;
constexpr int kMaxHeight = 256;
constexpr int kBufferBytes = kMaxWidth * kMaxHeight * 8;

// Ends the process when the threads do not finish in time: a deadlock must fail
// the test instead of hanging the suite.
class CWatchdog {
public:
    explicit CWatchdog(seconds limit)
        : thread_([this, limit] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!done_.wait_for(lock, limit, [this] { return finished_; })) {
                  std::fputs("watchdog: the threads did not finish in time (deadlock?)\n", stderr);
                  std::fflush(stderr);
                  std::_Exit(3);
              }
          }) {}
    ~CWatchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            finished_ = true;
        }
        done_.notify_all();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    std::thread thread_;
};

void Drain(VeltCamHandle handle) {
    for (int i = 0; i < 32 && VeltCam_GetLastError(handle) != 0; ++i) {
    }
}

// A handle ready for streaming: camera `number`, a small window, headless preview.
VeltCamHandle OpenHandle(int number) {
    VeltCamHandle handle = VeltCam_Initialize(nullptr);
    if (handle == 0) return 0;
    VeltCam_SetDeviceNumber(handle, number);
    VeltCam_SetPreviewWindow(handle, nullptr, 0, 0, 0, 0);
    VeltCam_SetCaptureWindowEx(handle, 2048, 0, kMaxWidth, 1536, 0, kMaxHeight);
    Drain(handle);
    return handle;
}

class SdkThreads : public testing::Test {
protected:
    void SetUp() override {
        test::UseSdkSimulator("cameras=2;fps=max");
        folder_ = std::filesystem::temp_directory_path() / ("vc-threads-" + test::UniqueTableName());
        std::filesystem::create_directories(folder_);
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    test::CPrivateSettingsStore store_;
    std::filesystem::path folder_;
};

// Setters on one thread while another switches the camera: the switch replaces the
// sensor object, which the setters must never reach after it is gone.
TEST_F(SdkThreads, CameraSwitchWhileSettersAndCaptureSetUpRun) {
    CWatchdog watchdog(seconds(120));
    VeltCamHandle handle = OpenHandle(0);
    ASSERT_NE(handle, 0u);
    std::atomic<bool> done{false};
    std::vector<uint8_t> buffer(kBufferBytes);
    std::thread setters([&] {
        std::mt19937 random(3);
        while (!done.load()) {
            VeltCam_SetExposureTime(handle, 10 + static_cast<int>(random() % 400));
            VeltCam_SetGlobalGain(handle, static_cast<int>(random() % 480));
            VeltCam_SetCaptureWindowEx(handle, 2048, 0, 256 + 256 * static_cast<int>(random() % 2),
                                       1536, 0, kMaxHeight);
            VeltCam_SetMirrorV(handle, static_cast<int>(random() % 2));
        }
    });
    std::thread snapshots([&] {
        while (!done.load()) VeltCam_SnapShot(handle, buffer.data(), kBufferBytes, 1);
    });
    for (int i = 0; i < 16; ++i) EXPECT_EQ(VeltCam_SetDeviceNumber(handle, i % 2), 1);
    done = true;
    setters.join();
    snapshots.join();
    EXPECT_EQ(VeltCam_SetCaptureWindowEx(handle, 2048, 0, kMaxWidth, 1536, 0, kMaxHeight), 1);
    EXPECT_EQ(VeltCam_SnapShot(handle, buffer.data(), kBufferBytes, 1), 1) << "still a camera";
    EXPECT_EQ(VeltCam_Release(handle), 1);
}

// Eight threads, two handles, everything at once for a few seconds.
TEST_F(SdkThreads, EightThreadsOverTwoHandles) {
    constexpr int kThreads = 8;
    const auto runFor = seconds(3);
    CWatchdog watchdog(seconds(90));

    std::array<std::atomic<VeltCamHandle>, 2> handles;
    for (int i = 0; i < 2; ++i) {
        handles[i] = OpenHandle(i);
        ASSERT_NE(handles[i].load(), 0u);
    }
    // Callback and snapshot buffers outlive every handle that may still write them.
    std::array<std::vector<uint8_t>, 2> callbackBuffers{std::vector<uint8_t>(kBufferBytes),
                                                        std::vector<uint8_t>(kBufferBytes)};
    std::atomic<int> snapshotsTaken{0};
    std::atomic<int> reinitialised{0};

    using Operation = std::function<void(VeltCamHandle, int slot, std::mt19937&, uint8_t* scratch)>;
    const std::string savePrefix = (folder_ / "still").string();
    const std::vector<std::pair<int, Operation>> operations = {
        {6, [](VeltCamHandle h, int, std::mt19937& r, uint8_t*) {
             int ok = 0;
             VeltCam_SetExposureTime(h, 1 + static_cast<int>(r() % 600));
             VeltCam_GetExposureTime(h, &ok);
             VeltCam_SetRealExposureTime(h, 100 + static_cast<int>(r() % 50000));
             VeltCam_GetRealExposureTime(h, &ok);
         }},
        {6, [](VeltCamHandle h, int, std::mt19937& r, uint8_t*) {
             int ok = 0;
             VeltCam_SetGlobalGain(h, static_cast<int>(r() % 481));
             VeltCam_GetGlobalGain(h, &ok);
             VeltCam_SetColorGainRed(h, static_cast<int>(r() % 481));
             VeltCam_GetColorGainBlue(h, &ok);
             VeltCam_SetMirrorH(h, static_cast<int>(r() % 2));
             VeltCam_SetMirrorV(h, static_cast<int>(r() % 2));
             VeltCam_GetMirrorH(h);
             VeltCam_GetMirrorV(h);
         }},
        {6, [](VeltCamHandle h, int, std::mt19937& r, uint8_t*) {
             const int width = 128 * (1 + static_cast<int>(r() % 4));
             const int height = 64 * (1 + static_cast<int>(r() % 4));
             VeltCam_SetCaptureWindowEx(h, 2048, 2 * static_cast<int>(r() % 64), width, 1536,
                                        2 * static_cast<int>(r() % 64), height);
             int th = 0, ehs = 0, eh = 0, tv = 0, evs = 0, ev = 0;
             VeltCam_GetCaptureWindowEx(h, &th, &ehs, &eh, &tv, &evs, &ev);
             VeltCam_Width(h);
             VeltCam_Height(h);
         }},
        {4, [](VeltCamHandle h, int, std::mt19937& r, uint8_t*) {
             static constexpr int kBits[] = {8, 16, 24, 32, 48, 64};
             VeltCam_SetColorMode(h, kBits[r() % 6]);
             VeltCam_GetColorMode(h);
             VeltCam_SetSubSample(h, static_cast<int>(r() % 2));
             VeltCam_GetSubSample(h);
         }},
        {6, [](VeltCamHandle h, int, std::mt19937& r, uint8_t*) {
             int ok = 0;
             const int id = 1 + static_cast<int>(r() % 28);
             VeltCam_SetFilterValue(h, id, static_cast<int>(r() % 64));
             VeltCam_GetFilterValue(h, id, &ok);
             VeltCam_SetAutoIris(h, static_cast<int>(r() % 3));
             VeltCam_GetAutoIris(h, &ok);
         }},
        {2, [](VeltCamHandle h, int, std::mt19937& r, uint8_t*) {
             // The frame's worker threads change under a running stream (0: the default).
             VeltCamEx_SetPipelineThreads(h, static_cast<int>(r() % 4));
             VeltCamEx_GetPipelineThreads(h);
         }},
        {4, [&](VeltCamHandle h, int slot, std::mt19937& r, uint8_t*) {
             if (r() % 2) {
                 VeltCam_StartPreview(h);
             } else {
                 VeltCam_CallBackPreview(h, nullptr, callbackBuffers[slot].data(), kBufferBytes,
                                         static_cast<int>(r() % 2));
             }
             std::this_thread::sleep_for(milliseconds(r() % 30));
             if (r() % 2) VeltCam_StopPreview(h);
         }},
        {4, [&](VeltCamHandle h, int, std::mt19937& r, uint8_t* scratch) {
             if (r() % 3 == 0) VeltCam_Capture(h);
             if (VeltCam_SnapShot(h, scratch, kBufferBytes, static_cast<int>(r() % 2)) == 1) {
                 ++snapshotsTaken;
             }
             VeltCam_GetImage(h, scratch, kBufferBytes, 1);
         }},
        {2, [&](VeltCamHandle h, int slot, std::mt19937& r, uint8_t*) {
             VeltCam_Trigger(h, nullptr, callbackBuffers[slot].data(), kBufferBytes, 1);
             std::this_thread::sleep_for(milliseconds(r() % 20));
             VeltCam_StopPreview(h);
         }},
        {2, [&](VeltCamHandle h, int slot, std::mt19937&, uint8_t*) {
             const std::string path = savePrefix + std::to_string(slot) + ".bmp";
             VeltCam_SaveImage(h, path.c_str(), 0);
         }},
        {2, [](VeltCamHandle h, int, std::mt19937& r, uint8_t*) {
             VeltCam_SetDeviceNumber(h, static_cast<int>(r() % 2));
         }},
        {3, [](VeltCamHandle h, int, std::mt19937& r, uint8_t*) {
             char name[VELTCAM_DEVICE_NAME_SIZE];
             char names[VELTCAM_MAX_ENUM_DEVICES][VELTCAM_DEVICE_NAME_SIZE];
             VeltCam_GetDeviceName(h, static_cast<int>(r() % 3), name, sizeof name);
             VeltCam_EnumDevice(h, names);
             int ok = 0;
             VeltCam_Fpga_ReadRegister(h, 8, &ok);
             VeltCam_ReadRegisterEx(h, 0x3004, &ok);
             Drain(h);
         }},
        {1, [&](VeltCamHandle, int slot, std::mt19937&, uint8_t*) {
             // Another thread may be inside any call on the old handle meanwhile.
             const VeltCamHandle fresh = OpenHandle(slot);
             const VeltCamHandle old = handles[slot].exchange(fresh);
             VeltCam_Release(old);
             ++reinitialised;
         }},
    };
    int totalWeight = 0;
    for (const auto& entry : operations) totalWeight += entry.first;

    const auto deadline = Clock::now() + runFor;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(100 + t));
            std::vector<uint8_t> scratch(kBufferBytes);
            const int slot = t % 2;
            while (Clock::now() < deadline) {
                int pick = static_cast<int>(random() % static_cast<unsigned>(totalWeight));
                size_t index = 0;
                while (pick >= operations[index].first) pick -= operations[index++].first;
                operations[index].second(handles[slot].load(), slot, random, scratch.data());
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    const auto ended = Clock::now();

    EXPECT_GT(snapshotsTaken.load(), 0);
    // Both handles are still whole cameras afterwards.
    for (int slot = 0; slot < 2; ++slot) {
        const VeltCamHandle h = handles[slot].load();
        EXPECT_EQ(VeltCam_StopPreview(h), 1);
        EXPECT_EQ(VeltCam_SetDeviceNumber(h, slot), 1);
        EXPECT_EQ(VeltCam_SetColorMode(h, 24), 1);
        EXPECT_EQ(VeltCam_SetSubSample(h, 0), 1);
        ASSERT_EQ(VeltCam_SetCaptureWindowEx(h, 2048, 0, 256, 1536, 0, 128), 1);
        int th = 0, ehs = 0, eh = 0, tv = 0, evs = 0, ev = 0;
        VeltCam_GetCaptureWindowEx(h, &th, &ehs, &eh, &tv, &evs, &ev);
        EXPECT_EQ(eh, 256);
        EXPECT_EQ(ev, 128);
        EXPECT_EQ(VeltCam_SnapShot(h, callbackBuffers[slot].data(), kBufferBytes, 1), 1);
        EXPECT_EQ(VeltCam_Release(h), 1);
    }
    std::printf("snapshots %d, handles re-initialised %d; last call ended %lld ms after the "
                "deadline, checks took %lld ms\n",
                snapshotsTaken.load(), reinitialised.load(),
                static_cast<long long>(
                    std::chrono::duration_cast<milliseconds>(ended - deadline).count()),
                static_cast<long long>(
                    std::chrono::duration_cast<milliseconds>(Clock::now() - ended).count()));
}

}  // namespace
}  // namespace veltcam
