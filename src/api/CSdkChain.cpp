#include "api/CSdkChain.h"

#include <cstdlib>

#include "platform/Clock.h"

namespace veltcam {
namespace {

uint32_t DefaultHandle(int32_t count) {
    return platform::TickMs() + static_cast<uint32_t>(std::rand()) + static_cast<uint32_t>(count);
}

}  // namespace

CSdkChain& CSdkChain::Instance() {
    static auto* chain = new CSdkChain;
    return *chain;
}

uint32_t CSdkChain::Create(const ObjectFactory& factory) {
    std::shared_ptr<CVeltCam> object = factory();
    if (!object) return 0;
    std::lock_guard lock(lock_);
    const HandleSource& draw = handleSource_ ? handleSource_ : HandleSource(DefaultHandle);
    uint32_t handle = draw(Count());
    // A handle of 0 reads as failure and a duplicate would shadow a live object.
    while (handle == 0 || Find(handle)) handle = draw(Count());
    Add(CSDKDATA{handle, std::move(object)});
    return handle;
}

std::shared_ptr<CVeltCam> CSdkChain::Lookup(uint32_t handle) {
    std::lock_guard lock(lock_);
    if (!Find(handle)) return nullptr;
    return Current()->data.object;
}

std::shared_ptr<CVeltCam> CSdkChain::Detach(uint32_t handle) {
    std::lock_guard lock(lock_);
    if (!Find(handle)) return nullptr;
    std::shared_ptr<CVeltCam> object = std::move(Current()->data.object);
    RemoveCurrent();
    return object;
}

void CSdkChain::SetHandleSource(HandleSource source) {
    std::lock_guard lock(lock_);
    handleSource_ = std::move(source);
}

}  // namespace veltcam
