/*
 * callback_preview - runs the continuous preview with a callback buffer and
 * counts the frame messages in a message loop.
 *
 *   callback_preview [FRAMES]      (default 30; more until the SDK has measured
 *                                  the frame rate, which takes a second)
 *
 * The SDK's display thread copies every frame into our buffer and posts
 * VELTCAM_WM_FRAME to our window; the loop below receives them. On Windows
 * that is an ordinary message loop (the preview window belongs to this
 * thread, so the loop also keeps it drawn); on Linux it is a message window
 * of the SDK (VeltCamSdkLinux.h) read with VeltCamLinux_GetMessage, and the
 * preview runs without a window.
 */
#include <stdio.h>
#include <stdlib.h>

#include "VeltCamSdk.h"
#ifndef _WIN32
#include "VeltCamSdkLinux.h"
#endif

static int framesWanted = 30;
static int framesSeen = 0;
static int failure = 0;

/* Handles one message from the SDK; returns 0 when the loop should end. */
static int OnMessage(unsigned int message, uintptr_t wParam, intptr_t lParam) {
    if (message == VELTCAM_WM_FRAME) {
        const VeltCamFrameInfo* info = (const VeltCamFrameInfo*)wParam;
        if (info == NULL) { /* a frame failed: lParam holds the error code */
            fprintf(stderr, "callback_preview: frame failed (error %d)\n", (int)lParam);
            failure = 1;
            return 0;
        }
        ++framesSeen;
        /* The SDK measures the rate over its first second of frames and
           reports 0 until then: keep going (within a bound) until it has one. */
        int measured = info->frameRate > 0;
        int last = framesSeen >= framesWanted && (measured || framesSeen >= 10 * framesWanted);
        if (framesSeen == 1 || last) {
            printf("frame %d: %d x %d, %d bits", framesSeen, info->width, info->height,
                   info->bitsPerPixel);
            if (measured) {
                printf(", %.1f frames/s", info->frameRate / 10.0);
            }
            printf("\n");
        }
        return !last;
    }
    if (message == VELTCAM_WM_ERROR) {
        fprintf(stderr, "callback_preview: error %d\n", (int)lParam);
        failure = 1;
        return 0;
    }
    return 1;
}

#ifdef _WIN32
static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == VELTCAM_WM_FRAME || message == VELTCAM_WM_ERROR) {
        if (!OnMessage(message, (uintptr_t)wParam, (intptr_t)lParam)) PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

/* A message-only window receives the SDK's messages. */
static HWND CreateReceiver(void) {
    WNDCLASSA windowClass = {0};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.lpszClassName = "VeltCamSampleReceiver";
    if (!RegisterClassA(&windowClass)) return NULL;
    return CreateWindowExA(0, windowClass.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL,
                           windowClass.hInstance, NULL);
}

static void RunMessageLoop(HWND receiver) {
    MSG msg;
    (void)receiver;
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}
#else
static HWND CreateReceiver(void) { return VeltCamLinux_CreateMessageWindow(0); }

static void RunMessageLoop(HWND receiver) {
    VeltCamMessage msg;
    for (;;) {
        int got = VeltCamLinux_GetMessage(receiver, &msg, 5000);
        if (got != 1) {
            fprintf(stderr, "callback_preview: no message within 5 s\n");
            failure = 1;
            return;
        }
        if (!OnMessage(msg.message, msg.wParam, msg.lParam)) return;
    }
}
#endif

int main(int argc, char** argv) {
    VeltCamHandle handle;
    HWND receiver;
    BYTE* buffer;
    int size;

    if (argc > 1) framesWanted = atoi(argv[1]);
    if (framesWanted < 1) {
        fprintf(stderr, "usage: callback_preview [FRAMES]\n");
        return 2;
    }
    receiver = CreateReceiver();
    if (receiver == NULL) {
        fprintf(stderr, "callback_preview: could not create the message window\n");
        return 1;
    }
    /* Errors go to the same window as the frames. */
    handle = VeltCam_Initialize(receiver);
    if (handle == 0 || !VeltCam_SetDeviceNumber(handle, 0) ||
        !VeltCam_SetColorMode(handle, VELTCAM_COLOR_BGR24)) {
        fprintf(stderr, "callback_preview: no camera (error %d)\n",
                handle ? VeltCam_GetLastError(handle) : 0);
        if (handle) VeltCam_Release(handle);
        return 1;
    }
#ifndef _WIN32
    /* Headless on Linux, so that the sample also runs where no X display is. */
    VeltCam_SetPreviewWindow(handle, NULL, 0, 0, 0, 0);
#endif
    size = (VeltCam_Width(handle) * 3 + 3) / 4 * 4 * VeltCam_Height(handle);
    buffer = (BYTE*)malloc((size_t)size);
    if (buffer == NULL || !VeltCam_CallBackPreview(handle, receiver, buffer, size, 1)) {
        fprintf(stderr, "callback_preview: the preview did not start (error %d)\n",
                VeltCam_GetLastError(handle));
        VeltCam_Release(handle);
        free(buffer);
        return 1;
    }
    RunMessageLoop(receiver);
    /* Close stops the display thread before the buffer it writes into is freed. */
    VeltCam_Close(handle);
    VeltCam_Release(handle);
    free(buffer);
#ifdef _WIN32
    DestroyWindow(receiver);
#else
    VeltCamLinux_DestroyMessageWindow(receiver);
#endif
    printf("%d frames received\n", framesSeen);
    return failure;
}
