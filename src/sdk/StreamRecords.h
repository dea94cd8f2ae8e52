// Records of the pull interface: one frame's metadata and a handle's stream
// statistics, as the SDK object keeps them (the exports copy them into the
// caller's size-first structures).
#pragma once

#include <cstdint>

namespace veltcam {

struct StreamFrameInfo {
    int32_t width = 0;
    int32_t height = 0;
    int32_t bitsPerPixel = 0;
    int32_t rowBytes = 0;
    uint32_t cameraCounter = 0;
    uint64_t frameNumber = 0;  // since the capture mode started
    uint64_t timestampNs = 0;  // host monotonic clock at transfer completion
    uint64_t droppedBefore = 0;
    int32_t exposureUnits = 0;  // 0.1 ms
    int32_t gain = 0;
    // Frames the camera counted between the previous converted frame and this one
    // that never reached the ring (failed, stalled or rejected transfers).
    uint64_t lostInTransfer = 0;
    // The same, summed since the capture mode started: a consumer that skipped frames
    // takes the difference to the last frame it received.
    uint64_t lostInTransferTotal = 0;
};

struct StreamStats {
    uint64_t framesTransferred = 0;
    uint64_t framesDelivered = 0;
    uint64_t framesLostInRing = 0;
    uint64_t framesDroppedByQueue = 0;
    uint64_t framesRejected = 0;
    uint64_t headerTimeouts = 0;
    uint64_t transferRetries = 0;
    uint64_t transferFailures = 0;
    uint64_t recorderFramesDropped = 0;
    double framesPerSecond = 0.0;
    uint64_t framesLostInTransfer = 0;
    uint64_t payloadLengthRejects = 0;
};

}  // namespace veltcam
