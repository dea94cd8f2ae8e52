// Format conversions that only the still writers and the movie recorder need and
// that the pipeline's conversion set (imaging/Conversions.h) does not have.
// They run through ApplyPixelOp like every other kernel.
#pragma once

#include "imaging/PixelOp.h"

namespace veltcam::writer_kernels {

// 64-bit to 64-bit: B, G, R copied, fourth sample 65535 (opaque alpha). The 16
// significant bits counterpart of conversions::Color64Scale12.
int Color64OpaqueAlpha(const PixelOpArgs& a);
// 48-bit to 48-bit with B and R exchanged (TIFF stores R first).
int Color48Swapped(const PixelOpArgs& a);
// 64-bit to 64-bit with B and R exchanged, fourth sample 65535.
int Color64SwappedOpaqueAlpha(const PixelOpArgs& a);
// 8-bit grey to 24-bit (each grey value into B, G and R), rows in reverse order:
// what drawing through the grey palette into a 24-bit image gives, flipped.
int Gray8To24Flipped(const PixelOpArgs& a);

}  // namespace veltcam::writer_kernels
