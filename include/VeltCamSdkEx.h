/*
 * VeltCamSdkEx.h - streaming extension of the VeltCam M40 USB3 R7 camera SDK:
 * pull converted frames with their metadata, read stream statistics, ask
 * how the camera is connected, and ask the library for its version.
 *
 * Every function here is named VeltCamEx_* and lives in the same library as
 * the functions of VeltCamSdk.h (include that header first, or let this one
 * include it). The general rules of VeltCamSdk.h apply: handles, results,
 * error codes recorded in the handle's history and posted to its window,
 * unknown handles returning 0 without touching anything. Plain C, compiles as
 * C99 and as C++.
 *
 * Clock. Frame timestamps are nanoseconds of the host's monotonic clock, read
 * when the frame's USB transfer completed: CLOCK_MONOTONIC on Linux (compare
 * with clock_gettime(CLOCK_MONOTONIC)), QueryPerformanceCounter on Windows
 * (ticks converted to nanoseconds). They are comparable between frames and with
 * the application's own readings of that clock, not with wall-clock time.
 *
 * Frame numbers. Every frame the camera delivers while a capture mode runs is
 * numbered, from 0 at the start of the mode (VeltCam_StartPreview,
 * VeltCam_Preview, VeltCam_CallBackPreview, VeltCam_Record, VeltCam_Trigger,
 * VeltCam_Capture, or a VeltCam_SnapShot started from idle). A gap between two
 * frames an application receives is frames it lost: overwritten in the
 * camera's frame ring before they could be converted, or dropped by the frame
 * queue. droppedBefore says how many. Frames the camera sent that never arrived
 * (failed, stalled or rejected transfers) take no number; lostInTransfer counts
 * them from the gaps of the camera's own frame counter.
 *
 * Typical pull loop:
 *
 *     VeltCamEx_SetFrameQueue(h, 4, VELTCAM_EX_QUEUE_OLDEST_FIRST);
 *     VeltCam_SetPreviewWindow(h, NULL, 0, 0, 0, 0);   (headless)
 *     VeltCam_StartPreview(h);
 *     VeltCamExFrameInfo info;
 *     info.size = sizeof info;
 *     while (VeltCamEx_WaitFrame(h, buffer, size, 1, 1000, &info) != 0) { ... }
 *     VeltCam_StopPreview(h);
 */
#ifndef VELTCAM_SDK_EX_H
#define VELTCAM_SDK_EX_H

#include "VeltCamSdk.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Largest frame queue VeltCamEx_SetFrameQueue accepts. */
#define VELTCAM_EX_MAX_QUEUE_DEPTH 64

/* Most threads VeltCamEx_SetPipelineThreads accepts. */
#define VELTCAM_EX_MAX_PIPELINE_THREADS 64

/* Queue policies of VeltCamEx_SetFrameQueue. */
#define VELTCAM_EX_QUEUE_OLDEST_FIRST 0 /* frames in order; a full queue drops its oldest */
#define VELTCAM_EX_QUEUE_NEWEST_ONLY 1  /* only the newest frame waits; older ones are dropped */

/* Results of VeltCamEx_WaitFrame. */
#define VELTCAM_EX_WAIT_FAILED 0  /* failure, code recorded */
#define VELTCAM_EX_WAIT_FRAME 1   /* a frame was copied */
#define VELTCAM_EX_WAIT_TIMEOUT 2 /* no frame within the time-out; nothing recorded */

/* Bus speeds of VeltCamEx_GetBusSpeed: how the selected camera is connected, as
   its driver reports it. A camera on a USB 2 port (or behind a USB 2 cable or
   hub) runs at VELTCAM_EX_BUS_HIGH_SPEED, about 40 MB/s: full frames then come
   at a fraction of the sensor's rate. */
typedef enum VeltCamExBusSpeed {
    VELTCAM_EX_BUS_UNKNOWN = 0,    /* the driver does not say */
    VELTCAM_EX_BUS_LOW_SPEED = 1,  /* USB 1, 1.5 Mbit/s */
    VELTCAM_EX_BUS_FULL_SPEED = 2, /* USB 1, 12 Mbit/s */
    VELTCAM_EX_BUS_HIGH_SPEED = 3, /* USB 2, 480 Mbit/s */
    VELTCAM_EX_BUS_SUPER_SPEED = 4 /* USB 3, 5 Gbit/s or faster */
} VeltCamExBusSpeed;

/* Metadata of one converted frame. The caller sets size to sizeof the record
   it was compiled with (at least 56, the size of the first version, which ends
   at gain); the library writes no more than that many bytes, so the record can
   grow. */
typedef struct VeltCamExFrameInfo {
    uint32_t size;           /* set by the caller */
    int32_t width;           /* pixels */
    int32_t height;          /* pixels */
    int32_t bitsPerPixel;    /* 8, 16, 24, 32, 48 or 64: the colour mode */
    int32_t rowBytes;        /* bytes per row in the copied image (rows padded to 4 bytes) */
    uint32_t cameraCounter;  /* the camera's own frame counter, from the frame header */
    uint64_t frameNumber;    /* frames delivered since the capture mode started, from 0 */
    uint64_t timestampNs;    /* monotonic host clock at transfer completion (see Clock) */
    uint64_t droppedBefore;  /* frames lost between the previous frame this caller
                                received and this one */
    int32_t exposure;        /* exposure in effect, units of 0.1 ms */
    int32_t gain;            /* global gain in effect, sensor gain steps */
    uint64_t lostInTransfer; /* frames the camera sent between the previous frame this
                                caller received and this one that failed or were
                                rejected in transfer (0 for the first frame of a mode) */
} VeltCamExFrameInfo;

/* Stream statistics of one handle since VeltCam_Initialize or the last
   VeltCamEx_ResetStreamStats. Size-first like VeltCamExFrameInfo (at least 88
   bytes, the first version, which ends at framesPerSecond). */
typedef struct VeltCamExStreamStats {
    uint32_t size;                  /* set by the caller */
    uint32_t reserved;              /* written as 0 */
    uint64_t framesTransferred;     /* frames that arrived complete in the camera's ring */
    uint64_t framesDelivered;       /* frames converted to the colour mode */
    uint64_t framesLostInRing;      /* overwritten in the ring before conversion */
    uint64_t framesDroppedByQueue;  /* converted but dropped by the frame queue (full,
                                       newest-only, or still queued when the mode stopped) */
    uint64_t framesRejected;        /* payload transfers that failed or came short */
    uint64_t headerTimeouts;        /* frame headers that did not come (or came unusable)
                                       after the transport's repeated requests */
    uint64_t transferRetries;       /* stream restarts after a failed transfer */
    uint64_t transferFailures;      /* times the transfer gave up (five failures in a row) */
    uint64_t recorderFramesDropped; /* converted frames the movie recorder did not write */
    double framesPerSecond;         /* delivered frames over their timestamps' span */
    uint64_t framesLostInTransfer;  /* frames the camera counted that never reached the
                                       ring, seen from the converted frames' counters */
    uint64_t payloadLengthRejects;  /* frame headers whose payload length was not a
                                       whole frame (single frames too); the streaming
                                       ones are also among framesRejected */
} VeltCamExStreamStats;

/* The library version as (major << 16) | (minor << 8) | patch, e.g. 0x020D05
   for 2.13.5, so bindings can check what they loaded. No handle, no errors;
   any thread. */
VELTCAM_API int VELTCAM_CALL VeltCamEx_GetVersion(void);

/* Turns the frame queue on or off. While continuous preview (VeltCam_StartPreview,
   VeltCam_Preview, VeltCam_CallBackPreview, VeltCam_Record) or trigger mode
   (VeltCam_Trigger) runs, with or without a window, every converted frame is
   also placed in a queue of depth frames for VeltCamEx_WaitFrame; the queue's
   buffers are allocated here or when the mode starts, never per frame, and the
   display thread never waits for a slow consumer.
   depth: 0 turns the queue off and frees it (the default: no cost when unused);
          1 to VELTCAM_EX_MAX_QUEUE_DEPTH.
   policy: VELTCAM_EX_QUEUE_OLDEST_FIRST or VELTCAM_EX_QUEUE_NEWEST_ONLY
          (ignored for depth 0).
   Frames waiting in an earlier queue are discarded (counted as dropped).
   Result: 1, or 0 with the code recorded. Errors: 1 no camera core; 9 depth or
   policy out of range; 5 the buffers could not be allocated (the queue is off).
   The buffers are sized for the running mode's frames; when no mode runs they
   are allocated as the next one starts, and if that fails, that start records
   5 and the mode runs without a queue (waiters get code 1).
   Thread: any; may be called while a mode runs. */
VELTCAM_API int VELTCAM_CALL VeltCamEx_SetFrameQueue(VeltCamHandle handle, int depth, int policy);

/* Takes the next queued frame: copies it into buffer and fills info.
   buffer, size, flip: as VeltCam_GetImage - size must hold height x rowBytes
          bytes; flip nonzero gives the rows in stored order, zero reversed.
   timeoutMs: how long to wait for a frame, 0 to not wait at all; 0..2^31-1.
   info: filled when not NULL; its size member must be set.
   Result: VELTCAM_EX_WAIT_FRAME (1) with a frame; VELTCAM_EX_WAIT_TIMEOUT (2)
   when the time-out passed without one (nothing recorded); 0 on failure with
   the code recorded:
     1  no frame queue, or no capture mode running (also when another thread
        stops the mode or releases the handle during the wait: the call
        returns at once);
     5  buffer smaller than the frame: the frame stays queued for a retry;
     9  bad argument (buffer NULL, size or timeoutMs negative, info->size
        too small);
     13 the transfer gave up (the camera is gone): frames converted before
        that are still returned first.
   Thread: any application thread; not the thread that must run a message loop
   for a preview window (the wait would stall it). Several threads may wait;
   each frame goes to one of them. */
VELTCAM_API int VELTCAM_CALL VeltCamEx_WaitFrame(VeltCamHandle handle, BYTE* buffer, int size,
                                                 int flip, int timeoutMs, VeltCamExFrameInfo* info);

/* The metadata of the image VeltCam_GetImage would return now: the last frame
   converted by any mode (preview, callback, trigger, snapshot). droppedBefore is
   then the frames lost in the ring just before it.
   Result: 1, or 0 with the code recorded. Errors: 1 no frame converted yet (or
   no camera core); 9 info NULL or info->size too small. Thread: any. */
VELTCAM_API int VELTCAM_CALL VeltCamEx_GetFrameInfo(VeltCamHandle handle, VeltCamExFrameInfo* info);

/* Fills stats (see VeltCamExStreamStats). Result: 1, or 0 with code 9 for a
   NULL record or a size too small. Thread: any. */
VELTCAM_API int VELTCAM_CALL VeltCamEx_GetStreamStats(VeltCamHandle handle,
                                                      VeltCamExStreamStats* stats);

/* Sets every counter of the stream statistics to 0 (the frame rate restarts).
   Result: 1. Thread: any. */
VELTCAM_API int VELTCAM_CALL VeltCamEx_ResetStreamStats(VeltCamHandle handle);

/* Caps the threads that convert each frame (demosaic, corrections, colour and
   tone stages). The frame is cut into bands of rows that run at the same time;
   the image is the same bytes with any number of threads. The threads start
   with the first frame that uses them and end with VeltCam_Release.
   threads: 1 to VELTCAM_EX_MAX_PIPELINE_THREADS (1: the display thread alone),
            or 0 for the default: the environment variable
            VELTCAM_PIPELINE_THREADS when it holds such a number, otherwise the
            processor count.
   Result: 1, or 0 with code 9 for a count out of range. Thread: any; takes
   effect with the next frame. */
VELTCAM_API int VELTCAM_CALL VeltCamEx_SetPipelineThreads(VeltCamHandle handle, int threads);

/* The current cap (1 to VELTCAM_EX_MAX_PIPELINE_THREADS). Result: the cap, or 0
   with the code recorded for an unknown handle. Thread: any. */
VELTCAM_API int VELTCAM_CALL VeltCamEx_GetPipelineThreads(VeltCamHandle handle);

/* How the selected camera is connected (see VeltCamExBusSpeed), asked of its
   driver now. speed: receives a VeltCamExBusSpeed value.
   Result: 1, or 0 with the code recorded. Errors: 1 no camera core; 2 no camera
   selected; 6 the driver did not answer (the camera is gone); 9 speed NULL.
   Thread: any. */
VELTCAM_API int VELTCAM_CALL VeltCamEx_GetBusSpeed(VeltCamHandle handle, int* speed);

#ifdef __cplusplus
}
#endif

#endif /* VELTCAM_SDK_EX_H */
