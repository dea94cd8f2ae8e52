// The transfer thread against a driver and camera that misbehave as real ones do:
// reads handed back long after they were written off, frame headers that declare the
// wrong payload length, a reader holding a ring slot, and all of it mixed at random.
#include <chrono>
#include <thread>

#include "core/CoreFixture.h"

namespace veltcam {
namespace {

class DriverPathFault : public test::CoreFixture {
  protected:
    // A small window, one payload piece per frame so that a fault hits a known read,
    // over the frame number's cells so that every frame differs from the last.
    void OpenSmall(const std::string& options = "fps=max") {
        Open(options);
        ASSERT_EQ(core_->SetCaptureWindow(0, 800, 512, 256, 0), 1);
        ASSERT_EQ(core_->AllocateFrameBuffers(), 1);
    }
};

TEST_F(DriverPathFault, APayloadReadHandedBackLateDoesNotWriteIntoTheNextFrame) {
    OpenSmall();
    // The first payload read is written off; the driver hands it back, writing into
    // the work buffer it was given, right after the next frame's payload has landed.
    AddFault("late:2@2");
    const std::vector<uint8_t> frame = Snap();
    EXPECT_EQ(sim_->LateCompletions(), 1u);
    EXPECT_TRUE(IsCameraFrame(frame, NewestCounter())) << "frame " << NewestCounter();
}

TEST_F(DriverPathFault, AFrameCountsOnlyWhenItsHeaderDeclaresAWholeFrame) {
    // The camera sends what its header declares. 512 x 256 is 131072 bytes.
    struct Case {
        uint32_t declared;
        uint64_t rejects;
    };
    const Case cases[] = {
        {0, 1},              // nothing at all: the buffer still holds the last frame
        {131072 - 1024, 1},  // short: the last frame's tail would remain
        {131072 + 4096, 0},  // padded: the frame is whole, the rest is ignored
        {1u << 20, 1},       // more than the buffer holds
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.declared);
        OpenSmall();
        Snap();  // a frame in the buffers that a torn one could show through
        AddFault("payload-length:" + std::to_string(c.declared) + "@1");
        const std::vector<uint8_t> frame = Snap();
        EXPECT_TRUE(IsCameraFrame(frame, NewestCounter())) << "frame " << NewestCounter();
        EXPECT_EQ(core_->FramesRejected(), c.rejects);
    }
}

TEST_F(DriverPathFault, StopWithoutWaitingAbortsTheOutlivedReadBeforeResettingThePipe) {
    // The first payload read never returns unless aborted; the payload time-out is long.
    Open("fps=max;stalls=real;faults=payload-stall@1");
    core_->SetFrameTimeout(20000);
    const size_t reads = PayloadReads();
    ASSERT_EQ(core_->StartTransfer(0), 1);
    ASSERT_TRUE(WaitForPayloadRead(reads)) << "the thread never reached the payload";
    EXPECT_EQ(core_->StopTransfer(0), 1);
    EXPECT_EQ(sim_->BusyPipeResets(), 0u) << "the pipe was reset under a pending read";
    EXPECT_FALSE(test::Requests(*sim_, kIoctlResetPipe).empty());
}

TEST_F(DriverPathFault, AHeldRingSlotMakesTheTransferThreadWaitWithoutSpinning) {
    OpenSmall();
    ASSERT_EQ(core_->StartTransfer(0), 1);
    ASSERT_EQ(WaitNewFrame(), 3);
    const int held = core_->PinFrame(false);
    // Within a ring's length of frames the thread comes round to the held slot.
    const uint64_t stored = core_->FramesStored();
    for (int i = 0; i < 500 && core_->FramesStored() < stored + 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const uint64_t before = core_->TransferThreadCpuMicros();
    const uint64_t storedBefore = core_->FramesStored();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const uint64_t used = core_->TransferThreadCpuMicros() - before;
    EXPECT_EQ(core_->FramesStored(), storedBefore) << "no frame while slot " << held << " is held";
    EXPECT_LT(used, 50000u) << "microseconds of processor time while waiting 500 ms";
    core_->Unpin();
    for (int i = 0; i < 2000 && core_->FramesStored() == storedBefore; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_GT(core_->FramesStored(), storedBefore) << "the thread goes on once the slot is free";
    core_->StopTransfer(1);
}

TEST_F(DriverPathFault, TriggersAFewMillisecondsApartEachGetAFrame) {
    // A trigger every 5 ms: the poll of FPGA register 8 must come round faster than
    // that, or several triggers merge into one frame request (at a 15.6 ms poll, three
    // triggers to a frame). Half of them is the bar: a busy test machine loses some.
    OpenSmall("fps=max;trigger=5");
    ASSERT_EQ(core_->SetTriggerMode(1, 0), 1);
    const uint8_t triggersBefore = Fpga(8);
    ASSERT_EQ(core_->StartTransfer(0), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    core_->StopTransfer(1);
    const int triggers = static_cast<uint8_t>(Fpga(8) - triggersBefore);
    ASSERT_GT(triggers, 40);
    EXPECT_GE(core_->FramesStored() * 2, static_cast<uint64_t>(triggers))
        << core_->FramesStored() << " frames for " << triggers << " triggers";
}

TEST_F(DriverPathFault, SafeRemovalWhileStreamingGoesAheadAndEndsTheTransferAsAnUnplug) {
    OpenSmall();
    ASSERT_EQ(core_->StartTransfer(0), 1);
    ASSERT_EQ(WaitNewFrame(), 3);
    EXPECT_TRUE(sim_->QueryRemove(0)) << "the open stream handle vetoed the removal";
    EXPECT_FALSE(sim_->IsPlugged(0));
    int result = 3;
    for (int i = 0; i < 20 && result != 1; ++i) result = core_->WaitFrame(3000);
    EXPECT_EQ(result, 1) << "the transfer gives up as after an unplug";
    core_->StopTransfer(1);
}

TEST_F(DriverPathFault, TenThousandFramesWithEveryDriverFaultMixedIn) {
    OpenSmall("fps=max;seed=14");
    for (const char* fault :
         {"late@p0.002", "late:3@p0.001", "late-control:0xC2@p0.002", "payload-length:0@p0.002",
          "payload-length:4096@p0.002", "payload-length:135168@p0.002", "i2c-nak:0x40@p0.05",
          "header-timeout@p0.001", "payload-stall@p0.001", "short@p0.001", "status@p0.001"}) {
        AddFault(fault);
    }
    std::vector<uint8_t> frame(static_cast<size_t>(core_->FrameSize()));
    uint64_t checked = 0;
    int restarts = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
    ASSERT_EQ(core_->StartTransfer(0), 1);
    while (core_->FramesStored() < 10000) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << core_->FramesStored() << " frames";
        const int result = core_->WaitFrame(3000);
        if (result == 1) {
            // Five failures in a row: start again, as the application would.
            ++restarts;
            core_->StopTransfer(1);
            ASSERT_EQ(core_->StartTransfer(0), 1);
            continue;
        }
        if (result != 3) continue;
        int32_t counter = 0;
        ASSERT_EQ(core_->ReadNewestFrameEx(frame.data(), frame.size(), &counter, nullptr, nullptr,
                                           nullptr, nullptr, 1),
                  0);
        ASSERT_TRUE(IsCameraFrame(frame, static_cast<uint32_t>(counter))) << "frame " << counter;
        ++checked;
    }
    core_->StopTransfer(1);
    EXPECT_GT(checked, 100u);
    EXPECT_GT(core_->FramesRejected(), 0u);
    EXPECT_GT(sim_->LateCompletions(), 0u);
    // Requests still held by the driver come back with the next reads.
    sim_->ClearFaults();
    for (int i = 0; i < 5 && core_->Controller()->UnfinishedTransfers() > 0; ++i) Snap();
    EXPECT_EQ(core_->Controller()->UnfinishedTransfers(), 0u);
    RecordProperty("restarts", restarts);
}

}  // namespace
}  // namespace veltcam
