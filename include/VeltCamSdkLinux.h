/*
 * VeltCam SDK - Linux message windows and the X11 preview window's parent.
 *
 * On Windows the SDK posts its error (0x8003) and frame (0x8002) messages to the
 * application's HWND. Linux has no such windows, so the SDK offers its own: a
 * message window is a bounded, thread-safe queue. Pass it wherever the API takes
 * an HWND and read the messages with VeltCamLinux_GetMessage.
 *
 * A NULL window means the calling thread's own queue (created on first use,
 * destroyed when the thread ends), the same as posting to a null HWND on Windows.
 */
#ifndef VELTCAM_SDK_LINUX_H
#define VELTCAM_SDK_LINUX_H

#include <stdint.h>

#include "VeltCamSdk.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct VeltCamMessage {
    HWND window;          /* the window the message was posted to (NULL: thread queue) */
    unsigned int message; /* e.g. 0x8002 frame, 0x8003 error */
    uintptr_t wParam;
    intptr_t lParam;
} VeltCamMessage;

/* Creates a message window holding at most `capacity` unread messages (<= 0: 10000,
 * the limit of a Windows message queue). Returns NULL when out of memory. */
HWND VeltCamLinux_CreateMessageWindow(int capacity);

/* Destroys a window; unread messages are dropped and later posts to it fail.
 * Returns 1, or 0 for an unknown window. */
int VeltCamLinux_DestroyMessageWindow(HWND window);

/* Waits up to `timeoutMs` (< 0: forever) for the oldest message of `window`
 * (NULL: the calling thread's queue) and removes it into `message`.
 * Returns 1 with a message, 0 on time-out, -1 for an unknown window or a null `message`. */
int VeltCamLinux_GetMessage(HWND window, VeltCamMessage* message, int timeoutMs);

/* Posts a message; never blocks. Returns 1, or 0 when the window is unknown or full. */
int VeltCamLinux_PostMessage(HWND window, unsigned int message, uintptr_t wParam,
                             intptr_t lParam);

/* ---- Preview window ----
 *
 * On Linux the preview window is an X11 window on the SDK's own connection to the
 * display named by DISPLAY (on Wayland desktops, XWayland's). VeltCam_Preview and
 * the other modes that show the image create it as on Windows: a child of the
 * parent given to VeltCam_SetPreviewWindow at x, y, width, height, or with a NULL
 * parent a top-level window of the image's size; the placement
 * (NULL, 0, 0, 0, 0) shows no window. With no display reachable the mode reports
 * code 4. While a child window exists, VeltCam_SetPreviewWindow with a parent moves
 * and resizes it at once.
 *
 * Returns the parent handle for VeltCam_SetPreviewWindow that stands for the X11
 * window `x11Window` of the application, or NULL when no such window exists on
 * the display. The id comes from the toolkit, for example:
 *   Qt:    (unsigned long)widget->winId()
 *   GTK 3: gdk_x11_window_get_xid(gtk_widget_get_window(widget)), once realised
 *   GTK 4: gdk_x11_surface_get_xid(gtk_native_get_surface(gtk_widget_get_native(widget)))
 *   Xlib:  the Window itself
 * The application's toolkit must use X11 (under Wayland: QT_QPA_PLATFORM=xcb,
 * GDK_BACKEND=x11), since Wayland surfaces have no ids other clients can embed into.
 * Message windows (VeltCamLinux_CreateMessageWindow) are never preview parents. */
HWND VeltCamLinux_PreviewParent(unsigned long x11Window);

#ifdef __cplusplus
}
#endif

#endif /* VELTCAM_SDK_LINUX_H */
