// veltcam: drives a camera through the SDK's public C API only.
#include <cstdio>

#include "VeltCamSdk.h"

namespace {

const char* ErrorName(int code) {
    switch (code) {
        case ERR_NONE: return "ERR_NONE";
        case ERR_NOT_READY: return "ERR_NOT_READY";
        case ERR_NO_DEVICE: return "ERR_NO_DEVICE";
        case ERR_THREAD: return "ERR_THREAD";
        case ERR_WINDOW: return "ERR_WINDOW";
        case ERR_MEMORY: return "ERR_MEMORY";
        case ERR_DEVICE_IO: return "ERR_DEVICE_IO";
        case ERR_IMAGE_SIZE: return "ERR_IMAGE_SIZE";
        case ERR_TRANSFER: return "ERR_TRANSFER";
        case ERR_PARAMETER: return "ERR_PARAMETER";
        case ERR_NOT_SUPPORTED: return "ERR_NOT_SUPPORTED";
        case ERR_FAILED: return "ERR_FAILED";
        case ERR_TIMEOUT: return "ERR_TIMEOUT";
        case ERR_MASK_FILE: return "ERR_MASK_FILE";
        default: return "unknown";
    }
}

}  // namespace

int main() {
    int version = VeltCam_GetDllVersion();
    std::printf("SDK version 0x%08X\n", static_cast<unsigned>(version));
    VeltCamHandle handle = VeltCam_Initialize(nullptr);
    if (handle == 0) {
        std::fprintf(stderr, "veltcam: could not create an SDK handle\n");
        return 1;
    }
    std::printf("handle %08x: image %d x %d, %d bits per pixel\n", handle, VeltCam_Width(handle),
                VeltCam_Height(handle), VeltCam_GetColorMode(handle));
    for (int code = VeltCam_GetLastError(handle); code != 0; code = VeltCam_GetLastError(handle)) {
        std::printf("reported: %s (%d)\n", ErrorName(code), code);
    }
    VeltCam_Release(handle);
    return 0;
}
