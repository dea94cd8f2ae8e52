// A camera core opened on a private simulator, and helpers to take frames.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/CVeltCamUSB3R7SimpleSdk.h"
#include "sim/CSimScene.h"
#include "support/SimTestSupport.h"

namespace veltcam::test {

class CoreFixture : public ::testing::Test {
  protected:
    static constexpr int kProduct = 12740;

    // Creates the simulator and the core as the SDK object does: product code,
    // controller, device count, then device number 0 (recording on from the start).
    void Create(const std::string& options) {
        scene_.reset();
        sim_ = MakeSim(options);
        sim_->Recorder().Enable(true);
        core_ = std::make_unique<CVeltCamUSB3R7SimpleSdk>();
        core_->SetDriverChannel(ChannelFor(sim_));
        core_->SetProductCode(kProduct);
        core_->CreateController(nullptr, nullptr);
    }
    void Open(const std::string& options = "fps=max") {
        Create(options);
        ASSERT_EQ(core_->CountDevices(kProduct), 1);
        ASSERT_NE(core_->SelectDeviceNumber(0), 0);
    }
    void TearDown() override { core_.reset(); }

    // The channel the core drives the simulator through: directly, or (USB tests) over
    // libusb and an emulated bus in front of it.
    virtual std::shared_ptr<platform::CDriverChannel> ChannelFor(
        const std::shared_ptr<sim::CSimDriver>& simulator) {
        return simulator;
    }

    // Waits until the transfer thread has ended by itself.
    bool WaitUntilStopped(int ms = 5000) {
        for (int i = 0; i < ms / 2 && core_->IsRunning(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return !core_->IsRunning();
    }
    // Payload reads the transfer thread has asked of the frame endpoint so far (frame
    // headers come in reads of 64 bytes, payloads in far longer ones).
    size_t PayloadReads() {
        size_t reads = 0;
        for (const sim::SimRecord& r : Requests(*sim_, kIoctlDirectTransfer)) {
            if (r.fields.endpoint == kEndpointIn && r.length > 64) ++reads;
        }
        return reads;
    }
    // Waits until a payload read follows the `before` ones: with a fault that holds
    // back the first payload read, the thread is then inside the held read, however
    // slow the machine (a header read that timed out and asked again does not count).
    bool WaitForPayloadRead(size_t before, int ms = 10000) {
        for (int i = 0; i < ms / 2 && PayloadReads() <= before; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return PayloadReads() > before;
    }
    // Reads of the FPGA's trigger count (register 8) the transfer thread has made.
    size_t TriggerCountPolls() {
        size_t polls = 0;
        for (const auto& bytes : I2cWrites(*sim_, 0x40)) polls += bytes == std::vector<uint8_t>{8};
        return polls;
    }
    // Waits until the trigger loop has polled the count a few times: a trigger before
    // that could only be part of the count it starts from.
    bool WaitUntilTriggerLoopPolls() {
        const size_t before = TriggerCountPolls();
        for (int i = 0; i < 5000 && TriggerCountPolls() < before + 3; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return TriggerCountPolls() >= before + 3;
    }
    // WaitFrame, retried while it reports no new frame. At full speed a frame can
    // arrive while the last one is read out and count as read, or the write index can
    // come round to the read mark: the wait then says "nothing new" and the next wait
    // gets the frame after.
    int WaitNewFrame(uint32_t ms = 3000) {
        int result = 2;
        for (int tries = 0; tries < 5 && result == 2; ++tries) result = core_->WaitFrame(ms);
        return result;
    }
    // One frame through the transfer thread (mode 1), read out with `orderFlag`.
    std::vector<uint8_t> Snap(int orderFlag = 1) {
        const uint64_t before = core_->FramesStored();
        EXPECT_EQ(core_->StartTransfer(1), 1);
        EXPECT_TRUE(WaitUntilStopped());
        EXPECT_EQ(core_->FramesStored(), before + 1);
        std::vector<uint8_t> frame(static_cast<size_t>(core_->FrameSize()));
        EXPECT_EQ(core_->ReadNewestFrame(frame.data(), frame.size(), orderFlag), 0);
        return frame;
    }
    void AddFault(const std::string& text) {
        sim::FaultSpec fault;
        std::string error;
        ASSERT_TRUE(sim::ParseFault(text, &fault, &error)) << error;
        sim_->AddFault(fault);
    }
    // Whether `picture` (8-bit, read out upright with order flag 1) is exactly what the
    // simulated camera sent as frame `number` with its current settings: the sensor's
    // 180-degree turn undone, the payload reversed byte for byte.
    bool IsCameraFrame(const std::vector<uint8_t>& picture, uint32_t number) {
        sim::SceneSetup setup;
        sim_->WithCamera(0, [&](sim::CSimCamera& c) { setup = c.CurrentSetup(); });
        if (!scene_) scene_ = std::make_unique<sim::CSimScene>(sim_->Options());
        uint32_t length = 0;
        const uint8_t* sent = scene_->Frame(setup, number, &length);
        return length == picture.size() && std::equal(picture.begin(), picture.end(),
                                                      std::make_reverse_iterator(sent + length));
    }
    // The counter stored with the newest frame.
    uint32_t NewestCounter() {
        int32_t counter = 0;
        core_->ReadFrame(nullptr, static_cast<size_t>(core_->FrameSize()), &counter, nullptr,
                         nullptr, nullptr, nullptr, 0, 1);
        return static_cast<uint32_t>(counter);
    }
    uint8_t Fpga(uint8_t reg) {
        uint8_t value = 0;
        sim_->WithCamera(0, [&](sim::CSimCamera& c) { value = c.FpgaRegister(reg); });
        return value;
    }

    std::shared_ptr<sim::CSimDriver> sim_;
    std::unique_ptr<CVeltCamUSB3R7SimpleSdk> core_;
    std::unique_ptr<sim::CSimScene> scene_;  // IsCameraFrame's own copy of the camera's scene
};

}  // namespace veltcam::test
