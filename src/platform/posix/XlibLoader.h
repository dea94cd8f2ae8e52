// Xlib and its shared-memory extension, loaded when the first preview window is
// wanted rather than linked: the library then loads and runs headless on machines
// without any X11 libraries, where a preview window fails like one on a machine
// without a display.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>

namespace veltcam::platform {

struct XlibFunctions {
    decltype(&::XInitThreads) InitThreads;
    decltype(&::XSetErrorHandler) SetErrorHandler;
    decltype(&::XOpenDisplay) OpenDisplay;
    decltype(&::XCloseDisplay) CloseDisplay;
    decltype(&::XSync) Sync;
    decltype(&::XFlush) Flush;
    decltype(&::XPending) Pending;
    decltype(&::XNextEvent) NextEvent;
    decltype(&::XGetWindowAttributes) GetWindowAttributes;
    decltype(&::XScreenNumberOfScreen) ScreenNumberOfScreen;
    decltype(&::XMatchVisualInfo) MatchVisualInfo;
    decltype(&::XCreateColormap) CreateColormap;
    decltype(&::XFreeColormap) FreeColormap;
    decltype(&::XCreateWindow) CreateWindow;
    decltype(&::XDestroyWindow) DestroyWindow;
    decltype(&::XMapWindow) MapWindow;
    decltype(&::XReparentWindow) ReparentWindow;
    decltype(&::XMoveResizeWindow) MoveResizeWindow;
    decltype(&::XStoreName) StoreName;
    decltype(&::XInternAtom) InternAtom;
    decltype(&::XSetWMProtocols) SetWMProtocols;
    decltype(&::XSetWMNormalHints) SetWMNormalHints;
    decltype(&::XCreateGC) CreateGC;
    decltype(&::XFreeGC) FreeGC;
    decltype(&::XCreateImage) CreateImage;
    decltype(&::XPutImage) PutImage;
    decltype(&::XShmQueryVersion) ShmQueryVersion;
    decltype(&::XShmGetEventBase) ShmGetEventBase;
    decltype(&::XShmCreateImage) ShmCreateImage;
    decltype(&::XShmAttach) ShmAttach;
    decltype(&::XShmDetach) ShmDetach;
    decltype(&::XShmPutImage) ShmPutImage;
};

// The functions, or null when libX11 or libXext (or one of the functions) is
// missing. Loaded once; the libraries stay loaded for the life of the process.
const XlibFunctions* Xlib();

}  // namespace veltcam::platform
