// The camera core over the Linux USB path: the libusb driver channel, real libusb and
// usbdevfs request structures, umockdev's emulated device nodes, and the simulated
// cameras answering on the wire. The assertions are those of the direct-simulator
// core tests; only the transport underneath differs.
#include <chrono>
#include <thread>

#include "core/CoreFixture.h"
#include "foundation/ModelConstants.h"
#include "platform/posix/UsbDriverChannel.h"
#include "platform/posix/UsbRequestMap.h"
#include "sim/usb/CSimUsbFront.h"

namespace veltcam {
namespace {

class UsbPath : public test::CoreFixture {
  protected:
    std::shared_ptr<platform::CDriverChannel> ChannelFor(
        const std::shared_ptr<sim::CSimDriver>& simulator) override {
        std::string error;
        front_ = sim::CSimUsbFront::Create(simulator, &error);
        if (!front_) {
            ADD_FAILURE() << "no emulated bus: " << error;
            return simulator;
        }
        platform::UsbChannelOptions options;
        options.tableName = test::UniqueTableName();
        channel_ = platform::CreateUsbDriverChannel(options);
        return channel_;
    }
    void TearDown() override {
        core_.reset();
        channel_.reset();
        front_.reset();
    }
    // A small window: one payload piece per frame, the frame number's cells in view.
    void OpenSmall(const std::string& options = "fps=max") {
        Open(options);
        ASSERT_EQ(core_->SetCaptureWindow(0, 800, 512, 256, 0), 1);
        ASSERT_EQ(core_->AllocateFrameBuffers(), 1);
    }
    bool WaitFor(const std::function<bool()>& done, int ms = 20000) {
        for (int i = 0; i < ms / 5 && !done(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return done();
    }
    // Nothing left in flight on the bus once the transfer has stopped.
    void ExpectNothingInFlight() {
        EXPECT_TRUE(WaitFor([&] { return front_->OutstandingUrbs() == 0; }, 3000))
            << front_->OutstandingUrbs() << " URBs still outstanding";
    }

    std::unique_ptr<sim::CSimUsbFront> front_;
    std::shared_ptr<platform::CDriverChannel> channel_;
};

TEST_F(UsbPath, TwoCamerasAreFoundOnTheirPortsAndNumberedInPortOrder) {
    Create("cameras=2;fps=max");
    ASSERT_EQ(core_->CountDevices(kProduct), 2);
    const auto paths = channel_->ListInterfaces(kCameraInterfaceGuid, 32);
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_EQ(paths[0], platform::usb::DevicePath(0x2A5D, 0x31C4, 2, {1}));
    EXPECT_EQ(paths[1], platform::usb::DevicePath(0x2A5D, 0x31C4, 2, {2}));
    // The second camera opens and streams over its own device node.
    ASSERT_NE(core_->SelectDeviceNumber(1), 0);
    ASSERT_EQ(core_->SetCaptureWindow(0, 800, 512, 256, 0), 1);
    ASSERT_EQ(core_->AllocateFrameBuffers(), 1);
    Snap();
    sim_->WithCamera(1, [](sim::CSimCamera& c) { EXPECT_GT(c.FramesSent(), 0u); });
    sim_->WithCamera(0, [](sim::CSimCamera& c) { EXPECT_EQ(c.FramesSent(), 0u); });
}

TEST_F(UsbPath, SnapshotsAtBothDepthsCarryTheSceneAsTheCameraSentIt) {
    Open();
    const std::vector<uint8_t> frame = Snap();
    EXPECT_TRUE(IsCameraFrame(frame, NewestCounter())) << "frame " << NewestCounter();
    ASSERT_EQ(core_->SetTransferDepth(1), 1);
    ASSERT_EQ(core_->AllocateFrameBuffers(), 1);
    const std::vector<uint8_t> wide = Snap();
    EXPECT_EQ(wide.size(), 2u * 2048 * 1536);
    ExpectNothingInFlight();
}

TEST_F(UsbPath, AStreamOfTwoHundredFramesLeavesNothingInFlight) {
    OpenSmall();
    ASSERT_EQ(core_->StartTransfer(0), 1);
    EXPECT_TRUE(WaitFor([&] { return core_->FramesStored() >= 200; }))
        << core_->FramesStored() << " frames";
    EXPECT_EQ(core_->StopTransfer(1), 1);
    EXPECT_EQ(core_->FramesRejected(), 0u);
    ExpectNothingInFlight();
    const std::vector<uint8_t> frame = Snap();
    EXPECT_TRUE(IsCameraFrame(frame, NewestCounter())) << "frame " << NewestCounter();
}

TEST_F(UsbPath, HeaderTimeoutsPayloadStallsAndAStalledEndpointAreRecovered) {
    // A header read that never comes, a payload that stalls, and a transfer the camera
    // answers with a STALL handshake, which halts the endpoint until the pipe is reset.
    OpenSmall("fps=max;faults=header-timeout@3,payload-stall@6,status@12");
    ASSERT_EQ(core_->StartTransfer(0), 1);
    EXPECT_TRUE(WaitFor([&] { return core_->FramesStored() >= 30; }))
        << core_->FramesStored() << " frames";
    core_->StopTransfer(1);
    ExpectNothingInFlight();
    const std::vector<uint8_t> frame = Snap();
    EXPECT_TRUE(IsCameraFrame(frame, NewestCounter())) << "frame " << NewestCounter();
}

TEST_F(UsbPath, AnUnplugMidStreamEndsTheTransferWithoutAHang) {
    OpenSmall("fps=max;faults=unplug@40");
    ASSERT_EQ(core_->StartTransfer(0), 1);
    int result = 3;
    for (int i = 0; i < 50 && result != 1; ++i) result = core_->WaitFrame(3000);
    EXPECT_EQ(result, 1) << "the transfer gives up when the camera is gone";
    core_->StopTransfer(1);
    ExpectNothingInFlight();
    EXPECT_EQ(core_->CountDevices(kProduct), 0) << "the camera has left the bus";
}

TEST_F(UsbPath, BadAnswersOnTheWireFailTheFrameAndNothingElse) {
    // 512 x 256 = 131072 bytes a frame.
    const struct {
        const char* fault;
    } cases[] = {
        {"short@2"},                   // a read that comes back half full
        {"payload-length:130048@1"},   // a header that declares less than a frame
        {"payload-length:131584@1"},   // more: a read shorter than the message overflows
        {"payload-length:4194304@1"},  // more than the buffer holds
    };
    OpenSmall();
    Snap();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        sim_->ClearFaults();
        AddFault(c.fault);
        const uint64_t before = core_->FramesStored();
        ASSERT_EQ(core_->StartTransfer(0), 1);
        EXPECT_TRUE(WaitFor([&] { return core_->FramesStored() >= before + 5; }));
        core_->StopTransfer(1);
        ExpectNothingInFlight();
        const std::vector<uint8_t> frame = Snap();
        EXPECT_TRUE(IsCameraFrame(frame, NewestCounter())) << "frame " << NewestCounter();
    }
}

TEST_F(UsbPath, ACameraThatStopsAnsweringFailsTheSnapWithoutHangingOrLeaking) {
    OpenSmall("fps=max;faults=payload-stall@1-");
    core_->SetFrameTimeout(200);  // each written-off read costs real time on a real bus
    const uint64_t before = core_->FramesStored();
    ASSERT_EQ(core_->StartTransfer(1), 1);
    EXPECT_TRUE(WaitUntilStopped(30000));
    EXPECT_EQ(core_->FramesStored(), before);
    core_->StopTransfer(1);
    ExpectNothingInFlight();
}

}  // namespace
}  // namespace veltcam
