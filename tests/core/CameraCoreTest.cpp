// The camera core against the simulated camera: model selection and numbering, the
// open sequence and its ready-flag wait, frame buffers, the acquisition modes, the
// trigger poll, giving up after failures, stopping, and the ring arithmetic.
#include <chrono>
#include <cstring>
#include <thread>

#include "core/CoreFixture.h"

namespace veltcam {
namespace {

using Clock = std::chrono::steady_clock;
using test::CoreFixture;

class CameraCore : public CoreFixture {};

TEST_F(CameraCore, ProductCodeSetsTheRing) {
    CVeltCamUSB3R7SimpleSdk core;
    EXPECT_EQ(core.GetProductCode(), -1);
    EXPECT_EQ(core.CountDevices(12740), 0) << "no controller yet";
    EXPECT_EQ(core.IsDeviceNumberPresent(0), 0);
    EXPECT_EQ(core.SelectDeviceNumber(0), 0);
    EXPECT_EQ(core.SetProductCode(12740), 1);
    EXPECT_EQ(core.RingSize(), 4);
    EXPECT_EQ(core.ReadMark(), 3);
    EXPECT_EQ(core.MaxDevices(), 32);
    EXPECT_EQ(core.FrameTimeout(), 5000u);
    EXPECT_EQ(core.Close(), 1);
    EXPECT_EQ(core.Close(), 1) << "closing twice is harmless";
}

TEST_F(CameraCore, DeviceNumberFindsThisModelWhateverItsTableIndex) {
    // Another model's camera is registered first, by another user of the same table.
    const std::string table = test::UniqueTableName();
    std::string error;
    auto other = sim::CSimDriver::Create("cameras=0;others=31c5;table=" + table, &error);
    CVeltCy3Cam first(nullptr, other);
    ASSERT_EQ(first.EnumerateDevices(), 1);
    sim_ = sim::CSimDriver::Create("cameras=1;fps=max;table=" + table, &error);
    core_ = std::make_unique<CVeltCamUSB3R7SimpleSdk>();
    core_->SetDriverChannel(sim_);
    core_->SetProductCode(12740);
    core_->CreateController(nullptr, nullptr);

    EXPECT_EQ(core_->CountDevices(12740), 1);
    EXPECT_EQ(core_->CountDevices(0), 2) << "0 counts every record";
    EXPECT_EQ(core_->ProductIdAt(0), 0x31C5);
    EXPECT_EQ(core_->ProductIdAt(1), 0x31C4);
    EXPECT_EQ(core_->InstanceAt(1), 0);
    EXPECT_EQ(core_->InstanceAt(32), -1);
    EXPECT_EQ(core_->VendorIdAt(33), 0);
    EXPECT_EQ(core_->IsDeviceNumberPresent(0), 1);
    EXPECT_EQ(core_->IsDeviceNumberPresent(1), 0) << "no record carries number 1";
    ASSERT_EQ(core_->SelectDeviceNumber(0), 1);
    EXPECT_EQ(core_->Controller()->SelectedIndex(), 1);
    EXPECT_EQ(core_->GetDeviceNumber(), 0);
    EXPECT_TRUE(core_->BuffersStale());
    char name[64];
    EXPECT_EQ(core_->DeviceName(0, name, sizeof(name)), 0)
        << "this model is named by the SDK object";

    ASSERT_EQ(core_->SetGain(300), 1);
    ASSERT_EQ(core_->SelectDeviceNumber(0), 1);
    EXPECT_EQ(core_->GetGain(), 64) << "a fresh sensor object per selection";

    sim_->Unplug(0);
    EXPECT_EQ(core_->IsDeviceNumberPresent(0), 0);
    EXPECT_EQ(core_->CountDevices(12740), 0);
    EXPECT_EQ(core_->ReopenDevice(0), -1);
    sim_->Replug(0);
    EXPECT_EQ(core_->ReopenDevice(0), 0);
}

TEST_F(CameraCore, OpenWaitsForTheReadyFlagOnlyWhereTheFirmwareHasOne) {
    struct Case {
        const char* options;
        int firmware;
        size_t polls;
    };
    const Case cases[] = {
        {"firmware=0x1100;gpio25=1", 0x1100, 0},  // too old to report readiness
        {"firmware=0x1210;gpio25=0", 0x1210, 0},  // flag not set
        {"firmware=0x1210;gpio25=1", 0x1210, 1},  // ready at once
        {"firmware=0x1210;gpio25=1;clock=virtual;faults=ready-stuck@1-3", 0x1210, 4},
    };
    for (const Case& c : cases) {
        Open(c.options);
        EXPECT_EQ(test::VendorRequests(*sim_, 0xC3).size(), c.polls) << c.options;
        EXPECT_EQ(test::Requests(*sim_, kIoctlResetPort).size(), 1u) << "the port is reset first";
        EXPECT_EQ(core_->InfoBlock()[24] | (core_->InfoBlock()[25] << 8), c.firmware)
            << "the core keeps the information block";
    }
}

TEST_F(CameraCore, AStuckReadyFlagFailsTheOpenAfter400PollsWithInterfaceResets) {
    Create("clock=virtual;faults=ready-stuck");
    ASSERT_EQ(core_->CountDevices(12740), 1);
    const uint32_t start = sim_->Clock().TickMs();
    auto realStart = Clock::now();
    EXPECT_EQ(core_->SelectDeviceNumber(0), 0);
    EXPECT_LT(Clock::now() - realStart, std::chrono::seconds(20)) << "not 200 real seconds";
    EXPECT_GE(sim_->Clock().TickMs() - start, 200000u) << "400 polls, 500 ms apart";
    EXPECT_EQ(test::VendorRequests(*sim_, 0xC3).size(), 400u);
    uint32_t resets = 0;
    sim_->WithCamera(0, [&](sim::CSimCamera& c) { resets = c.InterfaceResets(); });
    EXPECT_EQ(resets, 8u) << "one every 25 s";
    EXPECT_TRUE(core_->HasSensor()) << "a failed open keeps the sensor";
}

TEST_F(CameraCore, FrameBuffersFollowGeometryAndDepth) {
    Open();
    ASSERT_EQ(core_->AllocateFrameBuffers(), 1);
    EXPECT_EQ(core_->WorkBufferSize(), 3620864u);
    EXPECT_EQ(core_->FrameSize(), 3145728);
    EXPECT_FALSE(core_->BuffersStale());
    auto geometryWrites = [&] {
        std::vector<std::pair<uint8_t, uint8_t>> out;
        for (const auto& w : test::FpgaWrites(*sim_)) {
            if (w.first >= 64 && w.first <= 77) out.push_back(w);
        }
        return out;
    };
    const std::vector<std::pair<uint8_t, uint8_t>> full = {{68, 0},  {69, 8}, {64, 0}, {65, 6},
                                                           {72, 12}, {73, 0}, {76, 0}, {77, 0}};
    EXPECT_EQ(geometryWrites(), full);

    sim_->Recorder().Clear();
    ASSERT_EQ(core_->SetTransferDepth(1), 1);
    EXPECT_EQ(core_->WorkBufferSize(), 7241728u);
    EXPECT_EQ(core_->FrameSize(), 6291456);
    EXPECT_EQ(Fpga(60), 2);
    EXPECT_EQ(geometryWrites(), full) << "same width and height at 16 bits";

    sim_->Recorder().Clear();
    ASSERT_EQ(core_->SetTransferDepth(1), 1);
    EXPECT_TRUE(geometryWrites().empty()) << "same depth: no re-allocation";
    std::vector<std::pair<uint8_t, uint8_t>> depth;
    for (const auto& w : test::FpgaWrites(*sim_)) {
        if (w.first == 60) depth.push_back(w);
    }
    EXPECT_EQ(depth.size(), 1u) << "but register 60 is written again";

    ASSERT_EQ(core_->SetCaptureWindow(0, 0, 2048, 1536, 1), 1);
    EXPECT_TRUE(core_->BuffersStale());
    ASSERT_EQ(core_->AllocateFrameBuffers(), 1);
    EXPECT_EQ(core_->FrameSize(), 1024 * 768 * 2);
    EXPECT_EQ(Fpga(72), 11) << "half readout";
}

TEST_F(CameraCore, SameWindowAgainCostsNothing) {
    Open();
    sim_->Recorder().Clear();
    ASSERT_EQ(core_->AllocateFrameBuffers(), 1);
    sim_->Recorder().Clear();
    EXPECT_EQ(core_->SetCaptureWindow(0, 0, 2048, 1536, 0), 1);
    EXPECT_TRUE(test::I2cWrites(*sim_, 0x48).empty());
    EXPECT_FALSE(core_->BuffersStale());
    EXPECT_EQ(core_->SetCaptureWindow(0, 0, 2040, 1536, 0), 0) << "refused by the sensor";
    int x, y, w, h, m;
    ASSERT_EQ(core_->GetCaptureWindow(&x, &y, &w, &h, &m), 1);
    EXPECT_EQ(w, 2048);
}

TEST_F(CameraCore, ModeOneStoresExactlyOneFrame) {
    Open();
    ASSERT_EQ(core_->StartTransfer(1), 1);
    ASSERT_TRUE(WaitUntilStopped());
    EXPECT_EQ(core_->FramesStored(), 1u);
    EXPECT_EQ(core_->WriteIndex(), 1);
    EXPECT_TRUE(core_->ThreadEndSignalled());
    EXPECT_EQ(core_->WaitFrame(0), 3);
    EXPECT_EQ(core_->WaitFrame(20), 2) << "the event was set once";
    EXPECT_EQ(test::VendorRequests(*sim_, 0xC2).size(), 1u);
}

// Single frames nobody reads walk the write index once round the ring; the
// frame of each new start must still count as new to the one waiting for it.
TEST_F(CameraCore, EachSingleFrameIsNewWhereverTheRingStands) {
    Open();
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(core_->StartTransfer(1), 1);
        EXPECT_EQ(core_->WaitFrame(3000), 3) << "frame " << i;
        ASSERT_TRUE(WaitUntilStopped());
    }
}

TEST_F(CameraCore, ModeTwoRealignsTheRingToTheReadMark) {
    Open();
    // Four frames bring the write index round to 0; reading there sets the read mark 0.
    for (int i = 0; i < 4; ++i) Snap();
    ASSERT_EQ(core_->WriteIndex(), 0);
    EXPECT_EQ(core_->ReadMark(), 0);
    // One more frame moves the write index on to 1.
    ASSERT_EQ(core_->StartTransfer(1), 1);
    ASSERT_TRUE(WaitUntilStopped());
    ASSERT_EQ(core_->WriteIndex(), 1);
    auto headerCounterOfBuffer0 = [&] {
        int32_t wordB = 0;
        core_->ReadFrame(nullptr, core_->FrameSize(), nullptr, nullptr, &wordB, nullptr, nullptr, 1,
                         1);
        return wordB;
    };
    ASSERT_EQ(headerCounterOfBuffer0(), 5);
    ASSERT_EQ(core_->StartTransfer(2), 1);
    ASSERT_TRUE(WaitUntilStopped());
    EXPECT_EQ(core_->WriteIndex(), 1) << "the frame went into buffer 0";
    EXPECT_EQ(headerCounterOfBuffer0(), 6);
    EXPECT_EQ(core_->BufferFrameCounter(0), 5) << "mode 2 keeps the last frame counter";
}

TEST_F(CameraCore, ModeThreeReadsOnlyAHeader) {
    Open();
    ASSERT_EQ(core_->StartTransfer(3), 1);
    ASSERT_TRUE(WaitUntilStopped());
    EXPECT_EQ(core_->FramesStored(), 0u);
    EXPECT_EQ(core_->LastFrameCounter(), 1);
}

TEST_F(CameraCore, ContinuousModeKeepsTheRingGoingAndReadsTheNewest) {
    Open();
    ASSERT_EQ(core_->StartTransfer(0), 1);
    std::vector<uint8_t> frame(static_cast<size_t>(core_->FrameSize()));
    int32_t last = 0;
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(WaitNewFrame(), 3);
        int32_t counter = 0, a = 0, b = 0, c = 0, d = 0;
        ASSERT_EQ(core_->ReadNewestFrameEx(frame.data(), frame.size(), &counter, &a, &b, &c, &d, 1),
                  0);
        EXPECT_GT(counter, last);
        EXPECT_EQ(b, counter) << "header word B is the frame counter";
        EXPECT_EQ(c, 2048);
        EXPECT_EQ(d, 1536);
        last = counter;
    }
    EXPECT_EQ(core_->StopTransfer(1), 1);
    EXPECT_FALSE(core_->IsRunning());
    EXPECT_EQ(core_->AcquisitionMode(), 0);
    EXPECT_EQ(core_->WaitFrame(0), 2) << "the event is gone after a stop";
    EXPECT_GE(test::VendorRequests(*sim_, 0xC0).size(), 1u) << "the camera was told to stop";
}

TEST_F(CameraCore, TriggerModeAsksForFramesOnlyAfterATrigger) {
    Open("fps=max;clock=virtual");
    ASSERT_EQ(core_->SetTriggerMode(1, 0), 1);
    EXPECT_EQ(core_->OperatingMode(), 1);
    sim_->Recorder().Clear();
    EXPECT_EQ(core_->SetTriggerMode(1, 0), 1);
    EXPECT_TRUE(sim_->Recorder().Records().empty()) << "same mode, no force: nothing happens";
    ASSERT_EQ(core_->StartTransfer(0), 1);
    ASSERT_TRUE(WaitUntilTriggerLoopPolls()) << "the trigger loop never polled the count";
    EXPECT_TRUE(test::VendorRequests(*sim_, 0xC2).empty());
    EXPECT_EQ(core_->FramesStored(), 0u);
    // The waits are hang guards only: a loaded machine may take seconds for a frame.
    sim_->Trigger(0);
    ASSERT_EQ(core_->WaitFrame(15000), 3);
    EXPECT_EQ(test::VendorRequests(*sim_, 0xC2).size(), 1u);
    EXPECT_EQ(core_->LastFrameCounter(), 1) << "the trigger count of FPGA register 8";
    sim_->Trigger(0);
    ASSERT_EQ(core_->WaitFrame(15000), 3);
    EXPECT_EQ(core_->FramesStored(), 2u);
    core_->StopTransfer(1);
}

TEST_F(CameraCore, APeriodicTriggerSourcePacesTheFrames) {
    Open("fps=max;clock=virtual;trigger=20");
    ASSERT_EQ(core_->SetTriggerMode(1, 0), 1);
    auto sent = [&] {
        uint32_t frames = 0;
        sim_->WithCamera(0, [&](sim::CSimCamera& c) { frames = c.FramesSent(); });
        return frames;
    };
    const uint32_t sentBefore = sent();
    // The FPGA counts triggers in 8 bits: add it up while waiting, so that it cannot
    // come round unseen however long a loaded machine takes.
    uint32_t triggers = 0;
    uint8_t last = Fpga(8);
    auto count = [&] {
        const uint8_t now = Fpga(8);
        triggers += static_cast<uint8_t>(now - last);
        last = now;
    };
    ASSERT_EQ(core_->StartTransfer(0), 1);
    const auto end = Clock::now() + std::chrono::seconds(30);
    while (core_->FramesStored() < 3 && Clock::now() < end) {
        count();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    core_->StopTransfer(1);
    count();
    ASSERT_GE(core_->FramesStored(), 3u);
    // At full speed the camera would send frame after frame; paced, one per trigger at
    // most. (Frame requests are no measure: a header read that a loaded machine lets
    // time out asks again for the same frame.)
    EXPECT_LE(sent() - sentBefore, triggers) << "a frame only for a trigger";
    EXPECT_LE(core_->FramesStored(), sent() - sentBefore);
}

TEST_F(CameraCore, FiveFailuresEndTheThreadAndWaitFrameSaysSoAtOnce) {
    Open("fps=max;clock=virtual");
    AddFault("header-timeout");
    ASSERT_EQ(core_->StartTransfer(0), 1);
    EXPECT_EQ(core_->WaitFrame(20000), 1);
    ASSERT_TRUE(WaitUntilStopped());
    EXPECT_EQ(core_->TransferFailed(), 1);
    auto start = Clock::now();
    EXPECT_EQ(core_->WaitFrame(3000), 1);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(100));
    EXPECT_EQ(test::VendorRequests(*sim_, 0xC2).size(), 5u * 16u)
        << "five header reads of 16 requests";
    EXPECT_EQ(test::Requests(*sim_, kIoctlResetPipe).size(), 4u) << "a pipe reset between failures";
    // A successful start later clears the flag.
    sim_->ClearFaults();
    core_->StopTransfer(1);
    ASSERT_EQ(core_->StartTransfer(0), 1);
    EXPECT_EQ(WaitNewFrame(), 3);
    EXPECT_EQ(core_->TransferFailed(), 0);
    core_->StopTransfer(1);
}

TEST_F(CameraCore, StopWithoutWaitingEndsTheReadTheThreadIsStuckIn) {
    // The first payload read never returns unless aborted; the payload time-out is long.
    Open("fps=max;stalls=real;faults=payload-stall@1");
    core_->SetFrameTimeout(20000);
    const size_t reads = PayloadReads();
    ASSERT_EQ(core_->StartTransfer(0), 1);
    // A stop before the held read would leave the fault for the next start's read.
    ASSERT_TRUE(WaitForPayloadRead(reads)) << "the thread never reached the payload";
    const TransferCounters before = core_->Counters();
    auto start = Clock::now();
    EXPECT_EQ(core_->StopTransfer(0), 1);
    const auto took = Clock::now() - start;
    // The read is aborted: the thread ends without its 3 s wait (a loose guard).
    EXPECT_LT(took, std::chrono::milliseconds(2000));
    EXPECT_TRUE(core_->ThreadEndSignalled() || !core_->IsRunning());
    const TransferCounters after = core_->Counters();
    EXPECT_EQ(after.payloadFailures, before.payloadFailures) << "a stop is no transfer failure";
    EXPECT_EQ(after.retries, before.retries);
    // The next start reads frames as before.
    start = Clock::now();
    ASSERT_EQ(core_->StartTransfer(0), 1);
    EXPECT_EQ(WaitNewFrame(), 3);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
    core_->StopTransfer(1);
}

TEST_F(CameraCore, TheNewestFrameAtWriteIndexZeroIsInTheLastBuffer) {
    Open();
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(core_->StartTransfer(1), 1);
        ASSERT_TRUE(WaitUntilStopped());
    }
    ASSERT_EQ(core_->WriteIndex(), 0);
    int32_t counter = 0;
    ASSERT_EQ(core_->ReadFrame(nullptr, core_->FrameSize(), &counter, nullptr, nullptr, nullptr,
                               nullptr, 0, 1),
              1);
    EXPECT_EQ(counter, core_->BufferFrameCounter(3));
    EXPECT_EQ(counter, 4);
    std::vector<uint8_t> frame(static_cast<size_t>(core_->FrameSize()));
    ASSERT_EQ(core_->ReadNewestFrame(frame.data(), frame.size(), 1), 0);
    EXPECT_EQ(core_->ReadMark(), 0);
    EXPECT_EQ(core_->WaitFrame(20), 2) << "nothing new since the read";
}

TEST_F(CameraCore, ReadoutChecksCapacityAndTurnsTheFrame) {
    Open("fps=max");
    ASSERT_EQ(core_->SetCaptureWindow(0, 0, 256, 64, 0), 1);
    ASSERT_EQ(core_->SetTransferDepth(1), 1);
    std::vector<uint8_t> upright = Snap(1);
    const size_t size = upright.size();
    ASSERT_EQ(size, 256u * 64u * 2u);

    std::vector<uint8_t> buffer(size + 16, 0xEE);
    EXPECT_EQ(core_->ReadFrame(buffer.data(), size - 1, nullptr, nullptr, nullptr, nullptr, nullptr,
                               0, 1),
              0);
    EXPECT_EQ(buffer[0], 0xEE) << "nothing copied";
    EXPECT_EQ(core_->ReadNewestFrame(buffer.data(), size - 1, 1), -1)
        << "the caller's real capacity counts";
    EXPECT_EQ(core_->ReadFirstBuffer(nullptr, size, 1), -2);

    int32_t counter = -5, a = 0, b = 0, c = 0, d = 0;
    EXPECT_EQ(core_->ReadFrame(nullptr, size, &counter, &a, &b, &c, &d, 0, 1), 1);
    EXPECT_EQ(counter, b);
    EXPECT_EQ(c, 256);

    // Order 0 keeps the row order and only reverses each row: the same picture upside down.
    std::vector<uint8_t> flipped(size);
    ASSERT_EQ(
        core_->ReadFrame(flipped.data(), size, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0),
        1);
    const size_t row = 256 * 2;
    for (int r = 0; r < 64; ++r) {
        ASSERT_EQ(std::memcmp(flipped.data() + r * row, upright.data() + (63 - r) * row, row), 0)
            << r;
    }
    // 16-bit samples keep their byte order: 12-bit data left-aligned, low nibble 0.
    for (size_t i = 0; i < size; i += 2) ASSERT_EQ(upright[i] & 0x0F, 0) << i;
}

TEST_F(CameraCore, SingleFrameCaptureOnTheCallersThread) {
    Open();
    EXPECT_EQ(core_->CaptureSingleFrame(), 0);
    EXPECT_EQ(core_->TransferFailed(), 0);
    EXPECT_EQ(core_->BufferFrameCounter(0), 1);
    EXPECT_EQ(core_->WriteIndex(), 0) << "the ring is not touched";
    std::vector<uint8_t> frame(static_cast<size_t>(core_->FrameSize()));
    EXPECT_EQ(core_->ReadFirstBuffer(frame.data(), frame.size(), 1), 0);
    EXPECT_EQ(frame[0], 191) << "top left: the white bar";

    sim_->Unplug(0);
    EXPECT_EQ(core_->CaptureSingleFrame(), 0);
    EXPECT_EQ(core_->TransferFailed(), 1) << "no camera, no frame";
}

TEST_F(CameraCore, SettingsForwardAndKeepTheFrameTimeoutInStep) {
    Open("fps=max;clock=virtual");
    EXPECT_EQ(core_->SetExposureTime(20000), 1);
    EXPECT_EQ(core_->FrameTimeout(), 5000u);
    EXPECT_EQ(core_->GetExposureTime(), 20000);
    EXPECT_EQ(core_->GetExposureLines(), 177295);
    EXPECT_EQ(core_->SetExposureTime(60000), 1);
    EXPECT_EQ(core_->FrameTimeout(), 12000u) << "twice the asked exposure";
    EXPECT_EQ(core_->GetExposureTime(), 20000) << "the sensor clamps";
    EXPECT_EQ(core_->SetGain(480), 1);
    EXPECT_EQ(core_->GetGain(), 480);
    EXPECT_EQ(core_->GetGainMax(), 480);
    EXPECT_EQ(core_->GetExposureTimeMin(), 1);
    EXPECT_EQ(core_->GetFullWidth(), 2048);
    EXPECT_EQ(core_->GetDefaultHeight(), 1536);
    EXPECT_EQ(core_->IsHWindowSupported(), 1);
    EXPECT_EQ(core_->IsMirrorHSupported(), 1);
    EXPECT_EQ(core_->SetMirrorV(1), 1);
    EXPECT_EQ(core_->GetMirrorV(), 1);
    EXPECT_EQ(core_->GetColorGainMax(), 0);
    EXPECT_EQ(core_->SetColorGainRed(0), 0) << "no colour gains on this sensor";
    EXPECT_EQ(core_->IsPeltierSupported(), 0);
    EXPECT_EQ(core_->QueryInternalCorrection(0), 0);
    EXPECT_EQ(core_->IsExposureMsSupported(), 0);
    EXPECT_EQ(core_->SetExposureMs(10.0), 0);
    EXPECT_EQ(core_->FrameTimeout(), 11000u);
    EXPECT_EQ(core_->AllowsColor24And64(), 1);
    int rate = 0;
    EXPECT_EQ(core_->SetSamplingRate(0, 0, &rate), 0);
    rate = 30;
    EXPECT_EQ(core_->SetSamplingRate(0, 0, &rate), 1);

    int ok = -1;
    EXPECT_EQ(core_->WriteFpgaRegister(0x107, 0x1A5), 1);
    EXPECT_EQ(core_->ReadFpgaRegister(7, &ok), 0xA5);
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(core_->WriteSensorRegister(0x0454, 0x51), 1);
    ok = 0;
    EXPECT_EQ(core_->ReadSensorRegister(0x0454, &ok), 0x51);
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(core_->WaitFpgaReady(1000), 1);
    AddFault("fpga-busy");
    EXPECT_EQ(core_->WaitFpgaReady(1000), 0);
    sim_->ClearFaults();
    AddFault("i2c-refuse:0x40.7");
    ok = 1;
    EXPECT_EQ(core_->ReadFpgaRegister(7, &ok), 0);
    EXPECT_EQ(ok, 0);
    sim_->ClearFaults();

    EXPECT_EQ(core_->WriteEepromByte1080(0x42), 1);
    uint8_t byte = 0;
    EXPECT_EQ(core_->ReadEepromByte1080(&byte), 1);
    EXPECT_EQ(byte, 0x42);
    EXPECT_EQ(core_->ReadEeprom(0x1040, &byte), 1);
    EXPECT_EQ(byte, 'V');
}

TEST_F(CameraCore, WithoutASensorEverySettingFails) {
    CVeltCamUSB3R7SimpleSdk core;
    EXPECT_EQ(core.SetExposureTime(100), 0);
    EXPECT_EQ(core.SetGain(100), 0);
    EXPECT_EQ(core.GetGain(), 0);
    EXPECT_EQ(core.SetCaptureWindow(0, 0, 2048, 1536, 0), 0);
    EXPECT_EQ(core.SetTriggerMode(1, 1), 0);
    EXPECT_EQ(core.SetTransferDepth(1), 0);
    EXPECT_EQ(core.WriteFpgaRegister(7, 1), 0);
    EXPECT_EQ(core.StartTransfer(0), 0) << "no controller";
    EXPECT_EQ(core.CaptureSingleFrame(), 2);
    EXPECT_EQ(core.WaitFrame(10), 2);
    EXPECT_EQ(core.AllowsMono16(), 1);
}

}  // namespace
}  // namespace veltcam
