// Still image files: the current output image written as BMP, raw pixel memory,
// JPEG, PNG or TIFF.
//
// Whatever the format, the top of the saved picture is memory row 0 of the image,
// the first row read out of the sensor. Colour images are B, G, R in memory; 16-bit
// samples are little-endian and left-aligned to 16 bits unless the caller says
// they carry only 10 or 12 significant bits.
#pragma once

#include "foundation/DibImage.h"

namespace veltcam {

// The format argument of the save export.
enum StillImageFormat : int {
    kStillBmp = 0,
    kStillRaw = 1,
    kStillJpegQ100 = 2,
    kStillJpegQ70 = 3,
    kStillJpegQ20 = 4,
    kStillPng = 5,
    kStillTiff = 6,
};

// Writes `image` to `path` in `format`. `significantBits` (10, 12 or 16) says how
// many bits of a 16-bit sample carry data: PNG and TIFF scale such samples up to
// full scale, JPEG takes the top eight of them. Returns 1, or 0 when the format
// or the significant bits are not known, the file cannot be created or written,
// or memory runs out. Temporary images are released on every path.
int SaveImageFile(const char* path, const DibImage& image, int format, int significantBits);

// The writers behind SaveImageFile. Each returns false when the file cannot be
// opened or written completely; none leaves a file handle open.

// BMP file of `image`, whose memory rows must already be bottom-up (last picture
// row first). Grey palette for 8 bits.
bool WriteBmp(const DibImage& image, const char* path);
// The pixel memory as it is: row 0 first, row padding included.
bool WriteRaw(const DibImage& image, const char* path);
// Progressive JPEG at `quality` (1..100) with baseline quantisation tables: grey
// for 8- and 16-bit images, colour for the others. 16-bit samples keep their top
// eight significant bits; a fourth sample is dropped.
bool WriteJpeg(const char* path, const DibImage& image, int quality, int significantBits);
// PNG of `pixels` (memory row 0 at the top, rows padded to 4 bytes) of 8, 16, 24,
// 32, 48 or 64 bits, colour in B, G, R(, A) order, 16-bit samples little-endian.
bool WritePng(const char* path, const uint8_t* pixels, int width, int height, int bits);
// Uncompressed TIFF, one strip, memory row 0 at the top.
bool WriteTiff(const char* path, const DibImage& image, int significantBits);

// 10, 12 and 16 are the sample widths the camera's 16-bit data comes in.
inline bool IsSignificantBits(int bits) { return bits == 10 || bits == 12 || bits == 16; }

}  // namespace veltcam
