#include "sim/usb/CSimUsbFront.h"

#include <fcntl.h>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "foundation/ModelConstants.h"
#include "transport/RequestHeader.h"

namespace veltcam::sim {
namespace {

// SuperSpeed cameras enumerate on the SuperSpeed root hub, High-Speed ones on the
// USB 2 root hub, which is another bus.
constexpr int kSuperSpeedBus = 2;
constexpr int kHighSpeedBus = 1;
constexpr uint32_t kMaxBulkBytes = 64u << 20;
constexpr int kPipeBytes = 4096;
// The kernel's bookkeeping per URB (its async and urb records) and per 16 KiB
// scatter-gather piece of a bulk buffer.
constexpr uint64_t kUrbRecordBytes = 512;
constexpr uint64_t kSgPieceBytes = 16384;
constexpr uint64_t kSgEntryBytes = 32;

// The testbed lives as long as the process: libusb contexts created while it exists
// keep looking at its sysfs and device nodes.
UMockdevTestbed* Testbed() {
    static UMockdevTestbed* testbed = umockdev_testbed_new();
    return testbed;
}

uint32_t NextDeviceNumber() {
    static std::mutex lock;
    static uint32_t next = 1;
    std::lock_guard<std::mutex> guard(lock);
    next = next % 126 + 1;  // addresses 2..127, as the hub hands them out
    return next;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// Device, configuration, interface and the three bulk endpoints of the camera, as
// sysfs holds them (little-endian, the bus's order). High-Speed bulk packets carry
// 512 bytes, SuperSpeed ones 1024.
std::vector<uint8_t> Descriptors(uint16_t vendorId, uint16_t productId, bool highSpeed) {
    const uint8_t packetHigh = highSpeed ? 0x02 : 0x04;
    std::vector<uint8_t> d = {18,
                              1,
                              0x00,
                              static_cast<uint8_t>(highSpeed ? 0x02 : 0x03),
                              0,
                              0,
                              0,
                              9,
                              static_cast<uint8_t>(vendorId),
                              static_cast<uint8_t>(vendorId >> 8),
                              static_cast<uint8_t>(productId),
                              static_cast<uint8_t>(productId >> 8),
                              0x00,
                              0x01,
                              1,
                              2,
                              3,
                              1};
    const std::vector<uint8_t> rest = {
        9, 2, 39,   0, 1,    1,          0, 0x80, 50,  // configuration, 39 bytes in all
        9, 4, 0,    0, 3,    0xFF,       0, 0,    0,   // interface 0, vendor class, 3 endpoints
        7, 5, 0x81, 2, 0x00, packetHigh, 0,            // bulk in
        7, 5, 0x01, 2, 0x00, packetHigh, 0,            // bulk out
        7, 5, 0x83, 2, 0x00, packetHigh, 0};           // bulk in (other models' block reads)
    d.insert(d.end(), rest.begin(), rest.end());
    return d;
}

}  // namespace

class CSimUsbFront::CImpl {
  public:
    struct Node;
    struct Client;
    struct Urb {
        usbdevfs_urb* urb = nullptr;
        Client* client = nullptr;
        std::unique_ptr<platform::CIoOperation> op;
        uint8_t header[kRequestHeaderBytes] = {};
        uint64_t charge = 0;  // usbfs memory held until reaped
        std::chrono::steady_clock::time_point submitted;
        std::chrono::steady_clock::time_point due;  // bus model: when its data is through
    };
    // The bus model's state of one camera's wire (see UsbFrontOptions::BusModel).
    struct Wire {
        bool frame = false;  // a frame is being read out
        std::chrono::steady_clock::time_point start, freeAt;
        uint64_t frameBytes = 0, drained = 0;
        bool torn = false;
        bool firstPiece = true;
        bool counted = false;  // a frame counter was seen
        uint32_t lastCounter = 0;
    };
    struct Node {
        int camera = 0;
        std::string devnode;
        std::string syspath;
        int fifo = -1;         // the node itself: writable exactly while URBs wait for reaping
        bool gateOpen = true;  // a fresh pipe is empty, i.e. writable
        bool gone = false;
        std::set<uint8_t> halted;
        const void* claimant = nullptr;  // the client holding interface 0
        std::string driver;              // a kernel driver bound to interface 0
        Wire wire;
    };
    struct Client {
        std::shared_ptr<Node> node;
        platform::DeviceHandle stream = nullptr;   // bulk transfers
        platform::DeviceHandle control = nullptr;  // endpoint-0 requests
        std::list<std::unique_ptr<Urb>> pending;
        std::deque<std::unique_ptr<Urb>> reapable;
        std::deque<std::unique_ptr<Urb>> onWire;  // bus model: done, data still moving
    };

    CImpl(std::shared_ptr<CSimDriver> simulator, UsbFrontOptions options)
        : sim_(std::move(simulator)), options_(std::move(options)) {}
    ~CImpl();
    bool Start(std::string* error);

    long Ioctl(UMockdevIoctlClient* id, const char* devnode, unsigned long request, void* arg,
               int* err);
    void Vanished(UMockdevIoctlClient* id);

    std::shared_ptr<CSimDriver> sim_;
    const UsbFrontOptions options_;
    UMockdevIoctlBase* handler_ = nullptr;
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Node>> nodes_;
    std::vector<std::shared_ptr<Node>> live_;  // per camera; null while unplugged
    std::vector<int> speed_;
    // When a camera that left the bus for a reset may enumerate again.
    std::vector<std::chrono::steady_clock::time_point> backAt_;
    // Discards still on their way to the camera (lateDiscardMs).
    struct LateDiscard {
        UMockdevIoctlClient* client;
        uint8_t endpoint;
        std::chrono::steady_clock::time_point due;
    };
    std::vector<LateDiscard> lateDiscards_;
    std::map<UMockdevIoctlClient*, std::unique_ptr<Client>> clients_;
    uint64_t outstanding_ = 0;
    uint64_t usbfsUsed_ = 0;
    uint64_t submitCharge_ = 0;
    uint64_t usbfsPeak_ = 0;
    uint64_t submitted_ = 0;
    uint32_t enumerations_ = 0;
    uint32_t nodeOpens_ = 0;
    uint32_t clearHalts_ = 0;
    BusCounters bus_;

    // Completion signal from the simulated driver (taken under its lock).
    std::mutex signalMutex_;
    std::condition_variable signal_;
    bool signalled_ = false;
    bool stopping_ = false;
    std::thread service_;

  private:
    void Service();
    void AddNode(int camera);
    void RemoveNode(std::shared_ptr<Node> node);
    void SetGate(Node& node, bool open);
    void UpdateGate(Node& node);
    bool EnsureHandles(Client& client);
    void Finish(Client& client, std::list<std::unique_ptr<Urb>>::iterator it, bool ok,
                uint32_t bytes, uint32_t error);
    int SubmitControl(Client& client, usbdevfs_urb* urb);
    int SubmitBulk(Client& client, usbdevfs_urb* urb);
    int Claim(Client& client);
    bool HighSpeed() const { return sim_->Options().busSpeed < 4; }
    int Bus() const { return HighSpeed() ? kHighSpeedBus : kSuperSpeedBus; }
    int PortOf(int camera) const;
    void Reapable(Client& client, std::unique_ptr<Urb> urb);
    // Bus model: when a finished read on 0x81 is through the wire; false when the FIFO
    // overflowed and the read fails.
    bool PaceRead(Node& node, Urb& urb, uint32_t bytes);
    // Moves URBs whose data is through the wire to the reapable ones; the next due time.
    std::chrono::steady_clock::time_point ReleaseWire();
};

namespace {

gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    auto* impl = static_cast<CSimUsbFront::CImpl*>(user);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    // The client shares this address space: its pointers are used as they are.
    void* pointer = *reinterpret_cast<void**>(arg->data);
    int err = 0;
    long result = impl->Ioctl(client, umockdev_ioctl_client_get_devnode(client),
                              umockdev_ioctl_client_get_request(client), pointer, &err);
    umockdev_ioctl_client_complete(client, result, err);
    return TRUE;
}

void OnConnectedChanged(GObject* object, GParamSpec*, gpointer user) {
    auto* client = reinterpret_cast<UMockdevIoctlClient*>(object);
    if (!umockdev_ioctl_client_get_connected(client)) {
        static_cast<CSimUsbFront::CImpl*>(user)->Vanished(client);
    }
}

// A device file was opened. The base class never reports a closed one, so the
// client's own "connected" property tells; a new client may also reuse the memory
// of one that went unnoticed.
void OnConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    auto* impl = static_cast<CSimUsbFront::CImpl*>(user);
    impl->Vanished(client);
    {
        std::lock_guard<std::mutex> lock(impl->mutex_);
        ++impl->nodeOpens_;
    }
    g_signal_connect(client, "notify::connected", G_CALLBACK(OnConnectedChanged), user);
}

}  // namespace

bool CSimUsbFront::CImpl::Start(std::string* error) {
    // The testbed redirects /sys and /dev only where its preload library is loaded.
    Testbed();
    if (!umockdev_in_mock_environment()) {
        if (error) *error = "not running under umockdev-wrapper";
        return false;
    }
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(OnIoctl), this);
    g_signal_connect(handler_, "client-connected", G_CALLBACK(OnConnected), this);
    sim_->SetCompletionListener([this] {
        {
            std::lock_guard<std::mutex> lock(signalMutex_);
            signalled_ = true;
        }
        signal_.notify_one();
    });
    const int cameras = sim_->CameraCount();
    live_.assign(static_cast<size_t>(cameras), nullptr);
    speed_.assign(static_cast<size_t>(cameras), 0);
    backAt_.assign(static_cast<size_t>(cameras), std::chrono::steady_clock::time_point{});
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (int i = 0; i < cameras; ++i) {
            if (sim_->IsPlugged(i)) AddNode(i);
        }
    }
    service_ = std::thread([this] { Service(); });
    return true;
}

CSimUsbFront::CImpl::~CImpl() {
    {
        std::lock_guard<std::mutex> lock(signalMutex_);
        stopping_ = true;
    }
    signal_.notify_one();
    if (service_.joinable()) service_.join();
    sim_->SetCompletionListener(nullptr);
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [id, client] : clients_) {
        if (client->stream) sim_->Close(client->stream);
        if (client->control) sim_->Close(client->control);
    }
    clients_.clear();
    for (auto& node : live_) {
        if (node) RemoveNode(node);
    }
    for (auto& [devnode, node] : nodes_) {
        umockdev_testbed_detach_ioctl(Testbed(), devnode.c_str(), nullptr);
        if (node->fifo >= 0) close(node->fifo);
    }
    if (handler_) g_object_unref(handler_);
}

int CSimUsbFront::CImpl::PortOf(int camera) const {
    const auto& ports = options_.ports;
    if (static_cast<size_t>(camera) < ports.size()) return ports[static_cast<size_t>(camera)];
    const int last = ports.empty() ? 0 : ports.back();
    return last + camera + 1 - static_cast<int>(ports.size());
}

void CSimUsbFront::CImpl::AddNode(int camera) {
    auto node = std::make_shared<Node>();
    node->camera = camera;
    node->driver = options_.kernelDriver;
    const int bus = Bus(), port = PortOf(camera);
    const uint32_t devnum = NextDeviceNumber();
    char devnode[64];
    std::snprintf(devnode, sizeof(devnode), "/dev/bus/usb/%03d/%03u", bus, devnum);
    node->devnode = devnode;
    const std::string name = std::to_string(bus) + "-" + std::to_string(port);
    node->syspath = "/sys/devices/" + name;

    // The node is a pipe, so that libusb's poll for completed URBs sleeps until the
    // front has one for it: full while there is nothing to reap, drained when there is.
    gchar* root = umockdev_testbed_get_root_dir(Testbed());
    const std::string file = std::string(root) + devnode;
    // A device left on the same port by an earlier front goes first.
    if (g_file_test((std::string(root) + node->syspath).c_str(), G_FILE_TEST_IS_DIR)) {
        umockdev_testbed_remove_device(Testbed(), node->syspath.c_str());
    }
    g_free(root);
    g_mkdir_with_parents(file.substr(0, file.rfind('/')).c_str(), 0755);
    unlink(file.c_str());
    if (mkfifo(file.c_str(), 0666) == 0) {
        node->fifo = open(file.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (node->fifo >= 0) fcntl(node->fifo, F_SETPIPE_SZ, kPipeBytes);
    }
    SetGate(*node, false);
    umockdev_testbed_attach_ioctl(Testbed(), devnode, handler_, nullptr);

    uint16_t vendor = sim_->Options().vendorId, product = kProductCode;
    sim_->WithCamera(camera, [&](CSimCamera& c) { product = c.ProductId(); });
    const int speed = speed_[static_cast<size_t>(camera)] ? speed_[static_cast<size_t>(camera)]
                                                          : (HighSpeed() ? 480 : 5000);
    char description[2048];
    std::snprintf(description, sizeof(description),
                  "P: /devices/%s\n"
                  "E: SUBSYSTEM=usb\n"
                  "E: DRIVER=usb\n"
                  "E: BUSNUM=%03d\n"
                  "E: DEVNUM=%03u\n"
                  "E: DEVNAME=%s\n"
                  "E: DEVTYPE=usb_device\n"
                  "E: PRODUCT=%x/%x/100\n"
                  "A: bConfigurationValue=1\\n\n"
                  "A: busnum=%d\\n\n"
                  "A: devnum=%u\\n\n"
                  "A: devpath=%d\\n\n"
                  "A: speed=%d\\n\n"
                  "H: descriptors=%s\n",
                  name.c_str(), bus, devnum, devnode, vendor, product, bus, devnum, port, speed,
                  Hex(Descriptors(vendor, product, HighSpeed())).c_str());
    umockdev_testbed_add_from_string(Testbed(), description, nullptr);
    // Read-only after the front's own end of the pipe is open.
    if (options_.readOnlyNodes.count(camera) != 0) chmod(file.c_str(), 0444);
    nodes_[node->devnode] = node;
    live_[static_cast<size_t>(camera)] = node;
    ++enumerations_;
}

void CSimUsbFront::CImpl::RemoveNode(std::shared_ptr<Node> node) {
    node->gone = true;
    // The hub reports the removal before the device's sysfs entry and node go; open
    // files of the node stay valid and fail every request.
    umockdev_testbed_uevent(Testbed(), node->syspath.c_str(), "remove");
    umockdev_testbed_remove_device(Testbed(), node->syspath.c_str());
    gchar* root = umockdev_testbed_get_root_dir(Testbed());
    unlink((std::string(root) + node->devnode).c_str());
    g_free(root);
    live_[static_cast<size_t>(node->camera)] = nullptr;
    UpdateGate(*node);
}

void CSimUsbFront::CImpl::SetGate(Node& node, bool open) {
    if (node.fifo < 0 || node.gateOpen == open) return;
    char block[kPipeBytes];
    if (open) {
        while (read(node.fifo, block, sizeof(block)) > 0) {
        }
    } else {
        std::memset(block, 'u', sizeof(block));
        while (write(node.fifo, block, sizeof(block)) > 0) {
        }
    }
    node.gateOpen = open;
}

void CSimUsbFront::CImpl::UpdateGate(Node& node) {
    bool any = false;
    for (auto& [id, client] : clients_) {
        if (client->node.get() == &node && !client->reapable.empty()) any = true;
    }
    SetGate(node, any);
}

bool CSimUsbFront::CImpl::EnsureHandles(Client& client) {
    if (client.stream && client.control) return true;
    const std::string path = sim_->CameraPath(client.node->camera);
    if (!client.stream) client.stream = sim_->Open(path.c_str(), true);
    if (!client.control) client.control = sim_->Open(path.c_str(), false);
    return client.stream && client.control;
}

void CSimUsbFront::CImpl::Reapable(Client& client, std::unique_ptr<Urb> urb) {
    client.reapable.push_back(std::move(urb));
    UpdateGate(*client.node);
}

void CSimUsbFront::CImpl::Finish(Client& client, std::list<std::unique_ptr<Urb>>::iterator it,
                                 bool ok, uint32_t bytes, uint32_t error) {
    std::unique_ptr<Urb> urb = std::move(*it);
    client.pending.erase(it);
    usbdevfs_urb* u = urb->urb;
    if (ok &&
        (GetLe32(urb->header + header::kStatus1) || GetLe32(urb->header + header::kStatus2))) {
        // The camera refused the transfer with a STALL handshake: the endpoint stays
        // halted until the host clears it.
        u->status = -EPIPE;
        u->actual_length = 0;
        client.node->halted.insert(u->endpoint);
    } else if (ok && options_.bus.on && u->endpoint == kEndpointIn &&
               !PaceRead(*client.node, *urb, bytes)) {
        u->status = -EOVERFLOW;
        u->actual_length = 0;
    } else if (ok) {
        u->status = 0;
        u->actual_length = static_cast<int>(bytes);
    } else {
        u->actual_length = 0;
        switch (error) {
            case platform::kErrorOperationAborted:
                u->status = -ENOENT;
                break;
            case platform::kErrorDeviceGone:
                u->status = -ENODEV;
                break;
            case platform::kErrorGenFailure:
                u->status = -EOVERFLOW;
                break;
            default:
                u->status = -EPROTO;
                break;
        }
    }
    if (options_.bus.on && u->endpoint == kEndpointIn) {
        client.onWire.push_back(std::move(urb));
        // The service thread hands it over when its data is through.
        {
            std::lock_guard<std::mutex> lock(signalMutex_);
            signalled_ = true;
        }
        signal_.notify_one();
        return;
    }
    Reapable(client, std::move(urb));
}

bool CSimUsbFront::CImpl::PaceRead(Node& node, Urb& urb, uint32_t bytes) {
    using namespace std::chrono;
    const auto now = steady_clock::now();
    const auto* data = static_cast<const uint8_t*>(urb.urb->buffer);
    Wire& wire = node.wire;
    urb.due = now;
    if (bytes == 64 && std::memcmp(data, "VCFH", 4) == 0) {
        // A header: its frame follows once the host asks for payload.
        const uint32_t counter = GetLe32(data + 32);
        if (wire.counted && counter > wire.lastCounter + 1) {
            bus_.lost += counter - wire.lastCounter - 1;
        }
        ++bus_.frames;
        wire = Wire{true, now, now, GetLe32(data + 16), 0, false, true, true, counter};
        return true;
    }
    if (!wire.frame) return true;
    const double readRate = static_cast<double>(wire.frameBytes) * options_.bus.readoutFps;
    auto seconds = [](steady_clock::duration d) { return duration<double>(d).count(); };
    auto after = [](steady_clock::time_point t, double s) {
        return t + duration_cast<steady_clock::duration>(duration<double>(s));
    };
    // The bridge starts moving the frame out of the sensor when the host first asks for
    // payload; from then on the sensor's readout does not wait.
    if (wire.firstPiece) wire.start = wire.freeAt = urb.submitted;
    // The wire takes this read up when it is queued and the one before is through.
    const auto begins = std::max(urb.submitted, wire.freeAt);
    if (!wire.firstPiece) {
        bus_.gapsUs.push_back(
            static_cast<uint32_t>(duration_cast<microseconds>(begins - wire.freeAt).count()));
    }
    wire.firstPiece = false;
    const double produced =
        std::min(static_cast<double>(wire.frameBytes), readRate * seconds(begins - wire.start));
    if (produced - static_cast<double>(wire.drained) > options_.bus.fifoBytes && !wire.torn) {
        wire.torn = true;
        ++bus_.torn;
    }
    // Through when the wire has moved it and the sensor has read it out.
    urb.due = std::max(after(begins, bytes / options_.bus.drainBytesPerSecond),
                       after(wire.start, (wire.drained + bytes) / readRate));
    wire.freeAt = urb.due;
    wire.drained += bytes;
    if (wire.drained >= wire.frameBytes) wire.frame = false;
    return !wire.torn;
}

std::chrono::steady_clock::time_point CSimUsbFront::CImpl::ReleaseWire() {
    const auto now = std::chrono::steady_clock::now();
    auto next = std::chrono::steady_clock::time_point::max();
    for (auto& [id, client] : clients_) {
        bool moved = false;
        while (!client->onWire.empty() && client->onWire.front()->due <= now) {
            client->reapable.push_back(std::move(client->onWire.front()));
            client->onWire.pop_front();
            moved = true;
        }
        if (!client->onWire.empty()) next = std::min(next, client->onWire.front()->due);
        if (moved) UpdateGate(*client->node);
    }
    return next;
}

int CSimUsbFront::CImpl::SubmitControl(Client& client, usbdevfs_urb* urb) {
    if (urb->buffer == nullptr || urb->buffer_length < 8) return -EINVAL;
    auto* setup = static_cast<uint8_t*>(urb->buffer);
    const uint16_t wLength = GetLe16(setup + 6);
    if (urb->buffer_length < 8 + wLength) return -EINVAL;
    auto record = std::make_unique<Urb>();
    record->urb = urb;
    record->charge = submitCharge_;
    record->client = &client;
    urb->actual_length = 0;
    urb->status = 0;
    uint8_t request[kControlRecordBytes] = {};
    RequestFields fields;
    fields.requestType = setup[0];
    fields.request = setup[1];
    fields.value = GetLe16(setup + 2);
    fields.index = GetLe16(setup + 4);
    fields.length = kControlRecordBytes;
    fields.timeoutSeconds = 3;
    fields.dataOffset = kRequestHeaderBytes;
    fields.dataLength = kControlDataBytes;
    WriteRequestHeader(request, fields);
    const bool toHost = (setup[0] & 0x80) != 0;
    if (wLength > kControlDataBytes) {
        // Endpoint 0 of the camera takes at most 64 data bytes per request.
        urb->status = -EPIPE;
    } else {
        if (!toHost) std::memcpy(request + kRequestHeaderBytes, setup + 8, wLength);
        uint32_t bytes = 0, error = 0;
        const bool ok =
            sim_->Control(client.control, kIoctlControlRequest, request, kControlRecordBytes,
                          request, kControlRecordBytes, &bytes, nullptr, &error);
        if (!ok) {
            urb->status = error == platform::kErrorDeviceGone ? -ENODEV : -EPIPE;
        } else if (GetLe32(request + header::kStatus1) || GetLe32(request + header::kStatus2)) {
            urb->status = -EPIPE;  // the device did not acknowledge: a STALL on the wire
        } else if (toHost) {
            const uint32_t count = bytes > kRequestHeaderBytes ? bytes - kRequestHeaderBytes : 0;
            const uint32_t n = std::min<uint32_t>(count, wLength);
            std::memcpy(setup + 8, request + kRequestHeaderBytes, n);
            urb->actual_length = static_cast<int>(n);
        } else {
            urb->actual_length = wLength;
        }
    }
    Reapable(client, std::move(record));
    return 0;
}

int CSimUsbFront::CImpl::Claim(Client& client) {
    Node& node = *client.node;
    if (node.claimant == &client) return 0;
    if (node.claimant || !node.driver.empty()) return -EBUSY;
    node.claimant = &client;
    return 0;
}

int CSimUsbFront::CImpl::SubmitBulk(Client& client, usbdevfs_urb* urb) {
    const uint8_t endpoint = urb->endpoint;
    if (endpoint != kEndpointIn && endpoint != kEndpointOut && endpoint != kEndpointIn83) {
        return -ENOENT;
    }
    // An endpoint of an interface the file has not claimed claims it on the way.
    if (const int claimed = Claim(client); claimed < 0) return claimed;
    if (urb->buffer_length < 0 || static_cast<uint32_t>(urb->buffer_length) > kMaxBulkBytes ||
        (urb->buffer == nullptr && urb->buffer_length > 0)) {
        return -EINVAL;
    }
    auto record = std::make_unique<Urb>();
    record->urb = urb;
    record->charge = submitCharge_;
    record->client = &client;
    record->header[header::kEndpoint] = endpoint;
    record->submitted = std::chrono::steady_clock::now();
    urb->actual_length = 0;
    urb->status = 0;
    if (client.node->halted.count(endpoint)) {
        urb->status = -EPIPE;
        Reapable(client, std::move(record));
        return 0;
    }
    record->op = sim_->NewOperation();
    platform::CIoOperation* op = record->op.get();
    uint8_t* header = record->header;
    client.pending.push_back(std::move(record));
    auto it = std::prev(client.pending.end());
    uint32_t bytes = 0, error = 0;
    const bool ok =
        sim_->Control(client.stream, kIoctlDirectTransfer, header, kRequestHeaderBytes, urb->buffer,
                      static_cast<uint32_t>(urb->buffer_length), &bytes, op, &error);
    if (ok) {
        Finish(client, it, true, bytes, 0);
    } else if (error != platform::kErrorIoPending) {
        Finish(client, it, false, 0, error);
    }
    return 0;
}

long CSimUsbFront::CImpl::Ioctl(UMockdevIoctlClient* id, const char* devnode, unsigned long request,
                                void* arg, int* err) {
    auto fail = [&](int code) {
        *err = code;
        return -1L;
    };
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = nodes_.find(devnode ? devnode : "");
    if (found == nodes_.end()) return fail(ENODEV);
    std::unique_ptr<Client>& slot = clients_[id];
    if (!slot) {
        slot = std::make_unique<Client>();
        slot->node = found->second;
    }
    Client& client = *slot;
    Node& node = *client.node;

    switch (request) {
        case USBDEVFS_GET_CAPABILITIES:
            // What a SuperSpeed host controller offers: a bulk transfer of any length
            // travels as one URB (the kernel scatters it over the controller's rings).
            *static_cast<uint32_t*>(arg) =
                USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER |
                USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
            return 0;
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY: {
            if (client.reapable.empty()) {
                // The node is shared by every file open on it: another file's URBs
                // may still wait for their reaper.
                UpdateGate(node);
                return fail(node.gone ? ENODEV : EAGAIN);
            }
            std::unique_ptr<Urb> urb = std::move(client.reapable.front());
            client.reapable.pop_front();
            *static_cast<void**>(arg) = urb->urb;
            --outstanding_;
            usbfsUsed_ -= urb->charge;
            UpdateGate(node);
            return 0;
        }
        case USBDEVFS_DISCARDURB: {
            auto it = std::find_if(client.pending.begin(), client.pending.end(),
                                   [&](const std::unique_ptr<Urb>& u) { return u->urb == arg; });
            if (it == client.pending.end()) return fail(EINVAL);
            // The driver below aborts a whole pipe; the channel above cancels per
            // endpoint too. What was on its way into the URB is lost.
            const uint8_t endpoint = (*it)->urb->endpoint;
            if (options_.lateDiscardMs > 0) {
                lateDiscards_.push_back({id, endpoint,
                                         std::chrono::steady_clock::now() +
                                             std::chrono::milliseconds(options_.lateDiscardMs)});
                return 0;
            }
            sim_->Control(client.control, kIoctlAbortPipe, &endpoint, 1, nullptr, 0, nullptr,
                          nullptr, nullptr);
            return 0;
        }
        default:
            break;
    }
    if (node.gone) return fail(ENODEV);
    switch (request) {
        case USBDEVFS_CLAIMINTERFACE: {
            if (*static_cast<unsigned*>(arg) != 0) return fail(EINVAL);
            const int claimed = Claim(client);
            return claimed < 0 ? fail(-claimed) : 0;
        }
        case USBDEVFS_RELEASEINTERFACE:
            if (*static_cast<unsigned*>(arg) != 0 || node.claimant != &client) return fail(EINVAL);
            node.claimant = nullptr;
            return 0;
        case USBDEVFS_SETINTERFACE:
        case USBDEVFS_SETCONFIGURATION:
        case USBDEVFS_RESETEP:
            return 0;
        case USBDEVFS_DISCONNECT_CLAIM: {
            auto* request = static_cast<usbdevfs_disconnect_claim*>(arg);
            if (request->interface != 0) return fail(EINVAL);
            node.driver.clear();  // unbound, then claimed
            const int claimed = Claim(client);
            return claimed < 0 ? fail(-claimed) : 0;
        }
        case USBDEVFS_GETDRIVER: {
            auto* request = static_cast<usbdevfs_getdriver*>(arg);
            if (request->interface != 0 || node.driver.empty()) return fail(ENODATA);
            std::snprintf(request->driver, sizeof(request->driver), "%s", node.driver.c_str());
            return 0;
        }
        case USBDEVFS_IOCTL: {
            auto* request = static_cast<usbdevfs_ioctl*>(arg);
            if (request->ifno != 0 || request->ioctl_code != USBDEVFS_DISCONNECT ||
                node.driver.empty()) {
                return fail(ENODATA);
            }
            node.driver.clear();
            return 0;
        }
        case USBDEVFS_GET_SPEED:
            return HighSpeed() ? 3 : 5;  // USB_SPEED_HIGH / SUPER
        case USBDEVFS_CLEAR_HALT: {
            if (!EnsureHandles(client)) return fail(ENODEV);
            if (const int claimed = Claim(client); claimed < 0) return fail(-claimed);
            ++clearHalts_;
            const uint8_t endpoint = static_cast<uint8_t>(*static_cast<unsigned*>(arg));
            uint32_t error = 0;
            if (!sim_->Control(client.control, kIoctlResetPipe, &endpoint, 1, nullptr, 0, nullptr,
                               nullptr, &error)) {
                return fail(error == platform::kErrorDeviceGone ? ENODEV : EBUSY);
            }
            node.halted.erase(endpoint);
            return 0;
        }
        case USBDEVFS_RESET: {
            if (!EnsureHandles(client)) return fail(ENODEV);
            sim_->Control(client.control, kIoctlResetPort, nullptr, 0, nullptr, 0, nullptr, nullptr,
                          nullptr);
            node.halted.clear();
            if (options_.reenumerateAfterResetMs > 0 && !node.gone) {
                backAt_[static_cast<size_t>(node.camera)] =
                    std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(options_.reenumerateAfterResetMs);
                RemoveNode(client.node);
                return fail(ENODEV);
            }
            return 0;
        }
        case USBDEVFS_SUBMITURB: {
            if (!EnsureHandles(client)) return fail(ENODEV);
            auto* urb = static_cast<usbdevfs_urb*>(arg);
            // What the kernel charges: its records of the URB, the buffer, and one
            // scatter-gather entry per 16 KiB piece of a bulk buffer.
            const uint64_t length =
                urb->buffer_length > 0 ? static_cast<uint64_t>(urb->buffer_length) : 0;
            const uint64_t charge = kUrbRecordBytes + length +
                                    (length + kSgPieceBytes - 1) / kSgPieceBytes * kSgEntryBytes;
            if (usbfsUsed_ + charge > options_.usbfsMemoryBytes) return fail(ENOMEM);
            submitCharge_ = charge;  // taken by the URB's record
            int result = -EINVAL;
            if (urb->type == USBDEVFS_URB_TYPE_CONTROL) result = SubmitControl(client, urb);
            if (urb->type == USBDEVFS_URB_TYPE_BULK) result = SubmitBulk(client, urb);
            if (result < 0) return fail(-result);
            usbfsUsed_ += charge;
            usbfsPeak_ = std::max(usbfsPeak_, usbfsUsed_);
            ++outstanding_;
            ++submitted_;
            return 0;
        }
        default:
            return fail(ENOTTY);
    }
}

void CSimUsbFront::CImpl::Vanished(UMockdevIoctlClient* id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = clients_.find(id);
    if (it == clients_.end()) return;
    Client& client = *it->second;
    // A closed device file ends its URBs; the simulated driver cancels what the
    // handles still had in flight.
    if (client.stream) sim_->Close(client.stream);
    if (client.control) sim_->Close(client.control);
    outstanding_ -= client.pending.size() + client.reapable.size() + client.onWire.size();
    for (const auto& urb : client.pending) usbfsUsed_ -= urb->charge;
    for (const auto& urb : client.reapable) usbfsUsed_ -= urb->charge;
    for (const auto& urb : client.onWire) usbfsUsed_ -= urb->charge;
    std::shared_ptr<Node> node = client.node;
    if (node->claimant == &client) node->claimant = nullptr;
    // A later file may get this one's address: its discards must not reach that one.
    lateDiscards_.erase(std::remove_if(lateDiscards_.begin(), lateDiscards_.end(),
                                       [&](const LateDiscard& late) { return late.client == id; }),
                        lateDiscards_.end());
    clients_.erase(it);
    UpdateGate(*node);
}

void CSimUsbFront::CImpl::Service() {
    auto wake = std::chrono::steady_clock::now();
    while (true) {
        {
            std::unique_lock<std::mutex> lock(signalMutex_);
            const auto tick = std::chrono::steady_clock::now() + std::chrono::milliseconds(10);
            signal_.wait_until(lock, std::min(tick, wake), [&] { return signalled_ || stopping_; });
            if (stopping_) return;
            signalled_ = false;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        // Late discards reach the camera; those of a file closed meanwhile ended with it.
        const auto now = std::chrono::steady_clock::now();
        for (auto late = lateDiscards_.begin(); late != lateDiscards_.end();) {
            if (late->due > now) {
                ++late;
                continue;
            }
            auto found = clients_.find(late->client);
            if (found != clients_.end() && found->second->control) {
                sim_->Control(found->second->control, kIoctlAbortPipe, &late->endpoint, 1, nullptr,
                              0, nullptr, nullptr, nullptr);
            }
            late = lateDiscards_.erase(late);
        }
        for (auto& [id, client] : clients_) {
            for (auto it = client->pending.begin(); it != client->pending.end();) {
                bool ok = false;
                uint32_t bytes = 0, error = 0;
                auto next = std::next(it);
                if (CSimDriver::Outcome((*it)->op.get(), &ok, &bytes, &error)) {
                    Finish(*client, it, ok, bytes, error);
                }
                it = next;
            }
        }
        // Unplugged cameras leave the bus; replugged ones enumerate afresh.
        for (size_t camera = 0; camera < live_.size(); ++camera) {
            const bool plugged = sim_->IsPlugged(static_cast<int>(camera));
            if (plugged && !live_[camera] && std::chrono::steady_clock::now() >= backAt_[camera]) {
                AddNode(static_cast<int>(camera));
            }
            if (!plugged && live_[camera]) RemoveNode(live_[camera]);
        }
        wake = ReleaseWire();
    }
}

// ---------------------------------------------------------------------------

std::unique_ptr<CSimUsbFront> CSimUsbFront::Create(std::shared_ptr<CSimDriver> simulator,
                                                   std::string* error,
                                                   const UsbFrontOptions& options) {
    auto impl = std::make_unique<CImpl>(std::move(simulator), options);
    if (!impl->Start(error)) return nullptr;
    return std::unique_ptr<CSimUsbFront>(new CSimUsbFront(std::move(impl)));
}

CSimUsbFront::CSimUsbFront(std::unique_ptr<CImpl> impl) : impl_(std::move(impl)) {}
CSimUsbFront::~CSimUsbFront() = default;

CSimDriver& CSimUsbFront::Simulator() { return *impl_->sim_; }

uint64_t CSimUsbFront::OutstandingUrbs() const {
    std::lock_guard<std::mutex> lock(impl_->mutex_);
    return impl_->outstanding_;
}

uint64_t CSimUsbFront::SubmittedUrbs() const {
    std::lock_guard<std::mutex> lock(impl_->mutex_);
    return impl_->submitted_;
}

std::string CSimUsbFront::DeviceNode(int camera) const {
    std::lock_guard<std::mutex> lock(impl_->mutex_);
    if (camera < 0 || camera >= static_cast<int>(impl_->live_.size())) return {};
    const auto& node = impl_->live_[static_cast<size_t>(camera)];
    return node ? node->devnode : std::string();
}

uint32_t CSimUsbFront::Enumerations() const {
    std::lock_guard<std::mutex> lock(impl_->mutex_);
    return impl_->enumerations_;
}

uint32_t CSimUsbFront::NodeOpens() const {
    std::lock_guard<std::mutex> lock(impl_->mutex_);
    return impl_->nodeOpens_;
}

uint64_t CSimUsbFront::UsbfsMemoryPeak() const {
    std::lock_guard<std::mutex> lock(impl_->mutex_);
    return impl_->usbfsPeak_;
}

BusCounters CSimUsbFront::Bus() const {
    std::lock_guard<std::mutex> lock(impl_->mutex_);
    return impl_->bus_;
}

uint32_t CSimUsbFront::ClearHalts() const {
    std::lock_guard<std::mutex> lock(impl_->mutex_);
    return impl_->clearHalts_;
}

void CSimUsbFront::Uevent(int camera, const char* action) {
    std::lock_guard<std::mutex> lock(impl_->mutex_);
    if (camera < 0 || camera >= static_cast<int>(impl_->live_.size())) return;
    const auto& node = impl_->live_[static_cast<size_t>(camera)];
    if (node) umockdev_testbed_uevent(Testbed(), node->syspath.c_str(), action);
}

void CSimUsbFront::SetSpeedMbps(int camera, int mbps) {
    std::lock_guard<std::mutex> lock(impl_->mutex_);
    if (camera >= 0 && camera < static_cast<int>(impl_->speed_.size())) {
        impl_->speed_[static_cast<size_t>(camera)] = mbps;
    }
}

}  // namespace veltcam::sim
