/*
 * VeltCamSdk.h - public C interface of the VeltCam M40 USB3 R7 camera SDK.
 *
 * The same header serves the 64-bit Windows DLL (VeltCamSdk_M40_USB3_R7.dll)
 * and the native Linux library (libveltcamsdk.so). It is plain C: it compiles
 * as C99 and as C++, and it uses no C++ types.
 *
 * General rules that every function below follows:
 *
 * Handles. VeltCam_Initialize returns a handle; every other function except
 * VeltCam_GetDllVersion takes it first. A handle that is not (or no longer)
 * known makes a function return its "unknown handle" result - 0 unless the
 * function's comment says otherwise - without recording an error and without
 * writing any output argument.
 *
 * Results. 1 (or nonzero) means success and 0 failure unless a comment says
 * otherwise. Nothing is ever thrown across this interface.
 *
 * Errors. A failure records an error code (VeltCamError) in the handle's
 * 20-entry history, which VeltCam_GetLastError drains newest first, and posts
 * it as VELTCAM_WM_ERROR to the window given to VeltCam_Initialize. A few
 * functions only post the code ("posts N"), leaving the history alone; if no
 * window was given, such a post goes to the calling thread's own queue.
 * "Errors:" in the comments lists the codes a function can raise.
 *
 * ok. Arguments named ok are optional (may be NULL): they receive 1 on success
 * and 0 on failure. A NULL output pointer is never written.
 *
 * Threads. Any thread may call any function, on any handle, at the same time
 * as any other call, unless the comment says otherwise. Calls on one handle
 * that share state exclude each other through the handle's locks:
 *  - Camera: every access to the sensor and its settings, a camera switch
 *    (VeltCam_SetDeviceNumber), the start and stop of a transfer and the
 *    readout of a frame run one at a time. A capture never starts on a
 *    half-changed window, and a camera switch closes the old camera only after
 *    the calls inside it have left.
 *  - Values of the handle: capture window, colour mode, sub-sampling, image
 *    and camera settings and the device number are read and written under one
 *    lock, which the display thread also holds while it converts a frame. A
 *    getter returns a value as it was before or after a concurrent setter,
 *    never a mix of the two; a setter stores its value and programs the camera
 *    in one step, so that stored value and camera agree once it returns.
 *  - Capture modes: starting, stopping, snapshots, recording, trigger mode,
 *    the preview window's placement and the camera switch run one at a time.
 * A call that needs what another call holds waits for it: for a frame being
 * converted, or for a whole snapshot, capture set-up or camera switch. Which
 * of two concurrent calls takes effect first is not defined. VeltCam_Release
 * while other threads are inside calls on the same handle destroys the object
 * only after they have left; calls after it see an unknown handle.
 * Exceptions concern windows: the preview window is created by (and belongs
 * to) the thread that starts a capture mode, so on Windows that thread must
 * run a message loop and should also be the one that calls VeltCam_Close and
 * VeltCam_Release; the setting dialogs run modally on the calling thread and
 * change the handle's settings under the same lock as the setters. Messages
 * (VELTCAM_WM_ERROR, VELTCAM_WM_FRAME) are posted, never sent, and arrive on
 * the thread that owns the target window.
 *
 * Strings. Narrow strings are in the thread's ANSI code page (UTF-8 on Linux).
 * The wide variants (names ending in W) convert through it; a path that
 * converts to 1023 bytes or more (terminator not counted), a failed conversion
 * or a wide output buffer that is too small raises ERR_FAILED. A conversion
 * fails when the text is not valid UTF-16 (an unpaired surrogate) or holds a
 * character the code page cannot represent exactly: no look-alike is ever
 * substituted (fullwidth U+FF0E U+FF0E U+FF3C never becomes "..\").
 *
 * Windows and messages on Linux. HWND is then the SDK's own message-window
 * handle: a bounded message queue created, read and destroyed with the
 * functions of VeltCamSdkLinux.h. The preview window is an X11 window
 * (VeltCamLinux_PreviewParent turns an application's X11 window into a parent;
 * with no display reachable creating it fails with ERR_WINDOW, so run previews
 * headless there with VeltCam_SetPreviewWindow(h, NULL, 0, 0, 0, 0)), and the
 * setting dialogs raise ERR_NOT_SUPPORTED and return 0.
 */
#ifndef VELTCAM_SDK_H
#define VELTCAM_SDK_H

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#if defined(_WIN32)
#include <windows.h>
#else
/* The SDK's message-window handle; the same name as on Windows so that
   application code reads the same on both platforms. */
#if !defined(VELTCAM_HWND_DEFINED) && !defined(_WINDEF_)
#define VELTCAM_HWND_DEFINED
typedef struct VeltCamWindow__* HWND;
#endif
#if !defined(VELTCAM_BYTE_DEFINED) && !defined(_WINDEF_)
#define VELTCAM_BYTE_DEFINED
typedef unsigned char BYTE;
#endif
#endif

/* Calling convention of every export. The library exists only for x86-64,
   where there is a single convention; the macro keeps declarations and
   definitions identical on every platform. */
#ifndef VELTCAM_CALL
#define VELTCAM_CALL
#endif

/* Symbol visibility. On Windows the module-definition file decides what the
   DLL exports; the Linux library is built with hidden visibility and exports
   exactly the functions declared here. */
#ifndef VELTCAM_API
#if !defined(_WIN32) && defined(__GNUC__)
#define VELTCAM_API __attribute__((visibility("default")))
#else
#define VELTCAM_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Types and constants */
/* ------------------------------------------------------------------------ */

/* Handle of one SDK object, from VeltCam_Initialize; 0 means failure. */
typedef uint32_t VeltCamHandle;

/* Result of VeltCam_GetDllVersion (2.13.05.21). */
#define VELTCAM_DLL_VERSION 0x020D0521

/* Full sensor frame. */
#define VELTCAM_MAX_WIDTH 2048
#define VELTCAM_MAX_HEIGHT 1536

/* Device names: VeltCam_EnumDevice fills entries of this many bytes
   (VeltCam_EnumDeviceW: wide characters), at most VELTCAM_MAX_ENUM_DEVICES of
   them; the caller's array must hold that many. */
#define VELTCAM_DEVICE_NAME_SIZE 256
#define VELTCAM_MAX_ENUM_DEVICES 10

/* Smallest buffer VeltCam_ReadSerialNumberA accepts: 31 characters and the
   terminator. */
#define VELTCAM_SERIAL_NUMBER_SIZE 32

/* Error codes, as recorded in the history and posted in VELTCAM_WM_ERROR.
   There is no code 10. */
typedef enum VeltCamError {
    ERR_NONE = 0,           /* success, recorded by a few calls */
    ERR_NOT_READY = 1,      /* no camera core, wrong capture mode, no image */
    ERR_NO_DEVICE = 2,      /* no camera at that device number */
    ERR_THREAD = 3,         /* worker thread or event not created */
    ERR_WINDOW = 4,         /* preview window or size table unavailable */
    ERR_MEMORY = 5,         /* allocation failed or caller buffer too small */
    ERR_DEVICE_IO = 6,      /* register access or transfer start failed */
    ERR_IMAGE_SIZE = 7,     /* capture window not valid for the sensor */
    ERR_TRANSFER = 8,       /* frame readout failed */
    ERR_PARAMETER = 9,      /* argument out of range, null or empty */
    ERR_NOT_SUPPORTED = 11, /* not available on this camera */
    ERR_FAILED = 12,        /* string conversion, movie start, mask select */
    ERR_TIMEOUT = 13,       /* the camera stopped delivering frames */
    ERR_MASK_FILE = 14      /* mask file missing, unreadable or wrong */
} VeltCamError;

/* Messages posted to the application (WM_APP + 3 and WM_APP + 2).
   VELTCAM_WM_ERROR: wParam 0, lParam = error code.
   VELTCAM_WM_FRAME, to the callback window of VeltCam_CallBackPreview or
   VeltCam_Trigger: a frame is ready when lParam is 0 - wParam is then the
   address of the handle's VeltCamFrameInfo, valid as long as the handle and
   overwritten by the next frame; a frame failed when wParam is 0 - lParam is
   then ERR_MEMORY, ERR_TRANSFER or ERR_TIMEOUT (also recorded). */
#define VELTCAM_WM_ERROR 0x8003
#define VELTCAM_WM_FRAME 0x8002

/* Output colour modes, as bits per pixel (VeltCam_SetColorMode). Colour
   pixels store blue first; the 32- and 64-bit modes carry an unused fourth
   sample; 16-bit samples are little-endian, full scale. */
typedef enum VeltCamColorMode {
    VELTCAM_COLOR_MONO8 = 8,
    VELTCAM_COLOR_MONO16 = 16,
    VELTCAM_COLOR_BGR24 = 24,
    VELTCAM_COLOR_BGRX32 = 32,
    VELTCAM_COLOR_BGR48 = 48,
    VELTCAM_COLOR_BGRX64 = 64
} VeltCamColorMode;

/* Still-image formats of VeltCam_SaveImage (chosen by this number, not by the
   file name's extension). */
typedef enum VeltCamImageFormat {
    VELTCAM_IMAGE_BMP = 0,
    VELTCAM_IMAGE_RAW = 1, /* pixel memory as held, rows padded to 4 bytes */
    VELTCAM_IMAGE_JPEG_Q100 = 2,
    VELTCAM_IMAGE_JPEG_Q70 = 3,
    VELTCAM_IMAGE_JPEG_Q20 = 4,
    VELTCAM_IMAGE_PNG = 5,
    VELTCAM_IMAGE_TIFF = 6
} VeltCamImageFormat;

/* Sub-sampling modes (VeltCam_SetSubSample). */
#define VELTCAM_SUBSAMPLE_FULL 0
#define VELTCAM_SUBSAMPLE_HALF 1

/* Auto-iris modes (VeltCam_SetAutoIris): which setting the automatic exposure
   loop adjusts. */
#define VELTCAM_AUTO_IRIS_OFF 0
#define VELTCAM_AUTO_IRIS_EXPOSURE 1
#define VELTCAM_AUTO_IRIS_GAIN 2

/* Gray modes (VELTCAM_ID_GRAY_MODE), for the monochrome colour modes. */
#define VELTCAM_GRAY_OFF 0
#define VELTCAM_GRAY_CHANNEL_GAINS 1
#define VELTCAM_GRAY_FROM_COLOR 2

/* Reference frames of VeltCam_UpdateMaskData. */
#define VELTCAM_MASK_DARK 0
#define VELTCAM_MASK_WHITE 1

/* Setting identifiers of VeltCam_GetFilterValue / VeltCam_SetFilterValue.
   Ranges are those the setters accept; anything else raises ERR_PARAMETER. */
typedef enum VeltCamSettingId {
    VELTCAM_ID_BRIGHTNESS = 1,       /* -255..255, 0 neutral */
    VELTCAM_ID_CONTRAST = 2,         /* -127..127, 0 neutral */
    VELTCAM_ID_HUE = 3,              /* -360..360 degrees */
    VELTCAM_ID_SATURATION = 4,       /* -255..255 */
    VELTCAM_ID_SHARPNESS = 5,        /* 0..30, tenths */
    VELTCAM_ID_BAYER_GAIN_RGB = 6,   /* red | green << 8 | blue << 16 */
    VELTCAM_ID_BAYER_GAIN_RED = 7,   /* 0..400 percent */
    VELTCAM_ID_BAYER_GAIN_GREEN = 8, /* 0..400 percent (stored only) */
    VELTCAM_ID_BAYER_GAIN_BLUE = 9,  /* 0..400 percent */
    VELTCAM_ID_BAYER_GAIN_AUTO = 10, /* any; stored as 0 or 1 */
    VELTCAM_ID_GAMMA = 11,           /* 0..200, hundredths, 100 neutral */
    VELTCAM_ID_BAYER_MODE = 12,      /* 0..3, colour phase at the origin */
    VELTCAM_ID_GLOBAL_GAIN = 13,     /* sensor gain steps 0..480 */
    VELTCAM_ID_COLOR_GAIN_RED = 14,  /* sensor colour gains: only 0 here */
    VELTCAM_ID_COLOR_GAIN_GREEN1 = 15,
    VELTCAM_ID_COLOR_GAIN_GREEN2 = 16,
    VELTCAM_ID_COLOR_GAIN_BLUE = 17,
    VELTCAM_ID_EXPOSURE_TIME = 18, /* 0.1 ms units, 1..20000 */
    VELTCAM_ID_GRAY_MODE = 19,     /* 0..2, VELTCAM_GRAY_* */
    VELTCAM_ID_GRAY_GAIN_R = 20,   /* 0..255, 128 = unity */
    VELTCAM_ID_GRAY_GAIN_G1 = 21,
    VELTCAM_ID_GRAY_GAIN_G2 = 22,
    VELTCAM_ID_GRAY_GAIN_B = 23,
    VELTCAM_ID_GRAY_OFFSET_R = 24, /* -255..255 */
    VELTCAM_ID_GRAY_OFFSET_G1 = 25,
    VELTCAM_ID_GRAY_OFFSET_G2 = 26,
    VELTCAM_ID_GRAY_OFFSET_B = 27,
    VELTCAM_ID_GRAY_BALANCE_COUNT = 28, /* 0..1, set only: frames on which
                                           the gray gains are computed */
    /* Analog front-end channels 1..4 of VeltCam_Get/SetChannelGain and
       VeltCam_Get/SetChannelOffset. This camera has none: these IDs raise
       ERR_PARAMETER. */
    VELTCAM_ID_CHANNEL_GAIN1 = 29,
    VELTCAM_ID_CHANNEL_GAIN2 = 30,
    VELTCAM_ID_CHANNEL_GAIN3 = 31,
    VELTCAM_ID_CHANNEL_GAIN4 = 32,
    VELTCAM_ID_CHANNEL_OFFSET1 = 33,
    VELTCAM_ID_CHANNEL_OFFSET2 = 34,
    VELTCAM_ID_CHANNEL_OFFSET3 = 35,
    VELTCAM_ID_CHANNEL_OFFSET4 = 36,
    VELTCAM_ID_PELTIER = 100,     /* cooling; not on this camera */
    VELTCAM_ID_TEMPERATURE = 101, /* get only; not on this camera */
    VELTCAM_ID_DOT_FILTER = 102,  /* 0 or 1: defect-pixel correction */
    VELTCAM_ID_MASK_FILTER = 103, /* 0 or 1: flat-field correction */
    /* Optional camera-side features of other models of the family, reached
       only through the setting-ID interface. This camera has none of them;
       105 and 106 raise ERR_NOT_SUPPORTED. */
    VELTCAM_ID_CORE_OPTION_104 = 104,
    VELTCAM_ID_CORE_OPTION_105 = 105,
    VELTCAM_ID_CORE_OPTION_106 = 106
} VeltCamSettingId;

/* Device-information record of VeltCam_GetCameraInfo. The caller sets size;
   below 36 nothing is written (ERR_MEMORY); 36..55 fills maxWidth through
   exposureMax; 56 or more also fills the two doubles. Ranges are in the units
   of the matching setters (gain steps, 0.1 ms, milliseconds). */
typedef struct VeltCamDeviceInfo {
    int32_t size;         /*  0: declared size in bytes, set by the caller */
    int32_t maxWidth;     /*  4: 2048 */
    int32_t maxHeight;    /*  8: 1536 */
    int32_t gainMin;      /* 12: global gain range */
    int32_t gainMax;      /* 16 */
    int32_t colorGainMin; /* 20: colour gain range (0..0 on this camera) */
    int32_t colorGainMax; /* 24 */
    int32_t exposureMin;  /* 28: exposure range, 0.1 ms units */
    int32_t exposureMax;  /* 32 */
    int32_t reserved;     /* 36: never written */
    double exposureMsMin; /* 40: extended exposure range, ms */
    double exposureMsMax; /* 48 */
} VeltCamDeviceInfo;

/* Frame-information record whose address VELTCAM_WM_FRAME carries in
   wParam. */
typedef struct VeltCamFrameInfo {
    int32_t reserved;     /*  0: always 0 */
    int32_t width;        /*  4: image width in pixels */
    int32_t height;       /*  8: image height in pixels */
    int32_t bitsPerPixel; /* 12: the colour mode (8, 16, 24, 32, 48, 64) */
    int32_t frameRate;    /* 16: frames per 10 s in preview; 0 in trigger */
    int32_t padding;      /* 20 */
    BYTE* buffer;         /* 24: the callback buffer holding the frame, or
                                 NULL when none was given */
} VeltCamFrameInfo;

/* The records cross the interface by address: their layout is fixed. */
#if (defined(__cplusplus) && __cplusplus >= 201103L) || \
    (defined(_MSVC_LANG) && _MSVC_LANG >= 201103L)
#define VELTCAM_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define VELTCAM_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif
#ifdef VELTCAM_STATIC_ASSERT
VELTCAM_STATIC_ASSERT(sizeof(int) == 4, "int must be 32 bits");
VELTCAM_STATIC_ASSERT(sizeof(void*) == 8, "the SDK is 64-bit only");
VELTCAM_STATIC_ASSERT(offsetof(VeltCamDeviceInfo, size) == 0, "DeviceInfo.size");
VELTCAM_STATIC_ASSERT(offsetof(VeltCamDeviceInfo, maxWidth) == 4, "DeviceInfo.maxWidth");
VELTCAM_STATIC_ASSERT(offsetof(VeltCamDeviceInfo, exposureMax) == 32, "DeviceInfo.exposureMax");
VELTCAM_STATIC_ASSERT(offsetof(VeltCamDeviceInfo, reserved) == 36, "DeviceInfo.reserved");
VELTCAM_STATIC_ASSERT(offsetof(VeltCamDeviceInfo, exposureMsMin) == 40, "DeviceInfo.exposureMsMin");
VELTCAM_STATIC_ASSERT(offsetof(VeltCamDeviceInfo, exposureMsMax) == 48, "DeviceInfo.exposureMsMax");
VELTCAM_STATIC_ASSERT(sizeof(VeltCamDeviceInfo) == 56, "DeviceInfo size");
VELTCAM_STATIC_ASSERT(offsetof(VeltCamFrameInfo, width) == 4, "FrameInfo.width");
VELTCAM_STATIC_ASSERT(offsetof(VeltCamFrameInfo, frameRate) == 16, "FrameInfo.frameRate");
VELTCAM_STATIC_ASSERT(offsetof(VeltCamFrameInfo, buffer) == 24, "FrameInfo.buffer");
VELTCAM_STATIC_ASSERT(sizeof(VeltCamFrameInfo) == 32, "FrameInfo size");
#undef VELTCAM_STATIC_ASSERT
#endif

/* ------------------------------------------------------------------------ */
/* Lifecycle, errors, information */
/* ------------------------------------------------------------------------ */

/* Creates an SDK object: camera core, image buffers, stored settings; selects
   device 0 when exactly one camera is attached. window (may be NULL) receives
   VELTCAM_WM_ERROR messages and device-arrival notifications.
   Result: the handle; 0 only when the object could not be allocated. A failed
   initialisation still returns a usable handle: its reasons are in the
   history and later calls fail with ERR_NOT_READY.
   Errors (in the new handle's history): ERR_MEMORY, ERR_NO_DEVICE. */
VELTCAM_API VeltCamHandle VELTCAM_CALL VeltCam_Initialize(HWND window);

/* Saves the settings, closes the preview and the camera and destroys the
   object. Calls still running on the handle in other threads finish first.
   Result: 1, or 0 for an unknown handle (so a second release returns 0).
   Thread: on Windows, the thread that started the preview, if one is open. */
VELTCAM_API int VELTCAM_CALL VeltCam_Release(VeltCamHandle handle);

/* Takes the newest code out of the history.
   Result: that code; 0 when the history is empty. */
VELTCAM_API int VELTCAM_CALL VeltCam_GetLastError(VeltCamHandle handle);

/* Result: VELTCAM_DLL_VERSION. Takes no handle. */
VELTCAM_API int VELTCAM_CALL VeltCam_GetDllVersion(void);

/* Result: always 0. */
VELTCAM_API int VELTCAM_CALL VeltCam_GetStatus(VeltCamHandle handle);

/* Lists the attached cameras of this model as "VeltCamM40-USB3-R7_01",
   "_02", ... (numbered by position in the list, not by device number) and
   clears the remaining entries up to the tenth.
   Result: number of cameras listed (at most VELTCAM_MAX_ENUM_DEVICES).
   Errors: ERR_NOT_READY. */
VELTCAM_API int VELTCAM_CALL VeltCam_EnumDevice(VeltCamHandle handle,
                                                char names[][VELTCAM_DEVICE_NAME_SIZE]);

/* VeltCam_EnumDevice with wide names; all ten entries are written.
   Result: number of cameras. Errors: ERR_NOT_READY. */
VELTCAM_API int VELTCAM_CALL VeltCam_EnumDeviceW(VeltCamHandle handle,
                                                 wchar_t names[][VELTCAM_DEVICE_NAME_SIZE]);

/* Writes the name of the camera at deviceNumber ("..._NN", NN = number + 1)
   into buffer; size in bytes must hold the whole name and its terminator.
   Errors: ERR_PARAMETER (buffer too small), ERR_NO_DEVICE (number outside
   0..31 or no camera there), ERR_NOT_READY. */
VELTCAM_API int VELTCAM_CALL VeltCam_GetDeviceName(VeltCamHandle handle, int deviceNumber,
                                                   char* buffer, int size);

/* VeltCam_GetDeviceName into a wide buffer; size in wide characters.
   Errors: those of VeltCam_GetDeviceName, ERR_FAILED. */
VELTCAM_API int VELTCAM_CALL VeltCam_GetDeviceNameW(VeltCamHandle handle, int deviceNumber,
                                                    wchar_t* buffer, int size);

/* Selects and opens the camera at deviceNumber (stopping a running capture
   mode first), saving the settings of the previous camera and applying the
   stored ones of the new camera; a camera without stored settings starts from
   the first-run defaults. Selecting the current camera again is a no-op that
   succeeds, and a refused number changes nothing: neither stops a running
   capture mode.
   Errors: ERR_NO_DEVICE, ERR_NOT_READY. */
VELTCAM_API int VELTCAM_CALL VeltCam_SetDeviceNumber(VeltCamHandle handle, int deviceNumber);

/* Fills the caller's record; set info->size first.
   Errors: ERR_PARAMETER (NULL info), ERR_MEMORY (size below 36),
   ERR_NOT_READY. */
VELTCAM_API int VELTCAM_CALL VeltCam_GetCameraInfo(VeltCamHandle handle, VeltCamDeviceInfo* info);

/* Reads the camera's serial number (at most 31 characters) into buffer;
   size at least VELTCAM_SERIAL_NUMBER_SIZE. An empty serial area gives "".
   Errors: ERR_PARAMETER (size), ERR_NOT_READY. */
VELTCAM_API int VELTCAM_CALL VeltCam_ReadSerialNumberA(VeltCamHandle handle, char* buffer,
                                                       int size);

/* VeltCam_ReadSerialNumberA into a wide buffer; size in wide characters.
   Errors: those of VeltCam_ReadSerialNumberA, ERR_FAILED. */
VELTCAM_API int VELTCAM_CALL VeltCam_ReadSerialNumberW(VeltCamHandle handle, wchar_t* buffer,
                                                       int size);

/* Reads one byte of the camera's user SROM area (address: low 12 bits).
   Result: the byte; 0 on failure. Failure posts ERR_NOT_READY. */
VELTCAM_API int VELTCAM_CALL VeltCam_ReadSromID(VeltCamHandle handle, int address, int* ok);

/* Writes the low byte of value into the user SROM area (address: low 12 bits)
   and reads it back until it verifies (ten tries).
   Result: 1 when verified. Failure posts ERR_NOT_READY (also for each failed
   read-back). */
VELTCAM_API int VELTCAM_CALL VeltCam_WriteSromID(VeltCamHandle handle, int address, int value);

/* Text channel of other camera models. One function under both names.
   Result: 0. Errors: ERR_NOT_SUPPORTED. */
VELTCAM_API int VELTCAM_CALL VeltCam_SendText(VeltCamHandle handle);
VELTCAM_API int VELTCAM_CALL VeltCam_ReceiveText(VeltCamHandle handle);

/* ------------------------------------------------------------------------ */
/* Image geometry and format */
/* ------------------------------------------------------------------------ */

/* Selects the capture window of the stored size table whose effective size is
   width x height and applies it to the camera: the installation's table
   first, then the selected camera's own (which starts with the full frame).
   An entry that does not fit
   the sensor falls back to the full frame (ERR_IMAGE_SIZE is recorded, the
   call still succeeds). The alignment rules of VeltCam_SetCaptureWindowEx
   apply when a capture mode starts.
   Errors: ERR_WINDOW (no size table or no entry of that size),
   ERR_IMAGE_SIZE, ERR_NOT_READY. */
VELTCAM_API int VELTCAM_CALL VeltCam_SetCaptureWindow(VeltCamHandle handle, int width, int height);

/* Sets the capture window directly: totals (stored only), effective size and
   start position in sensor pixels, applied to the camera. The window must
   lie inside 2048 x 1536.
   Alignment: any window inside the sensor is accepted here, but a capture
   mode starts only on one the sensor can read out, in sensor pixels:
     full resolution (VELTCAM_SUBSAMPLE_FULL): startX and startY even, width a
       multiple of 16, height a multiple of 4;
     half readout (VELTCAM_SUBSAMPLE_HALF): startX and startY multiples of 4,
       width a multiple of 32, height a multiple of 4.
   The start of a capture mode (VeltCam_StartPreview, VeltCam_Preview,
   VeltCam_CallBackPreview, VeltCam_Record, VeltCam_Trigger, VeltCam_Capture,
   VeltCam_SnapShot) refuses any other window with ERR_IMAGE_SIZE.
   Errors: ERR_PARAMETER (the sensor cannot window on that axis),
   ERR_IMAGE_SIZE (outside the sensor; the values stay stored),
   ERR_NOT_READY. */
VELTCAM_API int VELTCAM_CALL VeltCam_SetCaptureWindowEx(VeltCamHandle handle, int totalWidth,
                                                        int startX, int width, int totalHeight,
                                                        int startY, int height);

/* Reads the capture window back, in the order of VeltCam_SetCaptureWindowEx;
   NULL pointers are skipped. Result: 1. */
VELTCAM_API int VELTCAM_CALL VeltCam_GetCaptureWindowEx(VeltCamHandle handle, int* totalWidth,
                                                        int* startX, int* width, int* totalHeight,
                                                        int* startY, int* height);

/* Result: the capture window's effective width / height (before
   sub-sampling). */
VELTCAM_API int VELTCAM_CALL VeltCam_Width(VeltCamHandle handle);
VELTCAM_API int VELTCAM_CALL VeltCam_Height(VeltCamHandle handle);

/* Selects the output colour mode (VeltCamColorMode: 8, 16, 24, 32, 48, 64
   bits per pixel); takes effect at the next capture set-up.
   Errors: ERR_PARAMETER. */
VELTCAM_API int VELTCAM_CALL VeltCam_SetColorMode(VeltCamHandle handle, int bitsPerPixel);

/* Result: bits per pixel of the colour mode; -1 for an unknown handle. */
VELTCAM_API int VELTCAM_CALL VeltCam_GetColorMode(VeltCamHandle handle);

/* Sets full (0) or half (1) resolution readout; takes effect at the next
   capture-window change or capture set-up.
   Result: 1; 0 without an error code for any other mode. */
VELTCAM_API int VELTCAM_CALL VeltCam_SetSubSample(VeltCamHandle handle, int mode);

/* Result: the sub-sampling mode; -1 for an unknown handle. */
VELTCAM_API int VELTCAM_CALL VeltCam_GetSubSample(VeltCamHandle handle);

/* Sets the pause between passes of the preview loop, in ms (>= 0).
   Result: 1; 0 without an error code for a negative value. */
VELTCAM_API int VELTCAM_CALL VeltCam_SetWaitTime(VeltCamHandle handle, int milliseconds);

/* Result: the pause in ms; -1 for an unknown handle. */
VELTCAM_API int VELTCAM_CALL VeltCam_GetWaitTime(VeltCamHandle handle);

/* ------------------------------------------------------------------------ */
/* Capture, preview, recording */
/* */
/* Capture modes: idle; continuous preview (VeltCam_StartPreview, _Preview, */
/* _CallBackPreview, _Record); capture prepared (VeltCam_Capture); trigger */
/* (VeltCam_Trigger). Each mode starts with the capture set-up, which can */
/* raise ERR_NO_DEVICE, ERR_IMAGE_SIZE and ERR_MEMORY. */
/* A flip argument of 0 delivers rows bottom-up (last row first), nonzero */
/* top-down. Buffers must hold height x row length bytes, rows padded to a */
/* multiple of 4 bytes. */
/* ------------------------------------------------------------------------ */

/* Starts the continuous preview in the SDK's preview window (see
   VeltCam_SetPreviewWindow). Thread: the calling thread owns the window.
   Errors: ERR_WINDOW, ERR_TRANSFER, ERR_NOT_READY and those of
   VeltCam_StartPreview. */
VELTCAM_API int VELTCAM_CALL VeltCam_Preview(VeltCamHandle handle);

/* VeltCam_Preview that also copies every frame into buffer (size bytes; NULL
   or 0: no copy) and posts VELTCAM_WM_FRAME to window (may be NULL) for
   every frame. The frame messages come from the SDK's display thread and
   arrive on the thread that owns window.
   Errors: as VeltCam_Preview; per frame ERR_MEMORY (buffer too small),
   ERR_TRANSFER, ERR_TIMEOUT (also posted as frame messages). */
VELTCAM_API int VELTCAM_CALL VeltCam_CallBackPreview(VeltCamHandle handle, HWND window,
                                                     BYTE* buffer, int size, int flip);

/* Starts continuous capture without creating a window (a window created
   earlier is drawn into). Result: 1, also when the preview already runs.
   Errors: ERR_NOT_READY (capture prepared or trigger mode), ERR_NO_DEVICE,
   ERR_IMAGE_SIZE, ERR_MEMORY, ERR_DEVICE_IO (transfer did not start),
   ERR_THREAD; later ERR_TRANSFER and ERR_TIMEOUT from the display thread. */
VELTCAM_API int VELTCAM_CALL VeltCam_StartPreview(VeltCamHandle handle);

/* Stops any capture mode and a recording (which is finalised) and returns to
   idle. Blocks until the SDK's display and record threads have ended.
   Errors: ERR_NOT_READY. */
VELTCAM_API int VELTCAM_CALL VeltCam_StopPreview(VeltCamHandle handle);

/* Prepares single-frame capture: the transfer then keeps running between
   VeltCam_SnapShot calls. Result: 1, also when already prepared.
   Errors: ERR_NOT_READY (preview or trigger mode running), ERR_NO_DEVICE,
   ERR_IMAGE_SIZE, ERR_MEMORY. */
VELTCAM_API int VELTCAM_CALL VeltCam_Capture(VeltCamHandle handle);

/* Takes one frame, converts it and copies it into buffer (NULL or size 0:
   keep it for VeltCam_GetImage / VeltCam_SaveImage only). From idle it runs
   the capture set-up each time. Blocks until the frame arrives or the frame
   time-out passes (3 s; 6 s once trigger mode was used).
   Errors: ERR_NOT_READY (preview or trigger mode running), ERR_TRANSFER,
   ERR_MEMORY (buffer too small) and the capture set-up's. */
VELTCAM_API int VELTCAM_CALL VeltCam_SnapShot(VeltCamHandle handle, BYTE* buffer, int size,
                                              int flip);

/* Copies the last converted image, whatever mode produced it, into buffer.
   Errors: ERR_NOT_READY (no image buffer for the colour mode), ERR_MEMORY
   (no image, NULL buffer or buffer too small). */
VELTCAM_API int VELTCAM_CALL VeltCam_GetImage(VeltCamHandle handle, BYTE* buffer, int size,
                                              int flip);

/* Starts hardware-trigger mode: each trigger delivers one frame, copied into
   buffer and announced to window as for VeltCam_CallBackPreview (frameRate 0
   in VeltCamFrameInfo). Thread: the calling thread owns the preview window.
   Errors: ERR_NOT_READY (preview running or capture prepared), ERR_WINDOW,
   ERR_THREAD and the capture set-up's; per frame ERR_MEMORY. */
VELTCAM_API int VELTCAM_CALL VeltCam_Trigger(VeltCamHandle handle, HWND window, BYTE* buffer,
                                             int size, int flip);

/* Starts the continuous preview and records the frames, converted to 24 bits,
   into an uncompressed AVI file; the recording ends durationMs after its first
   frame or at VeltCam_StopPreview. display nonzero shows the preview window
   (Thread: the calling thread then owns it).
   Errors: ERR_PARAMETER (NULL or empty file name), ERR_NOT_READY (already
   recording), ERR_WINDOW, ERR_FAILED (preview did not start or the file could
   not be created), ERR_THREAD and those of VeltCam_StartPreview. */
VELTCAM_API int VELTCAM_CALL VeltCam_Record(VeltCamHandle handle, const char* fileName,
                                            int durationMs, int display);

/* VeltCam_Record with a wide file name.
   Errors: those of VeltCam_Record, ERR_FAILED. */
VELTCAM_API int VELTCAM_CALL VeltCam_RecordW(VeltCamHandle handle, const wchar_t* fileName,
                                             int durationMs, int display);

/* Places the next preview window: a child of parent at (x, y) with the given
   size, or, with a NULL parent, a centred top-level window of the image size.
   A NULL parent with all four values 0 means no window at all (headless).
   On Linux (parent from VeltCamLinux_PreviewParent) an existing child window
   also moves to the new placement at once.
   Errors: ERR_NOT_READY. */
VELTCAM_API int VELTCAM_CALL VeltCam_SetPreviewWindow(VeltCamHandle handle, HWND parent, int x,
                                                      int y, int width, int height);

/* Destroys the preview window and stops any capture mode (as
   VeltCam_StopPreview). Result: 1. Thread: on Windows, the thread that
   started the preview. */
VELTCAM_API int VELTCAM_CALL VeltCam_Close(VeltCamHandle handle);

/* ------------------------------------------------------------------------ */
/* Camera settings with their own exports */
/* ------------------------------------------------------------------------ */

/* Exposure as a real number of milliseconds, for cameras that support it.
   Not on this camera: result 0. Errors: ERR_NOT_SUPPORTED, ERR_NOT_READY. */
VELTCAM_API int VELTCAM_CALL VeltCam_SetExposureTimeEx(VeltCamHandle handle, double milliseconds);

/* Result: the exposure in ms; -1.0 with ok = 0 when unsupported (always on
   this camera) or without a camera core; 0.0 for an unknown handle.
   Errors: ERR_NOT_SUPPORTED, ERR_NOT_READY. */
VELTCAM_API double VELTCAM_CALL VeltCam_GetExposureTimeEx(VeltCamHandle handle, int* ok);

/* Sets the exposure in microseconds (truncated to 0.1 ms units, which must be
   1..20000). Result: 1 once the value is accepted.
   Errors: ERR_PARAMETER, ERR_NOT_READY. */
VELTCAM_API int VELTCAM_CALL VeltCam_SetRealExposureTime(VeltCamHandle handle, int microseconds);

/* Result: the last requested exposure in microseconds (units x 100).
   Errors: ERR_NOT_READY. */
VELTCAM_API int VELTCAM_CALL VeltCam_GetRealExposureTime(VeltCamHandle handle, int* ok);

/* Turns horizontal / vertical mirroring on (nonzero) or off. Result: 1 once
   stored. Errors: ERR_NOT_READY (recorded by SetMirrorH, only posted by
   SetMirrorV). */
VELTCAM_API int VELTCAM_CALL VeltCam_SetMirrorH(VeltCamHandle handle, int on);
VELTCAM_API int VELTCAM_CALL VeltCam_SetMirrorV(VeltCamHandle handle, int on);

/* Result: 1 when mirroring is on, else 0. Errors: ERR_NOT_READY (recorded by
   GetMirrorH, only posted by GetMirrorV). */
VELTCAM_API int VELTCAM_CALL VeltCam_GetMirrorH(VeltCamHandle handle);
VELTCAM_API int VELTCAM_CALL VeltCam_GetMirrorV(VeltCamHandle handle);

/* Sets the automatic exposure loop (VELTCAM_AUTO_IRIS_*), run on every frame.
   A mode outside 0..2 posts ERR_PARAMETER and returns 0. */
VELTCAM_API int VELTCAM_CALL VeltCam_SetAutoIris(VeltCamHandle handle, int mode);

/* Result: the auto-iris mode (ok always 1). */
VELTCAM_API int VELTCAM_CALL VeltCam_GetAutoIris(VeltCamHandle handle, int* ok);

/* Writes the low byte of value to the camera's digital I/O port.
   Result: 1 when the write succeeded (no error code otherwise). Without a
   camera core posts ERR_NOT_READY. */
VELTCAM_API int VELTCAM_CALL VeltCam_SetIOPort(VeltCamHandle handle, int value);

/* Reads the camera's digital I/O port into *value.
   Posts ERR_NOT_READY (no camera core) or ERR_PARAMETER (NULL value or failed
   read). */
VELTCAM_API int VELTCAM_CALL VeltCam_GetIOPort(VeltCamHandle handle, BYTE* value);

/* Result: the sensor temperature in degrees; a successful read records
   ERR_NONE. This camera has no temperature sensor: 0.0 with ok = 0.
   Errors: ERR_NOT_SUPPORTED, ERR_FAILED (read failed), ERR_NOT_READY. */
VELTCAM_API double VELTCAM_CALL VeltCam_GetTemperatureEx(VeltCamHandle handle, int* ok);

/* Sets the frame rate in frames per second (> 0) by stretching the frame;
   it lasts until the next capture-window change.
   Result: 1 on success; no error code on failure. */
VELTCAM_API int VELTCAM_CALL VeltCam_SetSamplingRate(VeltCamHandle handle, int framesPerSecond);

/* Stores 0 in *value. Result: 0. One function under both names. */
VELTCAM_API int VELTCAM_CALL VeltCam_GetSamplingRate(VeltCamHandle handle, int* value);
VELTCAM_API int VELTCAM_CALL VeltCam_GetVideoFormat(VeltCamHandle handle, int* value);

/* Sensor-internal correction of other models.
   Result: pointer-width value of the camera; 0 and posts ERR_NOT_SUPPORTED on
   this camera. */
VELTCAM_API intptr_t VELTCAM_CALL VeltCam_SetInternalCorrection(VeltCamHandle handle, int value);
VELTCAM_API intptr_t VELTCAM_CALL VeltCam_GetInternalCorrection(VeltCamHandle handle, int* ok);

/* Clock and crossbar controls of other models. One function under all four
   names. Result: 0; posts ERR_NOT_SUPPORTED. */
VELTCAM_API int VELTCAM_CALL VeltCam_Fps(VeltCamHandle handle);
VELTCAM_API int VELTCAM_CALL VeltCam_GetHalfClock(VeltCamHandle handle);
VELTCAM_API int VELTCAM_CALL VeltCam_SetHalfClock(VeltCamHandle handle);
VELTCAM_API int VELTCAM_CALL VeltCam_SetCrossbar(VeltCamHandle handle);

/* Filter configuration of other models.
   Result: -1 (0 for an unknown handle). Errors: ERR_NOT_SUPPORTED. */
VELTCAM_API int VELTCAM_CALL VeltCam_GetConfigFilter(VeltCamHandle handle);
VELTCAM_API int VELTCAM_CALL VeltCam_SetConfigFilter(VeltCamHandle handle);

/* ------------------------------------------------------------------------ */
/* Setting-ID interface and its named wrappers */
/* */
/* Every named getter is VeltCam_GetFilterValue with its ID fixed, every */
/* named setter VeltCam_SetFilterValue: same checks, codes and results. */
/* Image-side settings (VeltCamSettingId comments) apply from the next */
/* frame; camera-side ones (gains, exposure) reach the camera at once. */
/* ------------------------------------------------------------------------ */

/* Result: the value of setting id; ok = 0 and result 0 on failure.
   Errors: ERR_NOT_READY, ERR_PARAMETER (unknown ID), ERR_NOT_SUPPORTED
   (100, 101, 105, 106 on this camera). */
VELTCAM_API int VELTCAM_CALL VeltCam_GetFilterValue(VeltCamHandle handle, int id, int* ok);

/* Sets setting id to value after checking its range.
   Errors: ERR_NOT_READY, ERR_PARAMETER (unknown ID - 29..36 and 101
   included - or value out of range), ERR_NOT_SUPPORTED (100, 105, 106 on this
   camera). */
VELTCAM_API int VELTCAM_CALL VeltCam_SetFilterValue(VeltCamHandle handle, int id, int value);

/* VELTCAM_ID_BRIGHTNESS .. VELTCAM_ID_SHARPNESS */
VELTCAM_API int VELTCAM_CALL VeltCam_GetBrightness(VeltCamHandle handle, int* ok);
VELTCAM_API int VELTCAM_CALL VeltCam_SetBrightness(VeltCamHandle handle, int value);
VELTCAM_API int VELTCAM_CALL VeltCam_GetContrast(VeltCamHandle handle, int* ok);
VELTCAM_API int VELTCAM_CALL VeltCam_SetContrast(VeltCamHandle handle, int value);
VELTCAM_API int VELTCAM_CALL VeltCam_GetHue(VeltCamHandle handle, int* ok);
VELTCAM_API int VELTCAM_CALL VeltCam_SetHue(VeltCamHandle handle, int value);
VELTCAM_API int VELTCAM_CALL VeltCam_GetSaturation(VeltCamHandle handle, int* ok);
VELTCAM_API int VELTCAM_CALL VeltCam_SetSaturation(VeltCamHandle handle, int value);
VELTCAM_API int VELTCAM_CALL VeltCam_GetSharpness(VeltCamHandle handle, int* ok);
VELTCAM_API int VELTCAM_CALL VeltCam_SetSharpness(VeltCamHandle handle, int value);

/* VELTCAM_ID_BAYER_GAIN_RGB: the three demosaic gains packed as
   red | green << 8 | blue << 16 (setting stores each byte, unchecked). */
VELTCAM_API int VELTCAM_CALL VeltCam_GetBayerGainRGB(VeltCamHandle handle, int* ok);
VELTCAM_API int VELTCAM_CALL VeltCam_SetBayerGainRGB(VeltCamHandle handle, int value);

/* VELTCAM_ID_BAYER_GAIN_RED .. VELTCAM_ID_BAYER_GAIN_AUTO (automatic white
   balance on every colour frame, which rewrites the red and blue gains). */
VELTCAM_API int VELTCAM_CALL VeltCam_GetBayerGainRed(VeltCamHandle handle, int* ok);
VELTCAM_API int VELTCAM_CALL VeltCam_SetBayerGainRed(VeltCamHandle handle, int value);
VELTCAM_API int VELTCAM_CALL VeltCam_GetBayerGainGreen(VeltCamHandle handle, int* ok);
VELTCAM_API int VELTCAM_CALL VeltCam_SetBayerGainGreen(VeltCamHandle handle, int value);
VELTCAM_API int VELTCAM_CALL VeltCam_GetBayerGainBlue(VeltCamHandle handle, int* ok);
VELTCAM_API int VELTCAM_CALL VeltCam_SetBayerGainBlue(VeltCamHandle handle, int value);
VELTCAM_API int VELTCAM_CALL VeltCam_GetBayerGainAuto(VeltCamHandle handle, int* ok);
VELTCAM_API int VELTCAM_CALL VeltCam_SetBayerGainAuto(VeltCamHandle handle, int value);

/* VELTCAM_ID_GAMMA, VELTCAM_ID_BAYER_MODE */
VELTCAM_API int VELTCAM_CALL VeltCam_GetGamma(VeltCamHandle handle, int* ok);
VELTCAM_API int VELTCAM_CALL VeltCam_SetGamma(VeltCamHandle handle, int value);
VELTCAM_API int VELTCAM_CALL VeltCam_GetBayerMode(VeltCamHandle handle, int* ok);
VELTCAM_API int VELTCAM_CALL VeltCam_SetBayerMode(VeltCamHandle handle, int value);

/* VELTCAM_ID_GLOBAL_GAIN (setting it also sets the four colour gains to the
   same value) and VELTCAM_ID_COLOR_GAIN_*: sensor gains. The setters return 1
   once the value is accepted, whatever the camera answers. */
VELTCAM_API int VELTCAM_CALL VeltCam_GetGlobalGain(VeltCamHandle handle, int* ok);
VELTCAM_API int VELTCAM_CALL VeltCam_SetGlobalGain(VeltCamHandle handle, int value);
VELTCAM_API int VELTCAM_CALL VeltCam_GetColorGainRed(VeltCamHandle handle, int* ok);
VELTCAM_API int VELTCAM_CALL VeltCam_SetColorGainRed(VeltCamHandle handle, int value);
VELTCAM_API int VELTCAM_CALL VeltCam_GetColorGainGreen1(VeltCamHandle handle, int* ok);
VELTCAM_API int VELTCAM_CALL VeltCam_SetColorGainGreen1(VeltCamHandle handle, int value);
VELTCAM_API int VELTCAM_CALL VeltCam_GetColorGainGreen2(VeltCamHandle handle, int* ok);
VELTCAM_API int VELTCAM_CALL VeltCam_SetColorGainGreen2(VeltCamHandle handle, int value);
VELTCAM_API int VELTCAM_CALL VeltCam_GetColorGainBlue(VeltCamHandle handle, int* ok);
VELTCAM_API int VELTCAM_CALL VeltCam_SetColorGainBlue(VeltCamHandle handle, int value);

/* VELTCAM_ID_EXPOSURE_TIME, in 0.1 ms units. The getter returns the exposure
   the sensor holds; the setter returns 1 once the value is accepted. */
VELTCAM_API int VELTCAM_CALL VeltCam_GetExposureTime(VeltCamHandle handle, int* ok);
VELTCAM_API int VELTCAM_CALL VeltCam_SetExposureTime(VeltCamHandle handle, int value);

/* VELTCAM_ID_GRAY_MODE and the gray-mode channel gains and offsets
   (VELTCAM_ID_GRAY_GAIN_*, VELTCAM_ID_GRAY_OFFSET_*). */
VELTCAM_API int VELTCAM_CALL VeltCam_GetGrayMode(VeltCamHandle handle, int* ok);
VELTCAM_API int VELTCAM_CALL VeltCam_SetGrayMode(VeltCamHandle handle, int value);
VELTCAM_API int VELTCAM_CALL VeltCam_GetGrayGainR(VeltCamHandle handle, int* ok);
VELTCAM_API int VELTCAM_CALL VeltCam_GetGrayGainG1(VeltCamHandle handle, int* ok);
VELTCAM_API int VELTCAM_CALL VeltCam_GetGrayGainG2(VeltCamHandle handle, int* ok);
VELTCAM_API int VELTCAM_CALL VeltCam_GetGrayGainB(VeltCamHandle handle, int* ok);
VELTCAM_API int VELTCAM_CALL VeltCam_SetGrayGainR(VeltCamHandle handle, int value);
VELTCAM_API int VELTCAM_CALL VeltCam_SetGrayGainG1(VeltCamHandle handle, int value);
VELTCAM_API int VELTCAM_CALL VeltCam_SetGrayGainG2(VeltCamHandle handle, int value);
VELTCAM_API int VELTCAM_CALL VeltCam_SetGrayGainB(VeltCamHandle handle, int value);
VELTCAM_API int VELTCAM_CALL VeltCam_GetGrayOffsetR(VeltCamHandle handle, int* ok);
VELTCAM_API int VELTCAM_CALL VeltCam_GetGrayOffsetG1(VeltCamHandle handle, int* ok);
VELTCAM_API int VELTCAM_CALL VeltCam_GetGrayOffsetG2(VeltCamHandle handle, int* ok);
VELTCAM_API int VELTCAM_CALL VeltCam_GetGrayOffsetB(VeltCamHandle handle, int* ok);
VELTCAM_API int VELTCAM_CALL VeltCam_SetGrayOffsetR(VeltCamHandle handle, int value);
VELTCAM_API int VELTCAM_CALL VeltCam_SetGrayOffsetG1(VeltCamHandle handle, int value);
VELTCAM_API int VELTCAM_CALL VeltCam_SetGrayOffsetG2(VeltCamHandle handle, int value);
VELTCAM_API int VELTCAM_CALL VeltCam_SetGrayOffsetB(VeltCamHandle handle, int value);

/* Analog front-end channels (channel 1..4 -> VELTCAM_ID_CHANNEL_GAIN1..4 and
   VELTCAM_ID_CHANNEL_OFFSET1..4). This camera has none: channels 1..4 raise
   ERR_PARAMETER; any other channel returns 0 without an error code. The
   getters set ok to 0 either way. */
VELTCAM_API int VELTCAM_CALL VeltCam_GetChannelGain(VeltCamHandle handle, int channel, int* ok);
VELTCAM_API int VELTCAM_CALL VeltCam_SetChannelGain(VeltCamHandle handle, int channel, int value);
VELTCAM_API int VELTCAM_CALL VeltCam_GetChannelOffset(VeltCamHandle handle, int channel, int* ok);
VELTCAM_API int VELTCAM_CALL VeltCam_SetChannelOffset(VeltCamHandle handle, int channel, int value);

/* VELTCAM_ID_PELTIER: sensor cooling. Not on this camera: ERR_NOT_SUPPORTED,
   the getter returns -1. */
VELTCAM_API int VELTCAM_CALL VeltCam_GetPeltier(VeltCamHandle handle, int* ok);
VELTCAM_API int VELTCAM_CALL VeltCam_SetPeltier(VeltCamHandle handle, int value);

/* VELTCAM_ID_TEMPERATURE (no setter). Not on this camera: result -1, ok = 0,
   ERR_NOT_SUPPORTED. */
VELTCAM_API int VELTCAM_CALL VeltCam_GetTemperature(VeltCamHandle handle, int* ok);

/* VELTCAM_ID_DOT_FILTER (defect-pixel correction) and VELTCAM_ID_MASK_FILTER
   (flat-field correction from the mask references), 0 or 1. */
VELTCAM_API int VELTCAM_CALL VeltCam_GetDotFilter(VeltCamHandle handle, int* ok);
VELTCAM_API int VELTCAM_CALL VeltCam_SetDotFilter(VeltCamHandle handle, int value);
VELTCAM_API int VELTCAM_CALL VeltCam_GetMaskFilter(VeltCamHandle handle, int* ok);
VELTCAM_API int VELTCAM_CALL VeltCam_SetMaskFilter(VeltCamHandle handle, int value);

/* ------------------------------------------------------------------------ */
/* Register access */
/* */
/* Errors of all six: ERR_DEVICE_IO (the access failed), ERR_NOT_READY. */
/* ------------------------------------------------------------------------ */

/* Reads FPGA register address (low 8 bits).
   Result: the register value; on failure 0 with ok = 0. On success ok is
   left untouched, so preset it to 1. */
VELTCAM_API int VELTCAM_CALL VeltCam_Fpga_ReadRegister(VeltCamHandle handle, int address, int* ok);

/* Writes FPGA register address (low 8 bits); the FPGA's registers are 8 bits
   wide, so the low byte of value is written. */
VELTCAM_API int VELTCAM_CALL VeltCam_Fpga_WriteRegister(VeltCamHandle handle, int address,
                                                        int value);

/* Reads sensor register address (low 8 bits / all 32 bits for the Ex form).
   Result: the register value with ok = 1; on failure 0 with ok = 0. */
VELTCAM_API intptr_t VELTCAM_CALL VeltCam_ReadRegister(VeltCamHandle handle, int address, int* ok);
VELTCAM_API intptr_t VELTCAM_CALL VeltCam_ReadRegisterEx(VeltCamHandle handle, int address,
                                                         int* ok);

/* Writes sensor register address (low 8 bits, value low 16 bits / all 32 bits
   of both for the Ex form). */
VELTCAM_API int VELTCAM_CALL VeltCam_WriteRegister(VeltCamHandle handle, int address, int value);
VELTCAM_API int VELTCAM_CALL VeltCam_WriteRegisterEx(VeltCamHandle handle, int address, int value);

/* ------------------------------------------------------------------------ */
/* Files, mask, dialogs */
/* ------------------------------------------------------------------------ */

/* Loads the dark and white reference frames of the flat-field and defect
   corrections from a mask file, replacing the current ones only when the file
   is valid. Errors: ERR_MASK_FILE (missing file or wrong header),
   ERR_NOT_READY; the W form also ERR_FAILED. */
VELTCAM_API int VELTCAM_CALL VeltCam_LoadMaskFile(VeltCamHandle handle, const char* fileName);
VELTCAM_API int VELTCAM_CALL VeltCam_LoadMaskFileW(VeltCamHandle handle, const wchar_t* fileName);

/* Saves the reference frames to a mask file (created or truncated).
   Errors: ERR_MASK_FILE (cannot create or write), ERR_NOT_READY; the W form
   also ERR_FAILED. */
VELTCAM_API int VELTCAM_CALL VeltCam_SaveMaskFile(VeltCamHandle handle, const char* fileName);
VELTCAM_API int VELTCAM_CALL VeltCam_SaveMaskFileW(VeltCamHandle handle, const wchar_t* fileName);

/* Takes the current raw frame as dark (VELTCAM_MASK_DARK) or white
   (VELTCAM_MASK_WHITE) reference. Only a full-sensor frame is taken; with any
   other window nothing changes and the call still returns 1.
   Errors: ERR_FAILED (other selector on a full frame), ERR_NOT_READY. */
VELTCAM_API int VELTCAM_CALL VeltCam_UpdateMaskData(VeltCamHandle handle, int which);

/* Writes the last converted image in format (VeltCamImageFormat). A writer
   failure returns 0 without an error code.
   Errors: ERR_NOT_READY (no frame converted yet); the W form also
   ERR_FAILED. */
VELTCAM_API int VELTCAM_CALL VeltCam_SaveImage(VeltCamHandle handle, const char* fileName,
                                               int format);
VELTCAM_API int VELTCAM_CALL VeltCam_SaveImageW(VeltCamHandle handle, const wchar_t* fileName,
                                                int format);

/* Loads a configuration file of 8-byte records (two little-endian int32 each)
   into the SDK object, replacing the previous list. A file that cannot be
   read returns 0 without an error code; the W form raises ERR_FAILED for a
   path that does not convert. */
VELTCAM_API int VELTCAM_CALL VeltCam_LoadConfigFileA(VeltCamHandle handle, const char* fileName);
VELTCAM_API int VELTCAM_CALL VeltCam_LoadConfigFileW(VeltCamHandle handle, const wchar_t* fileName);

/* Setting dialogs, owned by parent: capture format (colour mode, frame size,
   sub-sampling, wait time), analog (gains, exposure, mirroring, auto iris) and
   image (filters, white balance, gray mode). Thread: modal on the calling
   thread, returning when the dialog closes; the capture format dialog pauses
   capture while it is open, the others edit the running picture live.
   OK keeps the changes (the format dialog stores them for the camera and
   reloads them); Cancel leaves the stored format alone and puts gains,
   exposure, mirroring and image settings back as they were. Texts are
   Japanese when the system's default UI language is Japanese (1041),
   English otherwise. Result: 1. Errors: ERR_NOT_READY. On Linux there are no dialogs yet: the
   three return 0 with ERR_NOT_SUPPORTED. */
VELTCAM_API int VELTCAM_CALL VeltCam_SetCameraDlg(VeltCamHandle handle, HWND parent);
VELTCAM_API int VELTCAM_CALL VeltCam_SetAnalogDlg(VeltCamHandle handle, HWND parent);
VELTCAM_API int VELTCAM_CALL VeltCam_SetImageDlg(VeltCamHandle handle, HWND parent);

#ifdef __cplusplus
}
#endif

#endif /* VELTCAM_SDK_H */
