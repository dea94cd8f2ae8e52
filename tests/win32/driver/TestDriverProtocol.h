/* What the test camera driver and the test process that answers for the cameras
 * say to each other over the driver's control device. Plain C: the driver and the
 * C++ test harness both include it.
 *
 * One test process at a time is the host. When a handle to the control device is
 * closed the driver takes the host as gone: every camera is unplugged, their
 * requests fail and nothing stays queued, so the next host starts from nothing.
 *
 * The driver answers nothing itself. Every I/O control request that reaches one of
 * its camera devices is queued and handed, as a message, to the test process, which
 * pulls messages with pending requests on the control device, runs the request
 * against the simulated camera and posts the completion back. */
#ifndef VELTCAM_TEST_DRIVER_PROTOCOL_H
#define VELTCAM_TEST_DRIVER_PROTOCOL_H

#define VCT_CONTROL_DEVICE_NAME L"\\Device\\VeltCamTestHost"
#define VCT_CONTROL_LINK_NAME L"\\DosDevices\\VeltCamTestHost"
#define VCT_CONTROL_PATH "\\\\.\\VeltCamTestHost"
#define VCT_SERVICE_NAME "vctestbus"

/* Requests on the control device (FILE_DEVICE_UNKNOWN, buffered, any access). */
#define VCT_CTL(n) (0x00220000u | ((0x900u + (n)) << 2))
#define VCT_IOCTL_PULL VCT_CTL(0)     /* out: one message; stays pending until there is one */
#define VCT_IOCTL_COMPLETE VCT_CTL(1) /* in: VCT_COMPLETION + data */
#define VCT_IOCTL_PLUG VCT_CTL(2)     /* in: VCT_PLUG; a camera appears on the bus */
#define VCT_IOCTL_UNPLUG VCT_CTL(3)   /* in: camera number (4 bytes); it disappears */
#define VCT_IOCTL_STATS VCT_CTL(4)    /* out: VCT_STATS */

#define VCT_MAX_CAMERAS 8
/* Input that a camera request may carry through a message; larger ones are refused
 * (the camera's requests carry at most the 102-byte control record). */
#define VCT_MAX_INPUT 65536u
#define VCT_PULL_BYTES (VCT_MAX_INPUT + 64u)

enum {
    VCT_MESSAGE_IOCTL = 1, /* a request to answer: post a completion with its id */
    VCT_MESSAGE_CLOSE = 2  /* a handle was closed: forget what it opened */
};

/* Handed out by VCT_IOCTL_PULL, followed by inBytes of request input. */
typedef struct {
    unsigned int kind;
    unsigned int camera;
    unsigned long long handle; /* one per opened file, never reused */
    unsigned long long id;     /* the request's id, for its completion */
    unsigned int code;
    unsigned int inBytes;
    unsigned int outBytes;
    unsigned int overlapped; /* the handle was opened for overlapped I/O */
} VCT_MESSAGE;

/* Posted with VCT_IOCTL_COMPLETE, followed by `information` bytes of output. */
typedef struct {
    unsigned long long id;
    unsigned int status; /* NTSTATUS */
    unsigned int information;
} VCT_COMPLETION;

typedef struct {
    unsigned int camera; /* 0 .. VCT_MAX_CAMERAS - 1 */
    unsigned short vendorId;
    unsigned short productId;
    char serial[32]; /* instance part of the device path */
} VCT_PLUG;

typedef struct {
    unsigned int queued;      /* camera requests waiting for a completion */
    unsigned int cancelled;   /* completed by a cancel */
    unsigned int closedWith;  /* completed because their handle was closed */
    unsigned int unplugged;   /* failed because their camera went */
    unsigned int opened;      /* files opened on cameras */
    unsigned int closed;      /* files closed on cameras */
} VCT_STATS;

#endif
