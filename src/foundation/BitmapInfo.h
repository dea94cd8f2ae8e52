// The device-independent bitmap header and colour table, laid out byte for byte
// like the Windows BITMAPINFO so the same bytes feed GDI, BMP files and AVI streams.
#pragma once

#include <cstdint>

namespace veltcam {

#pragma pack(push, 1)
struct BitmapInfoHeader {
    uint32_t size = 40;
    int32_t width = 0;
    int32_t height = 0;  // positive: rows stored bottom-up as far as GDI is concerned
    uint16_t planes = 0;
    uint16_t bitCount = 0;
    uint32_t compression = 0;
    uint32_t sizeImage = 0;
    int32_t xPelsPerMeter = 0;
    int32_t yPelsPerMeter = 0;
    uint32_t clrUsed = 0;
    uint32_t clrImportant = 0;
};

struct RgbQuad {
    uint8_t blue = 0;
    uint8_t green = 0;
    uint8_t red = 0;
    uint8_t reserved = 0;
};

struct BitmapInfo {
    BitmapInfoHeader header;
    RgbQuad colors[256];
};
#pragma pack(pop)

static_assert(sizeof(BitmapInfoHeader) == 40);
static_assert(sizeof(RgbQuad) == 4);
static_assert(sizeof(BitmapInfo) == 40 + 1024);

}  // namespace veltcam
