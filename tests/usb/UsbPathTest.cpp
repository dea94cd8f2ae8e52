// The camera core over the Linux USB path: the libusb driver channel, real libusb and
// usbdevfs request structures, umockdev's emulated device nodes, and the simulated
// cameras answering on the wire. The assertions are those of the direct-simulator
// core tests; only the transport underneath differs.
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "core/CoreFixture.h"
#include "foundation/ModelConstants.h"
#include "platform/Clock.h"
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
        front_ = sim::CSimUsbFront::Create(simulator, &error, frontOptions_);
        if (!front_) {
            ADD_FAILURE() << "no emulated bus: " << error;
            return simulator;
        }
        platform::UsbChannelOptions options;
        options.tableName = test::UniqueTableName();
        options.vendorId = vendorFilter_;
        options.cancelWaitMs = cancelWaitMs_;
        options.inPortReset = inPortReset_;
        tableName_ = options.tableName;
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

    // A request record for a read of `bytes` on endpoint 0x81.
    static std::vector<uint8_t> BulkRead(uint32_t bytes) {
        std::vector<uint8_t> header(kRequestHeaderBytes);
        RequestFields fields;
        fields.length = kRequestHeaderBytes;
        fields.dataLength = bytes;
        WriteRequestHeader(header.data(), fields);
        header[header::kEndpoint] = kEndpointIn;
        return header;
    }

    sim::UsbFrontOptions frontOptions_;
    const char* vendorFilter_ = nullptr;
    uint32_t cancelWaitMs_ = 10000;
    std::function<void(const std::string&)> inPortReset_;
    std::string tableName_;
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

TEST_F(UsbPath, HeaderTimeoutsPayloadStallsAndAStalledEndpointAreCountedAndRecovered) {
    // A header read that never comes, a payload that stalls, and a transfer the camera
    // answers with a STALL handshake, which halts the endpoint until the pipe is reset.
    // Each fault must have fired and been counted where it belongs, and the stream
    // goes on with whole frames. A header that never comes is asked for again within
    // the same header read, so it shows only as the frame the camera lost: a gap in
    // the camera's frame counter (which counts from 1).
    const struct {
        const char* fault;
        uint64_t headerFailures;
        uint64_t payloadFailures;
        bool cleared;     // a CLEAR_HALT went to the camera
        uint64_t lost;    // frames the camera counted that the ring never got
    } cases[] = {
        {"", 0, 0, false, 0},
        {"header-timeout@3", 0, 0, false, 1},
        {"payload-stall@3", 0, 1, false, 1},
        {"status@6", 0, 1, true, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        TearDown();
        OpenSmall(std::string("fps=max;faults=") + c.fault);
        const TransferCounters before = core_->Counters();
        const uint32_t clearsBefore = front_->ClearHalts();
        ASSERT_EQ(core_->StartTransfer(0), 1);
        EXPECT_TRUE(WaitFor([&] { return core_->FramesStored() >= 30; }))
            << core_->FramesStored() << " frames";
        core_->StopTransfer(1);
        const TransferCounters after = core_->Counters();
        EXPECT_EQ(after.headerFailures - before.headerFailures, c.headerFailures);
        EXPECT_EQ(after.payloadFailures - before.payloadFailures, c.payloadFailures);
        EXPECT_EQ(front_->ClearHalts() > clearsBefore, c.cleared);
        EXPECT_EQ(NewestCounter() - core_->FramesStored(), c.lost);
        EXPECT_EQ(core_->FramesRejected(), 0u) << "no torn frame reached the ring";
        ExpectNothingInFlight();
        const std::vector<uint8_t> frame = Snap();
        EXPECT_TRUE(IsCameraFrame(frame, NewestCounter())) << "frame " << NewestCounter();
    }
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
    // 512 x 256 = 131072 bytes a frame. Each bad answer costs exactly the frame it
    // came with, counted where it belongs, and the stream goes on.
    const struct {
        const char* fault;
        uint64_t payloadFailures;
        uint64_t rejected;  // frames the core refused after their payload arrived
        uint64_t lost;      // gap in the camera's frame counter
    } cases[] = {
        {"short@2", 1, 0, 1},                   // a read that comes back half full
        {"payload-length:130048@1", 1, 1, 1},   // a header that declares less than a frame
        {"payload-length:4194304@1", 1, 1, 1},  // more than the buffer holds
        // More than the frame but within the buffer: the transport reads what the
        // header declares in one piece, so no read comes back short, and the frame
        // holds every byte of the window. It is kept.
        {"payload-length:131584@1", 0, 0, 0},
    };
    OpenSmall();
    Snap();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        sim_->ClearFaults();
        AddFault(c.fault);
        const uint64_t before = core_->FramesStored();
        const uint64_t lostBefore = NewestCounter() - before;
        const uint64_t failedBefore = core_->Counters().payloadFailures;
        const uint64_t rejectedBefore = core_->FramesRejected();
        ASSERT_EQ(core_->StartTransfer(0), 1);
        EXPECT_TRUE(WaitFor([&] { return core_->FramesStored() >= before + 5; }));
        core_->StopTransfer(1);
        EXPECT_EQ(core_->Counters().payloadFailures - failedBefore, c.payloadFailures);
        EXPECT_EQ(core_->FramesRejected() - rejectedBefore, c.rejected);
        EXPECT_EQ(NewestCounter() - core_->FramesStored() - lostBefore, c.lost);
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

TEST_F(UsbPath, CamerasOfAnyVendorAreFoundByTheirInterfaceAndNumberedByPortAsNumbers) {
    const struct {
        const char* options;
        std::vector<int> ports;
        const char* filter;
        uint16_t vendor;
        std::vector<int> found;  // ports of the cameras found, in numbering order
    } cases[] = {
        {"cameras=2;vid=1234", {10, 2}, nullptr, 0x1234, {2, 10}},
        {"cameras=2", {11, 9}, "2a5d", 0x2A5D, {9, 11}},
        {"cameras=1;vid=1234", {1}, "2a5d", 0x1234, {}},  // VELTCAM_USB_VID narrows
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        TearDown();
        frontOptions_.ports = c.ports;
        vendorFilter_ = c.filter;
        Create(c.options);
        std::vector<std::string> expected;
        for (int port : c.found) {
            expected.push_back(platform::usb::DevicePath(c.vendor, 0x31C4, 2, {port}));
        }
        EXPECT_EQ(channel_->ListInterfaces(kCameraInterfaceGuid, 32), expected);
        ASSERT_EQ(core_->CountDevices(kProduct), static_cast<int>(c.found.size()));
        // A camera the filter hides does not open either, even by a path another
        // process left in the shared device table.
        for (int port : c.ports) {
            if (std::find(c.found.begin(), c.found.end(), port) != c.found.end()) continue;
            const std::string hidden = platform::usb::DevicePath(c.vendor, 0x31C4, 2, {port});
            EXPECT_EQ(channel_->Open(hidden.c_str(), false), nullptr) << hidden;
        }
    }
    // The first camera by number is the one on port 2, and it streams.
    TearDown();
    frontOptions_.ports = {10, 2};
    vendorFilter_ = nullptr;
    Create("cameras=2;vid=1234;fps=max");
    ASSERT_EQ(core_->CountDevices(kProduct), 2);
    ASSERT_NE(core_->SelectDeviceNumber(0), 0);
    ASSERT_EQ(core_->SetCaptureWindow(0, 800, 512, 256, 0), 1);
    ASSERT_EQ(core_->AllocateFrameBuffers(), 1);
    Snap();
    sim_->WithCamera(1, [](sim::CSimCamera& c) { EXPECT_GT(c.FramesSent(), 0u); });
}

TEST_F(UsbPath, TwoThreadsReadingAnIdleCameraNeverMeetABusyClaimAndOpenItsFileOnce) {
    Open();
    const uint32_t opensBefore = front_->NodeOpens();
    std::atomic<int> failures{0};
    auto reader = [&] {
        for (int i = 0; i < 2000; ++i) {
            int ok = 0;
            core_->ReadFpgaRegister(16, &ok);
            if (!ok) ++failures;
        }
    };
    std::thread a(reader), b(reader);
    a.join();
    b.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_LE(front_->NodeOpens() - opensBefore, 1u) << "the device file stays open while idle";
}

TEST_F(UsbPath, ASecondProgramFindsTheStreamingCameraAndLearnsItIsInUse) {
    OpenSmall();
    ASSERT_EQ(core_->StartTransfer(0), 1);
    ASSERT_TRUE(WaitFor([&] { return core_->FramesStored() >= 3; }));
    // Another channel with its own device files stands in for another process.
    platform::UsbChannelOptions options;
    options.tableName = test::UniqueTableName();
    auto other = platform::CreateUsbDriverChannel(options);
    const auto paths = other->ListInterfaces(kCameraInterfaceGuid, 32);
    ASSERT_EQ(paths.size(), 1u);
    platform::DeviceHandle handle = other->Open(paths[0].c_str(), false);
    ASSERT_NE(handle, nullptr) << "a camera in use is still there";
    std::vector<uint8_t> header = BulkRead(4096), data(4096);
    uint32_t bytes = 0, error = 0;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(other->Control(handle, kIoctlDirectTransfer, header.data(), kRequestHeaderBytes,
                                data.data(), 4096, &bytes, nullptr, &error));
    EXPECT_FALSE(other->Control(handle, kIoctlDirectTransfer, header.data(), kRequestHeaderBytes,
                                data.data(), 4096, &bytes, nullptr, &error));
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(error, platform::usb::kErrorBusy);
    EXPECT_NE(said.find("in use by another program"), std::string::npos) << said;
    EXPECT_EQ(said.find('\n'), said.size() - 1) << "said once: " << said;
    other->Close(handle);
    const uint64_t before = core_->FramesStored();
    EXPECT_TRUE(WaitFor([&] { return core_->FramesStored() >= before + 5; }));
    core_->StopTransfer(1);
    // Idle again: the other program may stream now (its read waits for a frame).
    handle = other->Open(paths[0].c_str(), true);
    ASSERT_NE(handle, nullptr);
    auto op = other->NewOperation();
    EXPECT_FALSE(other->Control(handle, kIoctlDirectTransfer, header.data(), kRequestHeaderBytes,
                                data.data(), 4096, &bytes, op.get(), &error));
    EXPECT_EQ(error, platform::kErrorIoPending);
    const uint8_t endpoint = kEndpointIn;
    auto abort = other->NewOperation();
    EXPECT_TRUE(other->Control(handle, kIoctlAbortPipe, &endpoint, 1, nullptr, 0, &bytes,
                               abort.get(), &error));
    EXPECT_TRUE(op->Wait(5000));
    other->Close(handle);
}

TEST_F(UsbPath, AKernelDriverOnTheInterfaceIsSetAsideForTheStream) {
    frontOptions_.kernelDriver = "usbtest";
    OpenSmall();
    ASSERT_EQ(core_->StartTransfer(0), 1);
    EXPECT_TRUE(WaitFor([&] { return core_->FramesStored() >= 10; }));
    core_->StopTransfer(1);
    EXPECT_EQ(core_->FramesRejected(), 0u);
}

TEST_F(UsbPath, ACameraOnAUsb2PortStreamsAndWarnsOnce) {
    Create("speed=3;fps=max");
    testing::internal::CaptureStderr();
    const int count = core_->CountDevices(kProduct);
    const int selected = core_->SelectDeviceNumber(0);
    const std::string said = testing::internal::GetCapturedStderr();
    ASSERT_EQ(count, 1);
    ASSERT_NE(selected, 0);
    EXPECT_EQ(channel_->ListInterfaces(kCameraInterfaceGuid, 32)[0],
              platform::usb::DevicePath(0x2A5D, 0x31C4, 1, {1}))
        << "a High-Speed camera is on the USB 2 bus";
    EXPECT_NE(said.find("USB 2 speed"), std::string::npos) << said;
    EXPECT_EQ(said.find('\n'), said.size() - 1) << "said once: " << said;
    const std::vector<uint8_t> frame = Snap();
    EXPECT_TRUE(IsCameraFrame(frame, NewestCounter())) << "frame " << NewestCounter();
}

TEST_F(UsbPath, AReadGivenBackAfterAResetRetiredItsFileIsCompletedAndTheFileThenClosed) {
    // The host controller gives a discarded read back long after the channel stopped
    // waiting for it, and the reset made the camera enumerate afresh meanwhile. The
    // retired device file stays open for the read: closed at once, libusb would forget
    // the read, and its waiter would never hear of it.
    frontOptions_.reenumerateAfterResetMs = 100;
    frontOptions_.lateDiscardMs = 3000;  // well after the reset is through, even on a busy machine
    cancelWaitMs_ = 100;
    Create("fps=max");
    const auto paths = channel_->ListInterfaces(kCameraInterfaceGuid, 32);
    ASSERT_EQ(paths.size(), 1u);
    platform::DeviceHandle stream = channel_->Open(paths[0].c_str(), true);
    platform::DeviceHandle control = channel_->Open(paths[0].c_str(), false);
    ASSERT_NE(stream, nullptr);
    ASSERT_NE(control, nullptr);
    auto read = channel_->NewOperation();
    std::vector<uint8_t> header = BulkRead(64);
    auto buffer = std::make_unique<uint8_t[]>(64);
    uint32_t bytes = 0, error = 0;
    // No frame was asked for: the read waits on the wire.
    EXPECT_FALSE(channel_->Control(stream, kIoctlDirectTransfer, header.data(),
                                   static_cast<uint32_t>(header.size()), buffer.get(), 64, &bytes,
                                   read.get(), &error));
    ASSERT_EQ(error, platform::kErrorIoPending);
    EXPECT_TRUE(channel_->Control(control, kIoctlResetPort, nullptr, 0, nullptr, 0, &bytes, nullptr,
                                  &error))
        << error;
    ASSERT_TRUE(read->Wait(15000)) << "the read came back";
    EXPECT_FALSE(read->Result(&bytes));
    // Nothing may write into the buffer once its read is done (ASan would see it).
    buffer.reset();
    EXPECT_TRUE(WaitFor([&] { return platform::StateOf(*channel_).retiredFilesOpen == 0; }, 5000));
    const platform::UsbChannelState state = platform::StateOf(*channel_);
    EXPECT_EQ(state.lateCompletions, 1u) << "it came back after its file was retired";
    EXPECT_EQ(state.transfersInFlight, 0u);
    ExpectNothingInFlight();
    // The path serves on, on the camera's new device file.
    uint8_t speed[4] = {};
    EXPECT_TRUE(channel_->Control(control, kIoctlBusSpeed, nullptr, 0, speed, sizeof(speed), &bytes,
                                  nullptr, &error))
        << error;
    channel_->Close(control);
    channel_->Close(stream);
}

TEST_F(UsbPath, AnotherCameraStreamsOnWhileOneCamerasPortResetIsHeldUp) {
    // Camera 0's port reset is held inside its slow section until camera 1 has stored
    // twenty more frames. Were the reset run under the channel-wide lock, camera 1's
    // completions would wait behind it and only the guard would let the reset go.
    std::mutex holdLock;
    std::condition_variable held;
    bool release = false;
    std::atomic<bool> entered{false};
    std::string heldPath;  // set before camera 0 is reset; camera 1's own resets pass
    inPortReset_ = [&](const std::string& path) {
        if (path != heldPath) return;
        entered = true;
        std::unique_lock<std::mutex> lock(holdLock);
        held.wait_for(lock, std::chrono::seconds(30), [&] { return release; });
    };
    Create("cameras=2;fps=max");
    ASSERT_EQ(core_->CountDevices(kProduct), 2);
    ASSERT_NE(core_->SelectDeviceNumber(1), 0);
    ASSERT_EQ(core_->SetCaptureWindow(0, 800, 512, 256, 0), 1);
    ASSERT_EQ(core_->AllocateFrameBuffers(), 1);
    const auto paths = channel_->ListInterfaces(kCameraInterfaceGuid, 32);
    ASSERT_EQ(paths.size(), 2u);
    heldPath = paths[0];
    platform::DeviceHandle other = channel_->Open(paths[0].c_str(), false);
    ASSERT_NE(other, nullptr);
    ASSERT_EQ(core_->StartTransfer(0), 1);
    ASSERT_TRUE(WaitFor([&] { return core_->FramesStored() > 0; }));
    std::thread reset([&] {
        uint32_t bytes = 0, error = 0;
        channel_->Control(other, kIoctlResetPort, nullptr, 0, nullptr, 0, &bytes, nullptr, &error);
    });
    ASSERT_TRUE(WaitFor([&] { return entered.load(); }));
    const uint64_t before = core_->FramesStored();
    const bool streamed = WaitFor([&] { return core_->FramesStored() >= before + 20; }, 20000);
    {
        std::lock_guard<std::mutex> lock(holdLock);
        release = true;
    }
    held.notify_all();
    reset.join();
    EXPECT_TRUE(streamed) << core_->FramesStored() - before << " frames while camera 0 was reset";
    core_->StopTransfer(1);
    EXPECT_EQ(core_->FramesRejected(), 0u);
    channel_->Close(other);
}

TEST_F(UsbPath, OnlyAHaltedEndpointIsCleared) {
    const struct {
        const char* fault;
        bool cleared;
    } cases[] = {
        {"header-timeout@2", false},
        {"payload-stall@2", false},
        {"status@2", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        TearDown();
        OpenSmall(std::string("fps=max;faults=") + c.fault);
        const uint32_t before = front_->ClearHalts();
        ASSERT_EQ(core_->StartTransfer(0), 1);
        EXPECT_TRUE(WaitFor([&] { return core_->FramesStored() >= 10; }));
        core_->StopTransfer(1);
        EXPECT_EQ(front_->ClearHalts() > before, c.cleared);
    }
}

TEST_F(UsbPath, AChildForkedAfterDiscoveryIsRefusedAndTheParentStreamsOn) {
    OpenSmall();
    // A second channel that has started libusb and found the camera before the fork.
    platform::UsbChannelOptions options;
    options.tableName = test::UniqueTableName();
    auto inherited = platform::CreateUsbDriverChannel(options);
    const auto paths = inherited->ListInterfaces(kCameraInterfaceGuid, 32);
    ASSERT_EQ(paths.size(), 1u);
    const pid_t child = fork();
    if (child == 0) {
        // The child's copy refuses, and ends without joining the parent's event
        // thread or touching the parent's libusb state.
        const bool refused = inherited->ListInterfaces(kCameraInterfaceGuid, 32).empty() &&
                             inherited->Open(paths[0].c_str(), false) == nullptr;
        inherited.reset();
        _exit(refused ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    ASSERT_EQ(core_->StartTransfer(0), 1);
    EXPECT_TRUE(WaitFor([&] { return core_->FramesStored() >= 100; }));
    core_->StopTransfer(1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(core_->FramesRejected(), 0u);
}

TEST_F(UsbPath, AResetThatReenumeratesTheCameraWaitsForItAndTheSameNumberStreamsAgain) {
    frontOptions_.reenumerateAfterResetMs = 300;
    Create("fps=max");
    ASSERT_EQ(core_->CountDevices(kProduct), 1);
    ASSERT_NE(core_->SelectDeviceNumber(0), 0);
    const uint32_t before = front_->Enumerations();
    // Register reads from another thread while the old handle is retired.
    std::atomic<bool> resetting{true};
    std::thread reader([&] {
        while (resetting) {
            int ok = 0;
            core_->ReadFpgaRegister(16, &ok);
        }
    });
    const int selected = core_->SelectDeviceNumber(0);  // opening the camera resets its port
    resetting = false;
    reader.join();
    ASSERT_NE(selected, 0);
    EXPECT_GT(front_->Enumerations(), before) << "the reset re-enumerated the camera";
    ASSERT_EQ(core_->SetCaptureWindow(0, 800, 512, 256, 0), 1);
    ASSERT_EQ(core_->AllocateFrameBuffers(), 1);
    ASSERT_EQ(core_->StartTransfer(0), 1);
    EXPECT_TRUE(WaitFor([&] { return core_->FramesStored() >= 20; }));
    core_->StopTransfer(1);
    EXPECT_EQ(core_->FramesRejected(), 0u);
    EXPECT_EQ(core_->CountDevices(kProduct), 1);
    // The reset itself succeeds, and the path handle that asked for it serves on.
    const std::string path = channel_->ListInterfaces(kCameraInterfaceGuid, 32).at(0);
    platform::DeviceHandle handle = channel_->Open(path.c_str(), false);
    ASSERT_NE(handle, nullptr);
    uint32_t bytes = 0, error = 0;
    EXPECT_TRUE(
        channel_->Control(handle, kIoctlResetPort, nullptr, 0, nullptr, 0, &bytes, nullptr, &error))
        << error;
    uint8_t speed[4] = {};
    EXPECT_TRUE(channel_->Control(handle, kIoctlBusSpeed, nullptr, 0, speed, sizeof(speed), &bytes,
                                  nullptr, &error))
        << error;
    channel_->Close(handle);
}

TEST_F(UsbPath, TransfersPastTheKernelsUsbMemoryFailWithOneHintAndSmallerOnesStream) {
    frontOptions_.usbfsMemoryBytes = 256 << 10;
    OpenSmall();  // 128 KiB frames: one piece fits
    const std::vector<uint8_t> frame = Snap();
    EXPECT_TRUE(IsCameraFrame(frame, NewestCounter())) << "frame " << NewestCounter();
    EXPECT_LE(front_->UsbfsMemoryPeak(), 256u << 10);
    // A full frame's 512 KiB pieces do not fit.
    ASSERT_EQ(core_->SetCaptureWindow(0, 0, 2048, 1536, 0), 1);
    ASSERT_EQ(core_->AllocateFrameBuffers(), 1);
    const uint64_t before = core_->FramesStored();
    testing::internal::CaptureStderr();
    ASSERT_EQ(core_->StartTransfer(1), 1);
    EXPECT_TRUE(WaitUntilStopped(30000));
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(core_->FramesStored(), before);
    EXPECT_NE(said.find("usbfs_memory_mb"), std::string::npos) << said;
    EXPECT_EQ(said.find('\n'), said.size() - 1) << "said once: " << said;
    core_->StopTransfer(1);
    ExpectNothingInFlight();
}

TEST_F(UsbPath, QueuedPiecesRefusedForWantOfKernelMemoryWaitForTheOldestAndStreamOn) {
    // Room for two full-frame pieces with the kernel's records, not for the third and
    // fourth the transport queues: each waits for the oldest piece and goes again.
    constexpr uint32_t kPieceCharge = 525824;  // 512 KiB, its URB record and SG list
    frontOptions_.usbfsMemoryBytes = 2 * kPieceCharge + (16 << 10);
    Open();
    ASSERT_EQ(core_->SetCaptureWindow(0, 0, 2048, 1536, 0), 1);
    ASSERT_EQ(core_->AllocateFrameBuffers(), 1);
    testing::internal::CaptureStderr();
    ASSERT_EQ(core_->StartTransfer(0), 1);
    EXPECT_TRUE(WaitFor([&] { return core_->FramesStored() >= 20; }))
        << core_->FramesStored() << " frames";
    EXPECT_EQ(core_->StopTransfer(1), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "a refusal that was waited out";
    EXPECT_EQ(core_->FramesRejected(), 0u);
    EXPECT_GT(front_->UsbfsMemoryPeak(), kPieceCharge) << "two pieces were queued at once";
    EXPECT_LE(front_->UsbfsMemoryPeak(), frontOptions_.usbfsMemoryBytes);
    ExpectNothingInFlight();
    const std::vector<uint8_t> frame = Snap();
    EXPECT_TRUE(IsCameraFrame(frame, NewestCounter())) << "frame " << NewestCounter();
}

TEST_F(UsbPath, OnTheWireModelOnlyAQueueOfPiecesKeepsTheCamerasFifoFromOverflowing) {
    // Frames of three pieces at the sensor's readout rate. With one piece at a time the
    // wire idles between pieces while the sensor reads on; a bridge without buffer room
    // then drops packets and the frame is torn. Queued pieces keep the wire busy, and a
    // FIFO of the usual size never fills.
    struct Case {
        const char* pieces;
        uint32_t fifoBytes;
        bool torn;
    };
    const Case cases[] = {{"1", 0, true}, {"3", 256u << 10, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pieces);
        frontOptions_.bus.on = true;
        frontOptions_.bus.fifoBytes = c.fifoBytes;
        setenv("VELTCAM_PAYLOAD_PIECES", c.pieces, 1);
        Open();
        unsetenv("VELTCAM_PAYLOAD_PIECES");
        ASSERT_EQ(core_->SetCaptureWindow(0, 0, 2048, 768, 0), 1);
        ASSERT_EQ(core_->AllocateFrameBuffers(), 1);
        ASSERT_EQ(core_->StartTransfer(1), 1);
        EXPECT_TRUE(WaitUntilStopped(30000));
        const sim::BusCounters bus = front_->Bus();
        EXPECT_GT(bus.frames, 0u);
        if (c.torn) {
            EXPECT_EQ(bus.torn, bus.frames) << "every frame torn";
            EXPECT_EQ(core_->FramesStored(), 0u);
        } else {
            EXPECT_EQ(bus.torn, 0u);
            EXPECT_EQ(core_->FramesStored(), 1u);
            EXPECT_EQ(std::count(bus.gapsUs.begin(), bus.gapsUs.end(), 0u),
                      static_cast<std::ptrdiff_t>(bus.gapsUs.size()))
                << "the wire never idled between pieces";
        }
        core_->StopTransfer(1);
        TearDown();
    }
}

TEST_F(UsbPath, TheEventThreadRunsAtTheTransferThreadsPriority) {
    OpenSmall();
    int wanted = -1;  // what a transfer thread gets here (real-time if permitted)
    std::thread([&] {
        platform::RaiseCurrentThreadToTimeCritical();
        wanted = sched_getscheduler(0);
    }).join();
    int found = -2;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        if (name == "veltcam-usb") found = sched_getscheduler(std::stoi(task.path().filename()));
    }
    EXPECT_EQ(found, wanted);
}

}  // namespace
}  // namespace veltcam
