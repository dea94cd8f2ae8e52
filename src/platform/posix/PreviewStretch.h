// Nearest-neighbour stretch of a converted frame into the 32-bit pixels an X11
// TrueColor window takes (0x00RRGGBB), rows top-down.
//
// The picture is the one the Windows preview shows: destination pixel (c, r) takes
// source column c * srcWidth / dstWidth and row r * srcHeight / dstHeight,
// counted from the image's first stored row; 8-bit images go through the grey
// palette. The reference is the plain per-pixel loop; the fast version must
// produce exactly the same pixels.
#pragma once

#include <cstdint>
#include <vector>

namespace veltcam::platform {

struct StretchSource {
    const uint8_t* pixels = nullptr;
    int width = 0;
    int height = 0;
    int bits = 0;  // 8 (grey) or 24 (B, G, R)
    int rowBytes = 0;
};

struct StretchTarget {
    uint32_t* pixels = nullptr;
    int width = 0;
    int height = 0;
    int stridePixels = 0;
};

// False for a format other than 8 or 24 bits or a non-positive size.
bool StretchReference(const StretchSource& source, const StretchTarget& target);

// Keeps the column table between frames: it only changes with the sizes.
class CPreviewStretcher {
  public:
    bool Stretch(const StretchSource& source, const StretchTarget& target);

  private:
    std::vector<uint32_t> columnOffsets_;  // source byte offset per destination column
    int tableSrcWidth_ = 0;
    int tableDstWidth_ = 0;
    int tableBytesPerPixel_ = 0;
    int wideLoads_ = 0;  // leading columns whose 4-byte load stays inside the row
};

}  // namespace veltcam::platform
