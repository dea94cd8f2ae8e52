// The preview window the SDK draws the live image into.
//
// On Windows this is a plain window (a child of the application's window or a
// centred top-level one) into which the display thread draws through the window's
// device context. Linux has no preview window yet: creation fails, so the modes
// that want one report that the window could not be made, and the headless
// placement runs them without one.
#pragma once

#include <string>

#include "platform/Messages.h"

namespace veltcam::platform {

struct PreviewWindowRequest {
    WindowHandle parent = nullptr;  // null: a top-level window
    int x = 0;                      // child placement
    int y = 0;
    int width = 0;
    int height = 0;
    int imageWidth = 0;  // top-level window: client area
    int imageHeight = 0;
    uintptr_t owner = 0;  // makes the class name unique per SDK object
};

// Registers a window class of its own (name in `className`) and creates the window
// shown and updated. Null on any failure; `className` then names whatever class is
// still registered (empty when none).
WindowHandle CreatePreviewWindow(const PreviewWindowRequest& request, std::string& className);
void* GetWindowDc(WindowHandle window);
void ReleaseWindowDc(WindowHandle window, void* dc);
void DestroyPreviewWindow(WindowHandle window);
void UnregisterPreviewClass(const std::string& className);
// Client size of a visible window; false when the window is hidden or gone.
bool GetPreviewClientSize(WindowHandle window, int& width, int& height);
// Copies a w × h image to (0, 0) of `destinationDc` with its rows turned over, so
// that the image's first memory row appears at the top.
bool StretchMirror(void* destinationDc, int w, int h, void* sourceDc);

}  // namespace veltcam::platform
