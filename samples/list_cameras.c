/*
 * list_cameras - prints the SDK version and the attached cameras.
 *
 *   list_cameras
 *
 * Exit status 0 when the list could be read (also when it is empty).
 */
#include <stdio.h>

#include "VeltCamSdk.h"

int main(void) {
    /* Names are written for up to VELTCAM_MAX_ENUM_DEVICES cameras. */
    static char names[VELTCAM_MAX_ENUM_DEVICES][VELTCAM_DEVICE_NAME_SIZE];
    int version = VeltCam_GetDllVersion();
    VeltCamHandle handle;
    int count;
    int i;

    printf("VeltCam SDK, DLL version 0x%08X\n", (unsigned int)version);

    handle = VeltCam_Initialize(NULL);
    if (handle == 0) {
        fprintf(stderr, "list_cameras: no memory for an SDK object\n");
        return 1;
    }
    count = VeltCam_EnumDevice(handle, names);
    if (count == 0 && VeltCam_GetLastError(handle) == ERR_NOT_READY) {
        fprintf(stderr, "list_cameras: the SDK object is not ready\n");
        VeltCam_Release(handle);
        return 1;
    }
    printf("%d camera(s)\n", count);
    for (i = 0; i < count; ++i) {
        printf("  %d: %s\n", i, names[i]);
    }
    VeltCam_Release(handle);
    return 0;
}
