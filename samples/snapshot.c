/*
 * snapshot - takes one 24-bit colour frame from the first camera and saves it.
 *
 *   snapshot FILE
 *
 * The file's extension chooses the format: .png, .tif/.tiff, .jpg/.jpeg
 * (quality 70), .raw; anything else is written as a BMP.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "VeltCamSdk.h"

static int EndsWith(const char* text, const char* suffix) {
    size_t n = strlen(text);
    size_t m = strlen(suffix);
    return n >= m && strcmp(text + n - m, suffix) == 0;
}

static int FormatOf(const char* fileName) {
    if (EndsWith(fileName, ".png")) return VELTCAM_IMAGE_PNG;
    if (EndsWith(fileName, ".tif") || EndsWith(fileName, ".tiff")) return VELTCAM_IMAGE_TIFF;
    if (EndsWith(fileName, ".jpg") || EndsWith(fileName, ".jpeg")) return VELTCAM_IMAGE_JPEG_Q70;
    if (EndsWith(fileName, ".raw")) return VELTCAM_IMAGE_RAW;
    return VELTCAM_IMAGE_BMP;
}

/* Prints what failed with the newest code of the handle's error history. */
static int Fail(VeltCamHandle handle, const char* what) {
    fprintf(stderr, "snapshot: %s failed (error %d)\n", what, VeltCam_GetLastError(handle));
    VeltCam_Release(handle);
    return 1;
}

int main(int argc, char** argv) {
    VeltCamHandle handle;
    int width, height, rowBytes, size;
    BYTE* image;

    if (argc != 2) {
        fprintf(stderr, "usage: snapshot FILE\n");
        return 2;
    }
    handle = VeltCam_Initialize(NULL);
    if (handle == 0) {
        fprintf(stderr, "snapshot: no memory for an SDK object\n");
        return 1;
    }
    /* Initialize opens the camera by itself only when exactly one is attached. */
    if (!VeltCam_SetDeviceNumber(handle, 0)) return Fail(handle, "opening camera 0");
    if (!VeltCam_SetColorMode(handle, VELTCAM_COLOR_BGR24)) return Fail(handle, "the colour mode");

    width = VeltCam_Width(handle);
    height = VeltCam_Height(handle);
    rowBytes = (width * 3 + 3) / 4 * 4; /* rows are padded to 4 bytes */
    size = rowBytes * height;
    image = (BYTE*)malloc((size_t)size);
    if (image == NULL) {
        VeltCam_Release(handle);
        fprintf(stderr, "snapshot: no memory for a %d x %d image\n", width, height);
        return 1;
    }
    if (!VeltCam_SnapShot(handle, image, size, 1)) {
        free(image);
        return Fail(handle, "the snapshot");
    }
    /* The frame is now in the caller's buffer (top row first) and kept in the
       SDK for VeltCam_SaveImage. */
    printf("%d x %d, first pixel B=%u G=%u R=%u\n", width, height, image[0], image[1], image[2]);
    free(image);
    if (!VeltCam_SaveImage(handle, argv[1], FormatOf(argv[1]))) {
        return Fail(handle, "saving the image");
    }
    printf("saved %s\n", argv[1]);
    VeltCam_Release(handle);
    return 0;
}
