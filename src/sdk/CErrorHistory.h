// The per-handle history of error codes, newest first.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

namespace veltcam {

// Error codes of the history (there is no code 10).
enum ErrorCode : int32_t {
    kErrNone = 0,
    kErrNotReady = 1,
    kErrNoDevice = 2,
    kErrThread = 3,
    kErrWindow = 4,
    kErrMemory = 5,
    kErrDeviceIo = 6,
    kErrImageSize = 7,
    kErrTransfer = 8,
    kErrParameter = 9,
    kErrNotSupported = 11,
    kErrFailed = 12,
    kErrTimeout = 13,
    kErrMaskFile = 14,
};

// Twenty codes; a full history drops the oldest. The capture threads record from
// their own threads while the application drains, so the history has a leaf lock
// that is never held while anything else happens (posting included).
class CErrorHistory {
public:
    static constexpr int kDepth = 20;

    void Record(int32_t code);
    // Removes and returns the newest code; 0 when the history is empty.
    int32_t TakeNewest();

private:
    std::mutex lock_;
    std::array<int32_t, kDepth> codes_{};
};

}  // namespace veltcam
