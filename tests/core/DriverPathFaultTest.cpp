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
        {0, 1},                // nothing at all: the buffer still holds the last frame
        {131072 - 1024, 1},    // short: the last frame's tail would remain
        {131072 + 4096, 0},    // padded: the frame is whole, the rest is ignored
        {1u << 20, 1},         // more than the buffer holds
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
    ASSERT_EQ(core_->StartTransfer(0), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
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
    // that, or several triggers merge into one frame request.
    OpenSmall("fps=max;trigger=5");
    ASSERT_EQ(core_->SetTriggerMode(1, 0), 1);
    const uint8_t triggersBefore = Fpga(8);
    ASSERT_EQ(core_->StartTransfer(0), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    core_->StopTransfer(1);
    const int triggers = static_cast<uint8_t>(Fpga(8) - triggersBefore);
    ASSERT_GT(triggers, 40);
    EXPECT_GE(core_->FramesStored() * 4, static_cast<uint64_t>(triggers) * 3)
        << core_->FramesStored() << " frames for " << triggers << " triggers";
}

}  // namespace
}  // namespace veltcam
