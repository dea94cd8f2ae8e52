// What the camera core knows about each frame in its ring, and the counters of its
// transfer thread: the raw material of the stream statistics and frame metadata
// that the SDK object hands to applications.
#pragma once

#include <cstdint>

namespace veltcam {

struct FrameMeta {
    // Frames stored by this core before this one: consecutive for consecutive
    // transfers, so a gap between two frames read out is frames the ring overwrote.
    uint64_t sequence = 0;
    // Host monotonic clock (platform::MonotonicNs) when the payload transfer completed.
    uint64_t timestampNs = 0;
    // The camera's own frame counter from the frame header.
    uint32_t cameraCounter = 0;
};

// Running totals since the core was built; readers take differences.
struct TransferCounters {
    uint64_t framesStored = 0;
    uint64_t headerFailures = 0;   // frame headers that never came or came unusable
    uint64_t payloadFailures = 0;  // payloads that failed or came short
    uint64_t retries = 0;          // fresh starts of the stream after a failed read
    uint64_t giveUps = 0;          // times the thread stopped after repeated failures
    // Headers whose payload length was not a whole frame, from the transfer thread and
    // single captures alike (the thread's are among its payload failures too).
    uint64_t lengthRejects = 0;
};

}  // namespace veltcam
