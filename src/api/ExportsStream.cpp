// Exports of the streaming extension: pulled frames with metadata, stream
// statistics, the camera's bus speed and the library version. The caller's records
// are size-first: the library checks the size the caller declares and writes no
// more than that.
#include <algorithm>
#include <cstring>

#include "VeltCamSdkEx.h"
#include "api/ExportFrame.h"

using veltcam::CallObject;
using veltcam::CVeltCam;
using veltcam::StreamFrameInfo;
using veltcam::StreamStats;

namespace {

uint32_t Key(VeltCamHandle handle) { return static_cast<uint32_t>(handle); }

// The first published sizes; a caller built against them gets exactly these bytes.
constexpr uint32_t kFrameInfoMinSize = 56;
constexpr uint32_t kStreamStatsMinSize = 88;
static_assert(sizeof(VeltCamExFrameInfo) == kFrameInfoMinSize + 8);
static_assert(sizeof(VeltCamExStreamStats) == kStreamStatsMinSize + 16);

void CopyOut(const VeltCamExFrameInfo& full, VeltCamExFrameInfo* info) {
    const uint32_t size = info->size;
    std::memcpy(info, &full, std::min<size_t>(size, sizeof full));
    info->size = size;
}

VeltCamExFrameInfo ToRecord(const StreamFrameInfo& f) {
    VeltCamExFrameInfo r{};
    r.size = sizeof r;
    r.width = f.width;
    r.height = f.height;
    r.bitsPerPixel = f.bitsPerPixel;
    r.rowBytes = f.rowBytes;
    r.cameraCounter = f.cameraCounter;
    r.frameNumber = f.frameNumber;
    r.timestampNs = f.timestampNs;
    r.droppedBefore = f.droppedBefore;
    r.exposure = f.exposureUnits;
    r.gain = f.gain;
    r.lostInTransfer = f.lostInTransfer;
    return r;
}

}  // namespace

extern "C" {

int VELTCAM_CALL VeltCamEx_GetVersion(void) {
    // The DLL version reads major.minor.patch.build, one byte each.
    return static_cast<int>(veltcam::kDllVersion >> 8);
}

int VELTCAM_CALL VeltCamEx_SetFrameQueue(VeltCamHandle handle, int depth, int policy) {
    return CallObject(Key(handle), 0,
                      [=](CVeltCam& cam) { return cam.SetFrameQueue(depth, policy); });
}

int VELTCAM_CALL VeltCamEx_WaitFrame(VeltCamHandle handle, BYTE* buffer, int size, int flip,
                                     int timeoutMs, VeltCamExFrameInfo* info) {
    return CallObject(Key(handle), 0, [=](CVeltCam& cam) {
        // Checked before the wait, so that a bad record never costs a frame.
        if (info != nullptr && info->size < kFrameInfoMinSize) {
            cam.Report(veltcam::kErrParameter);
            return 0;
        }
        StreamFrameInfo frame;
        const int result = cam.WaitFrameEx(buffer, size, flip, timeoutMs, &frame);
        if (result == 1 && info != nullptr) CopyOut(ToRecord(frame), info);
        return result;
    });
}

int VELTCAM_CALL VeltCamEx_GetFrameInfo(VeltCamHandle handle, VeltCamExFrameInfo* info) {
    return CallObject(Key(handle), 0, [=](CVeltCam& cam) {
        if (info == nullptr || info->size < kFrameInfoMinSize) {
            cam.Report(veltcam::kErrParameter);
            return 0;
        }
        StreamFrameInfo frame;
        if (!cam.GetFrameInfoEx(&frame)) return 0;
        CopyOut(ToRecord(frame), info);
        return 1;
    });
}

int VELTCAM_CALL VeltCamEx_GetStreamStats(VeltCamHandle handle, VeltCamExStreamStats* stats) {
    return CallObject(Key(handle), 0, [=](CVeltCam& cam) {
        if (stats == nullptr || stats->size < kStreamStatsMinSize) {
            cam.Report(veltcam::kErrParameter);
            return 0;
        }
        StreamStats s;
        if (!cam.GetStreamStats(&s)) return 0;
        VeltCamExStreamStats r{};
        r.size = stats->size;
        r.framesTransferred = s.framesTransferred;
        r.framesDelivered = s.framesDelivered;
        r.framesLostInRing = s.framesLostInRing;
        r.framesDroppedByQueue = s.framesDroppedByQueue;
        r.framesRejected = s.framesRejected;
        r.headerTimeouts = s.headerTimeouts;
        r.transferRetries = s.transferRetries;
        r.transferFailures = s.transferFailures;
        r.recorderFramesDropped = s.recorderFramesDropped;
        r.framesPerSecond = s.framesPerSecond;
        r.framesLostInTransfer = s.framesLostInTransfer;
        r.payloadLengthRejects = s.payloadLengthRejects;
        std::memcpy(stats, &r, std::min<size_t>(stats->size, sizeof r));
        return 1;
    });
}

int VELTCAM_CALL VeltCamEx_ResetStreamStats(VeltCamHandle handle) {
    return CallObject(Key(handle), 0, [](CVeltCam& cam) { return cam.ResetStreamStats(); });
}

int VELTCAM_CALL VeltCamEx_SetPipelineThreads(VeltCamHandle handle, int threads) {
    return CallObject(Key(handle), 0,
                      [=](CVeltCam& cam) { return cam.SetPipelineThreads(threads); });
}

int VELTCAM_CALL VeltCamEx_GetPipelineThreads(VeltCamHandle handle) {
    return CallObject(Key(handle), 0, [](CVeltCam& cam) { return cam.PipelineThreads(); });
}

int VELTCAM_CALL VeltCamEx_GetBusSpeed(VeltCamHandle handle, int* speed) {
    static_assert(VELTCAM_EX_BUS_SUPER_SPEED == 4, "the driver's own speed codes");
    return CallObject(Key(handle), 0, [=](CVeltCam& cam) { return cam.GetBusSpeed(speed); });
}

}  // extern "C"
