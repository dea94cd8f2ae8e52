/*
 * Compiled, never run: the build fails when the extension header stops
 * compiling as C99, loses or changes the signature of an export, or changes
 * the layout of a size-first record that crosses the interface.
 */
#include <stddef.h>

#include "VeltCamSdkEx.h"

#define VELTCAM_EX_EXPORTS(X)                                                               \
    X(VeltCamEx_GetVersion, int, (void))                                                    \
    X(VeltCamEx_SetFrameQueue, int, (VeltCamHandle, int, int))                              \
    X(VeltCamEx_WaitFrame, int, (VeltCamHandle, BYTE*, int, int, int, VeltCamExFrameInfo*)) \
    X(VeltCamEx_GetFrameInfo, int, (VeltCamHandle, VeltCamExFrameInfo*))                    \
    X(VeltCamEx_GetStreamStats, int, (VeltCamHandle, VeltCamExStreamStats*))                \
    X(VeltCamEx_ResetStreamStats, int, (VeltCamHandle))                                     \
    X(VeltCamEx_SetPipelineThreads, int, (VeltCamHandle, int))                              \
    X(VeltCamEx_GetPipelineThreads, int, (VeltCamHandle))

typedef struct VeltCamExExpectedApi {
#define VELTCAM_AS_MEMBER(name, result, params) result(VELTCAM_CALL* name) params;
    VELTCAM_EX_EXPORTS(VELTCAM_AS_MEMBER)
#undef VELTCAM_AS_MEMBER
} VeltCamExExpectedApi;

const VeltCamExExpectedApi veltcamExExpectedApi = {
#define VELTCAM_AS_INIT(name, result, params) name,
    VELTCAM_EX_EXPORTS(VELTCAM_AS_INIT)
#undef VELTCAM_AS_INIT
};

#define VELTCAM_EX_CHECK(name, cond) typedef char veltcam_ex_check_##name[(cond) ? 1 : -1]

/* Frame metadata: the caller's size first, 64-bit fields 8-byte aligned. */
VELTCAM_EX_CHECK(fi_size, offsetof(VeltCamExFrameInfo, size) == 0);
VELTCAM_EX_CHECK(fi_width, offsetof(VeltCamExFrameInfo, width) == 4);
VELTCAM_EX_CHECK(fi_row_bytes, offsetof(VeltCamExFrameInfo, rowBytes) == 16);
VELTCAM_EX_CHECK(fi_counter, offsetof(VeltCamExFrameInfo, cameraCounter) == 20);
VELTCAM_EX_CHECK(fi_number, offsetof(VeltCamExFrameInfo, frameNumber) == 24);
VELTCAM_EX_CHECK(fi_timestamp, offsetof(VeltCamExFrameInfo, timestampNs) == 32);
VELTCAM_EX_CHECK(fi_dropped, offsetof(VeltCamExFrameInfo, droppedBefore) == 40);
VELTCAM_EX_CHECK(fi_exposure, offsetof(VeltCamExFrameInfo, exposure) == 48);
VELTCAM_EX_CHECK(fi_gain, offsetof(VeltCamExFrameInfo, gain) == 52);
VELTCAM_EX_CHECK(fi_lost, offsetof(VeltCamExFrameInfo, lostInTransfer) == 56);
VELTCAM_EX_CHECK(fi_total, sizeof(VeltCamExFrameInfo) == 64);

/* Stream statistics: size, reserved word, nine counters, the rate, two more counters. */
VELTCAM_EX_CHECK(st_size, offsetof(VeltCamExStreamStats, size) == 0);
VELTCAM_EX_CHECK(st_transferred, offsetof(VeltCamExStreamStats, framesTransferred) == 8);
VELTCAM_EX_CHECK(st_recorder, offsetof(VeltCamExStreamStats, recorderFramesDropped) == 72);
VELTCAM_EX_CHECK(st_rate, offsetof(VeltCamExStreamStats, framesPerSecond) == 80);
VELTCAM_EX_CHECK(st_lost, offsetof(VeltCamExStreamStats, framesLostInTransfer) == 88);
VELTCAM_EX_CHECK(st_length, offsetof(VeltCamExStreamStats, payloadLengthRejects) == 96);
VELTCAM_EX_CHECK(st_total, sizeof(VeltCamExStreamStats) == 104);

VELTCAM_EX_CHECK(max_depth, VELTCAM_EX_MAX_QUEUE_DEPTH == 64);
