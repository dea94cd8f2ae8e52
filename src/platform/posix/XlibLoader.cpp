#include "platform/posix/XlibLoader.h"

#include <dlfcn.h>

namespace veltcam::platform {
namespace {

template <typename F>
bool Bind(void* library, const char* name, F& out) {
    out = reinterpret_cast<F>(dlsym(library, name));
    return out != nullptr;
}

const XlibFunctions* Load() {
    void* x11 = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    void* xext = x11 != nullptr ? dlopen("libXext.so.6", RTLD_NOW | RTLD_LOCAL) : nullptr;
    if (xext == nullptr) return nullptr;  // no X11 here: never unloaded, nothing to tidy
    static XlibFunctions f{};
    const bool ok =
        Bind(x11, "XInitThreads", f.InitThreads) &&
        Bind(x11, "XSetErrorHandler", f.SetErrorHandler) &&
        Bind(x11, "XOpenDisplay", f.OpenDisplay) && Bind(x11, "XCloseDisplay", f.CloseDisplay) &&
        Bind(x11, "XSync", f.Sync) && Bind(x11, "XFlush", f.Flush) &&
        Bind(x11, "XPending", f.Pending) && Bind(x11, "XNextEvent", f.NextEvent) &&
        Bind(x11, "XGetWindowAttributes", f.GetWindowAttributes) &&
        Bind(x11, "XScreenNumberOfScreen", f.ScreenNumberOfScreen) &&
        Bind(x11, "XMatchVisualInfo", f.MatchVisualInfo) &&
        Bind(x11, "XCreateColormap", f.CreateColormap) &&
        Bind(x11, "XFreeColormap", f.FreeColormap) && Bind(x11, "XCreateWindow", f.CreateWindow) &&
        Bind(x11, "XDestroyWindow", f.DestroyWindow) && Bind(x11, "XMapWindow", f.MapWindow) &&
        Bind(x11, "XReparentWindow", f.ReparentWindow) &&
        Bind(x11, "XMoveResizeWindow", f.MoveResizeWindow) &&
        Bind(x11, "XStoreName", f.StoreName) && Bind(x11, "XInternAtom", f.InternAtom) &&
        Bind(x11, "XSetWMProtocols", f.SetWMProtocols) &&
        Bind(x11, "XSetWMNormalHints", f.SetWMNormalHints) && Bind(x11, "XCreateGC", f.CreateGC) &&
        Bind(x11, "XFreeGC", f.FreeGC) && Bind(x11, "XCreateImage", f.CreateImage) &&
        Bind(x11, "XPutImage", f.PutImage) && Bind(xext, "XShmQueryVersion", f.ShmQueryVersion) &&
        Bind(xext, "XShmGetEventBase", f.ShmGetEventBase) &&
        Bind(xext, "XShmCreateImage", f.ShmCreateImage) && Bind(xext, "XShmAttach", f.ShmAttach) &&
        Bind(xext, "XShmDetach", f.ShmDetach) && Bind(xext, "XShmPutImage", f.ShmPutImage);
    return ok ? &f : nullptr;
}

}  // namespace

const XlibFunctions* Xlib() {
    static const XlibFunctions* functions = Load();
    return functions;
}

}  // namespace veltcam::platform
