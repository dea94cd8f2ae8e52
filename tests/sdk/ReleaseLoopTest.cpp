// Release gives back everything a handle took: a handle opened, streamed and
// released again and again must leave the library's allocated bytes flat. They are
// read from the sanitizer's allocator, which counts blocks in its quarantine of
// freed memory as freed (resident memory would count them); without a sanitizer
// the test has nothing to read and is skipped.
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <thread>

#include "VeltCamSdk.h"
#include "VeltCamSdkEx.h"
#include "support/PrivateSettingsStore.h"
#include "support/SimTestSupport.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VC_ALLOCATOR_STATISTICS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VC_ALLOCATOR_STATISTICS 1
#endif
#endif
#ifdef VC_ALLOCATOR_STATISTICS
#if __has_include(<sanitizer/allocator_interface.h>)
#include <sanitizer/allocator_interface.h>
#else
// GCC's sanitizer runtimes have the function but ship no header declaring it.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif
#endif

namespace veltcam {
namespace {

#ifdef VC_ALLOCATOR_STATISTICS
// Opens the camera, streams until one frame went through the display thread and
// releases the handle. False when a step fails.
bool OpenStreamRelease() {
    VeltCamHandle handle = VeltCam_Initialize(nullptr);
    if (handle == 0) return false;
    bool ok = VeltCam_SetPreviewWindow(handle, nullptr, 0, 0, 0, 0) == 1 &&
              VeltCam_SetColorMode(handle, 24) == 1 && VeltCam_StartPreview(handle) == 1;
    VeltCamExStreamStats stats{};
    stats.size = sizeof stats;
    // A loose guard against a stream that never delivers.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (ok && VeltCamEx_GetStreamStats(handle, &stats) == 1 && stats.framesDelivered < 1) {
        if (std::chrono::steady_clock::now() > giveUp) ok = false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ok = ok && stats.framesDelivered >= 1;
    VeltCam_Release(handle);
    return ok;
}
#endif

TEST(ReleaseLoop, AHandleOpenedStreamedAndReleasedGivesEverythingBack) {
#ifndef VC_ALLOCATOR_STATISTICS
    GTEST_SKIP() << "no sanitizer allocator to count the library's bytes";
#else
    test::CPrivateSettingsStore store;
    // The sensor's start-up pauses pass at once on the simulated clock.
    test::UseSdkSimulator("cameras=1;fps=max;clock=virtual");
    // The first cycles hold what the process keeps after first use (the simulated
    // scene, tables of the pipeline); from then on every cycle must return all.
    constexpr int kCycles = 100;
    constexpr int kSettled = 2;
    // A frame buffer is megabytes, and even a block of a few kilobytes kept per
    // cycle adds up to more than this over the loop; the slack is for the
    // runtime's own bookkeeping.
    constexpr size_t kToleranceBytes = 64 * 1024;
    size_t settled = 0;
    for (int cycle = 1; cycle <= kCycles; ++cycle) {
        ASSERT_TRUE(OpenStreamRelease()) << "cycle " << cycle;
        if (cycle == kSettled) settled = __sanitizer_get_current_allocated_bytes();
    }
    const size_t last = __sanitizer_get_current_allocated_bytes();
    EXPECT_LE(last, settled + kToleranceBytes)
        << "grew by " << (last - settled) << " bytes over " << kCycles - kSettled << " cycles";
#endif
}

}  // namespace
}  // namespace veltcam
