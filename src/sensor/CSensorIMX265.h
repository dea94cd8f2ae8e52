// The camera's IMX265 sensor (2048 x 1536): window, half-resolution readout,
// exposure in 0.1 ms units converted to lines, gain, mirroring, trigger mode and
// frame rate, all programmed over the controller's I2C bus.
#pragma once

#include <mutex>

#include "sensor/CSensorBase.h"

namespace veltcam {

// Sensor registers (16-bit numbers, 8-bit values).
namespace imx265 {
constexpr int kHold = 0x0208;
constexpr int kTriggerA = 0x020A;
constexpr int kTriggerB = 0x020B;
constexpr int kReadout = 0x020D;
constexpr int kMirror = 0x020E;
constexpr int kFrameLength0 = 0x0210;
constexpr int kFrameLength1 = 0x0211;
constexpr int kFrameLength2 = 0x0212;
constexpr int kTriggerSetup = 0x0236;
constexpr int kShutter0 = 0x028D;
constexpr int kShutter1 = 0x028E;
constexpr int kShutter2 = 0x028F;
constexpr int kTriggerEnable = 0x02AA;
constexpr int kTriggerClear = 0x02AE;
constexpr int kGain0 = 0x0404;
constexpr int kGain1 = 0x0405;
constexpr int kInit0412 = 0x0412;
constexpr int kInit0454 = 0x0454;
constexpr int kWindowEnable = 0x0500;
constexpr int kWindowX0 = 0x0510;
constexpr int kWindowX1 = 0x0511;
constexpr int kWindowY0 = 0x0512;
constexpr int kWindowY1 = 0x0513;
constexpr int kWindowWidth0 = 0x0514;
constexpr int kWindowWidth1 = 0x0515;
constexpr int kWindowHeight0 = 0x0516;
constexpr int kWindowHeight1 = 0x0517;
constexpr uint8_t kBusAddress = 0x48;
constexpr uint8_t kReadinessDevice = 0x5E;
// Exposure units (0.1 ms) per line: free-run, and hardware trigger with the FPGA's
// line timing of variant 1.
constexpr double kUnitsPerLine = 6153.0 / 54545.0;
constexpr double kUnitsPerLineTriggered = 5760.0 / 54545.0;
constexpr int kMaxFrameLength = 0xFFFFF;  // 20-bit register
}  // namespace imx265

class CSensorIMX265 : public CSensorBase {
  public:
    CSensorIMX265(CControllerBase* controller, uint8_t busAddress = imx265::kBusAddress);
    ~CSensorIMX265() override = default;

    bool PowerUp() override { return true; }
    bool Initialize() override;
    bool SetCaptureWindow(int x, int width, int y, int height, int mode) override;
    bool GetCaptureWindow(int* x, int* width, int* y, int* height, int* mode) override;
    bool SetTriggerMode(int mode) override;
    bool GetTriggerMode(int* mode) override;
    bool SetOutputBits(bool sixteen) override;
    bool SetExposureLines(int lines) override;
    bool GetExposureLines(int* lines) override;
    bool SetGain(int value) override;
    bool GetGain(int* value) override;
    bool GetExposureLinesMin(int* value) override;
    bool GetExposureLinesMax(int* value) override;
    bool GetExposureLinesDefault(int* value) override;
    bool GetGainMin(int* value) override;
    bool GetGainMax(int* value) override;
    bool GetGainDefault(int* value) override;
    bool GetColorGainMin(int* value) override;
    bool GetColorGainMax(int* value) override;
    bool GetColorGainDefault(int* value) override;
    bool SetExposureTime(int units) override;
    bool GetExposureTime(int* units) override;
    bool GetExposureTimeMin(int* units) override;
    bool GetExposureTimeMax(int* units) override;
    bool GetExposureTimeDefault(int* units) override;
    bool SetMirrorV(bool on) override;
    bool GetMirrorV(int* on) override;
    bool SetMirrorH(bool on) override;
    bool GetMirrorH(int* on) override;
    bool SetFrameRate(int flag, const int* rate) override;
    bool WriteRegisterRaw(int reg, int value) override;
    bool ReadRegisterRaw(int reg, int* value) override;
    bool WriteRegister(int reg, int value) override;
    bool ReadRegister(int reg, int* value) override;

  private:
    double UnitsPerLine() const;
    // The window as last asked for (not the halved output size), for re-applying it.
    struct Window {
        int x = 0, width = 2048, y = 0, height = 1536, mode = 0;
    };

    std::mutex busLock_;  // keeps a read's address and data transfers together
    Window requested_;
};

}  // namespace veltcam
