// The camera driver's requests over libusb-1.0. Each request of the transport
// becomes the USB operation the Windows driver performs for it: endpoint-0 vendor
// requests become control transfers, direct transfers become asynchronous bulk
// transfers into the caller's buffer, abort and reset pipe cancel what is in flight on
// the endpoint. One libusb device handle serves every path handle of a camera and
// stays open while the camera is on the bus; interface 0 is claimed only while a path
// handle needs the bulk endpoints, so another program can still find and stream the
// camera when this one is idle. One thread of the channel runs libusb's event
// handling and completes the transfers.
#include <dlfcn.h>
#include <libusb.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "foundation/ModelConstants.h"
#include "platform/Clock.h"
#include "platform/posix/MessageWindow.h"
#include "platform/posix/UsbDriverChannel.h"
#include "platform/posix/UsbRequestMap.h"

namespace veltcam::platform {
namespace {

using namespace usb;

constexpr int kCameraInterface = 0;
// How long a reset that made the camera enumerate afresh waits for it to come back on
// its port, and how often it looks.
constexpr auto kReenumerationWait = std::chrono::seconds(3);
constexpr auto kReenumerationPoll = std::chrono::milliseconds(50);
constexpr uint32_t kMessageDeviceChange = 0x0219;
constexpr uintptr_t kDeviceArrival = 0x8000;
constexpr uintptr_t kDeviceRemoveComplete = 0x8004;
// Full frames a High-Speed link carries each second at 8 bits (about 40 MB/s of
// 3 MiB frames), for the warning about a camera on a USB 2 port.
constexpr int kHighSpeedFullFrameRate = 12;

// Completion record of one overlapped request: an auto-reset event and the result.
struct OpState {
    std::mutex mutex;
    std::condition_variable changed;
    bool signalled = false;
    bool done = false;
    bool ok = false;
    uint32_t bytes = 0;
    uint32_t error = 0;

    void Reset() {
        std::lock_guard<std::mutex> lock(mutex);
        signalled = done = ok = false;
        bytes = error = 0;
    }
    void Complete(bool success, uint32_t count, uint32_t code) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            done = signalled = true;
            ok = success;
            bytes = success ? count : 0;
            error = success ? 0 : code;
        }
        changed.notify_all();
    }
};

class CUsbOperation final : public CIoOperation {
  public:
    CUsbOperation() : state_(std::make_shared<OpState>()) {}
    bool Wait(uint32_t ms) override {
        std::unique_lock<std::mutex> lock(state_->mutex);
        auto signalled = [&] { return state_->signalled; };
        if (ms == kWaitForever) {
            state_->changed.wait(lock, signalled);
        } else if (!state_->changed.wait_for(lock, std::chrono::milliseconds(ms), signalled)) {
            return false;
        }
        state_->signalled = false;
        return true;
    }
    bool Result(uint32_t* bytes) override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        const bool ok = state_->done && state_->ok;
        if (bytes) *bytes = ok ? state_->bytes : 0;
        return ok;
    }
    const std::shared_ptr<OpState>& State() { return state_; }

  private:
    std::shared_ptr<OpState> state_;
};

// One camera as libusb knows it, shared by every path handle opened on it.
struct UsbDevice {
    std::string path;
    PathLocation location;
    // Open from the first path handle until the camera leaves the bus or the channel
    // ends: closing the device file after every idle request would let the kernel
    // autosuspend the camera (which may lose the FPGA's and sensor's settings) and
    // costs an open per request.
    libusb_device_handle* handle = nullptr;
    int refs = 0;       // path handles (under mutex_)
    bool gone = false;  // unplugged: every request fails "device gone" (under mutex_)
    // Endpoints a transfer found stalled, i.e. halted until a clear (under mutex_).
    std::set<uint8_t> halted;
    // The claim of interface 0, pipe clears and port resets of this camera, one at a
    // time and never under the channel-wide lock: they wait for the device.
    std::mutex claimLock;
    bool claimed = false;  // under claimLock
    // Held shared while an endpoint-0 request uses `handle`, exclusively while a reset
    // swaps it for the re-enumerated camera's: the old one closes only when unused.
    std::shared_mutex handleLock;
};

struct PathHandle {
    std::shared_ptr<UsbDevice> device;
    bool overlapped = false;
};

struct BulkTransfer {
    class CUsbDriverChannel* channel = nullptr;
    libusb_transfer* transfer = nullptr;
    PathHandle* owner = nullptr;
    std::shared_ptr<UsbDevice> device;
    uint8_t endpoint = 0;
    uint8_t* header = nullptr;  // the caller's request header: status words go there
    std::shared_ptr<OpState> state;
    // Threads that use the transfer without the channel's lock (a submit, a cancel):
    // the last of them frees it if its callback has run meanwhile. Under mutex_.
    int pins = 0;
    bool finished = false;         // called back (or never submitted)
    bool cancelRequested = false;  // an abort met it, perhaps before it was submitted
};

class CUsbDriverChannel;

// Channels whose event thread still runs; stopped when the library unloads, since
// the SDK keeps its channel for the life of the process.
// Both outlive every static destructor: the unload hook below runs among them.
std::mutex& liveLock = *new std::mutex;
std::set<CUsbDriverChannel*>& LiveChannels() {
    static auto* channels = new std::set<CUsbDriverChannel*>;
    return *channels;
}

class CUsbDriverChannel final : public CDriverChannel {
  public:
    explicit CUsbDriverChannel(const UsbChannelOptions& options)
        : tableName_(options.tableName),
          cancelWait_(options.cancelWaitMs),
          inPortReset_(options.inPortReset),
          vendorFilter_(
              VendorFilter(options.vendorId ? options.vendorId : std::getenv("VELTCAM_USB_VID"))) {}
    ~CUsbDriverChannel() override {
        if (Inherited()) {
            // A copy made by fork: the parent's libusb state is not this process's to
            // end, and the event thread does not exist here.
            new std::thread(std::move(events_));
            return;
        }
        StopEvents();
        std::lock_guard<std::mutex> lock(mutex_);
        // No callback runs any more: the event thread has ended.
        std::set<std::shared_ptr<UsbDevice>> devices;
        for (auto& [path, device] : devices_) devices.insert(device);
        for (auto& [id, handle] : handles_) devices.insert(handle->device);
        for (const auto& device : devices) {
            CloseDevice(device->handle);
            device->handle = nullptr;
        }
        for (libusb_device_handle* handle : retiring_) CloseDevice(handle);
        for (libusb_device_handle* handle : toClose_) CloseDevice(handle);
        // With every file closed and the event thread gone, libusb calls back for
        // nothing any more: what it still had ends here, as aborted, so that their
        // waiters let go of the buffers.
        for (BulkTransfer* bulk : inFlight_) {
            bulk->state->Complete(false, 0, kErrorOperationAborted);
            libusb_free_transfer(bulk->transfer);
            delete bulk;
        }
        inFlight_.clear();
        handles_.clear();
        devices_.clear();
        if (context_) libusb_exit(context_);
    }

    std::vector<std::string> ListInterfaces(const Guid& interfaceClass, int maxCount) override;
    DeviceHandle Open(const char* path, bool overlapped) override;
    void Close(DeviceHandle handle) override;
    std::unique_ptr<CIoOperation> NewOperation() override {
        return std::make_unique<CUsbOperation>();
    }
    bool Control(DeviceHandle handle, uint32_t code, const void* in, uint32_t inBytes, void* out,
                 uint32_t outBytes, uint32_t* bytes, CIoOperation* operation,
                 uint32_t* error) override;
    CTimeSource& Time() override { return SystemTime(); }
    std::string SharedTableName() const override { return tableName_; }

    void StopEvents();
    void OnTransferDone(BulkTransfer* bulk);
    void OnHotplug(bool arrived);
    UsbChannelState State();

  private:
    bool EnsureContext();
    // True in a child made by fork from a process that had started libusb here: the
    // child shares the parent's device files, whose completed transfers either could
    // reap, and the parent's locks may be held forever. Such a channel refuses all.
    bool Inherited();
    bool IsCamera(libusb_device* device, const libusb_device_descriptor& descriptor);
    // Claims interface 0 for the bulk endpoints, once until the last path handle
    // closes; a failure says why on standard error, once per camera.
    bool EnsureClaimed(UsbDevice& device, uint32_t* error);
    void ReleaseIfIdle(UsbDevice& device);
    // Closes the device file of a camera no path handle uses any more.
    void Retire(UsbDevice& device, libusb_device_handle* handle);
    // Closes an unpublished libusb handle now, or (transfers submitted on it still out)
    // once the last of them has come back: closing it earlier would make libusb forget
    // them, so their waiters would never hear of them and their records would leak.
    // Without mutex_.
    void CloseWhenIdle(libusb_device_handle* handle);
    // Transfers submitted on `handle` that libusb has not given back (under mutex_).
    bool HasTransfersOn(libusb_device_handle* handle) const;
    // Takes a transfer libusb is done with off the books; the last one of a retired
    // handle passes the handle on to be closed (under mutex_).
    void Forget(BulkTransfer* bulk);
    // Closes the retired handles whose last transfer came back; on the event thread,
    // between rounds of event handling (libusb_close cannot run inside one).
    void CloseIdleRetired();
    void ReportOnce(const std::string& key, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
    libusb_device* FindDevice(libusb_device** list, ssize_t count, const PathLocation& where);
    std::string PathOf(libusb_device* device, const libusb_device_descriptor& descriptor);
    // libusb calls that may take libusb's event lock (open, close, device lists) run
    // without mutex_: a transfer's callback holds that lock and takes mutex_.
    libusb_device_handle* OpenDevice(const std::string& path, const PathLocation& where);
    static void CloseDevice(libusb_device_handle* handle);
    // Cancels what is in flight on `device` (only `endpoint`'s transfers unless it is
    // 0; only those submitted through `owner` unless it is null) and waits until
    // libusb has called back for each.
    void CancelAndWait(std::unique_lock<std::mutex>& lock, const UsbDevice* device,
                       uint8_t endpoint, const PathHandle* owner);
    // Submits without holding `lock` (the kernel builds its scatter list meanwhile);
    // returns with it held.
    bool SubmitBulk(std::unique_lock<std::mutex>& lock, PathHandle& handle, const uint8_t* header,
                    uint8_t* buffer, uint32_t length, const std::shared_ptr<OpState>& state,
                    uint32_t* error);
    // Lets go of a pinned transfer (under mutex_), freeing it when it is done with.
    static void Unpin(BulkTransfer* bulk);
    bool ControlRequest(UsbDevice& device, const uint8_t* in, uint32_t inBytes, uint8_t* out,
                        uint32_t outBytes, uint32_t* bytes, uint32_t* error);
    bool ResetDevice(std::unique_lock<std::mutex>& lock, UsbDevice& device, uint32_t* error);
    void MarkGoneIf(int libusbResult, UsbDevice& device);

    const std::string tableName_;
    const std::chrono::milliseconds cancelWait_;
    const std::function<void(const std::string&)> inPortReset_;
    const uint16_t vendorFilter_;  // 0: any vendor

    std::mutex contextMutex_;  // the context's creation and the reports on stderr
    std::mutex mutex_;         // devices, handles and transfers in flight
    std::condition_variable transfersDone_;
    libusb_context* context_ = nullptr;
    std::atomic<pid_t> contextPid_{0};  // the process that started libusb here
    bool contextFailed_ = false;
    std::map<std::string, std::shared_ptr<UsbDevice>> devices_;
    std::set<std::string> opening_;  // paths a thread is opening or retiring
    std::condition_variable openingDone_;
    std::map<uintptr_t, std::unique_ptr<PathHandle>> handles_;
    std::list<BulkTransfer*> inFlight_;
    // Retired handles waiting for transfers, and those whose transfers have all come
    // back, for the event thread to close (both under mutex_).
    std::vector<libusb_device_handle*> retiring_;
    std::vector<libusb_device_handle*> toClose_;
    uint64_t lateCompletions_ = 0;  // under mutex_
    std::set<std::string> reported_;

    std::thread events_;
    std::atomic<int> stopEvents_{0};
    libusb_hotplug_callback_handle hotplug_{};
    bool hotplugRegistered_ = false;
};

void LIBUSB_CALL TransferCallback(libusb_transfer* transfer) {
    auto* bulk = static_cast<BulkTransfer*>(transfer->user_data);
    bulk->channel->OnTransferDone(bulk);
}

int LIBUSB_CALL HotplugCallback(libusb_context*, libusb_device*, libusb_hotplug_event event,
                                void* user) {
    static_cast<CUsbDriverChannel*>(user)->OnHotplug(event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
    return 0;  // stay registered
}

// libusb runs a thread of its own (the hotplug monitor) from the first context to
// the last. Unloading this library would unmap libusb under that thread, which
// faults at the next USB event on the machine; so once libusb is started, the
// library stays loaded until the process ends.
void KeepLibraryLoaded() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&CreateUsbDriverChannel), &info) == 0 ||
        info.dli_fname == nullptr) {
        return;
    }
    // Promotes the already loaded library to "never unload"; the handle is kept.
    dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}

bool CUsbDriverChannel::Inherited() {
    const pid_t owner = contextPid_.load();
    return owner != 0 && owner != getpid();
}

void CUsbDriverChannel::ReportOnce(const std::string& key, const char* format, ...) {
    std::lock_guard<std::mutex> lock(contextMutex_);
    if (!reported_.insert(key).second) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

bool CUsbDriverChannel::EnsureContext() {
    if (Inherited()) {
        static std::atomic<bool> told{false};
        if (!told.exchange(true)) {
            std::fprintf(stderr,
                         "veltcam: this process was forked from one that used the cameras; "
                         "the cameras cannot be used here. Start the program afresh (exec, or "
                         "the 'spawn' start method in Python) to use them.\n");
        }
        return false;
    }
    std::lock_guard<std::mutex> lock(contextMutex_);
    if (context_) return true;
    if (contextFailed_) return false;
    if (libusb_init(&context_) != LIBUSB_SUCCESS) {
        context_ = nullptr;
        contextFailed_ = true;
        return false;
    }
    contextPid_ = getpid();
    KeepLibraryLoaded();
    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
        // Any vendor's device with the camera's product id; discovery then checks the
        // interface.
        if (libusb_hotplug_register_callback(
                context_, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
                LIBUSB_HOTPLUG_NO_FLAGS, vendorFilter_ ? vendorFilter_ : LIBUSB_HOTPLUG_MATCH_ANY,
                kCameraProductId, LIBUSB_HOTPLUG_MATCH_ANY, HotplugCallback, this,
                &hotplug_) == LIBUSB_SUCCESS) {
            hotplugRegistered_ = true;
        }
    }
    // Completions, cancellations and hotplug events all come through libusb's event
    // handling, which this thread runs for as long as the channel lives.
    events_ = std::thread([this] {
        // A real-time transfer thread waits for the completions this thread hands
        // over: at normal priority it would queue behind the pipeline's workers.
        pthread_setname_np(pthread_self(), "veltcam-usb");
        RaiseCurrentThreadToTimeCritical();
        while (!stopEvents_.load()) {
            int stop = 0;
            struct timeval tick {
                0, 200000
            };
            libusb_handle_events_timeout_completed(context_, &tick, &stop);
            CloseIdleRetired();
        }
    });
    std::lock_guard<std::mutex> live(liveLock);
    LiveChannels().insert(this);
    return true;
}

void CUsbDriverChannel::CloseDevice(libusb_device_handle* handle) {
    if (!handle) return;
    libusb_release_interface(handle, kCameraInterface);
    libusb_close(handle);
}

void CUsbDriverChannel::StopEvents() {
    if (Inherited()) return;  // the thread is the parent's
    {
        std::lock_guard<std::mutex> live(liveLock);
        LiveChannels().erase(this);
    }
    if (!events_.joinable()) return;
    stopEvents_ = 1;
    libusb_interrupt_event_handler(context_);
    events_.join();
}

void CUsbDriverChannel::OnHotplug(bool arrived) {
    PostDeviceChange(kMessageDeviceChange, arrived ? kDeviceArrival : kDeviceRemoveComplete);
}

std::string CUsbDriverChannel::PathOf(libusb_device* device,
                                      const libusb_device_descriptor& descriptor) {
    uint8_t ports[8];
    const int count = libusb_get_port_numbers(device, ports, sizeof(ports));
    std::vector<int> path;
    for (int i = 0; i < count; ++i) path.push_back(ports[i]);
    // A device without topology (a bus without sysfs) is told apart by its address.
    if (path.empty()) path.push_back(libusb_get_device_address(device));
    return DevicePath(descriptor.idVendor, descriptor.idProduct, libusb_get_bus_number(device),
                      path);
}

bool CUsbDriverChannel::IsCamera(libusb_device* device,
                                 const libusb_device_descriptor& descriptor) {
    if (descriptor.idProduct != kCameraProductId) return false;
    if (vendorFilter_ && descriptor.idVendor != vendorFilter_) return false;
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_config_descriptor(device, 0, &config) != LIBUSB_SUCCESS) return false;
    bool camera = false;
    if (config->bNumInterfaces > 0 && config->interface[0].num_altsetting > 0) {
        const libusb_interface_descriptor& interface = config->interface[0].altsetting[0];
        std::vector<uint8_t> bulk;
        for (int i = 0; i < interface.bNumEndpoints; ++i) {
            const libusb_endpoint_descriptor& endpoint = interface.endpoint[i];
            if ((endpoint.bmAttributes & 3) == LIBUSB_TRANSFER_TYPE_BULK) {
                bulk.push_back(endpoint.bEndpointAddress);
            }
        }
        camera = IsCameraInterface(descriptor.idProduct, interface.bInterfaceClass, bulk);
    }
    libusb_free_config_descriptor(config);
    return camera;
}

std::vector<std::string> CUsbDriverChannel::ListInterfaces(const Guid& interfaceClass,
                                                           int maxCount) {
    std::vector<std::string> paths;
    if (std::memcmp(&interfaceClass, &kCameraInterfaceGuid, sizeof(Guid)) != 0) return paths;
    if (!EnsureContext()) return paths;
    std::vector<std::pair<PathLocation, std::string>> found;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context_, &list);
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) != LIBUSB_SUCCESS) continue;
        if (!IsCamera(list[i], descriptor)) continue;
        std::string path = PathOf(list[i], descriptor);
        PathLocation where;
        if (ParseDevicePath(path.c_str(), &where)) found.emplace_back(where, std::move(path));
    }
    if (list) libusb_free_device_list(list, 1);
    // Port order, so that cameras are numbered alike whatever order the bus lists them.
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return PortOrder(a.first, b.first); });
    for (auto& [where, path] : found) paths.push_back(std::move(path));
    if (static_cast<int>(paths.size()) > maxCount) paths.resize(static_cast<size_t>(maxCount));
    return paths;
}

libusb_device* CUsbDriverChannel::FindDevice(libusb_device** list, ssize_t count,
                                             const PathLocation& where) {
    // The shared device table may hold paths other processes registered without the
    // vendor filter: a camera the filter hides stays hidden when opened by path.
    if (vendorFilter_ && where.vendorId != vendorFilter_) return nullptr;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) != LIBUSB_SUCCESS) continue;
        if (descriptor.idVendor != where.vendorId || descriptor.idProduct != where.productId ||
            libusb_get_bus_number(list[i]) != where.bus) {
            continue;
        }
        PathLocation here;
        if (ParseDevicePath(PathOf(list[i], descriptor).c_str(), &here) &&
            here.ports == where.ports) {
            return list[i];
        }
    }
    return nullptr;
}

// "2-1.4": where the messages say the camera is.
std::string PortText(const PathLocation& where) {
    std::string text = std::to_string(where.bus) + "-";
    for (size_t i = 0; i < where.ports.size(); ++i) {
        if (i) text += '.';
        text += std::to_string(where.ports[i]);
    }
    return text;
}

libusb_device_handle* CUsbDriverChannel::OpenDevice(const std::string& path,
                                                    const PathLocation& where) {
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context_, &list);
    libusb_device* found = count > 0 ? FindDevice(list, count, where) : nullptr;
    libusb_device_handle* handle = nullptr;
    const int result = found ? libusb_open(found, &handle) : LIBUSB_ERROR_NO_DEVICE;
    const int speed = found ? libusb_get_device_speed(found) : LIBUSB_SPEED_UNKNOWN;
    if (list) libusb_free_device_list(list, 1);
    const std::string port = PortText(where);
    if (result == LIBUSB_ERROR_ACCESS) {
        ReportOnce("access " + path,
                   "veltcam: no permission to open the camera %04x:%04x on USB port %s "
                   "(/dev/bus/usb/%03d). Install the udev rule 60-veltcam.rules into "
                   "/etc/udev/rules.d and replug the camera; it grants access to the user "
                   "at the local desktop, and to members of the 'veltcam' group (for "
                   "services and remote logins)\n",
                   where.vendorId, where.productId, port.c_str(), where.bus);
    }
    if (result != LIBUSB_SUCCESS) return nullptr;
    // A kernel driver bound to the camera's interface is set aside when the interface
    // is claimed, and takes it back when this program lets go.
    libusb_set_auto_detach_kernel_driver(handle, 1);
    if (speed != LIBUSB_SPEED_UNKNOWN && speed < LIBUSB_SPEED_SUPER) {
        ReportOnce("speed " + path,
                   "veltcam: the camera on USB port %s runs at USB 2 speed: full frames "
                   "reach about %d frames/s at 8 bits. Plug it into a USB 3 port with a USB 3 "
                   "cable for the full frame rate\n",
                   port.c_str(), kHighSpeedFullFrameRate);
    }
    return handle;
}

bool CUsbDriverChannel::EnsureClaimed(UsbDevice& device, uint32_t* error) {
    std::lock_guard<std::mutex> guard(device.claimLock);
    if (device.claimed) return true;
    const int result = libusb_claim_interface(device.handle, kCameraInterface);
    if (result == LIBUSB_SUCCESS) {
        device.claimed = true;
        return true;
    }
    const std::string port = PortText(device.location);
    if (result == LIBUSB_ERROR_BUSY) {
        ReportOnce("claim " + device.path,
                   "veltcam: the camera on USB port %s is in use by another program\n",
                   port.c_str());
    } else if (result != LIBUSB_ERROR_NO_DEVICE) {
        ReportOnce("claim " + device.path, "veltcam: cannot claim the camera on USB port %s: %s\n",
                   port.c_str(), libusb_error_name(result));
    }
    if (result == LIBUSB_ERROR_NO_DEVICE) {
        std::lock_guard<std::mutex> lock(mutex_);
        device.gone = true;
    }
    *error = ErrorForLibusbError(result);
    return false;
}

void CUsbDriverChannel::ReleaseIfIdle(UsbDevice& device) {
    std::lock_guard<std::mutex> guard(device.claimLock);
    if (!device.claimed) return;
    {
        // A path handle opened meanwhile keeps the claim; one opened after this
        // point claims again under claimLock.
        std::lock_guard<std::mutex> lock(mutex_);
        if (device.refs > 0 || !device.handle) return;
    }
    libusb_release_interface(device.handle, kCameraInterface);
    device.claimed = false;
}

DeviceHandle CUsbDriverChannel::Open(const char* path, bool overlapped) {
    PathLocation where;
    if (!ParseDevicePath(path, &where)) return nullptr;
    if (!EnsureContext()) return nullptr;
    auto usable = [](const std::shared_ptr<UsbDevice>& d) { return d && !d->gone && d->handle; };
    std::unique_lock<std::mutex> lock(mutex_);
    // One thread at a time brings a camera's device file up or down: two threads
    // that both found it closed would otherwise both open and claim it.
    openingDone_.wait(lock, [&] { return opening_.count(path) == 0; });
    auto current = devices_.find(path);
    if (current == devices_.end() || !usable(current->second)) {
        // A device that left the bus keeps its file until its last path handle closes.
        std::shared_ptr<UsbDevice> stale;
        libusb_device_handle* retired = nullptr;
        if (current != devices_.end()) {
            stale = current->second;
            if (stale->refs == 0) {
                retired = stale->handle;
                stale->handle = nullptr;
            }
            devices_.erase(current);
        }
        opening_.insert(path);
        lock.unlock();
        if (stale) Retire(*stale, retired);
        libusb_device_handle* opened = OpenDevice(path, where);
        lock.lock();
        opening_.erase(path);
        openingDone_.notify_all();
        if (!opened) return nullptr;
        auto device = std::make_shared<UsbDevice>();
        device->path = path;
        device->location = where;
        device->handle = opened;
        devices_[path] = device;
    }
    std::shared_ptr<UsbDevice> device = devices_[path];
    ++device->refs;
    auto handle = std::make_unique<PathHandle>();
    handle->device = device;
    handle->overlapped = overlapped;
    const auto id = reinterpret_cast<uintptr_t>(handle.get());
    handles_[id] = std::move(handle);
    return reinterpret_cast<DeviceHandle>(id);
}

void CUsbDriverChannel::Close(DeviceHandle handle) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == handles_.end()) return;
    PathHandle* path = it->second.get();
    // Closing a handle ends what was submitted through it, as the driver cancels a
    // closed file's requests; the buffers stay the driver's until libusb gives them back.
    CancelAndWait(lock, path->device.get(), 0, path);
    std::shared_ptr<UsbDevice> device = path->device;
    handles_.erase(reinterpret_cast<uintptr_t>(handle));
    if (--device->refs > 0) return;
    auto current = devices_.find(device->path);
    const bool known = current != devices_.end() && current->second == device;
    if (known && !device->gone) {
        // Idle: the file stays open, the interface goes back for other programs.
        lock.unlock();
        ReleaseIfIdle(*device);
        return;
    }
    libusb_device_handle* last = device->handle;
    device->handle = nullptr;
    if (!known) {
        lock.unlock();
        Retire(*device, last);
        return;
    }
    // Until the file is closed, a new opener of the camera waits: its claim would
    // meet this one's.
    devices_.erase(current);
    opening_.insert(device->path);
    lock.unlock();
    Retire(*device, last);
    lock.lock();
    opening_.erase(device->path);
    openingDone_.notify_all();
}

void CUsbDriverChannel::Retire(UsbDevice& device, libusb_device_handle* handle) {
    std::lock_guard<std::mutex> guard(device.claimLock);
    CloseWhenIdle(handle);
    device.claimed = false;
}

bool CUsbDriverChannel::HasTransfersOn(libusb_device_handle* handle) const {
    return std::any_of(inFlight_.begin(), inFlight_.end(), [&](const BulkTransfer* bulk) {
        return bulk->transfer->dev_handle == handle;
    });
}

void CUsbDriverChannel::CloseWhenIdle(libusb_device_handle* handle) {
    if (!handle) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Nobody submits on an unpublished handle any more: once idle, it stays idle.
        if (HasTransfersOn(handle)) {
            retiring_.push_back(handle);
            return;
        }
    }
    CloseDevice(handle);
}

void CUsbDriverChannel::Forget(BulkTransfer* bulk) {
    inFlight_.remove(bulk);
    libusb_device_handle* handle = bulk->transfer->dev_handle;
    auto retired = std::find(retiring_.begin(), retiring_.end(), handle);
    if (retired == retiring_.end()) return;
    ++lateCompletions_;
    if (!HasTransfersOn(handle)) {
        retiring_.erase(retired);
        toClose_.push_back(handle);
    }
}

void CUsbDriverChannel::CloseIdleRetired() {
    std::vector<libusb_device_handle*> closing;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing.swap(toClose_);
    }
    for (libusb_device_handle* handle : closing) CloseDevice(handle);
}

UsbChannelState CUsbDriverChannel::State() {
    std::lock_guard<std::mutex> lock(mutex_);
    UsbChannelState state;
    state.transfersInFlight = inFlight_.size();
    state.retiredFilesOpen = retiring_.size() + toClose_.size();
    state.lateCompletions = lateCompletions_;
    return state;
}

void CUsbDriverChannel::CancelAndWait(std::unique_lock<std::mutex>& lock, const UsbDevice* device,
                                      uint8_t endpoint, const PathHandle* owner) {
    auto matches = [&](const BulkTransfer* bulk) {
        return bulk->device.get() == device && (endpoint == 0 || bulk->endpoint == endpoint) &&
               (owner == nullptr || bulk->owner == owner);
    };
    std::vector<BulkTransfer*> targets;
    for (BulkTransfer* bulk : inFlight_) {
        if (!matches(bulk)) continue;
        bulk->cancelRequested = true;
        ++bulk->pins;
        targets.push_back(bulk);
    }
    // A discard returns only when the host controller has let go of the request:
    // completions of other cameras go on meanwhile.
    lock.unlock();
    for (BulkTransfer* bulk : targets) libusb_cancel_transfer(bulk->transfer);
    lock.lock();
    for (BulkTransfer* bulk : targets) Unpin(bulk);
    transfersDone_.wait_for(lock, cancelWait_, [&] {
        return std::none_of(inFlight_.begin(), inFlight_.end(), matches);
    });
}

void CUsbDriverChannel::Unpin(BulkTransfer* bulk) {
    if (--bulk->pins > 0 || !bulk->finished) return;
    libusb_free_transfer(bulk->transfer);
    delete bulk;
}

void CUsbDriverChannel::OnTransferDone(BulkTransfer* bulk) {
    libusb_transfer* transfer = bulk->transfer;
    const bool ok = transfer->status == LIBUSB_TRANSFER_COMPLETED;
    const uint32_t error = ErrorForTransferStatus(transfer->status);
    const auto count = static_cast<uint32_t>(transfer->actual_length);
    const std::shared_ptr<OpState> state = bulk->state;
    bool pinned = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // The driver reports its own view of the transfer in the header: zero for a
        // completed transfer, libusb's status otherwise.
        if (bulk->header) {
            const uint32_t status = ok ? 0 : static_cast<uint32_t>(transfer->status);
            for (int i = 0; i < 4; ++i) {
                bulk->header[kStatus1Offset + i] = static_cast<uint8_t>(status >> (8 * i));
            }
        }
        if (transfer->status == LIBUSB_TRANSFER_NO_DEVICE) bulk->device->gone = true;
        if (transfer->status == LIBUSB_TRANSFER_STALL) bulk->device->halted.insert(bulk->endpoint);
        Forget(bulk);
        bulk->finished = true;
        pinned = bulk->pins > 0;  // then the last pin frees it
    }
    state->Complete(ok, count, error);
    transfersDone_.notify_all();
    if (!pinned) {
        libusb_free_transfer(transfer);
        delete bulk;
    }
}

void CUsbDriverChannel::MarkGoneIf(int libusbResult, UsbDevice& device) {
    if (libusbResult == LIBUSB_ERROR_NO_DEVICE) device.gone = true;
}

bool CUsbDriverChannel::SubmitBulk(std::unique_lock<std::mutex>& lock, PathHandle& handle,
                                   const uint8_t* header, uint8_t* buffer, uint32_t length,
                                   const std::shared_ptr<OpState>& state, uint32_t* error) {
    const uint8_t endpoint = header[kEndpointOffset];
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    if (transfer == nullptr) {
        *error = kErrorGenFailure;
        return false;
    }
    auto* bulk = new BulkTransfer;
    bulk->channel = this;
    bulk->transfer = transfer;
    bulk->owner = &handle;
    bulk->device = handle.device;
    bulk->endpoint = endpoint;
    bulk->header = const_cast<uint8_t*>(header);
    bulk->state = state;
    // No time-out of libusb's own: the transport times a transfer out itself and then
    // aborts the pipe, as it does with the Windows driver.
    libusb_fill_bulk_transfer(transfer, handle.device->handle, endpoint, buffer,
                              static_cast<int>(length), TransferCallback, bulk, 0);
    // Published first, so that an abort meanwhile finds it; pinned, so that its
    // callback cannot free it before this thread is done with it.
    inFlight_.push_back(bulk);
    ++bulk->pins;
    std::shared_ptr<UsbDevice> device = handle.device;
    lock.unlock();
    const int submitted = libusb_submit_transfer(transfer);
    lock.lock();
    if (submitted == LIBUSB_SUCCESS && bulk->cancelRequested && !bulk->finished) {
        // An abort came while the transfer was not yet on the bus: it cancelled nothing.
        lock.unlock();
        libusb_cancel_transfer(transfer);
        lock.lock();
    }
    if (submitted != LIBUSB_SUCCESS) {
        Forget(bulk);
        // With earlier transfers of the pipe still out, the transport waits for the oldest
        // and submits again; only a refusal with nothing to wait for is worth the hint.
        const bool alone = std::none_of(inFlight_.begin(), inFlight_.end(), [&](BulkTransfer* b) {
            return b->device == device && b->endpoint == endpoint && !b->finished;
        });
        if (submitted == LIBUSB_ERROR_NO_MEM && alone) {
            ReportOnce("usbfs memory",
                       "veltcam: the kernel's memory for USB transfers is used up by this and "
                       "other programs; raise /sys/module/usbcore/parameters/usbfs_memory_mb "
                       "(in MiB, 16 by default) or close the other USB programs\n");
        }
        MarkGoneIf(submitted, *device);
        bulk->finished = true;
        Unpin(bulk);
        *error = ErrorForLibusbError(submitted);
        state->Complete(false, 0, *error);
        transfersDone_.notify_all();
        return false;
    }
    Unpin(bulk);
    return true;
}

bool CUsbDriverChannel::ControlRequest(UsbDevice& device, const uint8_t* in, uint32_t inBytes,
                                       uint8_t* out, uint32_t outBytes, uint32_t* bytes,
                                       uint32_t* error) {
    ControlSetup setup;
    if (!DecodeControlRecord(in, inBytes, &setup) || out == nullptr ||
        outBytes < kControlRecordBytes) {
        *error = kErrorInvalidParameter;
        return false;
    }
    uint8_t data[kControlDataBytes];
    std::memcpy(data, in + kHeaderBytes, sizeof(data));
    std::shared_lock<std::shared_mutex> inUse(device.handleLock);
    if (!device.handle) {
        *error = kErrorDeviceGone;  // between a reset and the camera's return
        return false;
    }
    const int result =
        libusb_control_transfer(device.handle, setup.requestType, setup.request, setup.value,
                                setup.index, data, setup.dataLength, setup.timeoutMs);
    if (result < 0) {
        MarkGoneIf(result, device);
        *error = ErrorForLibusbError(result);
        return false;
    }
    if (out != in) std::memcpy(out, in, kControlRecordBytes);
    if (setup.toHost) std::memcpy(out + kHeaderBytes, data, static_cast<size_t>(result));
    *bytes = kHeaderBytes + static_cast<uint32_t>(result);
    return true;
}

bool CUsbDriverChannel::ResetDevice(std::unique_lock<std::mutex>& lock, UsbDevice& device,
                                    uint32_t* error) {
    CancelAndWait(lock, &device, 0, nullptr);
    libusb_device_handle* handle = device.handle;
    if (!handle) {
        *error = kErrorDeviceGone;
        return false;
    }
    device.halted.clear();
    lock.unlock();
    // A reset waits for the camera to come back: under this camera's lock only.
    std::unique_lock<std::mutex> guard(device.claimLock);
    if (inPortReset_) inPortReset_(device.path);
    const int result = libusb_reset_device(handle);
    if (result == LIBUSB_SUCCESS) return true;
    if (result != LIBUSB_ERROR_NOT_FOUND) {
        lock.lock();
        MarkGoneIf(result, device);
        *error = ErrorForLibusbError(result);
        return false;
    }
    // The camera enumerates afresh on the same port: the path stays, the libusb handle
    // becomes the new device's. The old one is unpublished, then closed once no
    // request uses it. Openers of the path wait meanwhile, or they would open the new
    // device a second time.
    {
        std::unique_lock<std::shared_mutex> swap(device.handleLock);
        lock.lock();
        device.handle = nullptr;
        opening_.insert(device.path);
        lock.unlock();
        CloseWhenIdle(handle);
    }
    device.claimed = false;
    // The new device appears after the hub has reported it: wait for it, bounded.
    libusb_device_handle* reopened = nullptr;
    const auto end = std::chrono::steady_clock::now() + kReenumerationWait;
    while (!(reopened = OpenDevice(device.path, device.location)) &&
           std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(kReenumerationPoll);
    }
    guard.unlock();
    lock.lock();
    device.handle = reopened;
    opening_.erase(device.path);
    openingDone_.notify_all();
    if (!reopened) {
        device.gone = true;
        *error = kErrorDeviceGone;
        return false;
    }
    return true;
}

bool CUsbDriverChannel::Control(DeviceHandle handle, uint32_t code, const void* in,
                                uint32_t inBytes, void* out, uint32_t outBytes, uint32_t* bytes,
                                CIoOperation* operation, uint32_t* error) {
    uint32_t ignoredBytes = 0, ignoredError = 0;
    if (!bytes) bytes = &ignoredBytes;
    if (!error) error = &ignoredError;
    *bytes = 0;
    *error = 0;
    auto* op = static_cast<CUsbOperation*>(operation);
    if (op) op->State()->Reset();
    auto fail = [&](uint32_t code) {
        *error = code;
        if (op) op->State()->Complete(false, 0, code);
        return false;
    };
    const auto* input = static_cast<const uint8_t*>(in);
    auto* output = static_cast<uint8_t*>(out);

    std::unique_lock<std::mutex> lock(mutex_);
    auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == handles_.end()) return fail(kErrorInvalidParameter);
    PathHandle& path = *it->second;
    // An overlapped handle needs an operation record, as with the Windows driver.
    if (path.overlapped && !op) return fail(kErrorInvalidParameter);
    if (path.device->gone || !path.device->handle) return fail(kErrorDeviceGone);
    // Keeps the device alive while the lock is let go below.
    std::shared_ptr<UsbDevice> device = path.device;

    bool ok = false;
    switch (ActionForCode(code)) {
        case UsbAction::Control: {
            // Synchronous on the wire; the overlapped form completes its record at once.
            lock.unlock();
            ok = ControlRequest(*device, input, inBytes, output, outBytes, bytes, error);
            break;
        }
        case UsbAction::Bulk: {
            if (input == nullptr || inBytes < kHeaderBytes || (output == nullptr && outBytes)) {
                return fail(kErrorInvalidParameter);
            }
            std::shared_ptr<OpState> state = op ? op->State() : std::make_shared<OpState>();
            lock.unlock();
            if (!EnsureClaimed(*device, error)) return fail(*error);
            lock.lock();
            // The handle may have been closed by another thread meanwhile, or the
            // camera be between a reset and its return.
            if (handles_.count(reinterpret_cast<uintptr_t>(handle)) == 0) {
                return fail(kErrorInvalidParameter);
            }
            if (device->gone || !device->handle) return fail(kErrorDeviceGone);
            if (!SubmitBulk(lock, path, input, output, outBytes, state, error)) return false;
            if (op) {
                *error = kErrorIoPending;
                return false;
            }
            // A handle without overlapped I/O: the call returns when the transfer is done.
            lock.unlock();
            std::unique_lock<std::mutex> wait(state->mutex);
            state->changed.wait(wait, [&] { return state->done; });
            *bytes = state->bytes;
            *error = state->error;
            return state->ok;
        }
        case UsbAction::AbortPipe:
            if (input == nullptr || inBytes < 1) return fail(kErrorInvalidParameter);
            CancelAndWait(lock, device.get(), input[0], nullptr);
            ok = true;
            break;
        case UsbAction::ResetPipe: {
            if (input == nullptr || inBytes < 1) return fail(kErrorInvalidParameter);
            const uint8_t endpoint = input[0];
            CancelAndWait(lock, device.get(), endpoint, nullptr);
            // Only a halted endpoint is cleared: clearing a running one also resets
            // the host's data toggle, which some host controllers then disagree on
            // with the camera, losing the first packet after the recovery.
            const bool halted = device->halted.erase(endpoint) > 0;
            lock.unlock();
            ok = true;
            if (halted && EnsureClaimed(*device, error)) {
                int result;
                {
                    // A clear waits for the camera: under this camera's lock only.
                    std::lock_guard<std::mutex> guard(device->claimLock);
                    result = libusb_clear_halt(device->handle, endpoint);
                }
                ok = result == LIBUSB_SUCCESS;
                if (!ok) {
                    std::lock_guard<std::mutex> relock(mutex_);
                    MarkGoneIf(result, *device);
                    device->halted.insert(endpoint);
                    *error = ErrorForLibusbError(result);
                }
            } else if (halted) {
                ok = false;
            }
            break;
        }
        case UsbAction::ResetDevice:
            ok = ResetDevice(lock, *device, error);
            break;
        case UsbAction::BusSpeed: {
            if (output == nullptr || outBytes < 4) return fail(kErrorInvalidParameter);
            const uint32_t speed =
                SpeedCode(libusb_get_device_speed(libusb_get_device(device->handle)));
            for (int i = 0; i < 4; ++i) output[i] = static_cast<uint8_t>(speed >> (8 * i));
            *bytes = 4;
            ok = true;
            break;
        }
        case UsbAction::Refuse:
            return fail(kErrorInvalidParameter);
    }
    if (op) op->State()->Complete(ok, *bytes, *error);
    return ok;
}

}  // namespace

std::unique_ptr<CDriverChannel> CreateUsbDriverChannel(const UsbChannelOptions& options) {
    return std::make_unique<CUsbDriverChannel>(options);
}

UsbChannelState StateOf(CDriverChannel& channel) {
    auto* usb = dynamic_cast<CUsbDriverChannel*>(&channel);
    return usb ? usb->State() : UsbChannelState{};
}

std::unique_ptr<CDriverChannel> CreateSystemDriverChannel() {
    return CreateUsbDriverChannel(UsbChannelOptions{});
}

namespace {
// Joins the event threads of channels still alive when the library unloads.
struct CEventThreadsAtUnload {
    ~CEventThreadsAtUnload() {
        std::set<CUsbDriverChannel*> channels;
        {
            std::lock_guard<std::mutex> live(liveLock);
            channels = LiveChannels();
        }
        for (CUsbDriverChannel* channel : channels) channel->StopEvents();
    }
} eventThreadsAtUnload;
}  // namespace

}  // namespace veltcam::platform
