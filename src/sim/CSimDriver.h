// The simulated kernel driver: a driver channel that answers every request of the
// transport from simulated cameras, in-process. Bulk reads stay pending and are
// completed by the driver's own thread, as a real driver completes them from its
// interrupt path; aborts, pipe resets, unplugging and scripted faults behave as the
// transport must expect from the real one.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/DriverChannel.h"
#include "sim/CSimCamera.h"
#include "sim/CSimClock.h"
#include "sim/CSimFaults.h"
#include "sim/CSimRecorder.h"
#include "sim/SimOptions.h"

namespace veltcam::sim {

class CSimDriver final : public platform::CDriverChannel {
  public:
    explicit CSimDriver(const SimOptions& options);
    ~CSimDriver() override;

    // Parses `optionsText` and builds the driver; null (and `error`) when the options
    // are refused.
    static std::shared_ptr<CSimDriver> Create(const std::string& optionsText, std::string* error);

    // Driver channel.
    std::vector<std::string> ListInterfaces(const platform::Guid& interfaceClass,
                                            int maxCount) override;
    platform::DeviceHandle Open(const char* path, bool overlapped) override;
    void Close(platform::DeviceHandle handle) override;
    std::unique_ptr<platform::CIoOperation> NewOperation() override;
    bool Control(platform::DeviceHandle handle, uint32_t code, const void* in, uint32_t inBytes,
                 void* out, uint32_t outBytes, uint32_t* bytes, platform::CIoOperation* operation,
                 uint32_t* error) override;
    void* WatchRemoval(platform::DeviceHandle handle,
                       std::function<void(bool removing)> onRemoval) override;
    void UnwatchRemoval(void* watch) override;
    platform::CTimeSource& Time() override { return clock_; }
    std::string SharedTableName() const override { return options_.table; }

    // Test and tool hooks.
    const SimOptions& Options() const { return options_; }
    int CameraCount() const;
    std::string CameraPath(int camera) const;
    void Unplug(int camera);
    // Safe removal, as the system's "eject": every watch on the camera's handles hears
    // of it first; then the camera goes as if unplugged, unless a handle to it is still
    // open, which vetoes the removal (the watches then hear it was called off). True
    // when the camera was removed.
    bool QueryRemove(int camera);
    void Replug(int camera);
    bool IsPlugged(int camera) const;
    void Trigger(int camera);
    void AddFault(const FaultSpec& fault);
    void ClearFaults();
    // Lists an interface of the camera class that is none of the simulated cameras;
    // `opens` says whether its path can be opened.
    void AddInterface(const std::string& path, bool opens);
    CSimRecorder& Recorder() { return recorder_; }
    CSimClock& Clock() { return clock_; }
    // Runs `action` on a camera under the driver's lock.
    void WithCamera(int camera, const std::function<void(CSimCamera&)>& action);
    // Open handles (any camera); a closed channel has none.
    size_t OpenHandles() const;
    // Called (under the driver's lock) with the memory a late request writes into,
    // just before it writes: tests check that its owner still holds it.
    void SetLateWriteObserver(std::function<void(const void* at, size_t bytes)> observer);
    // Requests that came back late (Late and LateControl faults).
    uint64_t LateCompletions() const;
    // Pipe resets refused because a transfer was still outstanding on the pipe.
    uint64_t BusyPipeResets() const;
    // Called (under the driver's lock: it may only take locks of its own) whenever a
    // request completes, for fronts that carry the driver's completions elsewhere.
    void SetCompletionListener(std::function<void()> listener);
    // The state of a request issued with `operation` (from this driver): false while
    // it is pending, else its outcome with the error code of a failure.
    static bool Outcome(platform::CIoOperation* operation, bool* ok, uint32_t* bytes,
                        uint32_t* error);

  private:
    struct OpState;
    class COperation;
    struct Handle {
        int camera;  // -1: a listed interface that is no camera
        uint32_t generation;
        bool overlapped;
        uint64_t serial;  // tells a reused handle value from the handle it replaced
    };
    struct Pending {
        uint64_t id;
        uint64_t handleSerial;
        std::shared_ptr<OpState> state;
        int camera;
        uint8_t endpoint;
        uint8_t* buffer;
        uint32_t length;
        uint8_t* header;  // the caller's request header: the status words go there
        bool stalled;
        uint32_t status;
        bool aborted;
        uint32_t abortError;
        SteadyClock::time_point completeAt;
        // Late fault: reads on 0x81 still to be served before this one comes back.
        uint32_t lateAfter;
        bool late;
        std::vector<uint8_t> lateData;  // what it writes when it comes back
    };

    void WorkerLoop();
    void ServeCamera(int camera, SteadyClock::time_point now, SteadyClock::time_point* wake);
    void Complete(Pending& pending, bool ok, uint32_t bytes, uint32_t error);
    void CompleteAt(const std::shared_ptr<OpState>& state, bool ok, uint32_t bytes, uint32_t error);
    void UnplugLocked(int camera, uint32_t replugAfterMs);
    void AbortLocked(int camera, uint8_t endpoint, uint64_t onlySerial, uint32_t error);
    // A read on 0x81 of `camera` was served: late requests waiting for it come back.
    void ReleaseLate(int camera);
    void Record(SimRecord record);
    int64_t MicrosNow() const;

    SimOptions options_;
    CSimClock clock_;
    CSimRecorder recorder_;
    SteadyClock::time_point start_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    CSimFaults faults_;
    std::vector<std::unique_ptr<CSimCamera>> cameras_;
    std::vector<SteadyClock::time_point> replugAt_;
    std::vector<std::pair<std::string, bool>> extraInterfaces_;
    std::map<uintptr_t, Handle> handles_;
    uint64_t nextSerial_ = 1;
    struct RemovalWatch {
        uint64_t handleSerial;
        int camera;
        std::function<void(bool)> onRemoval;
    };
    std::map<uintptr_t, RemovalWatch> watches_;
    uintptr_t nextWatch_ = 1;
    std::function<void(const void*, size_t)> lateObserver_;
    std::function<void()> completionListener_;
    uint64_t lateCompletions_ = 0;
    uint64_t busyPipeResets_ = 0;
    std::list<Pending> pending_;
    uint64_t nextRequestId_ = 1;
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace veltcam::sim
