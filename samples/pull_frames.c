/*
 * pull_frames - pulls converted frames with their metadata through the
 * streaming extension (VeltCamSdkEx.h), without a window or a message loop.
 *
 *   pull_frames [FRAMES]      (default 50)
 */
#include <stdio.h>
#include <stdlib.h>

#include "VeltCamSdkEx.h"

int main(int argc, char** argv) {
    int framesWanted = argc > 1 ? atoi(argv[1]) : 50;
    VeltCamHandle handle;
    VeltCamExFrameInfo info;
    VeltCamExStreamStats stats;
    BYTE* image;
    int size, n, result = 0, version;

    if (framesWanted < 1) {
        fprintf(stderr, "usage: pull_frames [FRAMES]\n");
        return 2;
    }
    version = VeltCamEx_GetVersion();
    printf("library %d.%d.%d\n", version >> 16, (version >> 8) & 0xFF, version & 0xFF);

    handle = VeltCam_Initialize(NULL);
    if (handle == 0 || !VeltCam_SetDeviceNumber(handle, 0) ||
        !VeltCam_SetColorMode(handle, VELTCAM_COLOR_MONO8)) {
        fprintf(stderr, "pull_frames: no camera (error %d)\n",
                handle ? VeltCam_GetLastError(handle) : 0);
        if (handle) VeltCam_Release(handle);
        return 1;
    }
    size = (VeltCam_Width(handle) + 3) / 4 * 4 * VeltCam_Height(handle);
    image = (BYTE*)malloc((size_t)size);
    if (image == NULL) {
        VeltCam_Release(handle);
        return 1;
    }
    VeltCam_SetPreviewWindow(handle, NULL, 0, 0, 0, 0); /* headless */
    if (!VeltCamEx_SetFrameQueue(handle, 4, VELTCAM_EX_QUEUE_OLDEST_FIRST) ||
        !VeltCam_StartPreview(handle)) {
        fprintf(stderr, "pull_frames: the stream did not start (error %d)\n",
                VeltCam_GetLastError(handle));
        VeltCam_Release(handle);
        free(image);
        return 1;
    }
    for (n = 0; n < framesWanted; ++n) {
        info.size = sizeof info;
        result = VeltCamEx_WaitFrame(handle, image, size, 1, 2000, &info);
        if (result != VELTCAM_EX_WAIT_FRAME) break;
        if (n == 0 || n + 1 == framesWanted || info.droppedBefore != 0) {
            printf("frame %llu: %d x %d, camera counter %u, %llu lost before it\n",
                   (unsigned long long)info.frameNumber, info.width, info.height,
                   info.cameraCounter, (unsigned long long)info.droppedBefore);
        }
    }
    VeltCam_StopPreview(handle);
    stats.size = sizeof stats;
    if (VeltCamEx_GetStreamStats(handle, &stats)) {
        printf("%llu frames delivered, %llu lost in the ring, %.1f frames/s\n",
               (unsigned long long)stats.framesDelivered,
               (unsigned long long)stats.framesLostInRing, stats.framesPerSecond);
    }
    if (n < framesWanted) {
        fprintf(stderr, "pull_frames: %s after %d frames (error %d)\n",
                result == VELTCAM_EX_WAIT_TIMEOUT ? "time-out" : "failure", n,
                VeltCam_GetLastError(handle));
    }
    VeltCam_Release(handle);
    free(image);
    return n == framesWanted ? 0 : 1;
}
