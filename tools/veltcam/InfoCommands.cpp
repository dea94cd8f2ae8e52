// list, info and settings: what is attached and how it is set, without capturing.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "CaptureOptions.h"
#include "Commands.h"
#include "SettingNames.h"
#include "VeltCamSdk.h"
#include "VeltCamSdkEx.h"

namespace veltcam::tool {
namespace {

// What each bus speed is called, and what bulk transfers reach on it in practice:
// a USB 2 port moves about 40 MB/s of payload, a USB 1 port about 1 MB/s, a low-speed
// port no bulk transfers at all (0, as for the speeds that need no warning).
struct BusSpeedText {
    const char* name;
    double bytesPerSecond;
};

BusSpeedText SpeedText(int speed) {
    switch (speed) {
        case VELTCAM_EX_BUS_LOW_SPEED:
            return {"USB 1 (Low-Speed)", 0.0};
        case VELTCAM_EX_BUS_FULL_SPEED:
            return {"USB 1 (Full-Speed)", 1e6};
        case VELTCAM_EX_BUS_HIGH_SPEED:
            return {"USB 2 (High-Speed)", 40e6};
        case VELTCAM_EX_BUS_SUPER_SPEED:
            return {"USB 3 (SuperSpeed)", 0.0};
        default:
            return {"bus speed unknown", 0.0};
    }
}

// One line for a camera below SuperSpeed: the full frame rate it can reach at 8 bits,
// the port's bulk rate over the bytes of one full frame (one byte per pixel).
void WarnIfSlow(VeltCamHandle h, int device, int speed) {
    if (speed == VELTCAM_EX_BUS_SUPER_SPEED || speed == VELTCAM_EX_BUS_UNKNOWN) return;
    const BusSpeedText text = SpeedText(speed);
    if (text.bytesPerSecond <= 0.0) {
        std::printf(
            "  warning: device %d is on a %s port, which carries no bulk transfers: it "
            "cannot stream there; plug it into a USB 3 port with a USB 3 cable\n",
            device, text.name);
        return;
    }
    VeltCamDeviceInfo info{};
    info.size = sizeof info;
    if (VeltCam_GetCameraInfo(h, &info) == 0 || info.maxWidth <= 0 || info.maxHeight <= 0) {
        info.maxWidth = 2048;
        info.maxHeight = 1536;
    }
    const double frameBytes = static_cast<double>(info.maxWidth) * info.maxHeight;
    const int rate = static_cast<int>(text.bytesPerSecond / frameBytes);
    std::printf(
        "  warning: device %d is on a %s port: full frames (%d x %d, 8 bits) reach "
        "about %d frames/s there (about %.0f MB/s over %.0f bytes a frame); plug it "
        "into a USB 3 port with a USB 3 cable\n",
        device, text.name, info.maxWidth, info.maxHeight, rate, text.bytesPerSecond / 1e6,
        frameBytes);
}

}  // namespace

void AddListCommand(CLI::App& app, ToolContext& context) {
    auto* command = app.add_subcommand("list", "list the attached cameras");
    command->callback([&context] {
        SessionOptions options = context.session;
        options.allowNoCamera = true;
        CCameraSession session(options);
        VeltCamHandle h = session.Handle();
        if (!session.Attached()) {
            std::printf("0 cameras\n%s\n", kNoCameraHint);
            return;
        }
        char names[VELTCAM_MAX_ENUM_DEVICES][VELTCAM_DEVICE_NAME_SIZE] = {};
        int count = VeltCam_EnumDevice(h, names);
        std::printf("%d camera%s\n", count, count == 1 ? "" : "s");
        // Device numbers are not positions in the list: look each one up.
        for (int device = 0; device < 32; ++device) {
            char name[VELTCAM_DEVICE_NAME_SIZE] = {};
            if (VeltCam_GetDeviceName(h, device, name, sizeof name) == 0) continue;
            char serial[VELTCAM_SERIAL_NUMBER_SIZE] = {};
            std::string serialText = "?";
            int speed = -1;
            if (VeltCam_SetDeviceNumber(h, device) != 0) {
                if (VeltCam_ReadSerialNumberA(h, serial, sizeof serial) != 0) serialText = serial;
                if (VeltCamEx_GetBusSpeed(h, &speed) == 0) speed = -1;
            }
            std::printf("device %d  %s  serial %s  %s\n", device, name, serialText.c_str(),
                        speed < 0 ? "bus speed ?" : SpeedText(speed).name);
            if (speed >= 0) WarnIfSlow(h, device, speed);
        }
        session.ClearErrors();
    });
}

void AddInfoCommand(CLI::App& app, ToolContext& context) {
    auto* command = app.add_subcommand("info", "ranges and current values of the camera");
    command->callback([&context] {
        SessionOptions options = context.session;
        options.allowNoCamera = true;
        CCameraSession session(options);
        if (!session.Attached()) {
            std::printf("%s\n", kNoCameraHint);
            return;
        }
        VeltCamHandle h = session.Handle();
        VeltCamDeviceInfo info{};
        info.size = sizeof info;
        session.Check(VeltCam_GetCameraInfo(h, &info), "VeltCam_GetCameraInfo");
        char serial[VELTCAM_SERIAL_NUMBER_SIZE] = {};
        session.Check(VeltCam_ReadSerialNumberA(h, serial, sizeof serial),
                      "reading the serial number");
        int ok = 0;
        int exposure = VeltCam_GetExposureTime(h, &ok);
        session.Check(ok, "reading the exposure");
        int gain = VeltCam_GetGlobalGain(h, &ok);
        session.Check(ok, "reading the gain");
        int tw = 0, x = 0, w = 0, th = 0, y = 0, hh = 0;
        VeltCam_GetCaptureWindowEx(h, &tw, &x, &w, &th, &y, &hh);
        int fpgaOk = 1;
        int fpgaLow = VeltCam_Fpga_ReadRegister(h, 16, &fpgaOk);
        int fpgaHigh = VeltCam_Fpga_ReadRegister(h, 17, &fpgaOk);

        std::printf("serial number    %s\n", serial);
        std::printf("sensor           %d x %d\n", info.maxWidth, info.maxHeight);
        std::printf("exposure         %d (0.1 ms; range %d..%d)\n", exposure, info.exposureMin,
                    info.exposureMax);
        // Cameras without the millisecond exposure interface leave its range at 0.
        if (info.exposureMsMax > 0) {
            std::printf("exposure (ms)    range %.3f..%.3f\n", info.exposureMsMin,
                        info.exposureMsMax);
        }
        std::printf("gain             %d (range %d..%d)\n", gain, info.gainMin, info.gainMax);
        std::printf("colour gain      range %d..%d\n", info.colorGainMin, info.colorGainMax);
        std::printf("window           x %d y %d, %d x %d\n", x, y, w, hh);
        std::printf("colour mode      %d bits per pixel\n", VeltCam_GetColorMode(h));
        std::printf("sub-sampling     %s\n", VeltCam_GetSubSample(h) == 1 ? "half" : "full");
        std::printf("mirror           h %d, v %d\n", VeltCam_GetMirrorH(h), VeltCam_GetMirrorV(h));
        if (fpgaOk != 0) {
            std::printf("FPGA version     %d\n", (fpgaHigh & 0xFF) << 8 | (fpgaLow & 0xFF));
        } else {
            std::printf("FPGA version     unreadable\n");
        }
        std::printf("SDK version      0x%08X\n", static_cast<unsigned>(VeltCam_GetDllVersion()));
        session.ClearErrors();
    });
}

void AddSettingsCommand(CLI::App& app, ToolContext& context) {
    auto* command = app.add_subcommand(
        "settings", "show the image and camera settings, after applying --set NAME=VALUE");
    static std::vector<std::string> settings;
    command->add_option("--set", settings, "setting NAME=VALUE (repeatable; kept by the SDK)")
        ->check(UsageCheck("NAME=VALUE", ParseSetting));
    command->callback([&context] {
        CCameraSession session(context.session);
        ApplySettings(session, settings);
        for (const SettingName& entry : SettingNames()) {
            int ok = 0;
            int value = VeltCam_GetFilterValue(session.Handle(), entry.id, &ok);
            if (ok != 0) std::printf("%-18s %d\n", entry.name, value);
        }
        session.ClearErrors();
    });
}

}  // namespace veltcam::tool
