// The IMX265 class against the simulated camera: window, readout mode, exposure,
// gain, mirror, frame rate and trigger programming, checked on the registers the
// simulated sensor and FPGA received.
#include <gtest/gtest.h>

#include <functional>

#include "sensor/CSensorBase.h"
#include "sensor/CSensorIMX265.h"
#include "support/SimTestSupport.h"

namespace veltcam {
namespace {

class SensorTest : public ::testing::Test {
  protected:
    // A virtual clock: the 100 ms pauses of trigger programming pass at once.
    void Open(const std::string& options = "clock=virtual") {
        sim_ = test::MakeSim(options);
        controller_ = test::OpenController(sim_);
        sensor_ = std::make_unique<CSensorIMX265>(controller_.get());
    }
    int Reg(int reg) {
        int value = -1;
        sim_->WithCamera(0, [&](sim::CSimCamera& c) { value = c.Sensor().Written(reg); });
        return value;
    }
    int Reg16(int low) { return Reg(low) | (Reg(low + 1) << 8); }
    int FrameLengthRegister() {
        return Reg(0x0210) | (Reg(0x0211) << 8) | ((Reg(0x0212) & 0xF) << 16);
    }
    int ShutterRegister() { return Reg(0x028D) | ((Reg(0x028E) & 0xF) << 8); }
    uint8_t Fpga(uint8_t reg) {
        uint8_t value = 0;
        sim_->WithCamera(0, [&](sim::CSimCamera& c) { value = c.FpgaRegister(reg); });
        return value;
    }
    SensorInfo Info() {
        SensorInfo info;
        sensor_->GetSensorInfo(&info);
        return info;
    }
    void AddFault(const std::string& text) {
        sim::FaultSpec fault;
        std::string error;
        ASSERT_TRUE(sim::ParseFault(text, &fault, &error)) << error;
        sim_->AddFault(fault);
    }

    std::shared_ptr<sim::CSimDriver> sim_;
    std::unique_ptr<CVeltCy3Cam> controller_;
    std::unique_ptr<CSensorIMX265> sensor_;
};

TEST_F(SensorTest, ConstructedWithTheCameraDefaults) {
    Open();
    SensorInfo info = Info();
    EXPECT_EQ(info.full_width, 2048);
    EXPECT_EQ(info.full_height, 1536);
    EXPECT_EQ(info.frame_length, 1576);
    EXPECT_EQ(info.line_length, 2256);
    EXPECT_EQ(info.gain, 64);
    EXPECT_EQ(info.gain_max, 480);
    EXPECT_EQ(info.lines_max, 0xFFFFF);
    EXPECT_EQ(info.exposure, 170);
    EXPECT_EQ(info.exposure_max, 20000);
    EXPECT_EQ(info.clock_constant, 54545);
    EXPECT_EQ(info.orientation, 4);
    int mode = 0;
    sensor_->GetTriggerMode(&mode);
    EXPECT_EQ(mode, 15) << "no trigger mode chosen yet";
    EXPECT_TRUE(sim_->Recorder().Records().empty()) << "construction touches no device";
}

TEST_F(SensorTest, FullWindowIsCountedFromTheFarCorner) {
    Open();
    ASSERT_TRUE(sensor_->SetCaptureWindow(0, 2048, 0, 1536, 0));
    EXPECT_EQ(Reg16(0x0510), 8);
    EXPECT_EQ(Reg16(0x0512), 8);
    EXPECT_EQ(Reg16(0x0514), 2048);
    EXPECT_EQ(Reg16(0x0516), 1540);
    EXPECT_EQ(Reg(0x0500), 3);
    EXPECT_EQ(Reg(0x020D), 0);
    EXPECT_EQ(FrameLengthRegister(), 1568);
    SensorInfo info = Info();
    EXPECT_EQ(info.frame_length, 1568);
    EXPECT_EQ(info.line_length, 2256);
    EXPECT_EQ(info.readout_mode, 0);
    // A window away from the origin: start = full size - origin - size + 8.
    ASSERT_TRUE(sensor_->SetCaptureWindow(512, 1024, 256, 512, 0));
    EXPECT_EQ(Reg16(0x0510), 2048 - 512 - 1024 + 8);
    EXPECT_EQ(Reg16(0x0512), 1536 - 256 - 512 + 8);
    EXPECT_EQ(Reg16(0x0516), 516);
    EXPECT_EQ(Info().frame_length, 544);
}

TEST_F(SensorTest, HalfReadoutHalvesToMultiplesOfFour) {
    Open();
    struct Case {
        int x, width, y, height;
        int outWidth, outHeight;
    };
    for (Case c : {Case{0, 2048, 0, 1536, 1024, 768}, Case{4, 96, 8, 100, 48, 48},
                   Case{0, 2016, 0, 1532, 1008, 764}}) {
        sim_->Recorder().Clear();
        ASSERT_TRUE(sensor_->SetCaptureWindow(c.x, c.width, c.y, c.height, 1)) << c.width;
        SensorInfo info = Info();
        EXPECT_EQ(info.window_width, c.outWidth);
        EXPECT_EQ(info.window_height, c.outHeight);
        EXPECT_EQ(info.frame_length, 804);
        EXPECT_EQ(info.line_length, 2212);
        EXPECT_EQ(info.readout_mode, 1);
        EXPECT_EQ(Reg(0x020D), 0x11);
        EXPECT_EQ(Reg(0x0500), 0);
        for (const auto& [reg, value] : test::RegisterWrites16(*sim_, 0x48)) {
            EXPECT_FALSE(reg >= 0x0510 && reg <= 0x0517)
                << "half readout leaves the window registers";
        }
    }
}

TEST_F(SensorTest, MisalignedOrOversizedWindowsAreRefusedUntouched) {
    Open();
    ASSERT_TRUE(sensor_->SetCaptureWindow(0, 2048, 0, 1536, 0));
    const SensorInfo before = Info();
    struct Case {
        int x, width, y, height, mode;
    };
    const Case refused[] = {
        {0, 2040, 0, 1536, 0},   // width not a multiple of 16
        {8, 2048, 0, 1536, 0},   // beyond the array
        {0, 2048, 0, 1538, 0},   // taller than the array
        {1, 1024, 0, 512, 0},    // odd origin
        {0, 1024, 0, 510, 0},    // height not a multiple of 4
        {2, 1024, 0, 512, 1},    // half readout: origin on multiples of 4
        {0, 1008, 0, 512, 1},    // half readout: width a multiple of 32
        {0, 2032, 0, 1536, 2},   // other modes: width a multiple of 64
        {-16, 1024, 0, 512, 0},  // before the array
        {0, 0, 0, 512, 0},       // nothing
    };
    sim_->Recorder().Clear();
    for (const Case& c : refused) {
        EXPECT_FALSE(sensor_->SetCaptureWindow(c.x, c.width, c.y, c.height, c.mode))
            << c.x << " " << c.width << " " << c.y << " " << c.height << " " << c.mode;
    }
    EXPECT_TRUE(sim_->Recorder().Records().empty());
    const SensorInfo after = Info();
    EXPECT_EQ(after.window_width, before.window_width);
    EXPECT_EQ(after.frame_length, before.frame_length);
}

TEST_F(SensorTest, ExposureUnitsBecomeLinesAndShutter) {
    Open();
    ASSERT_TRUE(sensor_->SetCaptureWindow(0, 2048, 0, 1536, 0));
    // 17.0 ms: 1507 lines in the 1568-line frame.
    ASSERT_TRUE(sensor_->SetExposureTime(170));
    EXPECT_EQ(Info().lines, 1507);
    EXPECT_EQ(ShutterRegister(), 61);
    EXPECT_EQ(FrameLengthRegister(), 1568);

    // 2 s: the frame is stretched to lines + 8 and the shutter sits at 8.
    sim_->Recorder().Clear();
    ASSERT_TRUE(sensor_->SetExposureTime(20000));
    EXPECT_EQ(Info().lines, 177295);
    EXPECT_EQ(FrameLengthRegister(), 177303);
    EXPECT_EQ(ShutterRegister(), 8);
    EXPECT_EQ(Info().frame_length, 1568) << "the configured frame length stays";
    std::vector<uint16_t> frameLengthOrder;
    for (const auto& [reg, value] : test::RegisterWrites16(*sim_, 0x48)) {
        if (reg >= 0x0210 && reg <= 0x0212) frameLengthOrder.push_back(reg);
    }
    EXPECT_EQ(frameLengthOrder, (std::vector<uint16_t>{0x0212, 0x0210, 0x0211}))
        << "a frame length above 16 bits goes top byte first";

    // Back to a short exposure: the configured frame length returns.
    ASSERT_TRUE(sensor_->SetExposureTime(170));
    EXPECT_EQ(FrameLengthRegister(), 1568);

    // 0 is raised to the minimum of one unit: 8 lines free-run.
    ASSERT_TRUE(sensor_->SetExposureTime(0));
    EXPECT_EQ(Info().exposure, 1);
    EXPECT_EQ(Info().lines, 8);
    EXPECT_EQ(ShutterRegister(), 1560);
}

TEST_F(SensorTest, TriggerModeConvertsWithItsOwnLineTimeAndProgramsTheFpga) {
    Open();
    ASSERT_TRUE(sensor_->SetCaptureWindow(0, 2048, 0, 1536, 0));
    ASSERT_TRUE(sensor_->SetTriggerMode(1));
    EXPECT_EQ(Info().lines, 1609) << "170 units at 10.56 us per line";
    EXPECT_EQ(Reg(0x020A), 1);
    EXPECT_EQ(Reg(0x020B), 1);
    EXPECT_EQ(Reg(0x0236), 0xF0);
    EXPECT_EQ(Reg(0x02AA), 1);
    EXPECT_EQ(Reg(0x02AE), 0);
    EXPECT_EQ(Reg(0x0208), 0) << "hold released";
    EXPECT_EQ(Fpga(133) | (Fpga(134) << 8) | (Fpga(155) << 16), 1609);
    EXPECT_EQ(Fpga(84) | (Fpga(85) << 8), 576);
    EXPECT_EQ(Fpga(80) | (Fpga(81) << 8), 1609 + 1536 + 19);
    EXPECT_EQ(Fpga(88), 1);

    ASSERT_TRUE(sensor_->SetExposureTime(0));
    EXPECT_EQ(Info().lines, 9) << "one unit is 9 lines in trigger mode";
    EXPECT_EQ(Fpga(133), 9) << "every exposure change reprograms the trigger timing";

    ASSERT_TRUE(sensor_->SetTriggerMode(0));
    EXPECT_EQ(Reg(0x020A), 0);
    EXPECT_EQ(Reg(0x020B), 0);
    EXPECT_EQ(Fpga(88), 0);
    EXPECT_EQ(Info().lines, 8);
}

TEST_F(SensorTest, GainIsLimitedToItsRange) {
    Open();
    ASSERT_TRUE(sensor_->SetGain(500));
    EXPECT_EQ(Info().gain, 480);
    EXPECT_EQ(Reg(0x0404), 480 & 0xFF);
    EXPECT_EQ(Reg(0x0405), 1);
    ASSERT_TRUE(sensor_->SetGain(200));
    EXPECT_EQ(Reg(0x0405), 0);
}

TEST_F(SensorTest, MirrorBitsKeepEachOther) {
    Open();
    ASSERT_TRUE(sensor_->SetMirrorH(true));
    EXPECT_EQ(Reg(0x020E), 2);
    ASSERT_TRUE(sensor_->SetMirrorV(true));
    EXPECT_EQ(Reg(0x020E), 3);
    ASSERT_TRUE(sensor_->SetMirrorH(false));
    EXPECT_EQ(Reg(0x020E), 1);
    int on = -1;
    sensor_->GetMirrorV(&on);
    EXPECT_EQ(on, 1);
}

TEST_F(SensorTest, FrameRate) {
    Open();
    ASSERT_TRUE(sensor_->SetCaptureWindow(0, 2048, 0, 1536, 0));
    const SensorInfo before = Info();
    sim_->Recorder().Clear();
    int zero = 0, negative = -5;
    EXPECT_FALSE(sensor_->SetFrameRate(0, &zero));
    EXPECT_FALSE(sensor_->SetFrameRate(0, &negative));
    EXPECT_FALSE(sensor_->SetFrameRate(0, nullptr));
    int thirty = 30;
    EXPECT_FALSE(sensor_->SetFrameRate(1, &thirty)) << "only flag 0 is known";
    EXPECT_EQ(Info().frame_length, before.frame_length);
    EXPECT_TRUE(sim_->Recorder().Records().empty());

    ASSERT_TRUE(sensor_->SetFrameRate(0, &thirty));
    const double lineTime = 2256 * 3 / 2.2 / 54545;
    EXPECT_EQ(Info().frame_length, static_cast<int>(100000.0 / 30 / lineTime));
    EXPECT_EQ(FrameLengthRegister(), Info().frame_length) << "written by the exposure step";
    EXPECT_EQ(Info().exposure, 170) << "exposure time kept";

    int fast = 1000000;
    ASSERT_TRUE(sensor_->SetFrameRate(0, &fast));
    EXPECT_EQ(Info().frame_length, 1536 + 40);
    int slow = 1;
    ASSERT_TRUE(sensor_->SetFrameRate(0, &slow));
    EXPECT_EQ(Info().frame_length, 65535);
}

TEST_F(SensorTest, OutputBitsReapplyTheRequestedWindow) {
    Open();
    ASSERT_TRUE(sensor_->SetCaptureWindow(0, 2048, 0, 1536, 1));
    ASSERT_TRUE(sensor_->SetOutputBits(true));
    EXPECT_EQ(Info().output_bits, 16);
    EXPECT_EQ(Info().window_width, 1024) << "not halved a second time";
    EXPECT_EQ(Info().window_height, 768);
}

TEST_F(SensorTest, RegisterAccessWaitsForAnIdleFpga) {
    Open();
    AddFault("fpga-busy@1-3");
    sim_->Recorder().Clear();
    ASSERT_TRUE(sensor_->WriteRegister(0x0404, 0x40));
    int statusReads = 0;
    for (const auto& bytes : test::I2cWrites(*sim_, 0x40))
        statusReads += bytes == std::vector<uint8_t>{2};
    EXPECT_EQ(statusReads, 4);
    EXPECT_EQ(test::RegisterWrites16(*sim_, 0x48),
              (std::vector<std::pair<uint16_t, uint8_t>>{{0x0404, 0x40}}));

    sim_->ClearFaults();
    AddFault("fpga-busy");
    EXPECT_FALSE(sensor_->WriteRegister(0x0404, 0x41)) << "100 busy polls";
    int value = 0;
    EXPECT_FALSE(sensor_->ReadRegister(0x0404, &value));
    sim_->ClearFaults();

    // Raw access: three bytes, high register byte first; a read sets the address first.
    sim_->Recorder().Clear();
    ASSERT_TRUE(sensor_->WriteRegisterRaw(0x1234, 0x56));
    ASSERT_TRUE(sensor_->ReadRegisterRaw(0x1234, &value));
    EXPECT_EQ(value, 0x56);
    auto writes = test::I2cWrites(*sim_, 0x48);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0], (std::vector<uint8_t>{0x12, 0x34, 0x56}));
    EXPECT_EQ(writes[1], (std::vector<uint8_t>{0x12, 0x34}));
    auto reads = test::VendorRequests(*sim_, 0x31);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].fields.index, 0x49);
    EXPECT_EQ(reads[0].fields.value, 1);
}

TEST_F(SensorTest, InitializeWaitsForTheSensorAndProgramsTheDefaults) {
    Open("clock=virtual;fpga=300;faults=sensor-busy@1-2,sensor-if-down@1");
    ASSERT_TRUE(sensor_->Initialize());
    int readinessReads = 0;
    for (const auto& r : test::VendorRequests(*sim_, 0x31))
        readinessReads += r.fields.index == 0x5F;
    EXPECT_EQ(readinessReads, 3) << "polled until the first byte read 0";
    EXPECT_EQ(Fpga(96), 1);
    EXPECT_EQ(Reg(0x0412), 0x08);
    EXPECT_EQ(Reg(0x0454), 0x50);
    EXPECT_EQ(Reg(0x0404), 64);
    EXPECT_EQ(Info().lines, 1507) << "the window re-applied the default exposure";
    EXPECT_EQ(FrameLengthRegister(), 1568);
    // FPGA 300 < 309: the sensor interface was down once and got its 129 pulse.
    std::vector<std::pair<uint8_t, uint8_t>> pulses;
    for (const auto& w : test::FpgaWrites(*sim_)) {
        if (w.first == 129) pulses.push_back(w);
    }
    EXPECT_EQ(pulses, (std::vector<std::pair<uint8_t, uint8_t>>{{129, 1}, {129, 0}}));

    Open("clock=virtual;faults=sensor-busy");
    EXPECT_FALSE(sensor_->Initialize()) << "300 polls without the sensor";
}

TEST_F(SensorTest, SharedFpgaRoutines) {
    Open();
    // Register 16 is the version: writes do not stick, so verification fails 10 times.
    sim_->Recorder().Clear();
    EXPECT_FALSE(sensor_->WriteFpgaVerified(16, 0x12));
    int writes = 0;
    for (const auto& w : test::FpgaWrites(*sim_)) writes += w.first == 16;
    EXPECT_EQ(writes, 10);
    EXPECT_TRUE(sensor_->WriteFpgaVerified(80, 0x34));

    uint16_t version = 0;
    ASSERT_TRUE(sensor_->GetFpgaVersion(&version));
    EXPECT_EQ(version, 320);
    sim_->Recorder().Clear();
    ASSERT_TRUE(sensor_->GetFpgaVersion(&version));
    EXPECT_TRUE(sim_->Recorder().Records().empty()) << "cached after the first read";

    uint32_t resetsBefore = 0, resetsAfter = 0, rearms = 0;
    sim_->WithCamera(0, [&](sim::CSimCamera& c) { resetsBefore = c.InterfaceResets(); });
    ASSERT_TRUE(sensor_->ResetSensorInterface());
    ASSERT_TRUE(sensor_->RearmFrameOutput());
    sim_->WithCamera(0, [&](sim::CSimCamera& c) {
        resetsAfter = c.InterfaceResets();
        rearms = c.Rearms();
    });
    EXPECT_EQ(resetsAfter, resetsBefore + 1);
    EXPECT_EQ(rearms, 1u);
}

TEST_F(SensorTest, TheBaseAnswersNoWithoutTouchingTheDevice) {
    Open();
    CSensorBase base(controller_.get(), 0x48);
    sim_->Recorder().Clear();
    int value = 77;
    EXPECT_FALSE(base.SetGain(10));
    EXPECT_FALSE(base.GetGain(&value));
    EXPECT_EQ(value, 77) << "the caller's pre-set value stays";
    EXPECT_FALSE(base.SetExposureTime(100));
    EXPECT_FALSE(base.SetCaptureWindow(0, 2048, 0, 1536, 0));
    EXPECT_FALSE(base.SetColorGainRed(1));
    EXPECT_FALSE(base.IsPeltierSupported());
    EXPECT_FALSE(base.IsFeatureSupported(0));
    EXPECT_FALSE(base.IsExposureMsSupported());
    EXPECT_FALSE(base.PowerUp());
    EXPECT_EQ(base.WidthFactor(), -1);
    EXPECT_TRUE(sim_->Recorder().Records().empty());

    // Without a controller nothing reaches a register.
    CSensorIMX265 orphan(nullptr);
    EXPECT_FALSE(orphan.WriteRegisterRaw(0x0404, 1));
    EXPECT_FALSE(orphan.WriteRegister(0x0404, 1));
    EXPECT_FALSE(orphan.WriteFpgaVerified(80, 1));
    EXPECT_FALSE(orphan.SetTriggerMode(1));
    EXPECT_FALSE(orphan.SetGain(10));
}

}  // namespace
}  // namespace veltcam
