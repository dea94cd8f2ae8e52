// Model selection, device numbering, and the open and close sequences of the
// camera core.
#include "core/CVeltCamD3A7Base.h"

#include <cstring>
#include <new>

#include "foundation/ModelConstants.h"
#include "sensor/CSensorIMX265.h"

namespace veltcam {
namespace {

constexpr uint16_t kFirmwareWithReadyFlag = 0x1100;  // versions above it report readiness
constexpr int kReadyPolls = 400;
constexpr uint32_t kReadyPollMs = 500;
constexpr uint32_t kInterfaceResetEveryMs = 25000;
constexpr uint8_t kFpgaFrameCounter = 8;

}  // namespace

CVeltCamD3A7Base::CVeltCamD3A7Base() {
    for (int i = 0; i < kMaxRing; ++i) {
        bufferCounter_[i] = 0;
        for (auto& word : bufferWords_[i]) word = 0;
    }
}

CVeltCamD3A7Base::~CVeltCamD3A7Base() { Close(); }

void CVeltCamD3A7Base::SetDriverChannel(std::shared_ptr<platform::CDriverChannel> channel) {
    channel_ = std::move(channel);
}

platform::CTimeSource& CVeltCamD3A7Base::Time() const {
    return controller_ ? controller_->Time() : platform::SystemTime();
}

// ---------------------------------------------------------------------------
// Model and devices

int CVeltCamD3A7Base::CreateController(platform::WindowHandle,
                                       const platform::Guid* interfaceClass) {
    std::lock_guard<std::recursive_mutex> lock(control_);
    Close();
    controller_ = std::make_unique<CVeltCy3Cam>(interfaceClass, channel_);
    return 1;
}

int CVeltCamD3A7Base::SetProductCode(int code) {
    productCode_ = code;
    // One other model keeps eight frames; this one four.
    ringSize_ = 4;
    readMark_ = ringSize_ - 1;
    return 1;
}

int CVeltCamD3A7Base::CountDevices(int productCode) {
    if (!controller_) return 0;
    const int count = controller_->EnumerateDevices();
    if (productCode == 0) return count;
    const DeviceTableSnapshot table = controller_->Table();
    int present = 0;
    for (int i = 0; i < count && i < kMaxDevices; ++i) {
        const DeviceRecord& record = table.records[static_cast<size_t>(i)];
        if (record.productId != 0 && record.productId == productCode &&
            controller_->IsDevicePresent(i)) {
            ++present;
        }
    }
    return present;
}

int CVeltCamD3A7Base::IsDeviceNumberPresent(int deviceNumber) {
    if (productCode_ == -1 || !controller_) return 0;
    const DeviceTableSnapshot table = controller_->Table();
    for (int i = 0; i < kMaxDevices; ++i) {
        const DeviceRecord& record = table.records[static_cast<size_t>(i)];
        if (record.productId == productCode_ && record.instance == deviceNumber &&
            controller_->IsDevicePresent(i)) {
            return 1;
        }
    }
    if (deviceNumber == deviceNumber_.load()) deviceLost_ = true;
    return 0;
}

int CVeltCamD3A7Base::VendorIdAt(int tableIndex) {
    DeviceRecord record;
    if (!controller_ || tableIndex < 0 || tableIndex >= kMaxDevices) return 0;
    return controller_->RecordAt(tableIndex, &record) ? record.vendorId : 0;
}

int CVeltCamD3A7Base::ProductIdAt(int tableIndex) {
    DeviceRecord record;
    if (!controller_ || tableIndex < 0 || tableIndex >= kMaxDevices) return 0;
    return controller_->RecordAt(tableIndex, &record) ? record.productId : 0;
}

int CVeltCamD3A7Base::InstanceAt(int tableIndex) {
    DeviceRecord record;
    if (!controller_ || tableIndex < 0 || tableIndex >= kMaxDevices) return -1;
    return controller_->RecordAt(tableIndex, &record) ? record.instance : -1;
}

int CVeltCamD3A7Base::DeviceName(int deviceNumber, char* text, size_t size) {
    if (!controller_ || !IsDeviceNumberPresent(deviceNumber)) return 0;
    const DeviceTableSnapshot table = controller_->Table();
    for (int i = 0; i < table.count; ++i) {
        const DeviceRecord& record = table.records[static_cast<size_t>(i)];
        if (record.productId == productCode_ && record.instance == deviceNumber) {
            return controller_->DeviceName(i, text, size) ? 1 : 0;
        }
    }
    return 0;
}

int CVeltCamD3A7Base::SelectDeviceNumber(int deviceNumber) {
    std::lock_guard<std::recursive_mutex> lock(control_);
    if (!controller_ || productCode_ == -1) return 0;
    if (controller_->EnumerateDevices() == 0 || !IsDeviceNumberPresent(deviceNumber)) return 0;
    const DeviceTableSnapshot table = controller_->Table();
    int tableIndex = -1;
    for (int i = 0; i < table.count; ++i) {
        const DeviceRecord& record = table.records[static_cast<size_t>(i)];
        if (record.productId == productCode_ && record.instance == deviceNumber) {
            tableIndex = i;
            break;
        }
    }
    if (tableIndex < 0) return 0;
    // The transfer thread uses the controller's stream and the sensor: it must be gone
    // before either changes under it.
    if (running_.load()) StopTransfer(1);
    JoinTransferThreads();
    if (!controller_->SelectDevice(tableIndex)) return 0;
    // Every other user of the sensor holds the control lock as well: nobody is inside
    // the old sensor while it is replaced.
    sensor_.reset();
    if (productCode_ == kProductCode) {
        sensor_ = std::make_unique<CSensorIMX265>(controller_.get(), imx265::kBusAddress);
    }
    // Other product codes have no sensor class here: the camera stays without one.
    deviceNumber_ = deviceNumber;
    buffersStale_ = 1;
    deviceLost_ = false;
    return Open();
}

int CVeltCamD3A7Base::ReopenDevice(int deviceNumber) {
    StopTransfer(1);
    return SelectDeviceNumber(deviceNumber) ? 0 : -1;
}

int CVeltCamD3A7Base::ReadInfoBlock(uint8_t* block64) {
    return controller_ && controller_->ReadInfoBlock(block64) ? 1 : 0;
}

int CVeltCamD3A7Base::ReadInfoBlock2(uint8_t* block64) {
    return controller_ && controller_->ReadInfoBlock2(block64) ? 1 : 0;
}

int CVeltCamD3A7Base::GetBusSpeed(uint32_t* code) {
    return controller_ && controller_->GetBusSpeed(code) ? 1 : 0;
}

bool CVeltCamD3A7Base::HasSensor() {
    std::lock_guard<std::recursive_mutex> lock(control_);
    return sensor_ != nullptr;
}

int CVeltCamD3A7Base::GetSensorInfo(SensorInfo* info) {
    std::lock_guard<std::recursive_mutex> lock(control_);
    if (!sensor_ || info == nullptr) return 0;
    return sensor_->GetSensorInfo(info) ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Open and close

int CVeltCamD3A7Base::Open() {
    std::lock_guard<std::recursive_mutex> lock(control_);
    if (!controller_) return 0;
    if (!controller_->AllocateTransferBuffer()) return 0;
    controller_->ReadInfoBlock(infoBlock_.data());
    if (!sensor_) return 0;

    uint8_t block[64] = {};
    const bool read = controller_->ReadInfoBlock(block);
    const uint16_t version = static_cast<uint16_t>(block[24] | (block[25] << 8));
    const uint8_t gpio = block[52];
    if (read && version > kFirmwareWithReadyFlag && gpio == 1) {
        // The FPGA loads its configuration after the controller; the controller says
        // when it is done. A sensor interface that hangs is reset now and then.
        uint32_t start = Time().TickMs();
        bool ready = false;
        for (int attempt = 0; attempt < kReadyPolls && !ready; ++attempt) {
            uint8_t flag = 0;
            if (controller_->ReadReadyFlag(&flag) && flag == 1) {
                ready = true;
                break;
            }
            Time().SleepMs(kReadyPollMs);
            if (Time().TickMs() - start >= kInterfaceResetEveryMs) {
                sensor_->ResetSensorInterface();
                start = Time().TickMs();
            }
        }
        if (!ready) return 0;
    }
    if (!sensor_->PowerUp()) return 0;
    return sensor_->Initialize() ? 1 : 0;
}

void CVeltCamD3A7Base::FreeWorkBuffer() {
    // A read the driver never handed back may still write into the work buffer: then
    // the controller keeps it until the driver is done with it.
    if (!controller_ || !controller_->KeepWhileDriverWrites(workBuffer_, workBufferSize_)) {
        workBuffer_.reset();
    }
    workBufferSize_ = 0;
}

bool CVeltCamD3A7Base::Geometry(int* width, int* height, int* bytesPerPixel) const {
    if (!sensor_) return false;
    SensorInfo info;
    sensor_->GetSensorInfo(&info);
    *bytesPerPixel = (transferDepth_ == 1 || transferDepth_ == 2) ? 2 : 1;
    *width = info.window_width;
    *height = info.window_height;
    if (sensor_->WidthFactor() == 2) *width *= 2;
    return true;
}

int CVeltCamD3A7Base::AllocateFrameBuffers() {
    std::lock_guard<std::recursive_mutex> lock(control_);
    // Never under a running producer: stop and join it first.
    if (running_.load()) StopTransfer(1);
    JoinTransferThreads();
    FreeWorkBuffer();
    int width = 0, height = 0, bpp = 1;
    if (!Geometry(&width, &height, &bpp)) return 0;
    // The padded frame, rounded up to whole 8 KiB.
    const size_t size = ((static_cast<size_t>(height) + 128) * (static_cast<size_t>(width) + 128) *
                             static_cast<size_t>(bpp) +
                         8191) &
                        ~static_cast<size_t>(8191);
    workBuffer_.reset(new (std::nothrow) uint8_t[size]);
    if (!workBuffer_) return 0;
    workBufferSize_ = size;
    frameSize_ = width * height * bpp;
    frameWidth_ = width;
    frameHeight_ = height;
    frameBytesPerPixel_ = bpp;
    SensorInfo info;
    sensor_->GetSensorInfo(&info);
    frameOrientation_ = info.orientation;
    for (int i = 0; i < ringSize_; ++i) {
        frameBuffers_[i].reset();
        frameBuffers_[i].reset(new (std::nothrow) uint8_t[size]);
        if (!frameBuffers_[i]) return 0;
        bufferCounter_[i] = -1;
        for (auto& word : bufferWords_[i]) word = 0xFFFF;
    }
    if (controller_) {
        controller_->WriteFpgaRegister(68, static_cast<uint8_t>(width));
        controller_->WriteFpgaRegister(69, static_cast<uint8_t>(width >> 8));
        controller_->WriteFpgaRegister(64, static_cast<uint8_t>(height));
        controller_->WriteFpgaRegister(65, static_cast<uint8_t>(height >> 8));
        controller_->WriteFpgaRegister(72, info.readout_mode == 1 ? 11 : 12);
        controller_->WriteFpgaRegister(73, 0);
        controller_->WriteFpgaRegister(76, 0);
        controller_->WriteFpgaRegister(77, 0);
    }
    buffersStale_ = 0;
    return 1;
}

int CVeltCamD3A7Base::RefreshFrameCounter() {
    if (!controller_) return 0;
    uint8_t value = 0;
    if (!controller_->ReadFpgaRegister(kFpgaFrameCounter, &value)) return 0;
    lastFrameCounter_ = value;
    return 1;
}

int CVeltCamD3A7Base::Close() {
    std::lock_guard<std::recursive_mutex> lock(control_);
    StopTransfer(1);
    JoinTransferThreads();
    if (controller_) controller_->CloseStreamHandle();
    FreeWorkBuffer();
    controller_.reset();
    infoBlock_.fill(0);
    acquisitionMode_ = 0;
    for (int i = 0; i < kMaxRing; ++i) {
        frameBuffers_[i].reset();
        bufferCounter_[i] = -1;
        for (auto& word : bufferWords_[i]) word = 0xFFFF;
    }
    frameSize_ = 0;
    sensor_.reset();
    {
        std::lock_guard<std::mutex> events(eventsLock_);
        newFrameEvent_.reset();
        threadEndEvent_.reset();
    }
    transferFailed_ = 0;
    return 1;
}

}  // namespace veltcam
