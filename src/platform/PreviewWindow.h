// The preview window the SDK draws the live image into.
//
// On Windows this is a plain window (a child of the application's window or a
// centred top-level one) into which the display thread draws through the window's
// device context. On Linux it is an X11 window on the SDK's own display
// connection, which stretches each frame itself; with no display reachable,
// creation fails just as a failed window creation does on Windows.
#pragma once

#include <cstdint>
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

// A converted frame as the display thread hands it over: 8-bit grey or 24-bit
// B, G, R, memory row 0 at the top of the picture.
struct PreviewImage {
    const uint8_t* pixels = nullptr;
    int width = 0;
    int height = 0;
    int bits = 0;
    int rowBytes = 0;
};

// Draws `image` stretched over a w × h client area where the window stretches
// frames itself (X11); true there whether or not this frame could be shown (a
// server still busy with the last two skips it). False where drawing goes through
// StretchMirror and the display buffer instead (Windows).
bool DrawPreviewImage(void* windowDc, int w, int h, const PreviewImage& image);

// Applies a new child placement to an existing window (X11: the application has
// no handle of the SDK's child to move it itself). Windows leaves the window
// where it is; the application moves it through its control id.
void PlacePreviewWindow(WindowHandle window, const PreviewWindowRequest& request);

}  // namespace veltcam::platform
