#include "win32/driver/CDriverHost.h"

#include <setupapi.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <algorithm>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "foundation/ModelConstants.h"
#include "transport/RequestHeader.h"

namespace veltcam::test {
namespace {

constexpr uint32_t kStatusSuccess = 0;
constexpr uint32_t kStatusUnsuccessful = 0xC0000001;
constexpr uint32_t kStatusDeviceNotConnected = 0xC000009D;
constexpr uint32_t kStatusCancelled = 0xC0000120;
constexpr uint32_t kStatusInvalidParameter = 0xC000000D;
constexpr uint32_t kStatusInvalidHandle = 0xC0000008;
constexpr uint32_t kStatusInvalidDeviceRequest = 0xC0000010;
constexpr uint32_t kStatusDeviceBusy = 0x80000011;
// How often the pull thread looks at the simulator's plug state while idle.
constexpr DWORD kPollMs = 20;

// The simulator speaks Win32 error codes; the driver completes with the status
// that the system turns back into the same code.
uint32_t StatusFor(uint32_t error) {
    switch (error) {
        case platform::kErrorDeviceGone: return kStatusDeviceNotConnected;
        case platform::kErrorGenFailure: return kStatusUnsuccessful;
        case platform::kErrorOperationAborted: return kStatusCancelled;
        case platform::kErrorInvalidParameter: return kStatusInvalidParameter;
        case 6: return kStatusInvalidHandle;
        case 1: return kStatusInvalidDeviceRequest;
        case 170: return kStatusDeviceBusy;
        default: return kStatusUnsuccessful;
    }
}

// One control-device request, synchronous, on a handle without overlapped I/O.
bool HostRequest(HANDLE control, uint32_t code, const void* in, DWORD inBytes, void* out,
                 DWORD outBytes, DWORD* bytes = nullptr) {
    DWORD count = 0;
    BOOL ok = DeviceIoControl(control, code, const_cast<void*>(in), inBytes, out, outBytes, &count,
                              nullptr);
    if (bytes) *bytes = count;
    return ok != FALSE;
}

struct CameraId {
    uint16_t vendorId = 0, productId = 0;
    std::string serial;
};

// \\?\usb#vid_XXXX&pid_XXXX#serial#{class}
bool ParseCameraPath(const std::string& path, CameraId* id) {
    size_t first = path.find('#');
    size_t second = first == std::string::npos ? first : path.find('#', first + 1);
    size_t third = second == std::string::npos ? second : path.find('#', second + 1);
    if (third == std::string::npos || second - first != 18) return false;
    id->vendorId = static_cast<uint16_t>(std::stoul(path.substr(first + 5, 4), nullptr, 16));
    id->productId = static_cast<uint16_t>(std::stoul(path.substr(first + 14, 4), nullptr, 16));
    id->serial = path.substr(second + 1, third - second - 1);
    return !id->serial.empty() && id->serial.size() < 32;
}

void StartBusDriver() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) return;
    if (SC_HANDLE service = OpenServiceA(manager, VCT_SERVICE_NAME, SERVICE_START)) {
        StartServiceA(service, 0, nullptr);  // running already is fine
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

struct CDriverHost::Impl {
    // A request the simulator holds: its buffers live until it completes.
    struct Job {
        uint64_t id = 0;
        uint32_t code = 0;
        std::vector<uint8_t> in;
        std::vector<uint8_t> out;
        std::unique_ptr<platform::CIoOperation> operation;
        uint32_t camera = 0;
        uint8_t endpoint = 0;
        bool aborted = false;  // an abort pipe or handle close was sent while it waited
        uint64_t handle = 0;
    };

    std::shared_ptr<sim::CSimDriver> simulator;
    HANDLE pullHandle = INVALID_HANDLE_VALUE;  // overlapped: the pulls
    HANDLE postHandle = INVALID_HANDLE_VALUE;  // completions, plugging, statistics
    std::mutex postMutex;
    std::thread pullThread;
    std::atomic<bool> stopping{false};

    // Pull thread only.
    std::map<uint64_t, platform::DeviceHandle> simHandles;
    std::vector<bool> driverPlugged;  // what the driver was told
    std::vector<CameraId> ids;

    std::mutex mutex;
    std::condition_variable changed;
    bool inSync = false;  // the driver's plug state matched the simulator's last time
    uint64_t syncRounds = 0;
    std::map<uint32_t, uint32_t> failNext;

    // Workers that wait for pending simulator requests.
    std::deque<std::unique_ptr<Job>> jobs;
    std::vector<Job*> waiting;  // jobs a worker waits for
    std::vector<std::thread> workers;
    int idleWorkers = 0;

    ~Impl() { Stop(); }

    void Stop() {
        if (pullThread.joinable()) {
            stopping = true;
            pullThread.join();
        }
        // The driver fails what is still queued once the host's handle goes, and the
        // simulator's handles are closed so that its pending requests end (aborted).
        if (pullHandle != INVALID_HANDLE_VALUE) CloseHandle(pullHandle);
        pullHandle = INVALID_HANDLE_VALUE;
        for (auto& [handle, simHandle] : simHandles) simulator->Close(simHandle);
        simHandles.clear();
        {
            std::lock_guard<std::mutex> lock(mutex);
            changed.notify_all();
        }
        for (auto& worker : workers) worker.join();
        workers.clear();
        if (postHandle != INVALID_HANDLE_VALUE) CloseHandle(postHandle);
        postHandle = INVALID_HANDLE_VALUE;
    }

    void Post(uint64_t id, uint32_t status, const uint8_t* data, uint32_t bytes) {
        std::vector<uint8_t> message(sizeof(VCT_COMPLETION) + bytes);
        VCT_COMPLETION completion{id, status, bytes};
        std::memcpy(message.data(), &completion, sizeof(completion));
        if (bytes) std::memcpy(message.data() + sizeof(completion), data, bytes);
        std::lock_guard<std::mutex> lock(postMutex);
        // A completion for a request cancelled meanwhile is refused: nothing to do.
        HostRequest(postHandle, VCT_IOCTL_COMPLETE, message.data(),
                    static_cast<DWORD>(message.size()), nullptr, 0);
    }

    void Finish(Job& job, bool ok, uint32_t bytes, uint32_t error) {
        if (!ok) return Post(job.id, StatusFor(error), nullptr, 0);
        if (job.code == kIoctlDirectTransfer && job.in.size() >= kRequestHeaderBytes &&
            (GetLe32(&job.in[header::kStatus1]) != 0 || GetLe32(&job.in[header::kStatus2]) != 0)) {
            // The caller's header is out of reach: a transfer with a bad status word
            // fails instead.
            return Post(job.id, kStatusUnsuccessful, nullptr, 0);
        }
        bytes = std::min<uint32_t>(bytes, static_cast<uint32_t>(job.out.size()));
        Post(job.id, kStatusSuccess, job.out.data(), bytes);
    }

    void Worker() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            if (jobs.empty()) {
                if (stopping) return;
                ++idleWorkers;
                changed.wait(lock, [&] { return !jobs.empty() || stopping; });
                --idleWorkers;
                continue;
            }
            std::unique_ptr<Job> job = std::move(jobs.front());
            jobs.pop_front();
            waiting.push_back(job.get());
            lock.unlock();
            // The simulator ends every request: by itself, by an abort, by the close of
            // its handle (at the latest when the host stops). A late-fault request that
            // ignores all of those is given up when the host stops; its buffers are
            // left to it.
            bool done = false;
            while (!(done = job->operation->Wait(50)) && !stopping) {
            }
            if (done) {
                uint32_t bytes = 0;
                bool ok = job->operation->Result(&bytes);
                Finish(*job, ok, bytes, ok ? 0 : FailureOf(*job));
            }
            lock.lock();
            waiting.erase(std::find(waiting.begin(), waiting.end(), job.get()));
            if (!done) job.release();  // deliberately kept: the simulator may still write into it
        }
    }

    // The operation record does not carry the simulator's error code; what ended a
    // failed request is known here: its camera went, it was aborted, or the device
    // refused it (an overflowing read).
    uint32_t FailureOf(const Job& job) {
        if (!simulator->IsPlugged(static_cast<int>(job.camera))) return platform::kErrorDeviceGone;
        std::lock_guard<std::mutex> lock(mutex);
        return job.aborted ? platform::kErrorOperationAborted : platform::kErrorGenFailure;
    }

    void MarkAborted(uint32_t camera, uint64_t handle, int endpoint) {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<Job*> all(waiting);
        for (auto& queued : jobs) all.push_back(queued.get());
        for (Job* job : all) {
            if (job->camera != camera) continue;
            if (handle != 0 && job->handle != handle) continue;
            if (endpoint >= 0 && job->endpoint != endpoint) continue;
            job->aborted = true;
        }
    }

    void Hand(std::unique_ptr<Job> job) {
        std::lock_guard<std::mutex> lock(mutex);
        jobs.push_back(std::move(job));
        if (idleWorkers == 0) workers.emplace_back([this] { Worker(); });
        changed.notify_all();
    }

    void Serve(const VCT_MESSAGE& message, const uint8_t* input) {
        if (message.kind == VCT_MESSAGE_CLOSE) {
            auto it = simHandles.find(message.handle);
            if (it != simHandles.end()) {
                MarkAborted(message.camera, message.handle, -1);
                simulator->Close(it->second);
                simHandles.erase(it);
            }
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            auto forced = failNext.find(message.code);
            if (forced != failNext.end()) {
                uint32_t status = forced->second;
                failNext.erase(forced);
                return Post(message.id, status, nullptr, 0);
            }
        }
        platform::DeviceHandle simHandle = nullptr;
        auto it = simHandles.find(message.handle);
        if (it != simHandles.end()) {
            simHandle = it->second;
        } else if (message.camera < ids.size()) {
            // Overlapped always: the pull thread must not wait for the simulator.
            simHandle = simulator->Open(simulator->CameraPath(static_cast<int>(message.camera)).c_str(),
                                        true);
            if (simHandle) simHandles[message.handle] = simHandle;
        }
        if (simHandle == nullptr) return Post(message.id, kStatusDeviceNotConnected, nullptr, 0);

        auto job = std::make_unique<Job>();
        job->id = message.id;
        job->code = message.code;
        job->in.assign(input, input + message.inBytes);
        job->out.resize(message.outBytes);
        job->operation = simulator->NewOperation();
        job->camera = message.camera;
        job->handle = message.handle;
        if (message.code == kIoctlDirectTransfer && message.inBytes > header::kEndpoint) {
            job->endpoint = input[header::kEndpoint];
        }
        if (message.code == kIoctlAbortPipe && message.inBytes >= 1) {
            MarkAborted(message.camera, 0, input[0]);
        }
        uint32_t bytes = 0, error = 0;
        bool ok = simulator->Control(simHandle, message.code, job->in.empty() ? nullptr : job->in.data(),
                                     message.inBytes, job->out.empty() ? nullptr : job->out.data(),
                                     message.outBytes, &bytes, job->operation.get(), &error);
        if (!ok && error == platform::kErrorIoPending) return Hand(std::move(job));
        Finish(*job, ok, bytes, error);
    }

    void SyncPlugState() {
        bool same = true;
        for (size_t i = 0; i < ids.size(); ++i) {
            const bool plugged = simulator->IsPlugged(static_cast<int>(i));
            if (plugged == driverPlugged[i]) continue;
            std::lock_guard<std::mutex> lock(postMutex);
            bool ok;
            if (plugged) {
                VCT_PLUG plug{};
                plug.camera = static_cast<unsigned>(i);
                plug.vendorId = ids[i].vendorId;
                plug.productId = ids[i].productId;
                std::memcpy(plug.serial, ids[i].serial.c_str(), ids[i].serial.size() + 1);
                ok = HostRequest(postHandle, VCT_IOCTL_PLUG, &plug, sizeof(plug), nullptr, 0);
            } else {
                unsigned camera = static_cast<unsigned>(i);
                ok = HostRequest(postHandle, VCT_IOCTL_UNPLUG, &camera, sizeof(camera), nullptr, 0);
            }
            // A replug while the old device is still being removed is refused: try
            // again on the next round.
            if (ok) driverPlugged[i] = plugged;
            if (!ok) same = false;
        }
        std::lock_guard<std::mutex> lock(mutex);
        inSync = same;
        ++syncRounds;
        changed.notify_all();
    }

    void PullLoop() {
        std::vector<uint8_t> buffer(VCT_PULL_BYTES);
        OVERLAPPED overlapped{};
        overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        bool pulling = false;
        while (!stopping) {
            if (!pulling) {
                ResetEvent(overlapped.hEvent);
                DWORD count = 0;
                if (DeviceIoControl(pullHandle, VCT_IOCTL_PULL, nullptr, 0, buffer.data(),
                                    static_cast<DWORD>(buffer.size()), &count, &overlapped)) {
                    SetEvent(overlapped.hEvent);
                } else if (GetLastError() != ERROR_IO_PENDING) {
                    Sleep(kPollMs);  // the driver refused; nothing sensible but to retry
                    SyncPlugState();
                    continue;
                }
                pulling = true;
            }
            if (WaitForSingleObject(overlapped.hEvent, kPollMs) == WAIT_OBJECT_0) {
                pulling = false;
                DWORD count = 0;
                if (GetOverlappedResult(pullHandle, &overlapped, &count, FALSE) &&
                    count >= sizeof(VCT_MESSAGE)) {
                    VCT_MESSAGE message;
                    std::memcpy(&message, buffer.data(), sizeof(message));
                    if (count >= sizeof(message) + message.inBytes) {
                        Serve(message, buffer.data() + sizeof(message));
                    }
                }
            }
            SyncPlugState();
        }
        if (pulling) {
            CancelIo(pullHandle);
            WaitForSingleObject(overlapped.hEvent, 1000);
        }
        CloseHandle(overlapped.hEvent);
    }
};

CDriverHost::CDriverHost(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {
    simulator_ = impl_->simulator;
}

std::unique_ptr<CDriverHost> CDriverHost::Start(std::shared_ptr<sim::CSimDriver> simulator,
                                                uint32_t ms, std::string* error) {
    auto impl = std::make_unique<Impl>();
    impl->simulator = std::move(simulator);
    const int cameras = impl->simulator->CameraCount();
    if (cameras > VCT_MAX_CAMERAS) {
        *error = "the test driver has room for " + std::to_string(VCT_MAX_CAMERAS) + " cameras";
        return nullptr;
    }
    for (int i = 0; i < cameras; ++i) {
        CameraId id;
        if (!ParseCameraPath(impl->simulator->CameraPath(i), &id)) {
            *error = "camera path not understood: " + impl->simulator->CameraPath(i);
            return nullptr;
        }
        impl->ids.push_back(id);
    }
    impl->driverPlugged.assign(static_cast<size_t>(cameras), false);
    // A session that started without the driver (its server was restarted) gets it
    // started here.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (int round = 0;; ++round) {
        impl->pullHandle = CreateFileA(VCT_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (impl->pullHandle != INVALID_HANDLE_VALUE || std::chrono::steady_clock::now() >= end) {
            break;
        }
        if (round % 20 == 0) StartBusDriver();
        Sleep(50);
    }
    impl->postHandle = CreateFileA(VCT_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
    if (impl->pullHandle == INVALID_HANDLE_VALUE || impl->postHandle == INVALID_HANDLE_VALUE) {
        *error = "the test camera driver is not installed in this prefix (error " +
                 std::to_string(GetLastError()) + ")";
        return nullptr;
    }
    Impl* raw = impl.get();
    impl->pullThread = std::thread([raw] { raw->PullLoop(); });
    std::unique_ptr<CDriverHost> host(new CDriverHost(std::move(impl)));
    if (!host->WaitForPlugState(ms)) {
        *error = "the test driver's camera interfaces did not appear";
        return nullptr;
    }
    return host;
}

CDriverHost::~CDriverHost() {
    // Unplug first, so that the interfaces are gone before the next host plugs the
    // same paths again.
    impl_->stopping = true;
    if (impl_->pullThread.joinable()) impl_->pullThread.join();
    {
        std::lock_guard<std::mutex> lock(impl_->postMutex);
        for (size_t i = 0; i < impl_->driverPlugged.size(); ++i) {
            if (!impl_->driverPlugged[i]) continue;
            unsigned camera = static_cast<unsigned>(i);
            HostRequest(impl_->postHandle, VCT_IOCTL_UNPLUG, &camera, sizeof(camera), nullptr, 0);
        }
    }
    impl_->Stop();
    // Bounded: the interfaces go asynchronously.
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!ListedInterfaces().empty() && std::chrono::steady_clock::now() < end) Sleep(10);
}

bool CDriverHost::WaitForPlugState(uint32_t ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::unique_lock<std::mutex> lock(impl_->mutex);
    // Two rounds after the call: the first may have begun before the change.
    uint64_t from = impl_->syncRounds;
    if (!impl_->changed.wait_until(lock, end, [&] {
            return impl_->syncRounds >= from + 2 && impl_->inSync;
        })) {
        return false;
    }
    lock.unlock();
    std::vector<std::string> expected;
    for (int i = 0; i < simulator_->CameraCount(); ++i) {
        if (simulator_->IsPlugged(i)) expected.push_back(Lower(simulator_->CameraPath(i)));
    }
    for (;;) {
        std::vector<std::string> listed = ListedInterfaces();
        for (auto& path : listed) path = Lower(path);
        bool match = listed.size() == expected.size();
        for (const auto& path : expected) {
            if (std::find(listed.begin(), listed.end(), path) == listed.end()) match = false;
        }
        if (match) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        Sleep(10);
    }
}

void CDriverHost::FailNext(uint32_t code, uint32_t ntStatus) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->failNext[code] = ntStatus;
}

VCT_STATS CDriverHost::Stats() {
    VCT_STATS stats{};
    std::lock_guard<std::mutex> lock(impl_->postMutex);
    HostRequest(impl_->postHandle, VCT_IOCTL_STATS, nullptr, 0, &stats, sizeof(stats));
    return stats;
}

std::vector<std::string> CDriverHost::ListedInterfaces() {
    std::vector<std::string> paths;
    GUID guid;
    std::memcpy(&guid, &kCameraInterfaceGuid, sizeof(guid));
    HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return paths;
    for (DWORD member = 0;; ++member) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof(data);
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, member, &data)) break;
        alignas(SP_DEVICE_INTERFACE_DETAIL_DATA_A) char work[1024] = {};
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(work);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof(work) - 1, nullptr, nullptr)) {
            paths.emplace_back(detail->DevicePath);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

}  // namespace veltcam::test
