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

}  // namespace
}  // namespace veltcam
