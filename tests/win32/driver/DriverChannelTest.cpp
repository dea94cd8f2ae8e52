// The Win32 driver channel against a kernel driver: discovery through SetupDi,
// requests that stay pending and complete from the driver, cancelling one of two,
// abort and reset pipe, closing a handle with a request pending, the error codes the
// system makes of the driver's statuses, a header time-out in the transport, and
// unplug and replug. The camera behind the test driver is the simulator. Every wait
// is bounded: a request that never comes back fails the case.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cctype>
#include <memory>
#include <string>

#include "VeltCamSdk.h"
#include "VeltCamSdkEx.h"
#include "foundation/ModelConstants.h"
#include "platform/DriverChannel.h"
#include "support/PrivateSettingsStore.h"
#include "support/SimTestSupport.h"
#include "transport/CVeltCy3Cam.h"
#include "transport/RequestHeader.h"
#include "win32/driver/CDriverHost.h"

namespace veltcam {
namespace {

constexpr uint32_t kPlugWaitMs = 20000;
constexpr DWORD kCompletionMs = 5000;

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// A direct transfer issued by hand, so that the test holds its OVERLAPPED.
struct RawRead {
    uint8_t header[kRequestHeaderBytes] = {};
    uint8_t data[64] = {};
    OVERLAPPED overlapped{};
    RawRead() { overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~RawRead() { CloseHandle(overlapped.hEvent); }
    // True when the request is pending, as a read of a frame header that the camera
    // has not been asked for stays.
    bool Start(HANDLE handle) {
        header[header::kEndpoint] = kEndpointIn;
        DWORD count = 0;
        return !DeviceIoControl(handle, kIoctlDirectTransfer, header, sizeof header, data,
                                sizeof data, &count, &overlapped) &&
               GetLastError() == ERROR_IO_PENDING;
    }
    bool Done(DWORD ms) { return WaitForSingleObject(overlapped.hEvent, ms) == WAIT_OBJECT_0; }
    // The system error code of the finished request (0: success).
    DWORD Error(HANDLE handle, DWORD* bytes = nullptr) {
        DWORD count = 0;
        BOOL ok = GetOverlappedResult(handle, &overlapped, &count, FALSE);
        if (bytes) *bytes = count;
        return ok ? 0 : GetLastError();
    }
};

class DriverChannel : public testing::Test {
  protected:
    void SetUp() override {
        sim_ = test::MakeSim("cameras=2;fps=max;complete=inline");
        std::string error;
        host_ = test::CDriverHost::Start(sim_, kPlugWaitMs, &error);
        ASSERT_TRUE(host_) << error;
        channel_ = platform::CreateSystemDriverChannel();
        paths_ = channel_->ListInterfaces(kCameraInterfaceGuid, 32);
        ASSERT_EQ(paths_.size(), 2u);
        std::sort(paths_.begin(), paths_.end());
    }
    void TearDown() override {
        channel_.reset();
        host_.reset();
    }
    HANDLE OpenRaw(int camera, bool overlapped = true) {
        return CreateFileA(paths_[static_cast<size_t>(camera)].c_str(), GENERIC_WRITE,
                           FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    }
    // A synchronous request on a handle of its own, as the transport sends its port,
    // pipe and speed requests; the system error code (0: success).
    DWORD Send(int camera, uint32_t code, uint8_t endpoint, uint32_t* speed = nullptr) {
        platform::DeviceHandle handle = channel_->Open(paths_[static_cast<size_t>(camera)].c_str(), false);
        if (handle == nullptr) return GetLastError();
        uint8_t out[4] = {};
        uint32_t bytes = 0, error = 0;
        bool ok = channel_->Control(handle, code, &endpoint, 1, out, sizeof out, &bytes, nullptr,
                                    &error);
        if (ok && speed) *speed = GetLe32(out);
        channel_->Close(handle);
        return ok ? 0 : error;
    }

    std::shared_ptr<sim::CSimDriver> sim_;
    std::unique_ptr<test::CDriverHost> host_;
    std::unique_ptr<platform::CDriverChannel> channel_;
    std::vector<std::string> paths_;
};

TEST_F(DriverChannel, DiscoveryListsBothCamerasInTheUsbPathForm) {
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(Lower(paths_[static_cast<size_t>(i)]), Lower(sim_->CameraPath(i)));
        uint32_t speed = 0;
        EXPECT_EQ(Send(i, kIoctlBusSpeed, 0, &speed), 0u);
        EXPECT_EQ(speed, 4u);
    }
    EXPECT_EQ(channel_->Open("\\\\?\\usb#vid_2a5d&pid_31c4#nothing#{328184c5-93e6-49b7-94b8-2ada13aabb39}", false),
              nullptr);
}

TEST_F(DriverChannel, PendingRequestsCancelAbortAndClose) {
    HANDLE handle = OpenRaw(0);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    RawRead first, second;
    ASSERT_TRUE(first.Start(handle));
    ASSERT_TRUE(second.Start(handle));
    EXPECT_FALSE(first.Done(100)) << "nothing to read: the driver holds the request";

    // Cancelling one of two reaches only that one.
    ASSERT_TRUE(CancelIoEx(handle, &first.overlapped));
    ASSERT_TRUE(first.Done(kCompletionMs));
    EXPECT_EQ(first.Error(handle), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(second.Done(200));

    // Abort pipe (from another handle, as the transport's stop does) ends the other.
    EXPECT_EQ(Send(0, kIoctlAbortPipe, kEndpointIn), 0u);
    ASSERT_TRUE(second.Done(kCompletionMs));
    EXPECT_EQ(second.Error(handle), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    // An idle pipe resets.
    EXPECT_EQ(Send(0, kIoctlResetPipe, kEndpointIn), 0u);

    // Closing the handle ends what is pending on it.
    RawRead third;
    ASSERT_TRUE(third.Start(handle));
    const VCT_STATS before = host_->Stats();
    CloseHandle(handle);
    ASSERT_TRUE(third.Done(kCompletionMs));
    EXPECT_EQ(third.overlapped.Internal, static_cast<ULONG_PTR>(0xC0000120)) << "cancelled";
    EXPECT_EQ(host_->Stats().closedWith, before.closedWith + 1);
}

TEST_F(DriverChannel, PendingReadCompletesFromTheDriverThroughTheTransport) {
    // The transport's own path: frame request, then a header read that is pending
    // until the camera sends; the first read times out (400 ms), is aborted, and the
    // retry gets the next frame.
    sim::FaultSpec fault;
    std::string error;
    ASSERT_TRUE(sim::ParseFault("header-timeout@1", &fault, &error)) << error;
    sim_->AddFault(fault);
    CVeltCy3Cam controller(nullptr, std::shared_ptr<platform::CDriverChannel>(std::move(channel_)));
    ASSERT_EQ(controller.EnumerateDevices(), 2);
    ASSERT_TRUE(controller.SelectDevice(0));
    ASSERT_TRUE(controller.AllocateTransferBuffer());
    sim_->Recorder().Enable(true);
    FrameDescriptor descriptor;
    ASSERT_TRUE(controller.ReadFrameHeader(&descriptor));
    EXPECT_EQ(descriptor.frameCounter, 2u) << "frame 1 was lost with the timed-out read";
    EXPECT_EQ(test::Requests(*sim_, kIoctlAbortPipe).size(), 1u);
    std::vector<uint8_t> payload(GetLe32(&descriptor.header[16]));
    descriptor.destination = payload.data();
    descriptor.capacity = static_cast<uint32_t>(payload.size());
    EXPECT_TRUE(controller.ReadFramePayload(&descriptor, 3000));
}

TEST_F(DriverChannel, DriverStatusesBecomeSystemErrorCodes) {
    struct Case {
        uint32_t status;
        DWORD error;
    };
    for (Case c : {Case{0xC000009D, ERROR_DEVICE_NOT_CONNECTED},  // 1167
                   Case{0xC0000001, ERROR_GEN_FAILURE},           // 31
                   Case{0xC00000B5, ERROR_SEM_TIMEOUT}}) {        // the driver's time-out
        host_->FailNext(kIoctlBusSpeed, c.status);
        EXPECT_EQ(Send(1, kIoctlBusSpeed, 0), c.error) << std::hex << c.status;
    }
    EXPECT_EQ(Send(1, kIoctlBusSpeed, 0), 0u) << "only the next request fails";
}

TEST_F(DriverChannel, UnplugFailsRequestsAndRemovesTheInterfaceReplugBringsItBack) {
    HANDLE old = OpenRaw(1);
    ASSERT_NE(old, INVALID_HANDLE_VALUE);
    RawRead pending;
    ASSERT_TRUE(pending.Start(old));
    sim_->Unplug(1);
    ASSERT_TRUE(host_->WaitForPlugState(kPlugWaitMs));
    ASSERT_TRUE(pending.Done(kCompletionMs));
    EXPECT_EQ(pending.Error(old), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    auto listed = channel_->ListInterfaces(kCameraInterfaceGuid, 32);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(Lower(listed[0]), Lower(sim_->CameraPath(0)));
    EXPECT_EQ(channel_->Open(paths_[1].c_str(), false), nullptr);

    sim_->Replug(1);
    ASSERT_TRUE(host_->WaitForPlugState(kPlugWaitMs));
    EXPECT_EQ(channel_->ListInterfaces(kCameraInterfaceGuid, 32).size(), 2u);
    EXPECT_EQ(Send(1, kIoctlBusSpeed, 0), 0u) << "a new handle reaches the camera again";
    // A handle from before the unplug stays dead. (Wine answers it itself, with
    // access denied, once the device object it was opened on is gone.)
    RawRead stale;
    stale.header[header::kEndpoint] = kEndpointIn;
    DWORD count = 0;
    SetLastError(0);
    EXPECT_FALSE(DeviceIoControl(old, kIoctlDirectTransfer, stale.header, sizeof stale.header,
                                 stale.data, sizeof stale.data, &count, &stale.overlapped));
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_NE(GetLastError(), 0u);
    CloseHandle(old);
}

// The public API on one camera behind the driver, VELTCAM_SIMULATOR empty: the SDK
// takes the real Win32 path.
class DriverSdk : public testing::Test {
  protected:
    static constexpr int kWidth = 1024, kHeight = 512;  // 8 bits: one 512 KiB piece a frame

    void Open(const std::string& options) {
        std::string error;
        host_ = test::CDriverHost::Start(test::MakeSim(options), kPlugWaitMs, &error);
        ASSERT_TRUE(host_) << error;
        _putenv_s("VELTCAM_SIMULATOR", "");
        handle_ = VeltCam_Initialize(nullptr);
        ASSERT_NE(handle_, 0u);
        ASSERT_EQ(VeltCam_SetPreviewWindow(handle_, nullptr, 0, 0, 0, 0), 1);
        ASSERT_EQ(VeltCam_SetCaptureWindowEx(handle_, 2048, 512, kWidth, 1536, 512, kHeight), 1);
        ASSERT_EQ(VeltCam_SetColorMode(handle_, 8), 1);
        ASSERT_EQ(VeltCam_SetWaitTime(handle_, 0), 1);
        ASSERT_EQ(VeltCamEx_SetFrameQueue(handle_, 8, VELTCAM_EX_QUEUE_OLDEST_FIRST), 1);
        while (VeltCam_GetLastError(handle_) != 0) {
        }
    }
    void TearDown() override {
        if (handle_ != 0) VeltCam_Release(handle_);
        host_.reset();
    }
    int Wait(int ms, VeltCamExFrameInfo* info) {
        info->size = sizeof *info;
        return VeltCamEx_WaitFrame(handle_, image_.data(), static_cast<int>(image_.size()), 1, ms,
                                   info);
    }

    test::CPrivateSettingsStore store_;
    std::unique_ptr<test::CDriverHost> host_;
    VeltCamHandle handle_ = 0;
    std::vector<uint8_t> image_ = std::vector<uint8_t>(static_cast<size_t>(kWidth) * kHeight);
};

// Hardware trigger through the driver: one frame per trigger and none without. The
// triggers come from the test, so a slow machine delays frames but never changes
// their count.
TEST_F(DriverSdk, TriggerModeGivesOneFramePerTrigger) {
    Open("cameras=1;trigger=0;complete=inline");
    sim::CSimDriver& simulator = host_->Simulator();
    simulator.Recorder().Enable(true);
    simulator.Recorder().Clear();
    // Reads of the trigger count (FPGA register 8).
    auto polls = [&] {
        size_t n = 0;
        for (const auto& bytes : test::I2cWrites(simulator, 0x40)) n += bytes == std::vector<uint8_t>{8};
        return n;
    };
    ASSERT_EQ(VeltCam_Trigger(handle_, nullptr, nullptr, 0, 1), 1);
    // Armed once the transfer thread polls the count again and again: a trigger
    // before that would only be part of the count it starts from.
    const size_t before = polls();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (polls() < before + 3 && std::chrono::steady_clock::now() < end) Sleep(10);
    ASSERT_GE(polls(), before + 3) << "the trigger loop never polled the trigger count";
    VeltCamExFrameInfo info{};
    uint64_t previous = 0;
    for (int i = 0; i < 5; ++i) {
        simulator.Trigger(0);
        ASSERT_EQ(Wait(15000, &info), VELTCAM_EX_WAIT_FRAME) << "trigger " << i;
        if (i > 0) EXPECT_EQ(info.frameNumber, previous + 1);
        EXPECT_EQ(info.droppedBefore, 0u);
        previous = info.frameNumber;
    }
    EXPECT_EQ(Wait(500, &info), VELTCAM_EX_WAIT_TIMEOUT) << "no trigger, no frame";
    EXPECT_EQ(VeltCam_StopPreview(handle_), 1);
    EXPECT_EQ(VeltCam_GetLastError(handle_), 0);
}

// A continuous stream through the public API, the transfer thread and the real
// channel: every frame of a long run arrives whole and in order.
TEST_F(DriverSdk, TwoHundredFramesArriveInOrder) {
    Open("cameras=1;fps=max;complete=inline");
    ASSERT_EQ(VeltCam_StartPreview(handle_), 1);
    std::vector<VeltCamExFrameInfo> frames;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (frames.size() < 200 && std::chrono::steady_clock::now() < end) {
        VeltCamExFrameInfo info{};
        ASSERT_EQ(Wait(15000, &info), VELTCAM_EX_WAIT_FRAME) << "after " << frames.size() << " frames";
        frames.push_back(info);
    }
    VeltCamExStreamStats stats{};
    stats.size = sizeof stats;
    ASSERT_EQ(VeltCamEx_GetStreamStats(handle_, &stats), 1);
    EXPECT_EQ(VeltCam_StopPreview(handle_), 1);
    EXPECT_EQ(VeltCam_GetLastError(handle_), 0);

    ASSERT_EQ(frames.size(), 200u);
    for (size_t i = 1; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].width, kWidth);
        EXPECT_EQ(frames[i].height, kHeight);
        EXPECT_GT(frames[i].frameNumber, frames[i - 1].frameNumber) << i;
        EXPECT_GT(frames[i].cameraCounter, frames[i - 1].cameraCounter) << i;
    }
    EXPECT_EQ(stats.framesRejected, 0u);
    EXPECT_EQ(stats.headerTimeouts, 0u);
    EXPECT_EQ(stats.transferFailures, 0u);
    EXPECT_GE(stats.framesTransferred, 200u);
}

}  // namespace
}  // namespace veltcam
