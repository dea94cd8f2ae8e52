// The process-wide registry that maps API handles to SDK objects.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "api/CTRing.h"

namespace veltcam {

class CVeltCam;

struct CSDKDATA {
    uint64_t key = 0;  // the handle in the low 32 bits
    // Shared so that a call in flight keeps its object alive while another thread
    // releases the handle; the object is destroyed when the last user lets go.
    std::shared_ptr<CVeltCam> object;
};

class CSdkChain final : public CTRing<CSDKDATA> {
public:
    using ObjectFactory = std::function<std::shared_ptr<CVeltCam>()>;
    using HandleSource = std::function<uint32_t(int32_t count)>;

    // The one registry of the process. Deliberately never destroyed: objects of
    // handles the application never released may still run threads at unload,
    // and joining them from the loader's unload path would deadlock.
    static CSdkChain& Instance();

    // Draws a handle, builds an object with `factory` and links it in; 0 when the
    // object cannot be built. A drawn value of 0 or of a live handle is drawn again.
    uint32_t Create(const ObjectFactory& factory);

    // The object of `handle`, or null for an unknown handle.
    std::shared_ptr<CVeltCam> Lookup(uint32_t handle);

    // Unlinks `handle` and returns its object so that the caller destroys it outside
    // the lock (destruction stops threads and may take seconds). Null when unknown.
    std::shared_ptr<CVeltCam> Detach(uint32_t handle);

    // Tests replace the tick + rand() formula to force collisions.
    void SetHandleSource(HandleSource source);

private:
    std::mutex lock_;
    HandleSource handleSource_;
};

}  // namespace veltcam
