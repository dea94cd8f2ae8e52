// The road to the camera's kernel-mode driver: finding the device paths of an
// interface class, opening them, and issuing I/O control requests that either
// complete at once or stay pending until the driver finishes them.
//
// The transport above builds every request record itself (request headers, byte
// counts, status words); a channel only carries bytes. Windows passes everything
// to SetupDi* and DeviceIoControl. Linux has no driver yet and finds nothing. The
// camera simulator is a third channel with the same contract.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Guid.h"

namespace veltcam::platform {

// An opened device path. Null means none; only the channel that opened it can use it.
using DeviceHandle = void*;

constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

// System error codes that the transport tells apart.
constexpr uint32_t kErrorIoPending = 997;         // request accepted, completes later
constexpr uint32_t kErrorOperationAborted = 995;  // completed by an abort
constexpr uint32_t kErrorDeviceGone = 1167;       // device unplugged
constexpr uint32_t kErrorGenFailure = 31;         // device refused the request
constexpr uint32_t kErrorInvalidParameter = 87;
// The system's memory for transfers is used up for now: retry once some comes back.
constexpr uint32_t kErrorNoSystemResources = 1450;

// One overlapped request record with its own auto-reset event. A record belongs to
// one request at a time and must outlive it: the driver writes its result (and the
// request's output buffer) until the request has completed.
class CIoOperation {
  public:
    virtual ~CIoOperation() = default;
    // Waits for the completion event, at most `ms` (kWaitForever: no limit). True when
    // it was signalled; the event resets as the wait returns.
    virtual bool Wait(uint32_t ms) = 0;
    // The finished request's result without waiting: false while it is still pending
    // or when it failed.
    virtual bool Result(uint32_t* bytes) = 0;
};

// Millisecond time as the layers above the driver use it. Channels hand it out so
// that the simulator can run the protocol's multi-second polling on a virtual clock.
class CTimeSource {
  public:
    virtual ~CTimeSource() = default;
    virtual uint32_t TickMs() = 0;
    virtual void SleepMs(uint32_t ms) = 0;
};

// The real millisecond clock (Clock.h), shared by everything that is not simulated.
CTimeSource& SystemTime();

class CDriverChannel {
  public:
    virtual ~CDriverChannel() = default;

    // Paths of the present device interfaces of `interfaceClass` whose details could
    // be read, in enumeration order, at most `maxCount`. Never fails: what cannot be
    // enumerated is left out.
    virtual std::vector<std::string> ListInterfaces(const Guid& interfaceClass, int maxCount) = 0;

    // Opens a device path for writing with write sharing; null when it cannot.
    virtual DeviceHandle Open(const char* path, bool overlapped) = 0;
    virtual void Close(DeviceHandle handle) = 0;

    virtual std::unique_ptr<CIoOperation> NewOperation() = 0;

    // Issues one I/O control request. With `operation` null the call is synchronous
    // (the handle was opened without overlapped I/O) and `bytes` receives the count.
    // With an operation the request may still be pending: the result is false with
    // `error` = kErrorIoPending, and the operation reports completion. On any other
    // false result `error` holds the system error code.
    virtual bool Control(DeviceHandle handle, uint32_t code, const void* in, uint32_t inBytes,
                         void* out, uint32_t outBytes, uint32_t* bytes, CIoOperation* operation,
                         uint32_t* error) = 0;

    // Asks to hear, on a thread of the channel's own, when the device behind an open
    // handle is about to go: `onRemoval(true)` when safe removal asks whether it may
    // remove it (close the handle, or the removal is vetoed) and when it is gone;
    // `onRemoval(false)` when the removal was called off. Null when the channel cannot
    // watch. UnwatchRemoval ends it; call it before closing the handle.
    virtual void* WatchRemoval(DeviceHandle handle, std::function<void(bool removing)> onRemoval) {
        (void)handle;
        (void)onRemoval;
        return nullptr;
    }
    virtual void UnwatchRemoval(void* watch) { (void)watch; }

    virtual CTimeSource& Time() = 0;

    // Name of the shared device table that processes using this channel agree on.
    virtual std::string SharedTableName() const = 0;
};

// The channel to the installed camera driver.
std::unique_ptr<CDriverChannel> CreateSystemDriverChannel();

}  // namespace veltcam::platform
