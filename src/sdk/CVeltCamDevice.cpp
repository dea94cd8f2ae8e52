// Device selection and enumeration, the capture window, the colour mode, the
// device-information record and the configuration EEPROM (SROM).
#include <cstdio>
#include <cstring>

#include "core/CVeltCamD3A7Base.h"
#include "platform/Clock.h"
#include "platform/TextConversion.h"
#include "sdk/CCoreSettingsCamera.h"
#include "sdk/CVeltCam.h"
#include "ui/SettingsPersistence.h"

namespace veltcam {
namespace {

constexpr int kNameBytes = 256;
constexpr int kEnumEntries = 10;
constexpr int kMinNameBuffer = 19;
constexpr int kSerialAddress = 0x1040;
constexpr int kSerialField = 32;  // 31 characters and the terminator
constexpr int kSromAddressMask = 0xFFF;
constexpr int kSromVerifyAttempts = 10;
constexpr uint32_t kSerialByteWaitMs = 10;
// The driver's fastest speed code: SuperSpeed and anything faster.
constexpr uint32_t kSuperSpeedCode = 4;

// The device-information record as the application lays it out.
constexpr int kInfoMinSize = 36;
constexpr int kInfoWithDoubles = 56;

void WriteInt(uint8_t* record, int offset, int32_t value) {
    std::memcpy(record + offset, &value, sizeof value);
}

void FormatName(char* out, size_t size, int suffix) {
    std::snprintf(out, size, "%s_%02d", kProductString, suffix);
}

}  // namespace

int CVeltCam::SetDeviceNumber(int number) {
    if (!core_) {
        Report(kErrNotReady);
        return 0;
    }
    // No capture mode starts during the switch.
    std::lock_guard<std::recursive_mutex> mode(modeLock_);
    // A number that names no camera, or the camera already in use, changes
    // nothing: the running capture mode goes on.
    if (!core_->IsDeviceNumberPresent(number)) {
        Report(kErrNoDevice);
        return 0;
    }
    // The same camera answers again after it was unplugged: it lost power, so it is
    // opened anew and given the settings in use, rather than reported ready unprogrammed.
    if (number == deviceNumber_ && core_->DeviceLost()) return ReopenLostCamera(number);
    if (number == deviceNumber_) return 1;
    // A running capture mode belongs to the camera being left. The display thread
    // is joined before the image lock is taken: it takes that lock for every frame.
    StopPreview();
    // The settings of the camera being left are saved, and those of the new one
    // loaded and applied, as one step: no setter on another thread lands between.
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    // Only a camera that was opened and loaded has settings of its own to keep.
    if (settingsLoaded_) SaveSettingGroups(deviceNumber_);
    if (!core_->SelectDeviceNumber(number)) {
        Report(kErrNoDevice);
        return 0;
    }
    CCoreSettingsCamera camera(*core_);
    settings::CreateFirstRunDefaults(camera, number);
    LoadSettingGroups(number);
    ReapplyCameraSettings();
    deviceNumber_ = number;
    settingsLoaded_ = true;
    return 1;
}

int CVeltCam::ReopenLostCamera(int number) {
    StopPreview();
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    if (core_->ReopenDevice(number) != 0) {
        Report(kErrNoDevice);
        return 0;
    }
    ReapplyCameraSettings();
    return 1;
}

void CVeltCam::LoadSettingGroups(int cameraNumber) {
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    CCoreSettingsCamera camera(*core_);
    settings::LoadGain(camera, cameraNumber, cameraSettings_);
    settings::LoadFilter(cameraNumber, imageSettings_);
    settings::LoadGray(cameraNumber, imageSettings_);
}

void CVeltCam::SaveSettingGroups(int cameraNumber) {
    // A copy taken under the lock is written outside it: the display thread needs
    // the lock for every frame, the settings store may take a while.
    CameraSettings camera;
    ImageSettings image;
    {
        std::lock_guard<std::recursive_mutex> lock(imageLock_);
        camera = cameraSettings_;
        image = imageSettings_;
    }
    settings::SaveGain(cameraNumber, camera);
    settings::SaveFilter(cameraNumber, image);
    settings::SaveGray(cameraNumber, image);
}

void CVeltCam::LoadFormatSettings(int cameraNumber) {
    if (!core_) return;
    CCoreSettingsCamera camera(*core_);
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    FormatSettings format{colorModeIndex_, subSampleMode_, waitTimeMs_, clock_};
    settings::LoadFormat(camera, cameraNumber, format);
    colorModeIndex_ = format.colorModeIndex;
    subSampleMode_ = format.subSampleMode;
    waitTimeMs_ = format.waitTimeMs;
    clock_ = format.clock;
}

// A newly selected camera gets the settings stored for it, in the order in which
// the later ones depend on the earlier (exposure after gain, as the sensor
// re-derives its timing).
void CVeltCam::ReapplyCameraSettings() {
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    CVeltCamD3A7Base& core = *core_;
    core.SetGain(cameraSettings_.globalGain);
    core.SetColorGainRed(cameraSettings_.colorGain[0]);
    core.SetColorGainGreen1(cameraSettings_.colorGain[1]);
    core.SetColorGainGreen2(cameraSettings_.colorGain[2]);
    core.SetColorGainBlue(cameraSettings_.colorGain[3]);
    if (core.IsExposureMsSupported()) {
        core.SetExposureMs(cameraSettings_.exposureMs);
    } else {
        core.SetExposureTime(cameraSettings_.exposureUnits);
    }
    core.SetMirrorV(cameraSettings_.mirrorV);
    core.SetMirrorH(cameraSettings_.mirrorH);
    if (core.IsFeatureSupported(CCoreSettingsCamera::kBlackLevelGroup)) {
        core.SetFeature(CCoreSettingsCamera::kBlackLevelGroup, cameraSettings_.setting106);
    }
    if (core.IsPeltierSupported()) core.SetPeltier(1);
    if (core.IsFeatureSupported(CCoreSettingsCamera::kShortExposureGroup)) {
        core.SetFeature(CCoreSettingsCamera::kShortExposureGroup, 0);
    }
    if (core.IsFeatureSupported(CCoreSettingsCamera::kGainModeGroup)) {
        core.SetFeature(CCoreSettingsCamera::kGainModeGroup, cameraSettings_.setting104);
    }
}

int CVeltCam::EnumDevice(char (*names)[256], int capacity) {
    if (!core_) {
        Report(kErrNotReady);
        return 0;
    }
    const int entries = capacity < 0 ? 0 : capacity;
    int present = 0;
    const int last = core_->MaxDevices();
    for (int number = 0; number < last; ++number) {
        if (!core_->IsDeviceNumberPresent(number)) continue;
        ++present;
        if (names != nullptr && present <= entries) FormatName(names[present - 1], kNameBytes, present);
    }
    for (int i = present; names != nullptr && i < entries; ++i) names[i][0] = '\0';
    // The caller's array holds `capacity` names: never claim more than were written.
    return present < entries ? present : entries;
}

int CVeltCam::EnumDeviceW(wchar_t (*names)[256]) {
    char narrow[kEnumEntries][kNameBytes];
    int count = EnumDevice(narrow, kEnumEntries);
    if (names == nullptr) return count;
    for (int i = 0; i < kEnumEntries; ++i) {
        if (i >= count || !platform::NarrowToWide(narrow[i], names[i], kNameBytes,
                                                  platform::CodePage::Ansi)) {
            names[i][0] = L'\0';
        }
    }
    return count;
}

int CVeltCam::GetDeviceName(int number, char* buffer, int size) {
    if (!core_) {
        Report(kErrNotReady);
        return 0;
    }
    if (buffer == nullptr || size < kMinNameBuffer) {
        Report(kErrParameter);
        return 0;
    }
    // The number is checked before the name's suffix (number + 1) is computed: any
    // int may arrive here, and INT_MAX + 1 does not exist.
    if (number < 0 || number >= core_->MaxDevices() || !core_->IsDeviceNumberPresent(number)) {
        Report(kErrNoDevice);
        return 0;
    }
    char name[kNameBytes];
    FormatName(name, sizeof name, number + 1);
    // The whole name and its terminator must fit: a cut name would select no camera.
    if (static_cast<size_t>(size) < std::strlen(name) + 1) {
        Report(kErrParameter);
        return 0;
    }
    std::memcpy(buffer, name, std::strlen(name) + 1);
    return 1;
}

int CVeltCam::GetDeviceNameW(int number, wchar_t* buffer, int size) {
    char narrow[kNameBytes];
    if (!GetDeviceName(number, narrow, kNameBytes)) return 0;
    if (buffer == nullptr || size <= 0 ||
        !platform::NarrowToWide(narrow, buffer, static_cast<size_t>(size))) {
        Report(kErrFailed);
        return 0;
    }
    return 1;
}

int CVeltCam::GetCameraInfo(void* record) {
    if (record == nullptr) {
        Report(kErrParameter);
        return 0;
    }
    if (!core_) {
        Report(kErrNotReady);
        return 0;
    }
    auto* bytes = static_cast<uint8_t*>(record);
    int32_t declared = 0;
    std::memcpy(&declared, bytes, sizeof declared);
    if (declared < kInfoMinSize) {
        Report(kErrMemory);
        return 0;
    }
    WriteInt(bytes, 4, kSensorWidth);
    WriteInt(bytes, 8, kSensorHeight);
    WriteInt(bytes, 12, core_->GetGainMin());
    WriteInt(bytes, 16, core_->GetGainMax());
    WriteInt(bytes, 20, core_->GetColorGainMin());
    WriteInt(bytes, 24, core_->GetColorGainMax());
    WriteInt(bytes, 28, core_->GetExposureTimeMin());
    WriteInt(bytes, 32, core_->GetExposureTimeMax());
    if (declared >= kInfoWithDoubles) {
        double low = 0.0, high = 0.0;
        core_->GetExposureMsMin(&low);
        core_->GetExposureMsMax(&high);
        std::memcpy(bytes + 40, &low, sizeof low);
        std::memcpy(bytes + 48, &high, sizeof high);
    }
    return 1;
}

bool CVeltCam::IsCaptureWindowValid() const {
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    const CaptureWindow& w = captureWindow_;
    return w.EH >= 0 && w.EV >= 0 && w.EHS >= 0 && w.EVS >= 0 && w.EH <= kSensorWidth &&
           w.EV <= kSensorHeight && w.EHS <= kSensorWidth && w.EVS <= kSensorHeight &&
           w.EHS + w.EH <= kSensorWidth && w.EVS + w.EV <= kSensorHeight &&
           (subSampleMode_ == 0 || subSampleMode_ == 1);
}

int CVeltCam::SetCaptureWindow(int width, int height) {
    if (!core_) {
        Report(kErrNotReady);
        return 0;
    }
    // The installation's table under the root comes first; the selected camera's
    // own table (its first-run entry, the format dialog's sizes) serves when the
    // root has no such size, as on a fresh machine.
    std::optional<CaptureWindow> stored = settings::FindStoredSize(width, height);
    if (!stored && deviceNumber_ >= 0) {
        for (const CaptureWindow& entry : settings::LoadSizeTable(deviceNumber_)) {
            if (entry.EH == width && entry.EV == height) {
                stored = entry;
                break;
            }
        }
    }
    if (!stored) {
        Report(kErrWindow);
        return 0;
    }
    // The object's window and the sensor's change together: two threads setting
    // windows cannot leave the object with one and the sensor with the other.
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    captureWindow_ = *stored;
    if (!IsCaptureWindowValid()) {
        Report(kErrImageSize);
        const int buffers = captureWindow_.Buf;
        captureWindow_ = CaptureWindow{};
        captureWindow_.Buf = buffers;
    }
    core_->SetCaptureWindow(captureWindow_.EHS, captureWindow_.EVS, captureWindow_.EH,
                           captureWindow_.EV, subSampleMode_);
    return 1;
}

int CVeltCam::SetCaptureWindowEx(int th, int ehs, int eh, int tv, int evs, int ev) {
    if (!core_) {
        Report(kErrNotReady);
        return 0;
    }
    if ((!core_->IsHWindowSupported() && eh != kSensorWidth) ||
        (!core_->IsVWindowSupported() && ev != kSensorHeight)) {
        Report(kErrParameter);
        return 0;
    }
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    captureWindow_.TH = th;
    captureWindow_.EHS = ehs;
    captureWindow_.EH = eh;
    captureWindow_.TV = tv;
    captureWindow_.EVS = evs;
    captureWindow_.EV = ev;
    if (!IsCaptureWindowValid()) {
        Report(kErrImageSize);
        return 0;
    }
    core_->SetCaptureWindow(ehs, evs, eh, ev, subSampleMode_);
    return 1;
}

int CVeltCam::SetColorMode(int bits) {
    if (!core_) {
        Report(kErrNotReady);
        return 0;
    }
    if ((!core_->AllowsMono8AndColor32() && (bits == 8 || bits == 32)) ||
        (!core_->AllowsColor24And64() && (bits == 24 || bits == 64))) {
        Report(kErrParameter);
        return 0;
    }
    static constexpr int kBits[] = {8, 16, 24, 32, 48, 64};
    for (int index = 0; index < 6; ++index) {
        if (kBits[index] == bits) {
            std::lock_guard<std::recursive_mutex> lock(imageLock_);
            colorModeIndex_ = index;
            return 1;
        }
    }
    Report(kErrParameter);
    return 0;
}

int CVeltCam::GetBusSpeed(int* speed) {
    if (speed == nullptr) {
        Report(kErrParameter);
        return 0;
    }
    if (!core_) {
        Report(kErrNotReady);
        return 0;
    }
    if (deviceNumber_ < 0) {
        Report(kErrNoDevice);
        return 0;
    }
    uint32_t code = 0;
    if (!core_->GetBusSpeed(&code)) {
        Report(kErrDeviceIo);
        return 0;
    }
    // A driver that answers with a code it has no name for says nothing we can use.
    *speed = code <= kSuperSpeedCode ? static_cast<int>(code) : 0;
    return 1;
}

int CVeltCam::ReadSerialNumberA(char* buffer, int size) {
    if (buffer == nullptr || size < kSerialField) {
        Report(kErrParameter);
        return 0;
    }
    if (!core_) {
        Report(kErrNotReady);
        return 0;
    }
    char serial[kSerialField] = {};
    int read = 0;
    bool firstWasErased = false;
    platform::CTimerResolution resolution;
    // The terminator keeps its place: at most 31 characters are taken.
    while (read < kSerialField - 1) {
        uint8_t byte = 0;
        if (!core_->ReadEeprom(static_cast<uint16_t>(kSerialAddress + read), &byte)) break;
        if (byte == 0xFF) {
            firstWasErased = read == 0;
            break;
        }
        serial[read++] = static_cast<char>(byte);
        if (byte == 0) break;
        platform::SleepMs(kSerialByteWaitMs);
    }
    if (read > 0 && serial[0] != '\0') {
        std::memcpy(buffer, serial, kSerialField);
        return 1;
    }
    if (firstWasErased || read > 0) {
        buffer[0] = '\0';  // an erased or empty serial area reads as no serial number
        return 1;
    }
    return 0;
}

int CVeltCam::ReadSerialNumberW(wchar_t* buffer, int size) {
    char narrow[1024] = {};
    if (!ReadSerialNumberA(narrow, sizeof narrow)) return 0;
    if (buffer == nullptr || size <= 0 ||
        !platform::NarrowToWide(narrow, buffer, static_cast<size_t>(size))) {
        Report(kErrFailed);
        return 0;
    }
    return 1;
}

int CVeltCam::ReadSromID(int address, int* ok) {
    uint8_t byte = 0;
    if (!core_ || !core_->ReadEeprom(static_cast<uint16_t>(address & kSromAddressMask), &byte)) {
        if (ok != nullptr) *ok = 0;
        Notify(kErrNotReady);
        return 0;
    }
    if (ok != nullptr) *ok = 1;
    return byte;
}

int CVeltCam::WriteSromID(int address, int value) {
    const auto target = static_cast<uint16_t>(address & kSromAddressMask);
    const auto byte = static_cast<uint8_t>(value & 0xFF);
    if (!core_ || !core_->WriteEeprom(target, byte)) {
        Notify(kErrNotReady);
        return 0;
    }
    for (int attempt = 0; attempt < kSromVerifyAttempts; ++attempt) {
        uint8_t readBack = 0;
        if (!core_->ReadEeprom(target, &readBack)) {
            Notify(kErrNotReady);
        } else if (readBack == byte) {
            return 1;
        }
        core_->WriteEeprom(target, byte);
    }
    // The byte never read back as written: the caller must not believe it stored.
    Notify(kErrNotReady);
    return 0;
}

}  // namespace veltcam
