// The simulated driver's log of every request it received, for tests to assert on.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "transport/RequestHeader.h"

namespace veltcam::sim {

struct SimRecord {
    enum class Kind {
        Request,     // a request arrived
        Completion,  // a pending request finished
    };
    Kind kind = Kind::Request;
    uint64_t sequence = 0;
    uint32_t timeMs = 0;  // the simulator's clock (virtual when it is)
    int64_t timeUs = 0;   // real time since the simulator started
    int camera = -1;
    uint64_t requestId = 0;     // pairs a pending request with its completion
    uint32_t code = 0;          // I/O control code
    RequestFields fields;       // header of control, endpoint and direct-transfer requests
    std::vector<uint8_t> data;  // control: the 64 data bytes; bulk out: up to 64 bytes;
                                // pipe requests: the endpoint byte
    uint32_t length = 0;        // direct transfer: bytes asked for
    bool ok = false;            // completion: success
    uint32_t bytes = 0;         // completion: byte count
    uint32_t error = 0;         // completion: error code on failure
};

class CSimRecorder {
  public:
    void Enable(bool on) {
        std::lock_guard<std::mutex> lock(mutex_);
        enabled_ = on;
    }
    bool Enabled() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return enabled_;
    }
    void Add(SimRecord record) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!enabled_) return;
        record.sequence = next_++;
        records_.push_back(std::move(record));
    }
    std::vector<SimRecord> Records() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        records_.clear();
    }

  private:
    mutable std::mutex mutex_;
    bool enabled_ = false;
    uint64_t next_ = 0;
    std::vector<SimRecord> records_;
};

}  // namespace veltcam::sim
