// The handle frame as applications see it: handles, unknown-handle results, the
// error history and its notifications, and concurrent use of the registry.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "VeltCamSdk.h"
#include "api/CSdkChain.h"
#include "sdk/CVeltCam.h"
#include "support/PrivateSettingsStore.h"
#include "support/TestWindow.h"

namespace veltcam {
namespace {

constexpr uint32_t kErrorMessage = 0x8003;

// No camera and a private settings store: initialisation then builds the camera
// core, finds nothing to open and writes only the first-run settings.
class NoCameraEnvironment : public testing::Environment {
public:
    void SetUp() override {
#ifdef _WIN32
        _putenv("VELTCAM_SIMULATOR=");
#else
        unsetenv("VELTCAM_SIMULATOR");
#endif
        store_ = std::make_unique<test::CPrivateSettingsStore>();
    }
    void TearDown() override { store_.reset(); }

private:
    std::unique_ptr<test::CPrivateSettingsStore> store_;
};

const auto* const kEnvironment = testing::AddGlobalTestEnvironment(new NoCameraEnvironment);

void DrainHistory(VeltCamHandle handle) {
    while (VeltCam_GetLastError(handle) != 0) {
    }
}

TEST(HandleRegistry, InitializeIssuesAHandleThatReleaseDropsOnce) {
    VeltCamHandle handle = VeltCam_Initialize(nullptr);
    ASSERT_NE(handle, 0);
    EXPECT_EQ(VeltCam_GetSubSample(handle), 0);
    EXPECT_EQ(VeltCam_Release(handle), 1);
    EXPECT_EQ(VeltCam_Release(handle), 0);
    EXPECT_EQ(VeltCam_GetWaitTime(handle), -1);
}

TEST(HandleRegistry, UnknownHandleResults) {
    const VeltCamHandle unknown = 0x5EED;
    int th = 77;
    EXPECT_EQ(VeltCam_GetColorMode(unknown), -1);
    EXPECT_EQ(VeltCam_GetSubSample(unknown), -1);
    EXPECT_EQ(VeltCam_GetWaitTime(unknown), -1);
    EXPECT_EQ(VeltCam_Width(unknown), 0);
    EXPECT_EQ(VeltCam_Height(unknown), 0);
    EXPECT_EQ(VeltCam_GetLastError(unknown), 0);
    EXPECT_EQ(VeltCam_GetConfigFilter(unknown), 0);
    EXPECT_EQ(VeltCam_GetCaptureWindowEx(unknown, &th, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(th, 77) << "an unknown handle must not touch output arguments";
    EXPECT_EQ(VeltCam_GetDllVersion(), 34407713);
}

TEST(HandleRegistry, ConstructedObjectHasTheDocumentedDefaults) {
    CVeltCam cam;
    EXPECT_EQ(cam.GetColorMode(), 8);
    EXPECT_EQ(cam.GetWaitTime(), 10);
    EXPECT_EQ(cam.GetSubSample(), 0);
    EXPECT_FALSE(cam.HasCore());
    EXPECT_EQ(cam.CurrentDeviceNumber(), -1);
}

TEST(HandleRegistry, FirstRunWithoutCameraUsesTheStoredDefaults) {
    VeltCamHandle handle = VeltCam_Initialize(nullptr);
    EXPECT_EQ(VeltCam_GetLastError(handle), 0) << "no camera attached is not a failure";
    int th = 0, ehs = -1, eh = 0, tv = 0, evs = -1, ev = 0;
    EXPECT_EQ(VeltCam_GetCaptureWindowEx(handle, &th, &ehs, &eh, &tv, &evs, &ev), 1);
    EXPECT_EQ(std::vector<int>({th, ehs, eh, tv, evs, ev}),
              std::vector<int>({2048, 0, 2048, 1536, 0, 1536}));
    EXPECT_EQ(VeltCam_GetCaptureWindowEx(handle, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(VeltCam_Width(handle), 2048);
    EXPECT_EQ(VeltCam_Height(handle), 1536);
    EXPECT_EQ(VeltCam_GetColorMode(handle), 24);
    EXPECT_EQ(VeltCam_GetWaitTime(handle), 1);
    EXPECT_EQ(VeltCam_GetSubSample(handle), 0);
    EXPECT_EQ(VeltCam_GetStatus(handle), 0);
    VeltCam_Release(handle);
}

TEST(HandleRegistry, SimpleSettersRefuseBadValuesSilently) {
    VeltCamHandle handle = VeltCam_Initialize(nullptr);
    DrainHistory(handle);
    EXPECT_EQ(VeltCam_SetSubSample(handle, 2), 0);
    EXPECT_EQ(VeltCam_SetWaitTime(handle, -1), 0);
    EXPECT_EQ(VeltCam_GetLastError(handle), 0);
    EXPECT_EQ(VeltCam_SetSubSample(handle, 1), 1);
    EXPECT_EQ(VeltCam_GetSubSample(handle), 1);
    EXPECT_EQ(VeltCam_SetWaitTime(handle, 0), 1);
    EXPECT_EQ(VeltCam_GetWaitTime(handle), 0);
    VeltCam_Release(handle);
}

TEST(ErrorNotification, EveryReportPostsExactlyOneMessageWithTheCode) {
    test::CTestWindow window;
    ASSERT_NE(window.Handle(), nullptr);
    VeltCamHandle handle = VeltCam_Initialize(window.Handle());
    ASSERT_NE(handle, 0);
    EXPECT_TRUE(window.Take(kErrorMessage).empty());

    EXPECT_EQ(VeltCam_GetConfigFilter(handle), -1);
    EXPECT_EQ(VeltCam_SetBrightness(handle, 300), 0);
    EXPECT_EQ(VeltCam_SendText(handle), 0);
    auto posted = window.Take(kErrorMessage);
    ASSERT_EQ(posted.size(), 3u);
    EXPECT_EQ(posted[0].wParam, 0u);
    EXPECT_EQ(posted[0].lParam, ERR_NOT_SUPPORTED);
    EXPECT_EQ(posted[1].lParam, ERR_PARAMETER);
    EXPECT_EQ(posted[2].lParam, ERR_NOT_SUPPORTED);

    EXPECT_EQ(VeltCam_GetLastError(handle), ERR_NOT_SUPPORTED);
    EXPECT_EQ(VeltCam_GetLastError(handle), ERR_PARAMETER);
    EXPECT_EQ(VeltCam_GetLastError(handle), ERR_NOT_SUPPORTED);
    EXPECT_EQ(VeltCam_GetLastError(handle), 0);
    EXPECT_TRUE(window.Take(kErrorMessage).empty()) << "draining the history posts nothing";
    VeltCam_Release(handle);
}

TEST(ErrorNotification, NotifyPostsWithoutRecording) {
    test::CTestWindow window;
    VeltCamHandle handle = VeltCam_Initialize(window.Handle());
    DrainHistory(handle);
    window.Take(kErrorMessage);
    EXPECT_EQ(VeltCam_Fps(handle), 0);
    EXPECT_EQ(VeltCam_GetHalfClock(handle), 0);
    EXPECT_EQ(VeltCam_SetCrossbar(handle), 0);
    auto posted = window.Take(kErrorMessage);
    ASSERT_EQ(posted.size(), 3u);
    for (const auto& message : posted) EXPECT_EQ(message.lParam, ERR_NOT_SUPPORTED);
    EXPECT_EQ(VeltCam_GetLastError(handle), 0);
    VeltCam_Release(handle);
}

TEST(ErrorNotification, WithoutAWindowReportsStayQuietAndNotifyGoesToTheThreadQueue) {
    test::CTestWindow::TakeThreadMessages(kErrorMessage);
    VeltCamHandle handle = VeltCam_Initialize(nullptr);
    EXPECT_TRUE(test::CTestWindow::TakeThreadMessages(kErrorMessage).empty());
    EXPECT_EQ(VeltCam_SetHalfClock(handle), 0);
    auto posted = test::CTestWindow::TakeThreadMessages(kErrorMessage);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].lParam, ERR_NOT_SUPPORTED);
    EXPECT_EQ(VeltCam_GetLastError(handle), 0);
    VeltCam_Release(handle);
}

TEST(ErrorNotification, SamplingRateStubWritesZeroAndSkipsNull) {
    VeltCamHandle handle = VeltCam_Initialize(nullptr);
    int rate = 99;
    EXPECT_EQ(VeltCam_GetSamplingRate(handle, &rate), 0);
    EXPECT_EQ(rate, 0);
    rate = 99;
    EXPECT_EQ(VeltCam_GetVideoFormat(handle, &rate), 0);
    EXPECT_EQ(rate, 0);
    EXPECT_EQ(VeltCam_GetSamplingRate(handle, nullptr), 0);
    VeltCam_Release(handle);
}

TEST(CSdkChainTest, DrawsAgainWhenTheHandleIsZeroOrLive) {
    auto& chain = CSdkChain::Instance();
    std::vector<uint32_t> draws{0x1234, 0, 0x1234, 0x5678};
    size_t next = 0;
    chain.SetHandleSource([&](int32_t) { return draws[next++]; });
    auto factory = [] { return std::make_shared<CVeltCam>(); };
    uint32_t first = chain.Create(factory);
    uint32_t second = chain.Create(factory);
    chain.SetHandleSource(nullptr);
    EXPECT_EQ(first, 0x1234u);
    EXPECT_EQ(second, 0x5678u);
    EXPECT_NE(chain.Lookup(first), chain.Lookup(second));
    EXPECT_TRUE(chain.Detach(first));
    EXPECT_TRUE(chain.Detach(second));
}

TEST(CSdkChainTest, ReleaseDuringACallDefersDestructionToTheLastUser) {
    auto& chain = CSdkChain::Instance();
    uint32_t handle = chain.Create([] { return std::make_shared<CVeltCam>(); });
    std::shared_ptr<CVeltCam> inFlight = chain.Lookup(handle);  // a call under way
    std::weak_ptr<CVeltCam> watch = inFlight;
    EXPECT_EQ(VeltCam_Release(handle), 1);
    EXPECT_EQ(chain.Lookup(handle), nullptr);
    EXPECT_FALSE(watch.expired());
    inFlight->Report(ERR_PARAMETER);  // still safe to use
    inFlight.reset();
    EXPECT_TRUE(watch.expired());
}

TEST(HandleRegistryThreads, ConcurrentInitializeUseAndRelease) {
    constexpr int kThreads = 6;
    constexpr int kRounds = 20;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                VeltCamHandle handle = VeltCam_Initialize(nullptr);
                if (handle == 0) ++failures;
                if (VeltCam_GetLastError(handle) != 0) ++failures;
                if (VeltCam_GetSubSample(handle) != 0) ++failures;
                // A second release is not checked here: once released, another
                // thread may legitimately be issued the same value.
                if (VeltCam_Release(handle) != 1) ++failures;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace veltcam
