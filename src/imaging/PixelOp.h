// The one way the pipeline runs a pixel kernel over images.
//
// ApplyPixelOp clips a source rectangle against both images and hands the kernel
// raw pixel memory, geometry and a pointer to the stage's parameter record. Every
// stage, conversion and copy of the image pipeline, still writer and recorder goes
// through it, so no kernel ever has to check bounds against an image itself.
#pragma once

#include <cstdint>

#include "foundation/DibImage.h"

namespace veltcam {

// Right and bottom are exclusive.
struct PixelRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
};

struct PixelOpArgs {
    uint8_t* dst = nullptr;        // destination pixel memory (row 0)
    const uint8_t* src = nullptr;  // source pixel memory (row 0); may equal dst
    PixelRect rect;                // clipped source rectangle
    int dstX = 0;                  // where rect's top-left lands in the destination
    int dstY = 0;
    int dstBytesPerPixel = 0;
    int srcBytesPerPixel = 0;
    int dstPitch = 0;
    int srcPitch = 0;
    const void* params = nullptr;  // the stage's parameter record

    uint8_t* DstRow(int y) const {
        return dst + static_cast<size_t>(y) * static_cast<size_t>(dstPitch);
    }
    const uint8_t* SrcRow(int y) const {
        return src + static_cast<size_t>(y) * static_cast<size_t>(srcPitch);
    }
};

// Returns 1 when the kernel ran (kernels return 1), 0 otherwise.
using PixelKernel = int (*)(const PixelOpArgs&);

// Runs `kernel` over `rect` of `src` (the whole source when null), placed at
// (dstX, dstY) in `dst`. Returns 0 without calling the kernel when either image
// is empty, nothing of the rectangle remains after clipping, or there is no kernel.
int ApplyPixelOp(DibImage& dst, PixelKernel kernel, const DibImage& src, const PixelRect* rect,
                 int dstX, int dstY, const void* params);

}  // namespace veltcam
