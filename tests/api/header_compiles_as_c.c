/*
 * Compiled, never run: the build fails when the public header stops
 * compiling as C99, loses or misspells an export, changes the signature of
 * one, or changes the layout of a record that crosses the interface.
 */
#include <stddef.h>

#include "VeltCamSdk.h"

/* Every export with its result and argument types, in catalogue order. Names
   that share an entry point are listed under each name: each must still be
   declared with the entry point's signature. */
#define VELTCAM_EXPORTS(X)                                                                  \
    /* Lifecycle, errors, information */                                                    \
    X(VeltCam_Initialize, VeltCamHandle, (HWND))                                            \
    X(VeltCam_Release, int, (VeltCamHandle))                                                \
    X(VeltCam_GetLastError, int, (VeltCamHandle))                                           \
    X(VeltCam_GetDllVersion, int, (void))                                                   \
    X(VeltCam_GetStatus, int, (VeltCamHandle))                                              \
    X(VeltCam_EnumDevice, int, (VeltCamHandle, char(*)[VELTCAM_DEVICE_NAME_SIZE]))          \
    X(VeltCam_EnumDeviceW, int, (VeltCamHandle, wchar_t(*)[VELTCAM_DEVICE_NAME_SIZE]))      \
    X(VeltCam_GetDeviceName, int, (VeltCamHandle, int, char*, int))                         \
    X(VeltCam_GetDeviceNameW, int, (VeltCamHandle, int, wchar_t*, int))                     \
    X(VeltCam_SetDeviceNumber, int, (VeltCamHandle, int))                                   \
    X(VeltCam_GetCameraInfo, int, (VeltCamHandle, VeltCamDeviceInfo*))                      \
    X(VeltCam_ReadSerialNumberA, int, (VeltCamHandle, char*, int))                          \
    X(VeltCam_ReadSerialNumberW, int, (VeltCamHandle, wchar_t*, int))                       \
    X(VeltCam_ReadSromID, int, (VeltCamHandle, int, int*))                                  \
    X(VeltCam_WriteSromID, int, (VeltCamHandle, int, int))                                  \
    X(VeltCam_SendText, int, (VeltCamHandle))                                               \
    X(VeltCam_ReceiveText, int, (VeltCamHandle))                                            \
    /* Image geometry and format */                                                         \
    X(VeltCam_SetCaptureWindow, int, (VeltCamHandle, int, int))                             \
    X(VeltCam_SetCaptureWindowEx, int, (VeltCamHandle, int, int, int, int, int, int))       \
    X(VeltCam_GetCaptureWindowEx, int, (VeltCamHandle, int*, int*, int*, int*, int*, int*)) \
    X(VeltCam_Width, int, (VeltCamHandle))                                                  \
    X(VeltCam_Height, int, (VeltCamHandle))                                                 \
    X(VeltCam_SetColorMode, int, (VeltCamHandle, int))                                      \
    X(VeltCam_GetColorMode, int, (VeltCamHandle))                                           \
    X(VeltCam_SetSubSample, int, (VeltCamHandle, int))                                      \
    X(VeltCam_GetSubSample, int, (VeltCamHandle))                                           \
    X(VeltCam_SetWaitTime, int, (VeltCamHandle, int))                                       \
    X(VeltCam_GetWaitTime, int, (VeltCamHandle))                                            \
    /* Capture, preview, recording */                                                       \
    X(VeltCam_Preview, int, (VeltCamHandle))                                                \
    X(VeltCam_CallBackPreview, int, (VeltCamHandle, HWND, BYTE*, int, int))                 \
    X(VeltCam_StartPreview, int, (VeltCamHandle))                                           \
    X(VeltCam_StopPreview, int, (VeltCamHandle))                                            \
    X(VeltCam_Capture, int, (VeltCamHandle))                                                \
    X(VeltCam_SnapShot, int, (VeltCamHandle, BYTE*, int, int))                              \
    X(VeltCam_GetImage, int, (VeltCamHandle, BYTE*, int, int))                              \
    X(VeltCam_Trigger, int, (VeltCamHandle, HWND, BYTE*, int, int))                         \
    X(VeltCam_Record, int, (VeltCamHandle, const char*, int, int))                          \
    X(VeltCam_RecordW, int, (VeltCamHandle, const wchar_t*, int, int))                      \
    X(VeltCam_SetPreviewWindow, int, (VeltCamHandle, HWND, int, int, int, int))             \
    X(VeltCam_Close, int, (VeltCamHandle))                                                  \
    /* Camera settings with their own exports */                                            \
    X(VeltCam_SetExposureTimeEx, int, (VeltCamHandle, double))                              \
    X(VeltCam_GetExposureTimeEx, double, (VeltCamHandle, int*))                             \
    X(VeltCam_SetRealExposureTime, int, (VeltCamHandle, int))                               \
    X(VeltCam_GetRealExposureTime, int, (VeltCamHandle, int*))                              \
    X(VeltCam_SetMirrorH, int, (VeltCamHandle, int))                                        \
    X(VeltCam_SetMirrorV, int, (VeltCamHandle, int))                                        \
    X(VeltCam_GetMirrorH, int, (VeltCamHandle))                                             \
    X(VeltCam_GetMirrorV, int, (VeltCamHandle))                                             \
    X(VeltCam_SetAutoIris, int, (VeltCamHandle, int))                                       \
    X(VeltCam_GetAutoIris, int, (VeltCamHandle, int*))                                      \
    X(VeltCam_SetIOPort, int, (VeltCamHandle, int))                                         \
    X(VeltCam_GetIOPort, int, (VeltCamHandle, BYTE*))                                       \
    X(VeltCam_GetTemperatureEx, double, (VeltCamHandle, int*))                              \
    X(VeltCam_SetSamplingRate, int, (VeltCamHandle, int))                                   \
    X(VeltCam_GetSamplingRate, int, (VeltCamHandle, int*))                                  \
    X(VeltCam_GetVideoFormat, int, (VeltCamHandle, int*))                                   \
    X(VeltCam_SetInternalCorrection, intptr_t, (VeltCamHandle, int))                        \
    X(VeltCam_GetInternalCorrection, intptr_t, (VeltCamHandle, int*))                       \
    X(VeltCam_Fps, int, (VeltCamHandle))                                                    \
    X(VeltCam_GetHalfClock, int, (VeltCamHandle))                                           \
    X(VeltCam_SetHalfClock, int, (VeltCamHandle))                                           \
    X(VeltCam_SetCrossbar, int, (VeltCamHandle))                                            \
    X(VeltCam_GetConfigFilter, int, (VeltCamHandle))                                        \
    X(VeltCam_SetConfigFilter, int, (VeltCamHandle))                                        \
    /* Setting-ID interface and its named wrappers */                                       \
    X(VeltCam_GetFilterValue, int, (VeltCamHandle, int, int*))                              \
    X(VeltCam_SetFilterValue, int, (VeltCamHandle, int, int))                               \
    X(VeltCam_GetBrightness, int, (VeltCamHandle, int*))                                    \
    X(VeltCam_SetBrightness, int, (VeltCamHandle, int))                                     \
    X(VeltCam_GetContrast, int, (VeltCamHandle, int*))                                      \
    X(VeltCam_SetContrast, int, (VeltCamHandle, int))                                       \
    X(VeltCam_GetHue, int, (VeltCamHandle, int*))                                           \
    X(VeltCam_SetHue, int, (VeltCamHandle, int))                                            \
    X(VeltCam_GetSaturation, int, (VeltCamHandle, int*))                                    \
    X(VeltCam_SetSaturation, int, (VeltCamHandle, int))                                     \
    X(VeltCam_GetSharpness, int, (VeltCamHandle, int*))                                     \
    X(VeltCam_SetSharpness, int, (VeltCamHandle, int))                                      \
    X(VeltCam_GetBayerGainRGB, int, (VeltCamHandle, int*))                                  \
    X(VeltCam_SetBayerGainRGB, int, (VeltCamHandle, int))                                   \
    X(VeltCam_GetBayerGainRed, int, (VeltCamHandle, int*))                                  \
    X(VeltCam_SetBayerGainRed, int, (VeltCamHandle, int))                                   \
    X(VeltCam_GetBayerGainGreen, int, (VeltCamHandle, int*))                                \
    X(VeltCam_SetBayerGainGreen, int, (VeltCamHandle, int))                                 \
    X(VeltCam_GetBayerGainBlue, int, (VeltCamHandle, int*))                                 \
    X(VeltCam_SetBayerGainBlue, int, (VeltCamHandle, int))                                  \
    X(VeltCam_GetBayerGainAuto, int, (VeltCamHandle, int*))                                 \
    X(VeltCam_SetBayerGainAuto, int, (VeltCamHandle, int))                                  \
    X(VeltCam_GetGamma, int, (VeltCamHandle, int*))                                         \
    X(VeltCam_SetGamma, int, (VeltCamHandle, int))                                          \
    X(VeltCam_GetBayerMode, int, (VeltCamHandle, int*))                                     \
    X(VeltCam_SetBayerMode, int, (VeltCamHandle, int))                                      \
    X(VeltCam_GetGlobalGain, int, (VeltCamHandle, int*))                                    \
    X(VeltCam_SetGlobalGain, int, (VeltCamHandle, int))                                     \
    X(VeltCam_GetColorGainRed, int, (VeltCamHandle, int*))                                  \
    X(VeltCam_SetColorGainRed, int, (VeltCamHandle, int))                                   \
    X(VeltCam_GetColorGainGreen1, int, (VeltCamHandle, int*))                               \
    X(VeltCam_SetColorGainGreen1, int, (VeltCamHandle, int))                                \
    X(VeltCam_GetColorGainGreen2, int, (VeltCamHandle, int*))                               \
    X(VeltCam_SetColorGainGreen2, int, (VeltCamHandle, int))                                \
    X(VeltCam_GetColorGainBlue, int, (VeltCamHandle, int*))                                 \
    X(VeltCam_SetColorGainBlue, int, (VeltCamHandle, int))                                  \
    X(VeltCam_GetExposureTime, int, (VeltCamHandle, int*))                                  \
    X(VeltCam_SetExposureTime, int, (VeltCamHandle, int))                                   \
    X(VeltCam_GetGrayMode, int, (VeltCamHandle, int*))                                      \
    X(VeltCam_SetGrayMode, int, (VeltCamHandle, int))                                       \
    X(VeltCam_GetGrayGainR, int, (VeltCamHandle, int*))                                     \
    X(VeltCam_GetGrayGainG1, int, (VeltCamHandle, int*))                                    \
    X(VeltCam_GetGrayGainG2, int, (VeltCamHandle, int*))                                    \
    X(VeltCam_GetGrayGainB, int, (VeltCamHandle, int*))                                     \
    X(VeltCam_SetGrayGainR, int, (VeltCamHandle, int))                                      \
    X(VeltCam_SetGrayGainG1, int, (VeltCamHandle, int))                                     \
    X(VeltCam_SetGrayGainG2, int, (VeltCamHandle, int))                                     \
    X(VeltCam_SetGrayGainB, int, (VeltCamHandle, int))                                      \
    X(VeltCam_GetGrayOffsetR, int, (VeltCamHandle, int*))                                   \
    X(VeltCam_GetGrayOffsetG1, int, (VeltCamHandle, int*))                                  \
    X(VeltCam_GetGrayOffsetG2, int, (VeltCamHandle, int*))                                  \
    X(VeltCam_GetGrayOffsetB, int, (VeltCamHandle, int*))                                   \
    X(VeltCam_SetGrayOffsetR, int, (VeltCamHandle, int))                                    \
    X(VeltCam_SetGrayOffsetG1, int, (VeltCamHandle, int))                                   \
    X(VeltCam_SetGrayOffsetG2, int, (VeltCamHandle, int))                                   \
    X(VeltCam_SetGrayOffsetB, int, (VeltCamHandle, int))                                    \
    X(VeltCam_GetChannelGain, int, (VeltCamHandle, int, int*))                              \
    X(VeltCam_SetChannelGain, int, (VeltCamHandle, int, int))                               \
    X(VeltCam_GetChannelOffset, int, (VeltCamHandle, int, int*))                            \
    X(VeltCam_SetChannelOffset, int, (VeltCamHandle, int, int))                             \
    X(VeltCam_GetPeltier, int, (VeltCamHandle, int*))                                       \
    X(VeltCam_SetPeltier, int, (VeltCamHandle, int))                                        \
    X(VeltCam_GetTemperature, int, (VeltCamHandle, int*))                                   \
    X(VeltCam_GetDotFilter, int, (VeltCamHandle, int*))                                     \
    X(VeltCam_SetDotFilter, int, (VeltCamHandle, int))                                      \
    X(VeltCam_GetMaskFilter, int, (VeltCamHandle, int*))                                    \
    X(VeltCam_SetMaskFilter, int, (VeltCamHandle, int))                                     \
    /* Register access */                                                                   \
    X(VeltCam_Fpga_ReadRegister, int, (VeltCamHandle, int, int*))                           \
    X(VeltCam_Fpga_WriteRegister, int, (VeltCamHandle, int, int))                           \
    X(VeltCam_ReadRegister, intptr_t, (VeltCamHandle, int, int*))                           \
    X(VeltCam_ReadRegisterEx, intptr_t, (VeltCamHandle, int, int*))                         \
    X(VeltCam_WriteRegister, int, (VeltCamHandle, int, int))                                \
    X(VeltCam_WriteRegisterEx, int, (VeltCamHandle, int, int))                              \
    /* Files, mask, dialogs */                                                              \
    X(VeltCam_LoadMaskFile, int, (VeltCamHandle, const char*))                              \
    X(VeltCam_LoadMaskFileW, int, (VeltCamHandle, const wchar_t*))                          \
    X(VeltCam_SaveMaskFile, int, (VeltCamHandle, const char*))                              \
    X(VeltCam_SaveMaskFileW, int, (VeltCamHandle, const wchar_t*))                          \
    X(VeltCam_UpdateMaskData, int, (VeltCamHandle, int))                                    \
    X(VeltCam_SaveImage, int, (VeltCamHandle, const char*, int))                            \
    X(VeltCam_SaveImageW, int, (VeltCamHandle, const wchar_t*, int))                        \
    X(VeltCam_LoadConfigFileA, int, (VeltCamHandle, const char*))                           \
    X(VeltCam_LoadConfigFileW, int, (VeltCamHandle, const wchar_t*))                        \
    X(VeltCam_SetCameraDlg, int, (VeltCamHandle, HWND))                                     \
    X(VeltCam_SetAnalogDlg, int, (VeltCamHandle, HWND))                                     \
    X(VeltCam_SetImageDlg, int, (VeltCamHandle, HWND))

/* Initialising a typed pointer with each function checks its signature: a
   mismatch is an incompatible-pointer diagnostic, an error under -Werror. */
typedef struct VeltCamExpectedApi {
#define VELTCAM_AS_MEMBER(name, result, params) result(VELTCAM_CALL* name) params;
    VELTCAM_EXPORTS(VELTCAM_AS_MEMBER)
#undef VELTCAM_AS_MEMBER
} VeltCamExpectedApi;

const VeltCamExpectedApi veltcamExpectedApi = {
#define VELTCAM_AS_INIT(name, result, params) name,
    VELTCAM_EXPORTS(VELTCAM_AS_INIT)
#undef VELTCAM_AS_INIT
};

/* The same exports by name and address; void (*)(void) is the generic
   function pointer type that converts to and from any other. */
typedef void (*VeltCamAnyFunction)(void);

const struct {
    const char* name;
    VeltCamAnyFunction address;
} veltcamExportTable[] = {
#define VELTCAM_AS_ENTRY(name, result, params) {#name, (VeltCamAnyFunction)name},
    VELTCAM_EXPORTS(VELTCAM_AS_ENTRY)
#undef VELTCAM_AS_ENTRY
};

/* C99 has no _Static_assert: a negative array size stops the compile. */
#define VELTCAM_CHECK(name, cond) typedef char veltcam_check_##name[(cond) ? 1 : -1]

/* 149 exported names (144 entry points, five names being aliases). */
VELTCAM_CHECK(export_count, sizeof veltcamExportTable / sizeof veltcamExportTable[0] == 149);

/* Device-information record: nine int32 fields, four unwritten bytes at 36,
   then two doubles. */
VELTCAM_CHECK(info_size, offsetof(VeltCamDeviceInfo, size) == 0);
VELTCAM_CHECK(info_max_width, offsetof(VeltCamDeviceInfo, maxWidth) == 4);
VELTCAM_CHECK(info_max_height, offsetof(VeltCamDeviceInfo, maxHeight) == 8);
VELTCAM_CHECK(info_gain_min, offsetof(VeltCamDeviceInfo, gainMin) == 12);
VELTCAM_CHECK(info_gain_max, offsetof(VeltCamDeviceInfo, gainMax) == 16);
VELTCAM_CHECK(info_color_gain_min, offsetof(VeltCamDeviceInfo, colorGainMin) == 20);
VELTCAM_CHECK(info_color_gain_max, offsetof(VeltCamDeviceInfo, colorGainMax) == 24);
VELTCAM_CHECK(info_exposure_min, offsetof(VeltCamDeviceInfo, exposureMin) == 28);
VELTCAM_CHECK(info_exposure_max, offsetof(VeltCamDeviceInfo, exposureMax) == 32);
VELTCAM_CHECK(info_reserved, offsetof(VeltCamDeviceInfo, reserved) == 36);
VELTCAM_CHECK(info_exposure_ms_min, offsetof(VeltCamDeviceInfo, exposureMsMin) == 40);
VELTCAM_CHECK(info_exposure_ms_max, offsetof(VeltCamDeviceInfo, exposureMsMax) == 48);
VELTCAM_CHECK(info_total, sizeof(VeltCamDeviceInfo) == 56);

/* Frame-information record: five int32 fields, padding, a 64-bit pointer. */
VELTCAM_CHECK(frame_reserved, offsetof(VeltCamFrameInfo, reserved) == 0);
VELTCAM_CHECK(frame_width, offsetof(VeltCamFrameInfo, width) == 4);
VELTCAM_CHECK(frame_height, offsetof(VeltCamFrameInfo, height) == 8);
VELTCAM_CHECK(frame_bits, offsetof(VeltCamFrameInfo, bitsPerPixel) == 12);
VELTCAM_CHECK(frame_rate, offsetof(VeltCamFrameInfo, frameRate) == 16);
VELTCAM_CHECK(frame_buffer, offsetof(VeltCamFrameInfo, buffer) == 24);
VELTCAM_CHECK(frame_total, sizeof(VeltCamFrameInfo) == 32);

/* Error codes are part of the wire protocol (history, posted messages); the
   gap at 10 must stay. */
VELTCAM_CHECK(err_none, ERR_NONE == 0);
VELTCAM_CHECK(err_parameter, ERR_PARAMETER == 9);
VELTCAM_CHECK(err_not_supported, ERR_NOT_SUPPORTED == 11);
VELTCAM_CHECK(err_mask_file, ERR_MASK_FILE == 14);
VELTCAM_CHECK(wm_frame, VELTCAM_WM_FRAME == 0x8002);
VELTCAM_CHECK(wm_error, VELTCAM_WM_ERROR == 0x8003);
