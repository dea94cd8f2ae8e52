// The frame every handle-taking export runs in: look the handle up, call one
// operation of its object, and never let an exception cross into the application.
#pragma once

#include <cstdint>
#include <memory>

#include "api/CSdkChain.h"
#include "sdk/CVeltCam.h"

namespace veltcam {

// Runs `call(object)` for a known handle. Unknown handles (and exceptions, which
// only a failed allocation can raise here) give `unknownResult` without touching
// anything, output arguments included. The shared_ptr keeps the object alive for
// the duration of the call even if another thread releases the handle meanwhile.
template <class Result, class Call>
Result CallObject(uint32_t handle, Result unknownResult, Call&& call) noexcept {
    try {
        std::shared_ptr<CVeltCam> object = CSdkChain::Instance().Lookup(handle);
        if (!object) return unknownResult;
        return static_cast<Result>(call(*object));
    } catch (...) {
        return unknownResult;
    }
}

}  // namespace veltcam
