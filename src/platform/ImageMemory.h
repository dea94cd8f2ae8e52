// Pixel memory that the window system can draw from directly.
//
// On Windows an image's pixels live in a DIB section selected into a memory device
// context, so the preview blits and the pipeline writes the same memory. Linux has
// no such surface yet: creation reports failure and images use heap memory.
#pragma once

#include <cstdint>

#include "foundation/BitmapInfo.h"

namespace veltcam::platform {

struct DibSurface {
    void* section = nullptr;    // HBITMAP of the DIB section
    void* dc = nullptr;         // memory HDC with the section selected
    void* oldBitmap = nullptr;  // what the selection replaced, restored on release
    uint8_t* pixels = nullptr;
};

// Creates a DIB section for `info` (compatible with `referenceDc`, may be null) and a
// memory DC holding it. False when the platform cannot; `out` is then untouched.
bool CreateDibSurface(const BitmapInfo& info, void* referenceDc, DibSurface& out);

// Deselects and deletes what CreateDibSurface made; resets `surface`.
void ReleaseDibSurface(DibSurface& surface);

// Sets `count` colour-table entries starting at `first` on a surface's DC.
void SetSurfaceColorTable(void* dc, int first, int count, const RgbQuad* entries);

// Copies a w × h rectangle from (sx, sy) of `sourceDc` to (x, y) of `destinationDc`.
bool BlitSurface(void* destinationDc, int x, int y, int w, int h, void* sourceDc, int sx, int sy);

}  // namespace veltcam::platform
