// Format conversions, re-pitching and mirroring of whole images.
//
// The conversion kernels serve the still writers, the movie recorder and the
// preview as well as the pipeline; all run through ApplyPixelOp with the whole
// source image. A "flipped" kernel writes the source rows in reverse memory order
// (output row r from source row bottom - 1 - r), which turns the top-down memory
// order into the bottom-up order that BMP rows, movie frames and GDI expect.
#pragma once

#include "imaging/PixelOp.h"

namespace veltcam::conversions {

// 16-bit monochrome to 8-bit.
int Mono10To8Flipped(const PixelOpArgs& a);  // value >> 2, low 8 bits
int Mono12To8Flipped(const PixelOpArgs& a);  // value >> 4, low 8 bits
int MonoHighByteFlipped(const PixelOpArgs& a);
int MonoHighByte(const PixelOpArgs& a);
// 16-bit monochrome to 16-bit, scaled up to full scale.
int Mono12To16(const PixelOpArgs& a);  // value << 4
int Mono10To16(const PixelOpArgs& a);  // value << 6
// 48- or 64-bit colour to 24-bit: the high byte of B, G and R.
int Color48HighBytesFlipped(const PixelOpArgs& a);
int Color48HighBytes(const PixelOpArgs& a);
// 48-bit to 48-bit, scaled; "Swapped" exchanges B and R (TIFF wants R first).
int Color48Scale12(const PixelOpArgs& a);
int Color48Scale10(const PixelOpArgs& a);
int Color48Scale12Swapped(const PixelOpArgs& a);
int Color48Scale10Swapped(const PixelOpArgs& a);
// 64-bit to 64-bit, scaled, fourth sample 65535 (opaque alpha).
int Color64Scale12(const PixelOpArgs& a);
int Color64Scale10(const PixelOpArgs& a);
int Color64Scale12Swapped(const PixelOpArgs& a);
int Color64Scale10Swapped(const PixelOpArgs& a);
// 24- or 32-bit to 24-bit.
int Color24CopyFlipped(const PixelOpArgs& a);
int Color32To24(const PixelOpArgs& a);
// Same format, min(destination pitch, source pitch) bytes of every row.
int RowCopyFlipped(const PixelOpArgs& a);
// 24/32-bit B, G, R to R, G, B; a fourth byte is not written.
int SwapRedBlue(const PixelOpArgs& a);
// 32-bit copy whose fourth byte is the inverse of the source's (0 becomes opaque).
int Color32WithAlpha(const PixelOpArgs& a);
// 24-bit colour to 8-bit gray: (30 R + 59 G + 11 B) / 100.
int ColorToGray(const PixelOpArgs& a);

// Nearest-sample scaling of a whole image to the preview window's size, rows
// flipped. The kernel works from the sizes in its parameter record, not from the
// clipped rectangle, so it can enlarge as well as reduce.
struct PreviewScaleParams {
    int srcWidth = 0;
    int srcHeight = 0;
    int dstWidth = 0;
    int dstHeight = 0;
};
int PreviewScale8(const PixelOpArgs& a);
int PreviewScale24(const PixelOpArgs& a);
// Fills the parameters from the two images and runs the 8- or 24-bit kernel.
int PreviewScale(DibImage& dst, const DibImage& src);

// In-place kernels that move tightly packed rows to their padded positions.
int Repitch8(const PixelOpArgs& a);
int Repitch16(const PixelOpArgs& a);

// Mirroring kernels (whole samples of 1 or 2 bytes).
int MirrorRows(const PixelOpArgs& a);  // row r, read right to left
int Turn180(const PixelOpArgs& a);     // row height-1-r, read right to left
int FlipRows(const PixelOpArgs& a);    // row height-1-r
int CopyRows(const PixelOpArgs& a);    // row r

}  // namespace veltcam::conversions

namespace veltcam {

// Spreads a raw image read out with tightly packed rows to the image's padded row
// pitch, in place. Does nothing when the rows are already at their pitch.
void Repitch(DibImage& raw);

// Mirrors a raw image in software for each direction that is asked for and that
// the sensor does not already do itself.
void MirrorRaw(DibImage& raw, bool horizontal, bool vertical);

}  // namespace veltcam
