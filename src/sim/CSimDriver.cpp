#include "sim/CSimDriver.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "foundation/ModelConstants.h"
#include "transport/RequestHeader.h"

namespace veltcam::sim {
namespace {

constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorInvalidFunction = 1;
constexpr uint32_t kErrorBusy = 170;
constexpr uintptr_t kFirstHandle = 0x1000;
// What a late read leaves in its buffer, so that a test can tell it from frame data.
constexpr char kLatePattern[] = "LATE";

bool SameGuid(const platform::Guid& a, const platform::Guid& b) {
    return std::memcmp(&a, &b, sizeof(a)) == 0;
}

}  // namespace

// The shared part of an overlapped record: the driver completes it, the owner waits.
struct CSimDriver::OpState {
    std::mutex mutex;
    std::condition_variable changed;
    bool signalled = false;  // the auto-reset event
    bool done = false;
    bool ok = false;
    uint32_t bytes = 0;
    uint32_t error = 0;
    // The request can only end by an abort: with instant stalls a wait on it times out
    // at once instead of in real time.
    bool stalled = false;
    bool instantStalls = true;
    CSimClock* clock = nullptr;
};

class CSimDriver::COperation final : public platform::CIoOperation {
  public:
    explicit COperation(std::shared_ptr<OpState> state) : state_(std::move(state)) {}

    const std::shared_ptr<OpState>& State() const { return state_; }

    std::shared_ptr<OpState> Reset() {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->signalled = false;
        state_->done = false;
        state_->ok = false;
        state_->bytes = 0;
        state_->error = 0;
        state_->stalled = false;
        return state_;
    }

    bool Wait(uint32_t ms) override {
        std::unique_lock<std::mutex> lock(state_->mutex);
        if (!state_->signalled && state_->stalled && state_->instantStalls) {
            state_->clock->Advance(ms == platform::kWaitForever ? 0 : ms);
            return false;
        }
        auto signalled = [&] { return state_->signalled; };
        if (ms == platform::kWaitForever) {
            state_->changed.wait(lock, signalled);
        } else if (!state_->changed.wait_for(lock, std::chrono::milliseconds(ms), signalled)) {
            return false;
        }
        state_->signalled = false;
        return true;
    }

    bool Result(uint32_t* bytes) override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (bytes) *bytes = state_->done && state_->ok ? state_->bytes : 0;
        return state_->done && state_->ok;
    }

  private:
    std::shared_ptr<OpState> state_;
};

std::shared_ptr<CSimDriver> CSimDriver::Create(const std::string& optionsText, std::string* error) {
    SimOptions options;
    if (!ParseSimOptions(optionsText, &options, error)) return nullptr;
    return std::make_shared<CSimDriver>(options);
}

CSimDriver::CSimDriver(const SimOptions& options)
    : options_(options),
      clock_(options.virtualClock),
      start_(SteadyClock::now()),
      faults_(options.faults, options.seed) {
    recorder_.Enable(options.record);
    int index = 0;
    for (int i = 0; i < options_.cameras; ++i) {
        cameras_.push_back(std::make_unique<CSimCamera>(index++, options_.vendorId, kProductCode,
                                                        options_, faults_, clock_));
    }
    for (uint16_t product : options_.otherProducts) {
        cameras_.push_back(std::make_unique<CSimCamera>(index++, options_.vendorId, product,
                                                        options_, faults_, clock_));
    }
    replugAt_.assign(cameras_.size(), SteadyClock::time_point::max());
    worker_ = std::thread([this] {
        // Nothing may leave a thread of the library: a failure in here ends the
        // simulated driver's completions, which the host sees as transfers that time out.
        try {
            WorkerLoop();
        } catch (...) {
            std::fputs("camera simulator: driver thread stopped after an internal error\n", stderr);
        }
    });
}

CSimDriver::~CSimDriver() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        for (Pending& pending : pending_) {
            CompleteAt(pending.state, false, 0, platform::kErrorOperationAborted);
        }
        pending_.clear();
    }
    wake_.notify_all();
    worker_.join();
}

int64_t CSimDriver::MicrosNow() const {
    return std::chrono::duration_cast<std::chrono::microseconds>(SteadyClock::now() - start_)
        .count();
}

void CSimDriver::Record(SimRecord record) {
    if (!recorder_.Enabled()) return;
    record.timeMs = clock_.TickMs();
    record.timeUs = MicrosNow();
    recorder_.Add(std::move(record));
}

// ---------------------------------------------------------------------------
// Discovery and handles

std::vector<std::string> CSimDriver::ListInterfaces(const platform::Guid& interfaceClass,
                                                    int maxCount) {
    std::vector<std::string> paths;
    if (!SameGuid(interfaceClass, kCameraInterfaceGuid)) return paths;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& camera : cameras_) {
        if (camera->Plugged()) paths.push_back(camera->Path());
    }
    for (const auto& [path, opens] : extraInterfaces_) paths.push_back(path);
    if (static_cast<int>(paths.size()) > maxCount) paths.resize(static_cast<size_t>(maxCount));
    return paths;
}

platform::DeviceHandle CSimDriver::Open(const char* path, bool overlapped) {
    if (path == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    Handle handle{-1, 0, overlapped, 0};
    bool found = false;
    for (const auto& camera : cameras_) {
        if (camera->Path() == path) {
            if (!camera->Plugged()) return nullptr;
            handle.camera = camera->Index();
            handle.generation = camera->Generation();
            found = true;
        }
    }
    for (const auto& [extra, opens] : extraInterfaces_) {
        if (extra == path && opens) found = true;
    }
    if (!found) return nullptr;
    // The system hands out the lowest free value again as soon as a handle is closed:
    // a value kept past its close reaches whatever was opened next.
    uintptr_t id = kFirstHandle;
    while (handles_.count(id)) ++id;
    handle.serial = nextSerial_++;
    handles_[id] = handle;
    return reinterpret_cast<platform::DeviceHandle>(id);
}

void CSimDriver::Close(platform::DeviceHandle handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    uintptr_t id = reinterpret_cast<uintptr_t>(handle);
    auto it = handles_.find(id);
    if (it == handles_.end()) return;
    // Closing a handle cancels what is still pending on it.
    if (it->second.camera >= 0) {
        AbortLocked(it->second.camera, 0, it->second.serial, platform::kErrorOperationAborted);
    }
    handles_.erase(it);
    wake_.notify_all();
}

size_t CSimDriver::OpenHandles() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return handles_.size();
}

std::unique_ptr<platform::CIoOperation> CSimDriver::NewOperation() {
    auto state = std::make_shared<OpState>();
    state->clock = &clock_;
    state->instantStalls = options_.instantStalls;
    return std::make_unique<COperation>(std::move(state));
}

// ---------------------------------------------------------------------------
// Requests

void CSimDriver::CompleteAt(const std::shared_ptr<OpState>& state, bool ok, uint32_t bytes,
                            uint32_t error) {
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->done = true;
        state->ok = ok;
        state->bytes = ok ? bytes : 0;
        state->error = ok ? 0 : error;
        state->stalled = false;
        state->signalled = true;
    }
    state->changed.notify_all();
    if (completionListener_) completionListener_();
}

void CSimDriver::Complete(Pending& pending, bool ok, uint32_t bytes, uint32_t error) {
    if (ok && pending.status != 0 && pending.header != nullptr) {
        PutLe32(pending.header + header::kStatus1, pending.status);
    }
    SimRecord record;
    record.kind = SimRecord::Kind::Completion;
    record.camera = pending.camera;
    record.requestId = pending.id;
    record.code = kIoctlDirectTransfer;
    record.fields.endpoint = pending.endpoint;
    record.length = pending.length;
    record.ok = ok;
    record.bytes = ok ? bytes : 0;
    record.error = ok ? 0 : error;
    Record(std::move(record));
    CompleteAt(pending.state, ok, bytes, error);
}

bool CSimDriver::Control(platform::DeviceHandle handle, uint32_t code, const void* in,
                         uint32_t inBytes, void* out, uint32_t outBytes, uint32_t* bytes,
                         platform::CIoOperation* operation, uint32_t* error) {
    uint32_t dummyBytes = 0, dummyError = 0;
    if (!bytes) bytes = &dummyBytes;
    if (!error) error = &dummyError;
    *bytes = 0;
    *error = 0;
    std::shared_ptr<OpState> state;
    if (operation) state = static_cast<COperation*>(operation)->Reset();

    std::unique_lock<std::mutex> lock(mutex_);
    const uintptr_t id = reinterpret_cast<uintptr_t>(handle);
    auto found = handles_.find(id);
    auto fail = [&](uint32_t code) {
        *error = code;
        return false;
    };
    if (found == handles_.end()) return fail(kErrorInvalidHandle);
    const Handle h = found->second;
    // Overlapped I/O on a handle opened for it needs an overlapped record.
    if (h.overlapped && !state) return fail(platform::kErrorInvalidParameter);
    CSimCamera* camera = h.camera >= 0 ? cameras_[static_cast<size_t>(h.camera)].get() : nullptr;
    if (camera == nullptr || !camera->Plugged() || camera->Generation() != h.generation) {
        return fail(platform::kErrorDeviceGone);
    }
    const auto* input = static_cast<const uint8_t*>(in);
    auto* output = static_cast<uint8_t*>(out);

    SimRecord record;
    record.camera = h.camera;
    record.code = code;
    // Requests that finish here complete their overlapped record too, as the system
    // does for an overlapped request that completes at once.
    auto finish = [&](bool ok, uint32_t count, uint32_t code) {
        *bytes = ok ? count : 0;
        *error = ok ? 0 : code;
        if (state) CompleteAt(state, ok, count, code);
        return ok;
    };

    switch (code) {
        case kIoctlControlRequest: {
            if (input == nullptr || output == nullptr || inBytes < kControlRecordBytes) {
                return fail(platform::kErrorInvalidParameter);
            }
            if (output != input) std::memcpy(output, input, std::min(inBytes, outBytes));
            record.fields = ReadRequestHeader(input);
            record.data.assign(input + kRequestHeaderBytes, input + kControlRecordBytes);
            Record(record);
            // The reply is built aside: a request the driver holds on to writes it only
            // when it comes back.
            std::vector<uint8_t> reply(input, input + inBytes);
            reply.resize(std::max(inBytes, outBytes));
            uint32_t count = 0, why = 0;
            bool ok = camera->Control(reply.data(), inBytes, outBytes, &count, &why);
            wake_.notify_all();  // a frame request may let a waiting read go on
            if (ok && state && h.overlapped &&
                faults_.Hit(FaultKind::LateControl, h.camera, record.fields.request)) {
                Pending pending{};
                pending.id = nextRequestId_++;
                pending.handleSerial = h.serial;
                pending.state = state;
                pending.camera = h.camera;
                pending.buffer = output;
                pending.length = std::min(count, outBytes);
                pending.completeAt = SteadyClock::time_point::max();
                pending.stalled = true;
                pending.late = true;
                pending.lateAfter = 1;
                pending.lateData.assign(reply.begin(), reply.begin() + pending.length);
                {
                    std::lock_guard<std::mutex> stateLock(state->mutex);
                    state->stalled = true;
                }
                pending_.push_back(std::move(pending));
                return fail(platform::kErrorIoPending);
            }
            if (ok) std::memcpy(output, reply.data(), std::min(count, outBytes));
            return finish(ok, count, why);
        }
        case kIoctlDirectTransfer: {
            if (input == nullptr || inBytes < kRequestHeaderBytes) {
                return fail(platform::kErrorInvalidParameter);
            }
            Pending pending{};
            pending.id = nextRequestId_++;
            pending.handleSerial = h.serial;
            pending.state = state ? state : std::make_shared<OpState>();
            pending.camera = h.camera;
            pending.endpoint = input[header::kEndpoint];
            pending.buffer = output;
            pending.length = outBytes;
            pending.header = const_cast<uint8_t*>(input);
            pending.completeAt = SteadyClock::time_point::max();

            record.fields = ReadRequestHeader(input);
            record.requestId = pending.id;
            record.length = outBytes;
            if (!(pending.endpoint & 0x80) && output != nullptr) {
                record.data.assign(output, output + std::min<uint32_t>(outBytes, 64));
            }
            Record(record);

            if (pending.endpoint & 0x80) {
                if (camera->NextReadIsHeader(outBytes)) {
                    if (faults_.Hit(FaultKind::HeaderTimeout, h.camera)) {
                        pending.stalled = true;
                        camera->LoseNextFrame();
                    }
                } else if (faults_.Hit(FaultKind::PayloadStall, h.camera)) {
                    pending.stalled = true;
                }
                if (faults_.Hit(FaultKind::ShortRead, h.camera)) pending.length = outBytes / 2;
                if (const FaultSpec* late = faults_.Hit(FaultKind::Late, h.camera)) {
                    pending.stalled = true;
                    pending.late = true;
                    pending.lateAfter = late->argument;
                }
            }
            if (const FaultSpec* status = faults_.Hit(FaultKind::Status, h.camera)) {
                pending.status = status->argument;
            }
            {
                std::lock_guard<std::mutex> stateLock(pending.state->mutex);
                pending.state->stalled = pending.stalled;
            }
            std::shared_ptr<OpState> waitOn = pending.state;
            if (options_.inlineCompletion && !pending.stalled &&
                std::none_of(pending_.begin(), pending_.end(), [&](const Pending& p) {
                    return p.camera == h.camera && p.endpoint != 0 && !(p.late && p.aborted);
                })) {
                uint32_t count = 0;
                SteadyClock::time_point readyAt;
                CSimCamera::InResult result = CSimCamera::InResult::Served;
                if (pending.endpoint & 0x80) {
                    result = camera->ReadIn(SteadyClock::now(), pending.buffer, pending.length,
                                            &count, &readyAt);
                } else if (pending.buffer) {
                    count = camera->WriteOut(pending.buffer, pending.length);
                }
                if (result == CSimCamera::InResult::Served) {
                    if (pending.endpoint & 0x80) ReleaseLate(h.camera);
                    Complete(pending, true, count, 0);
                    *bytes = count;
                    return true;
                }
                if (result == CSimCamera::InResult::Overflow) {
                    Complete(pending, false, 0, platform::kErrorGenFailure);
                    return fail(platform::kErrorGenFailure);
                }
                if (result == CSimCamera::InResult::Unplugged) {
                    pending_.push_back(std::move(pending));
                    UnplugLocked(h.camera, 0);
                    return fail(platform::kErrorDeviceGone);
                }
            }
            pending_.push_back(std::move(pending));
            wake_.notify_all();
            if (state && h.overlapped) return fail(platform::kErrorIoPending);
            // A handle without overlapped I/O: the call returns when the driver is done.
            lock.unlock();
            std::unique_lock<std::mutex> wait(waitOn->mutex);
            waitOn->changed.wait(wait, [&] { return waitOn->done; });
            *bytes = waitOn->bytes;
            *error = waitOn->error;
            return waitOn->ok;
        }
        case kIoctlAbortPipe: {
            if (input == nullptr || inBytes < 1) return fail(platform::kErrorInvalidParameter);
            record.data.assign(input, input + 1);
            Record(record);
            AbortLocked(h.camera, input[0], 0, platform::kErrorOperationAborted);
            wake_.notify_all();
            return finish(true, 0, 0);
        }
        case kIoctlResetPipe: {
            if (input == nullptr || inBytes < 1) return fail(platform::kErrorInvalidParameter);
            record.data.assign(input, input + 1);
            Record(record);
            // The USB stack resets only an idle pipe: a transfer still outstanding on it
            // makes the reset fail, and the endpoint keeps what it held.
            if (std::any_of(pending_.begin(), pending_.end(), [&](const Pending& p) {
                    return p.camera == h.camera && p.endpoint == input[0] && !p.aborted;
                })) {
                ++busyPipeResets_;
                return finish(false, 0, kErrorBusy);
            }
            if (input[0] & 0x80) camera->FlushIn();
            return finish(true, 0, 0);
        }
        case kIoctlResetPort:
            Record(record);
            camera->ResetPort();
            return finish(true, 0, 0);
        case kIoctlBusSpeed:
            Record(record);
            if (output == nullptr || outBytes < 4) return fail(platform::kErrorInvalidParameter);
            PutLe32(output, camera->BusSpeed());
            return finish(true, 4, 0);
        case kIoctlEndpointRequest: {
            if (input == nullptr || output == nullptr || inBytes < kRequestHeaderBytes) {
                return fail(platform::kErrorInvalidParameter);
            }
            record.fields = ReadRequestHeader(input);
            record.length = inBytes - kRequestHeaderBytes;
            record.data.assign(input + kRequestHeaderBytes,
                               input + std::min<uint32_t>(inBytes, kRequestHeaderBytes + 64));
            Record(record);
            // The endpoint echoes what it is sent, header included in the count.
            if (output != input) std::memcpy(output, input, std::min(inBytes, outBytes));
            return finish(true, std::min(inBytes, outBytes), 0);
        }
        default:
            Record(record);
            return fail(kErrorInvalidFunction);
    }
}

void CSimDriver::AbortLocked(int camera, uint8_t endpoint, uint64_t onlySerial, uint32_t error) {
    const auto due = SteadyClock::now() + std::chrono::milliseconds(options_.abortDelayMs);
    for (auto it = pending_.begin(); it != pending_.end();) {
        // Closing a handle ends everything on it, aborted requests still on their way back
        // included; an abort pipe catches each request once.
        bool match = it->camera == camera &&
                     (onlySerial != 0 ? it->handleSerial == onlySerial
                                      : !it->aborted && it->endpoint == endpoint);
        if (!match) {
            ++it;
            continue;
        }
        if (it->late) {
            // It no longer holds up the pipe, but it is not handed back either.
            it->aborted = true;
            ++it;
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(it->state->mutex);
            it->state->stalled = false;
        }
        // What was on its way into an aborted read is gone.
        if (it->stalled && (it->endpoint & 0x80)) {
            cameras_[static_cast<size_t>(camera)]->LoseInFlight(it->length);
        }
        if (options_.abortDelayMs == 0 || onlySerial != 0) {
            Complete(*it, false, 0, error);
            it = pending_.erase(it);
        } else {
            it->aborted = true;
            it->abortError = error;
            it->completeAt = due;
            ++it;
        }
    }
}

void CSimDriver::UnplugLocked(int camera, uint32_t replugAfterMs) {
    cameras_[static_cast<size_t>(camera)]->Unplug();
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (it->camera == camera) {
            Complete(*it, false, 0, platform::kErrorDeviceGone);
            it = pending_.erase(it);
        } else {
            ++it;
        }
    }
    replugAt_[static_cast<size_t>(camera)] =
        replugAfterMs == 0 ? SteadyClock::time_point::max()
                           : SteadyClock::now() + std::chrono::milliseconds(replugAfterMs);
}

void CSimDriver::ReleaseLate(int camera) {
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (!it->late || it->camera != camera || --it->lateAfter > 0) {
            ++it;
            continue;
        }
        // Back at last, and it writes what it has into the memory it was given, as a
        // real driver does with a request it completes after the host gave up on it.
        if (it->buffer != nullptr && it->length > 0) {
            if (lateObserver_) lateObserver_(it->buffer, it->length);
            if (!it->lateData.empty()) {
                std::memcpy(it->buffer, it->lateData.data(),
                            std::min<size_t>(it->length, it->lateData.size()));
            } else {
                for (uint32_t i = 0; i < it->length; ++i) it->buffer[i] = kLatePattern[i % 4];
            }
        }
        ++lateCompletions_;
        Complete(*it, false, 0, platform::kErrorOperationAborted);
        it = pending_.erase(it);
    }
}

// ---------------------------------------------------------------------------
// The driver's completion thread

void CSimDriver::ServeCamera(int camera, SteadyClock::time_point now,
                             SteadyClock::time_point* wake) {
    CSimCamera& device = *cameras_[static_cast<size_t>(camera)];
    while (true) {
        // Endpoint-0 requests held back by the driver are not in the bulk pipe.
        auto it = std::find_if(pending_.begin(), pending_.end(), [&](const Pending& p) {
            return p.camera == camera && !p.aborted && p.endpoint != 0;
        });
        if (it == pending_.end() || it->stalled) return;  // a stalled request blocks its pipe
        if (it->endpoint & 0x80) {
            uint32_t count = 0;
            SteadyClock::time_point readyAt;
            CSimCamera::InResult result =
                device.ReadIn(now, it->buffer, it->length, &count, &readyAt);
            if (result == CSimCamera::InResult::Wait) {
                *wake = std::min(*wake, readyAt);
                return;
            }
            if (result == CSimCamera::InResult::Unplugged) {
                uint32_t replug = 0;
                for (const FaultSpec& f : options_.faults) {
                    if (f.kind == FaultKind::Unplug && (f.camera < 0 || f.camera == camera)) {
                        replug = f.argument;
                    }
                }
                UnplugLocked(camera, replug);
                *wake = std::min(*wake, replugAt_[static_cast<size_t>(camera)]);
                return;
            }
            if (result == CSimCamera::InResult::Overflow) {
                Complete(*it, false, 0, platform::kErrorGenFailure);
                pending_.erase(it);
                continue;
            }
            ReleaseLate(camera);
            Complete(*it, true, count, 0);
        } else {
            uint32_t count = it->buffer ? device.WriteOut(it->buffer, it->length) : 0;
            Complete(*it, true, count, 0);
        }
        pending_.erase(it);
    }
}

void CSimDriver::WorkerLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        const auto now = SteadyClock::now();
        auto wake = SteadyClock::time_point::max();
        for (size_t i = 0; i < cameras_.size(); ++i) {
            if (!cameras_[i]->Plugged() && now >= replugAt_[i]) {
                cameras_[i]->Replug();
                replugAt_[i] = SteadyClock::time_point::max();
            }
            if (!cameras_[i]->Plugged()) wake = std::min(wake, replugAt_[i]);
            cameras_[i]->Tick(now, &wake);
        }
        for (auto it = pending_.begin(); it != pending_.end();) {
            if (it->aborted && !it->late && now >= it->completeAt) {
                Complete(*it, false, 0, it->abortError);
                it = pending_.erase(it);
            } else {
                if (it->aborted && !it->late) wake = std::min(wake, it->completeAt);
                ++it;
            }
        }
        for (size_t i = 0; i < cameras_.size(); ++i) {
            if (cameras_[i]->Plugged()) ServeCamera(static_cast<int>(i), now, &wake);
        }
        if (wake == SteadyClock::time_point::max()) {
            wake_.wait(lock);
        } else {
            wake_.wait_until(lock, wake);
        }
    }
}

// ---------------------------------------------------------------------------
// Hooks

int CSimDriver::CameraCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(cameras_.size());
}

std::string CSimDriver::CameraPath(int camera) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (camera < 0 || camera >= static_cast<int>(cameras_.size())) return {};
    return cameras_[static_cast<size_t>(camera)]->Path();
}

void CSimDriver::Unplug(int camera) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (camera < 0 || camera >= static_cast<int>(cameras_.size())) return;
    UnplugLocked(camera, 0);
    wake_.notify_all();
}

void* CSimDriver::WatchRemoval(platform::DeviceHandle handle,
                               std::function<void(bool)> onRemoval) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == handles_.end() || it->second.camera < 0) return nullptr;
    const uintptr_t id = nextWatch_++;
    watches_[id] = RemovalWatch{it->second.serial, it->second.camera, std::move(onRemoval)};
    return reinterpret_cast<void*>(id);
}

void CSimDriver::UnwatchRemoval(void* watch) {
    std::lock_guard<std::mutex> lock(mutex_);
    watches_.erase(reinterpret_cast<uintptr_t>(watch));
}

bool CSimDriver::QueryRemove(int camera) {
    auto notify = [&](bool removing) {
        std::vector<std::function<void(bool)>> callbacks;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const auto& [id, watch] : watches_) {
                if (watch.camera == camera) callbacks.push_back(watch.onRemoval);
            }
        }
        // Outside the lock: the callbacks close and unwatch their handles.
        for (auto& callback : callbacks) callback(removing);
    };
    if (camera < 0 || camera >= CameraCount()) return false;
    notify(true);
    // Handles opened for a single request are closed again at once: give them a moment.
    for (int i = 0; i < 200; ++i) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (std::none_of(handles_.begin(), handles_.end(),
                             [&](const auto& entry) { return entry.second.camera == camera; })) {
                UnplugLocked(camera, 0);
                wake_.notify_all();
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    notify(false);
    return false;
}

void CSimDriver::Replug(int camera) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (camera < 0 || camera >= static_cast<int>(cameras_.size())) return;
    cameras_[static_cast<size_t>(camera)]->Replug();
    replugAt_[static_cast<size_t>(camera)] = SteadyClock::time_point::max();
    wake_.notify_all();
}

bool CSimDriver::IsPlugged(int camera) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (camera < 0 || camera >= static_cast<int>(cameras_.size())) return false;
    return cameras_[static_cast<size_t>(camera)]->Plugged();
}

void CSimDriver::Trigger(int camera) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (camera < 0 || camera >= static_cast<int>(cameras_.size())) return;
    cameras_[static_cast<size_t>(camera)]->Trigger();
    wake_.notify_all();
}

void CSimDriver::AddFault(const FaultSpec& fault) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.Add(fault);
    options_.faults.push_back(fault);
}

void CSimDriver::ClearFaults() {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.Clear();
    options_.faults.clear();
}

void CSimDriver::SetLateWriteObserver(std::function<void(const void*, size_t)> observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    lateObserver_ = std::move(observer);
}

uint64_t CSimDriver::LateCompletions() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lateCompletions_;
}

void CSimDriver::SetCompletionListener(std::function<void()> listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    completionListener_ = std::move(listener);
}

bool CSimDriver::Outcome(platform::CIoOperation* operation, bool* ok, uint32_t* bytes,
                         uint32_t* error) {
    const std::shared_ptr<OpState>& state = static_cast<COperation*>(operation)->State();
    std::lock_guard<std::mutex> lock(state->mutex);
    if (!state->done) return false;
    *ok = state->ok;
    *bytes = state->bytes;
    *error = state->error;
    return true;
}

uint64_t CSimDriver::BusyPipeResets() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return busyPipeResets_;
}

void CSimDriver::AddInterface(const std::string& path, bool opens) {
    std::lock_guard<std::mutex> lock(mutex_);
    extraInterfaces_.emplace_back(path, opens);
}

void CSimDriver::WithCamera(int camera, const std::function<void(CSimCamera&)>& action) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (camera < 0 || camera >= static_cast<int>(cameras_.size())) return;
    action(*cameras_[static_cast<size_t>(camera)]);
    wake_.notify_all();
}

}  // namespace veltcam::sim
