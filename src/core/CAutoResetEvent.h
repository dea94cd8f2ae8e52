// An auto-reset event: Set wakes one wait (or the next one), which resets it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace veltcam {

class CAutoResetEvent {
  public:
    void Set() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            signalled_ = true;
        }
        changed_.notify_one();
    }

    // True when the event was set within `ms` milliseconds; resets it.
    bool Wait(uint32_t ms) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return signalled_; })) {
            return false;
        }
        signalled_ = false;
        return true;
    }

    // Whether it is set, without resetting it.
    bool IsSet() {
        std::lock_guard<std::mutex> lock(mutex_);
        return signalled_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool signalled_ = false;
};

}  // namespace veltcam
