// The SDK object over the simulated camera, through the public API: device
// selection and naming, the device-information record, the setting-ID interface
// and the camera settings reaching the sensor.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "VeltCamSdk.h"
#include "api/ExportFrame.h"
#include "imaging/DefectMask.h"
#include "sdk/DriverChannelFactory.h"
#include "sim/CSimDriver.h"
#include "support/PrivateSettingsStore.h"
#include "support/SimTestSupport.h"
#include "support/StoredSettings.h"

namespace veltcam {
namespace {

void Drain(VeltCamHandle handle) {
    while (VeltCam_GetLastError(handle) != 0) {
    }
}

// The codes in the history, newest first, leaving it empty.
std::vector<int> Codes(VeltCamHandle handle) {
    std::vector<int> codes;
    while (int code = VeltCam_GetLastError(handle)) codes.push_back(code);
    return codes;
}

// The simulated driver behind every handle of this process (one per simulator
// setting), for what only the hardware can do: unplugging a camera.
sim::CSimDriver& SdkSimulator() {
    if (test::RealDriver().simulator) return *test::RealDriver().simulator();
    auto simulator = std::dynamic_pointer_cast<sim::CSimDriver>(OpenDriverChannel());
    if (!simulator) throw std::runtime_error("the SDK is not on the simulator");
    return *simulator;
}

class SdkObject : public testing::Test {
protected:
    void Open(const std::string& options = "cameras=1") {
        test::UseSdkSimulator(options);
        handle_ = VeltCam_Initialize(nullptr);
        ASSERT_NE(handle_, 0u);
    }
    void TearDown() override {
        if (handle_ != 0) VeltCam_Release(handle_);
    }

    test::CPrivateSettingsStore store_;
    VeltCamHandle handle_ = 0;
};

TEST_F(SdkObject, ExactlyOneCameraIsSelectedAtInitialisation) {
    Open("cameras=1");
    EXPECT_EQ(VeltCam_GetLastError(handle_), 0);
    int ok = 0;
    // The sensor answers only once a camera is open: its default exposure and gain.
    EXPECT_EQ(VeltCam_GetExposureTime(handle_, &ok), 170);
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(VeltCam_GetGlobalGain(handle_, &ok), 64);
    EXPECT_EQ(VeltCam_SetDeviceNumber(handle_, 0), 1);
}

TEST_F(SdkObject, TwoCamerasEnumerateAndNeedSelecting) {
    Open("cameras=2");
    int ok = 1;
    EXPECT_EQ(VeltCam_GetGlobalGain(handle_, &ok), 0) << "nothing selected with two cameras";
    char names[VELTCAM_MAX_ENUM_DEVICES][VELTCAM_DEVICE_NAME_SIZE];
    std::memset(names, 'x', sizeof names);
    ASSERT_EQ(VeltCam_EnumDevice(handle_, names), 2);
    EXPECT_STREQ(names[0], "VeltCamM40-USB3-R7_01");
    EXPECT_STREQ(names[1], "VeltCamM40-USB3-R7_02");
    for (int i = 2; i < VELTCAM_MAX_ENUM_DEVICES; ++i) EXPECT_STREQ(names[i], "");
    wchar_t wide[VELTCAM_MAX_ENUM_DEVICES][VELTCAM_DEVICE_NAME_SIZE];
    ASSERT_EQ(VeltCam_EnumDeviceW(handle_, wide), 2);
    EXPECT_EQ(std::wstring(wide[1]), L"VeltCamM40-USB3-R7_02");
    EXPECT_EQ(std::wstring(wide[9]), L"");

    char name[32];
    EXPECT_EQ(VeltCam_GetDeviceName(handle_, 1, name, sizeof name), 1);
    EXPECT_STREQ(name, "VeltCamM40-USB3-R7_02");
    Drain(handle_);
    struct Case {
        int number, size, code;
    };
    for (Case c : {Case{0, 18, ERR_PARAMETER}, Case{0, 21, ERR_PARAMETER},  // no room for the terminator
                   Case{32, 32, ERR_NO_DEVICE}, Case{-1, 32, ERR_NO_DEVICE}, Case{2, 32, ERR_NO_DEVICE},
                   // the name's suffix is number + 1: INT_MAX must not overflow it
                   Case{INT_MAX, 32, ERR_NO_DEVICE}, Case{INT_MIN, 32, ERR_NO_DEVICE}}) {
        EXPECT_EQ(VeltCam_GetDeviceName(handle_, c.number, name, c.size), 0) << c.number << "/" << c.size;
        EXPECT_EQ(VeltCam_GetLastError(handle_), c.code) << c.number << "/" << c.size;
    }
    wchar_t wideName[8];
    EXPECT_EQ(VeltCam_GetDeviceNameW(handle_, 0, wideName, 8), 0);
    EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_FAILED);
    EXPECT_EQ(VeltCam_GetDeviceNameW(handle_, INT_MAX, wideName, 8), 0);
    EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_NO_DEVICE);

    EXPECT_EQ(VeltCam_SetDeviceNumber(handle_, 5), 0);
    EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_NO_DEVICE);
    ASSERT_EQ(VeltCam_SetDeviceNumber(handle_, 1), 1);
    EXPECT_EQ(VeltCam_GetGlobalGain(handle_, &ok), 64);
}

// Device numbers stay with the cameras in the device table: with the middle one of
// three unplugged, numbers 0 and 2 remain. Enumeration counts the cameras present,
// while a name asked for by number carries that number.
TEST_F(SdkObject, CamerasAtNumbersZeroAndTwoEnumerateWithoutTheGap) {
    Open("cameras=3");  // discovery at initialisation numbers them 0, 1, 2
    SdkSimulator().Unplug(1);
    if (test::RealDriver().sync) test::RealDriver().sync();  // behind the test driver
    char names[VELTCAM_MAX_ENUM_DEVICES][VELTCAM_DEVICE_NAME_SIZE];
    std::memset(names, 'x', sizeof names);
    ASSERT_EQ(VeltCam_EnumDevice(handle_, names), 2);
    EXPECT_STREQ(names[0], "VeltCamM40-USB3-R7_01");
    EXPECT_STREQ(names[1], "VeltCamM40-USB3-R7_02");
    for (int i = 2; i < VELTCAM_MAX_ENUM_DEVICES; ++i) EXPECT_STREQ(names[i], "") << i;

    Drain(handle_);
    char name[32];
    ASSERT_EQ(VeltCam_GetDeviceName(handle_, 2, name, sizeof name), 1);
    EXPECT_STREQ(name, "VeltCamM40-USB3-R7_03");
    EXPECT_EQ(VeltCam_GetDeviceName(handle_, 1, name, sizeof name), 0);
    EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_NO_DEVICE);
    EXPECT_EQ(VeltCam_SetDeviceNumber(handle_, 1), 0);
    EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_NO_DEVICE);
    ASSERT_EQ(VeltCam_SetDeviceNumber(handle_, 2), 1);
    char serial[32];
    ASSERT_EQ(VeltCam_ReadSerialNumberA(handle_, serial, sizeof serial), 1);
    EXPECT_STREQ(serial, "VCSIM0002") << "number 2 must open the third camera";
}

// Leaving a camera stores its groups under its own number before the next camera's
// are read: the next camera comes up as stored, and coming back finds the changes.
TEST_F(SdkObject, SwitchingCamerasSavesTheOldGroupsBeforeLoadingTheNew) {
    test::WriteDwords("Camera_01\\Gain", {{"Global", 200},
                                          {"ColorG1", 0},
                                          {"ColorR", 0},
                                          {"ColorB", 0},
                                          {"ColorG2", 0},
                                          {"Exposure", 500},
                                          {"V_Mirror", 1},
                                          {"H_Mirror", 0}});
    test::WriteDwords("Camera_01\\Filter", {{"Brightness", -40}});
    test::WriteDwords("Camera_01\\Gray", {{"Mode", 1}});
    Open("cameras=2");
    ASSERT_EQ(VeltCam_SetDeviceNumber(handle_, 0), 1);
    ASSERT_EQ(VeltCam_SetGlobalGain(handle_, 150), 1);
    ASSERT_EQ(VeltCam_SetExposureTime(handle_, 300), 1);
    ASSERT_EQ(VeltCam_SetBrightness(handle_, 25), 1);
    ASSERT_EQ(VeltCam_SetGrayMode(handle_, 2), 1);

    ASSERT_EQ(VeltCam_SetDeviceNumber(handle_, 1), 1);
    EXPECT_EQ(test::StoredInt("Camera_00\\Gain", "Global"), 150);
    EXPECT_EQ(test::StoredInt("Camera_00\\Gain", "Exposure"), 300);
    EXPECT_EQ(test::StoredInt("Camera_00\\Filter", "Brightness"), 25);
    EXPECT_EQ(test::StoredInt("Camera_00\\Gray", "Mode"), 2);
    int ok = 0;
    EXPECT_EQ(VeltCam_GetGlobalGain(handle_, &ok), 200);
    EXPECT_EQ(VeltCam_ReadRegisterEx(handle_, 0x0404, &ok), 200) << "not applied to camera 1";
    EXPECT_EQ(VeltCam_GetExposureTime(handle_, &ok), 500);
    EXPECT_EQ(VeltCam_GetMirrorV(handle_), 1);
    EXPECT_EQ(VeltCam_GetBrightness(handle_, &ok), -40);
    EXPECT_EQ(VeltCam_GetGrayMode(handle_, &ok), 1);

    ASSERT_EQ(VeltCam_SetDeviceNumber(handle_, 0), 1);
    EXPECT_EQ(test::StoredInt("Camera_01\\Gain", "Global"), 200);
    EXPECT_EQ(VeltCam_GetGlobalGain(handle_, &ok), 150);
    EXPECT_EQ(VeltCam_GetExposureTime(handle_, &ok), 300);
    EXPECT_EQ(VeltCam_GetBrightness(handle_, &ok), 25);
    EXPECT_EQ(VeltCam_GetGrayMode(handle_, &ok), 2);
}

// A wide path that converts to `bytes` narrow bytes (terminator not counted).
// Where wchar_t holds whole code points the narrow side is UTF-8: most of the path
// is then two-byte characters, so a limit counted in characters cannot pass.
std::wstring WidePathOfBytes(size_t bytes) {
    std::wstring path;
    if (sizeof(wchar_t) == 4) path.assign((bytes - 8) / 2, L'\u00e9');
    const size_t narrow = path.size() * (sizeof(wchar_t) == 4 ? 2 : 1);
    path.append(bytes - narrow, L'p');
    return path;
}

// Every wide export hands a path of 1022 narrow bytes to its narrow form, whose own
// failure shows it got there, and refuses one of 1023 bytes with code 12 alone.
TEST_F(SdkObject, WidePathsOf1023BytesFailConversionInEveryWideExport) {
    Open("cameras=2");  // nothing selected: the recorder cannot start a camera
    Drain(handle_);
    struct Case {
        const char* name;
        std::function<int(const wchar_t*)> call;
        std::vector<int> codesAt1022;
    };
    const Case cases[] = {
        {"LoadMaskFileW", [&](const wchar_t* p) { return VeltCam_LoadMaskFileW(handle_, p); },
         {ERR_MASK_FILE}},
        {"SaveMaskFileW", [&](const wchar_t* p) { return VeltCam_SaveMaskFileW(handle_, p); },
         {ERR_MASK_FILE}},
        {"SaveImageW",
         [&](const wchar_t* p) { return VeltCam_SaveImageW(handle_, p, VELTCAM_IMAGE_BMP); },
         {ERR_NOT_READY}},  // no frame taken yet
        {"LoadConfigFileW", [&](const wchar_t* p) { return VeltCam_LoadConfigFileW(handle_, p); },
         {}},  // a missing file has no code
        {"RecordW", [&](const wchar_t* p) { return VeltCam_RecordW(handle_, p, 100, 0); },
         {ERR_FAILED, ERR_NO_DEVICE}},
    };
    const std::wstring fits = WidePathOfBytes(1022);
    const std::wstring tooLong = WidePathOfBytes(1023);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(fits.c_str()), 0);
        EXPECT_EQ(Codes(handle_), c.codesAt1022);
        EXPECT_EQ(c.call(tooLong.c_str()), 0);
        EXPECT_EQ(Codes(handle_), std::vector<int>{ERR_FAILED});
    }
}

// Only a camera that was opened has settings of its own to keep. A handle that
// never opened one, or a refused selection before a good one, must not store zeros
// over camera 0's gain and exposure: the next session would load them and see black.
TEST_F(SdkObject, SettingsAreSavedOnlyForACameraThatWasOpened) {
    Open("cameras=2");  // nothing selected
    ASSERT_EQ(VeltCam_Release(handle_), 1);
    handle_ = 0;
    EXPECT_FALSE(test::StoredInt("Camera_00\\Gain", "Global"));

    Open("cameras=2");
    EXPECT_EQ(VeltCam_SetDeviceNumber(handle_, 5), 0);
    ASSERT_EQ(VeltCam_SetDeviceNumber(handle_, 0), 1);
    int ok = 0;
    EXPECT_EQ(VeltCam_GetGlobalGain(handle_, &ok), 64);
    EXPECT_EQ(VeltCam_GetExposureTime(handle_, &ok), 170);
    ASSERT_EQ(VeltCam_Release(handle_), 1);
    handle_ = 0;
    EXPECT_EQ(test::StoredInt("Camera_00\\Gain", "Global"), 64);
    EXPECT_EQ(test::StoredInt("Camera_00\\Gain", "Exposure"), 170);
}

// On a fresh machine the camera selected at initialisation starts from the
// first-run defaults and finds the full frame in its own size table.
TEST_F(SdkObject, FirstSelectedCameraStartsFromTheFirstRunDefaults) {
    Open("cameras=1");
    EXPECT_EQ(VeltCam_GetColorMode(handle_), 24);
    EXPECT_EQ(VeltCam_GetWaitTime(handle_), 1);
    Drain(handle_);
    ASSERT_EQ(VeltCam_SetCaptureWindowEx(handle_, 2048, 0, 1024, 1536, 0, 768), 1);
    EXPECT_EQ(VeltCam_SetCaptureWindow(handle_, 2048, 1536), 1);
    EXPECT_EQ(VeltCam_GetLastError(handle_), 0);
    EXPECT_EQ(VeltCam_Width(handle_), 2048);
    EXPECT_EQ(VeltCam_Height(handle_), 1536);
    EXPECT_EQ(VeltCam_SetCaptureWindow(handle_, 640, 480), 0) << "in no table";
    EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_WINDOW);
}

// A camera that has a key keeps what is stored there: the defaults never
// overwrite it, not even the parts it lacks.
TEST_F(SdkObject, StoredCameraKeyIsLeftAsItIs) {
    test::WriteDwords("Camera_00", {{"Color", 0}, {"WaitTime", 25}});
    Open("cameras=1");
    EXPECT_EQ(VeltCam_GetColorMode(handle_), 8);
    EXPECT_EQ(VeltCam_GetWaitTime(handle_), 25);
    EXPECT_FALSE(test::StoredInt("Camera_00\\Size_00", "EH"));
    EXPECT_FALSE(test::StoredInt("Camera_00", "SubSample"));
}

TEST_F(SdkObject, CameraInfoFillsWhatTheDeclaredSizeHolds) {
    Open();
    unsigned char record[64];
    auto declare = [&](int32_t size) {
        std::memset(record, 0xEE, sizeof record);
        std::memcpy(record, &size, 4);
    };
    auto at = [&](int offset) {
        int32_t v;
        std::memcpy(&v, record + offset, 4);
        return v;
    };
    declare(32);
    EXPECT_EQ(VeltCam_GetCameraInfo(handle_, reinterpret_cast<VeltCamDeviceInfo*>(record)), 0);
    EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_MEMORY);
    EXPECT_EQ(record[4], 0xEE);

    declare(40);
    ASSERT_EQ(VeltCam_GetCameraInfo(handle_, reinterpret_cast<VeltCamDeviceInfo*>(record)), 1);
    EXPECT_EQ(std::vector<int32_t>({at(4), at(8), at(12), at(16), at(20), at(24), at(28), at(32)}),
              std::vector<int32_t>({2048, 1536, 0, 480, 0, 0, 1, 20000}));
    EXPECT_EQ(record[36], 0xEE);
    EXPECT_EQ(record[40], 0xEE) << "the doubles need a declared size of 56";

    declare(56);
    ASSERT_EQ(VeltCam_GetCameraInfo(handle_, reinterpret_cast<VeltCamDeviceInfo*>(record)), 1);
    EXPECT_EQ(record[36], 0xEE);
    double low = -1, high = -1;
    std::memcpy(&low, record + 40, 8);
    std::memcpy(&high, record + 48, 8);
    EXPECT_EQ(low, 0.0);
    EXPECT_EQ(high, 0.0);

    EXPECT_EQ(VeltCam_GetCameraInfo(handle_, nullptr), 0);
    EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_PARAMETER);
}

// Each row: an ID, a value its setter must accept and one it must refuse. IDs 6
// and 10 take any value and are checked with their wrappers below.
struct IdCase {
    int id;
    int accepted;
    int refused;
    bool readable = true;  // 28 is set only: its getter is an unknown ID
};

TEST_F(SdkObject, SettingIdsValidateStoreAndReadBack) {
    Open();
    Drain(handle_);
    const IdCase cases[] = {
        {1, -255, 256},  {2, 127, -128},  {3, -360, 361},  {4, 255, -256},  {5, 30, 31},
        {7, 400, 401},   {8, 0, -1},      {9, 123, 401},   {11, 200, 201},  {12, 3, 4},
        {13, 480, 481},  {14, 0, 1},      {15, 0, -1},     {16, 0, 1},      {17, 0, 1},
        {18, 20000, 0},  {19, 2, 3},      {20, 255, 256},  {21, 128, -1},   {22, 0, 256},
        {23, 0, -1},     {24, -255, 256}, {25, 255, -256}, {26, -1, 256},   {27, 255, -256},
        {28, 1, 2, false}, {28, 0, -1, false}, {102, 1, 2}, {103, 0, -1},
    };
    for (const IdCase& c : cases) {
        SCOPED_TRACE("id " + std::to_string(c.id));
        ASSERT_EQ(VeltCam_SetFilterValue(handle_, c.id, c.accepted), 1);
        EXPECT_EQ(VeltCam_GetLastError(handle_), 0);
        EXPECT_EQ(VeltCam_SetFilterValue(handle_, c.id, c.refused), 0);
        EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_PARAMETER);
        if (!c.readable) continue;
        int ok = 0;
        EXPECT_EQ(VeltCam_GetFilterValue(handle_, c.id, &ok), c.accepted)
            << "refused value changed it";
        EXPECT_EQ(ok, 1);
    }
    // Unknown IDs, the channel gain and offset IDs this camera does not serve, and
    // 101 as a setter.
    for (int id : {0, 29, 30, 31, 32, 33, 34, 35, 36, 37, 99, 101, 107, -5}) {
        EXPECT_EQ(VeltCam_SetFilterValue(handle_, id, 5), 0) << id;
        EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_PARAMETER) << id;
    }
    for (int id : {0, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 107, -5}) {
        int ok = 1;
        EXPECT_EQ(VeltCam_GetFilterValue(handle_, id, &ok), 0) << id;
        EXPECT_EQ(ok, 0) << id;
        EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_PARAMETER) << id;
    }
}

TEST_F(SdkObject, WrappersPackingChannelsAndUnsupportedSettings) {
    Open();
    Drain(handle_);
    int ok = 0;
    ASSERT_EQ(VeltCam_SetBayerGainRGB(handle_, 1 | 2 << 8 | 3 << 16), 1);
    EXPECT_EQ(VeltCam_GetBayerGainRed(handle_, &ok), 1);
    EXPECT_EQ(VeltCam_GetBayerGainGreen(handle_, &ok), 2);
    EXPECT_EQ(VeltCam_GetBayerGainBlue(handle_, &ok), 3);
    EXPECT_EQ(VeltCam_GetBayerGainRGB(handle_, &ok), 1 | 2 << 8 | 3 << 16);
    EXPECT_EQ(VeltCam_SetBayerGainAuto(handle_, 7), 1);
    EXPECT_EQ(VeltCam_GetBayerGainAuto(handle_, &ok), 1);

    EXPECT_EQ(VeltCam_SetChannelGain(handle_, 1, 5), 0);
    EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_PARAMETER);
    EXPECT_EQ(VeltCam_GetChannelOffset(handle_, 4, &ok), 0);
    EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_PARAMETER);
    EXPECT_EQ(VeltCam_SetChannelGain(handle_, 5, 5), 0);
    EXPECT_EQ(VeltCam_SetChannelOffset(handle_, 0, 5), 0);
    for (int channel : {0, 5, -1, INT_MAX}) {
        ok = 1;
        EXPECT_EQ(VeltCam_GetChannelGain(handle_, channel, &ok), 0);
        EXPECT_EQ(ok, 0) << "a failed read must say so, channel " << channel;
        ok = 1;
        EXPECT_EQ(VeltCam_GetChannelOffset(handle_, channel, &ok), 0);
        EXPECT_EQ(ok, 0) << "channel " << channel;
    }
    EXPECT_EQ(VeltCam_GetChannelGain(handle_, 9, nullptr), 0);
    EXPECT_EQ(VeltCam_GetLastError(handle_), 0) << "other channels are not settings at all";
    ok = 7;
    EXPECT_EQ(VeltCam_GetChannelGain(0x5EED, 9, &ok), 0);
    EXPECT_EQ(ok, 7) << "an unknown handle writes no output";

    ok = 1;
    EXPECT_EQ(VeltCam_GetTemperature(handle_, &ok), -1);
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_NOT_SUPPORTED);
    EXPECT_EQ(VeltCam_GetPeltier(handle_, &ok), -1);
    EXPECT_EQ(VeltCam_SetPeltier(handle_, 1), 0);
    for (int id : {104, 105, 106}) {
        EXPECT_EQ(VeltCam_SetFilterValue(handle_, id, 1), 0);
        EXPECT_EQ(VeltCam_GetFilterValue(handle_, id, &ok), 0);
    }
    for (int i = 0; i < 8; ++i) EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_NOT_SUPPORTED) << i;
    EXPECT_EQ(VeltCam_SetExposureTimeEx(handle_, 2.0), 0);
    EXPECT_EQ(VeltCam_GetExposureTimeEx(handle_, &ok), -1.0);
    EXPECT_EQ(VeltCam_GetTemperatureEx(handle_, &ok), 0.0);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_NOT_SUPPORTED);
    EXPECT_EQ(VeltCam_SetInternalCorrection(handle_, 1), 0);
    EXPECT_EQ(VeltCam_GetLastError(handle_), 0) << "internal correction only notifies";
    EXPECT_EQ(VeltCam_SetAutoIris(handle_, 3), 0);
    EXPECT_EQ(VeltCam_SetAutoIris(handle_, -1), 0);
    EXPECT_EQ(VeltCam_GetLastError(handle_), 0) << "auto iris refusals only notify";
    EXPECT_EQ(VeltCam_SetAutoIris(handle_, 2), 1);
    EXPECT_EQ(VeltCam_GetAutoIris(handle_, &ok), 2);
}

// Reads the selected camera's sensor registers through the SDK, as an application
// debugging its settings would.
class SensorRegisters {
  public:
    explicit SensorRegisters(VeltCamHandle handle) : handle_(handle) {}
    int At(int address) {
        int ok = 0;
        const auto value = static_cast<int>(VeltCam_ReadRegisterEx(handle_, address, &ok));
        EXPECT_EQ(ok, 1) << "register " << address;
        return value;
    }
    int Pair(int low) { return At(low) | At(low + 1) << 8; }
    // The shutter register counts the lines from the end of the frame.
    int ExposureLines() {
        const int frameLength = Pair(0x0210) | (At(0x0212) & 0x0F) << 16;
        const int shutter = Pair(0x028D) | (At(0x028F) & 0x0F) << 16;
        return frameLength - shutter;
    }

  private:
    VeltCamHandle handle_;
};

constexpr int kMirrorRegister = 0x020E;  // bit 0 vertical, bit 1 horizontal

// The sensor register reads write the flag both ways, so a caller that clears it
// first sees a good read as good; the FPGA read leaves it alone on success.
TEST_F(SdkObject, SensorRegisterReadsSetTheOkFlagEitherWay) {
    Open("cameras=2");  // nothing selected: no sensor to read
    Drain(handle_);
    int ok = 1;
    EXPECT_EQ(VeltCam_ReadRegister(handle_, 0x20, &ok), 0);
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_DEVICE_IO);
    ok = 1;
    EXPECT_EQ(VeltCam_ReadRegisterEx(handle_, 0x0404, &ok), 0);
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_DEVICE_IO);

    ASSERT_EQ(VeltCam_SetDeviceNumber(handle_, 0), 1);
    ASSERT_EQ(VeltCam_WriteRegister(handle_, 0x120, 0x5A), 1) << "address uses its low 8 bits";
    ok = 0;
    EXPECT_EQ(VeltCam_ReadRegister(handle_, 0x320, &ok), 0x5A);
    EXPECT_EQ(ok, 1);
    ok = 0;
    EXPECT_EQ(VeltCam_ReadRegisterEx(handle_, 0x0404, &ok), 64);
    EXPECT_EQ(ok, 1);
    ok = 7;
    VeltCam_Fpga_ReadRegister(handle_, 60, &ok);
    EXPECT_EQ(ok, 7);
    EXPECT_EQ(VeltCam_GetLastError(handle_), 0);
}

TEST_F(SdkObject, CameraSettingsReachTheSensorRegisters) {
    Open();
    Drain(handle_);
    SensorRegisters sensor(handle_);
    int ok = 1;
    ASSERT_EQ(VeltCam_SetGlobalGain(handle_, 300), 1);
    EXPECT_EQ(sensor.Pair(0x0404), 300);
    EXPECT_EQ(VeltCam_SetGlobalGain(handle_, 481), 0);
    EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_PARAMETER);
    EXPECT_EQ(sensor.Pair(0x0404), 300) << "a refused gain reached the sensor";

    EXPECT_EQ(sensor.ExposureLines(), 1507) << "170 units at 11.28 us per line";
    for (int refused : {0, 20001}) {
        EXPECT_EQ(VeltCam_SetExposureTime(handle_, refused), 0);
        EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_PARAMETER);
    }
    EXPECT_EQ(VeltCam_GetExposureTime(handle_, &ok), 170);
    EXPECT_EQ(sensor.ExposureLines(), 1507) << "a refused exposure reached the sensor";
    ASSERT_EQ(VeltCam_SetRealExposureTime(handle_, 1750), 1);
    EXPECT_EQ(VeltCam_GetRealExposureTime(handle_, &ok), 1700);
    EXPECT_EQ(VeltCam_GetExposureTime(handle_, &ok), 17);
    EXPECT_EQ(sensor.ExposureLines(), 150);

    EXPECT_EQ(VeltCam_SetMirrorH(handle_, 5), 1);
    EXPECT_EQ(VeltCam_GetMirrorH(handle_), 1);
    EXPECT_EQ(VeltCam_GetMirrorV(handle_), 0);
    EXPECT_EQ(sensor.At(kMirrorRegister), 2);
    EXPECT_EQ(VeltCam_SetMirrorV(handle_, 1), 1);
    EXPECT_EQ(sensor.At(kMirrorRegister), 3);
    EXPECT_EQ(VeltCam_SetMirrorH(handle_, 0), 1);
    EXPECT_EQ(sensor.At(kMirrorRegister), 1);

    // The FPGA's I/O port register, and register access errors.
    ASSERT_EQ(VeltCam_SetIOPort(handle_, 0x1A5), 1);
    BYTE port = 0;
    ASSERT_EQ(VeltCam_GetIOPort(handle_, &port), 1);
    EXPECT_EQ(port, 0xA5);
    EXPECT_EQ(VeltCam_Fpga_ReadRegister(handle_, 0x107, &ok), 0xA5)
        << "address uses its low 8 bits";
    EXPECT_EQ(VeltCam_GetIOPort(handle_, nullptr), 0);
    EXPECT_EQ(VeltCam_GetLastError(handle_), 0);
}

// The window reaches the sensor when it is set; the transfer depth (8 or 16 bits
// per sample, FPGA register 60) follows the colour mode when a capture is set up,
// which also puts the other camera settings back on the sensor.
TEST_F(SdkObject, WindowAndDepthReachTheSensorAndFpga) {
    Open();
    SensorRegisters sensor(handle_);
    ASSERT_EQ(VeltCam_SetMirrorV(handle_, 1), 1);
    ASSERT_EQ(VeltCam_SetExposureTime(handle_, 100), 1);
    ASSERT_EQ(VeltCam_SetCaptureWindowEx(handle_, 2048, 512, 1024, 1536, 384, 768), 1);
    struct {
        int x, y, width, height;
    } window{sensor.Pair(0x0510), sensor.Pair(0x0512), sensor.Pair(0x0514), sensor.Pair(0x0516)};
    // Counted from the far corner of the array with an 8-pixel margin; the sensor
    // reads four lines more than it delivers.
    EXPECT_EQ(window.x, 2048 - 512 - 1024 + 8);
    EXPECT_EQ(window.y, 1536 - 384 - 768 + 8);
    EXPECT_EQ(window.width, 1024);
    EXPECT_EQ(window.height, 768 + 4);
    EXPECT_EQ(sensor.ExposureLines(), 886) << "the exposure survives the new frame length";
    Drain(handle_);
    EXPECT_EQ(VeltCam_SetCaptureWindowEx(handle_, 2048, 1536, 1024, 1536, 0, 768), 0);
    EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_IMAGE_SIZE);
    EXPECT_EQ(sensor.Pair(0x0510), window.x) << "a refused window reached the sensor";
    EXPECT_EQ(sensor.Pair(0x0514), window.width);
    ASSERT_EQ(VeltCam_SetCaptureWindowEx(handle_, 2048, 512, 1024, 1536, 384, 768), 1);

    int ok = 1;
    for (int bits : {16, 8}) {
        SCOPED_TRACE(testing::Message() << bits << " bits");
        ASSERT_EQ(VeltCam_SetColorMode(handle_, bits), 1);
        EXPECT_EQ(VeltCam_SetColorMode(handle_, 40), 0);
        EXPECT_EQ(VeltCam_GetColorMode(handle_), bits);
        ASSERT_EQ(VeltCam_SnapShot(handle_, nullptr, 0, 1), 1);
        EXPECT_EQ(VeltCam_Fpga_ReadRegister(handle_, 60, &ok), bits == 16 ? 2 : 1);
        EXPECT_EQ(sensor.Pair(0x0510), window.x);
        EXPECT_EQ(sensor.Pair(0x0516), window.height);
        EXPECT_EQ(sensor.At(kMirrorRegister), 1);
        EXPECT_EQ(sensor.ExposureLines(), 886);
    }
}

TEST_F(SdkObject, CaptureWindowAndColourModeChecks) {
    Open();
    Drain(handle_);
    EXPECT_EQ(VeltCam_SetCaptureWindowEx(handle_, 2048, 100, 2000, 1536, 0, 1536), 0);
    EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_IMAGE_SIZE);
    EXPECT_EQ(VeltCam_SetCaptureWindowEx(handle_, 2048, 16, 1024, 1536, 8, 768), 1);
    EXPECT_EQ(VeltCam_Width(handle_), 1024);
    EXPECT_EQ(VeltCam_Height(handle_), 768);
    EXPECT_EQ(VeltCam_SetCaptureWindow(handle_, 640, 480), 0);
    EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_WINDOW);
    EXPECT_EQ(VeltCam_SetColorMode(handle_, 40), 0);
    EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_PARAMETER);
    for (int bits : {8, 16, 24, 32, 48, 64}) {
        EXPECT_EQ(VeltCam_SetColorMode(handle_, bits), 1);
        EXPECT_EQ(VeltCam_GetColorMode(handle_), bits);
    }
}

TEST_F(SdkObject, MisalignedWindowsAreStoredButRefusedAtTheCaptureStart) {
    Open();
    ASSERT_EQ(VeltCam_SetColorMode(handle_, 8), 1);
    struct Case {
        int subSample, x, y, width, height;
        bool starts;
    };
    const Case cases[] = {
        {VELTCAM_SUBSAMPLE_FULL, 2, 2, 256, 64, true},
        {VELTCAM_SUBSAMPLE_FULL, 1, 2, 256, 64, false},
        {VELTCAM_SUBSAMPLE_FULL, 2, 3, 256, 64, false},
        {VELTCAM_SUBSAMPLE_FULL, 2, 2, 248, 64, false},
        {VELTCAM_SUBSAMPLE_FULL, 2, 2, 256, 66, false},
        {VELTCAM_SUBSAMPLE_HALF, 4, 4, 256, 64, true},
        {VELTCAM_SUBSAMPLE_HALF, 2, 4, 256, 64, false},
        {VELTCAM_SUBSAMPLE_HALF, 4, 4, 240, 64, false},
        {VELTCAM_SUBSAMPLE_HALF, 4, 4, 256, 62, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.subSample << " at " << c.x << "," << c.y
                                        << " " << c.width << "x" << c.height);
        Drain(handle_);
        ASSERT_EQ(VeltCam_SetSubSample(handle_, c.subSample), 1);
        EXPECT_EQ(VeltCam_SetCaptureWindowEx(handle_, 2048, c.x, c.width, 1536, c.y, c.height), 1);
        EXPECT_EQ(VeltCam_SnapShot(handle_, nullptr, 0, 1), c.starts ? 1 : 0);
        EXPECT_EQ(VeltCam_GetLastError(handle_), c.starts ? 0 : ERR_IMAGE_SIZE);
    }
}

// A camera holds what the colour mode it captures in and the stages switched on
// need: no mask planes until a reference is taken or a mask loaded, nothing of
// another depth once it captures in a new one, the defect marks of its depth
// only while that filter is on.
TEST_F(SdkObject, BuffersFollowTheColourModeAndTheStagesInUse) {
    Open();
    auto held = [&](int slot) {
        return CallObject(handle_, -1,
                          [slot](CVeltCam& cam) { return cam.Image(slot)->IsValid() ? 1 : 0; });
    };
    auto references = [&] {
        return CallObject(handle_, -1,
                          [](CVeltCam& cam) { return cam.MaskPlaneSet().HasReferences() ? 1 : 0; });
    };
    const int work8 = kImageMaskFirst + kMaskWork8;
    const int work16 = kImageMaskFirst + kMaskWork16;
    struct Step {
        int bits;
        int dotFilter;
        std::vector<int> held;
        std::vector<int> gone;
    };
    const Step steps[] = {
        {48, 0, {kImageMono16, kImageColor48}, {kImageMono8, kImageColor24, work8, work16}},
        {8, 1, {kImageMono8, work8}, {kImageMono16, kImageColor48, kImageColor24, work16}},
        {16, 1, {kImageMono16, work16}, {kImageMono8, work8}},
        {24, 0, {kImageMono8, kImageColor24}, {kImageMono16, work8, work16}},
    };
    std::vector<uint8_t> frame(static_cast<size_t>(2048) * 1536 * 8);
    for (const Step& step : steps) {
        SCOPED_TRACE(step.bits);
        ASSERT_EQ(VeltCam_SetColorMode(handle_, step.bits), 1);
        ASSERT_EQ(VeltCam_SetFilterValue(handle_, VELTCAM_ID_DOT_FILTER, step.dotFilter), 1);
        ASSERT_EQ(VeltCam_SnapShot(handle_, frame.data(), static_cast<int>(frame.size()), 1), 1);
        for (const int slot : step.held) EXPECT_EQ(held(slot), 1) << slot;
        for (const int slot : step.gone) EXPECT_EQ(held(slot), 0) << slot;
        EXPECT_EQ(references(), 0);
    }
    ASSERT_EQ(VeltCam_UpdateMaskData(handle_, 0), 1);
    EXPECT_EQ(references(), 1);
    EXPECT_EQ(VeltCam_GetLastError(handle_), 0);
}

TEST_F(SdkObject, SerialNumberAndSromBytes) {
    Open("cameras=1;serial=AB-1234");
    char serial[32];
    EXPECT_EQ(VeltCam_ReadSerialNumberA(handle_, serial, 31), 0);
    EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_PARAMETER);
    ASSERT_EQ(VeltCam_ReadSerialNumberA(handle_, serial, sizeof serial), 1);
    EXPECT_STREQ(serial, "AB-1234");
    wchar_t wide[32];
    ASSERT_EQ(VeltCam_ReadSerialNumberW(handle_, wide, 32), 1);
    EXPECT_EQ(std::wstring(wide), L"AB-1234");

    int ok = 0;
    ASSERT_EQ(VeltCam_WriteSromID(handle_, 0x1010, 0x15A), 1) << "address and value are masked";
    EXPECT_EQ(VeltCam_ReadSromID(handle_, 0x010, &ok), 0x5A);
    EXPECT_EQ(ok, 1);
}

// Frame registers written directly (bypassing the capture window) ask the camera
// for a 65535 x 65535 16-bit frame: more than the sensor has. The transfer fails
// with a code, nothing tries to hold gigabytes, and a new window heals the camera.
TEST_F(SdkObject, FrameRegistersBeyondTheSensorFailTheTransfer) {
    Open("cameras=1;fps=max");
    ASSERT_EQ(VeltCam_SetPreviewWindow(handle_, nullptr, 0, 0, 0, 0), 1);
    ASSERT_EQ(VeltCam_SetColorMode(handle_, 16), 1);
    ASSERT_EQ(VeltCam_SetCaptureWindowEx(handle_, 2048, 0, 256, 1536, 0, 128), 1);
    std::vector<uint8_t> frame(256 * 128 * 2);
    const int size = static_cast<int>(frame.size());
    ASSERT_EQ(VeltCam_SnapShot(handle_, frame.data(), size, 1), 1);
    Drain(handle_);
    for (int reg : {64, 65, 68, 69}) ASSERT_EQ(VeltCam_Fpga_WriteRegister(handle_, reg, 0xFF), 1);
    int ok = 0;
    EXPECT_EQ(VeltCam_Fpga_ReadRegister(handle_, 60, &ok), 2) << "16-bit transfer depth";
    EXPECT_EQ(VeltCam_SnapShot(handle_, frame.data(), size, 1), 0);
    EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_TRANSFER);
    ASSERT_EQ(VeltCam_SetCaptureWindowEx(handle_, 2048, 0, 512, 1536, 0, 64), 1);
    EXPECT_EQ(VeltCam_SnapShot(handle_, frame.data(), size, 1), 1);
}

// Wide paths must name exactly what the caller wrote. Fullwidth full stops and
// backslash look like "..\" to a code page that lacks them; mapped to their
// look-alikes they would lead a file out of the folder the caller named. Windows
// refuses such a path (ERR_FAILED); Linux, with UTF-8 file names, keeps the
// characters as they are. Nowhere may anything appear outside the folder.
TEST_F(SdkObject, WidePathsNeverLeaveTheNamedFolder) {
    Open();
    namespace fs = std::filesystem;
    const fs::path parent = fs::temp_directory_path() / ("vc-wide-" + test::UniqueTableName());
    const fs::path folder = parent / "bf-test";
    fs::create_directories(folder);
    const std::wstring inside =
        folder.wstring() + static_cast<wchar_t>(fs::path::preferred_separator);
    const std::wstring escape = inside + L"\xFF0E\xFF0E\xFF3C" L"up";
    struct Case {
        const char* what;
        const wchar_t* suffix;
        int (*call)(VeltCamHandle, const wchar_t*);
    };
    const Case cases[] = {
        {"SaveMaskFileW", L".msk", [](VeltCamHandle h, const wchar_t* p) { return VeltCam_SaveMaskFileW(h, p); }},
        {"LoadMaskFileW", L".msk", [](VeltCamHandle h, const wchar_t* p) { return VeltCam_LoadMaskFileW(h, p); }},
        {"SaveImageW", L".bmp", [](VeltCamHandle h, const wchar_t* p) { return VeltCam_SaveImageW(h, p, 0); }},
        {"LoadConfigFileW", L".cfg", [](VeltCamHandle h, const wchar_t* p) { return VeltCam_LoadConfigFileW(h, p); }},
        {"RecordW", L".avi", [](VeltCamHandle h, const wchar_t* p) { return VeltCam_RecordW(h, p, 0, 0); }},
    };
    // One character the ANSI code page lacks, and broken surrogate pairs.
    const std::wstring notInCodePage = inside + L"\x0100.msk";
    const wchar_t lone[] = {L'a', static_cast<wchar_t>(0xD800), L'.', L'm', 0};
    const wchar_t reversed[] = {static_cast<wchar_t>(0xDC00), static_cast<wchar_t>(0xD800), 0};
    // SaveImageW needs a frame to write: take one, so that only the path decides.
    ASSERT_EQ(VeltCam_SetPreviewWindow(handle_, nullptr, 0, 0, 0, 0), 1);
    std::vector<uint8_t> frame(2048 * 1536 * 8);  // room for any colour mode
    ASSERT_EQ(VeltCam_SnapShot(handle_, frame.data(), static_cast<int>(frame.size()), 1), 1);
    Drain(handle_);
    for (const Case& c : cases) {
        const std::wstring path = escape + c.suffix;
        const int result = c.call(handle_, path.c_str());
        VeltCam_StopPreview(handle_);
#ifdef _WIN32
        // A system whose ANSI code page is UTF-8 holds these characters exactly.
        if (GetACP() != CP_UTF8) {
            EXPECT_EQ(result, 0) << c.what;
            EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_FAILED) << c.what;
        }
#else
        (void)result;
#endif
        Drain(handle_);
        for (const auto& entry : fs::directory_iterator(parent)) {
            EXPECT_EQ(entry.path().filename(), "bf-test") << c.what << " created " << entry.path();
        }
    }
#ifdef _WIN32
    for (const wchar_t* path : {notInCodePage.c_str(), lone, reversed}) {
        if (path == notInCodePage.c_str() && GetACP() == CP_UTF8) continue;
        EXPECT_EQ(VeltCam_SaveMaskFileW(handle_, path), 0);
        EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_FAILED);
    }
#else
    (void)notInCodePage;
    EXPECT_EQ(VeltCam_SaveMaskFileW(handle_, lone), 0) << "no UTF-8 for a lone surrogate";
    EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_FAILED);
    (void)reversed;
#endif
    std::error_code ignored;
    fs::remove_all(parent, ignored);
}

}  // namespace
}  // namespace veltcam
