// A device-independent bitmap: the one image record of the SDK.
//
// Raw and output buffers, the preview's display buffer, the mask planes and the
// temporary images of the file writers are all DibImages. Memory row 0 is the first
// row read out of the sensor (the top of the picture); rows are padded to 4 bytes;
// colour pixels are B, G, R(, X) and 16-bit samples little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "foundation/BitmapInfo.h"
#include "platform/ImageMemory.h"

namespace veltcam {

class DibImage {
public:
    DibImage();
    ~DibImage();
    DibImage(const DibImage&) = delete;
    DibImage& operator=(const DibImage&) = delete;

    // Replaces the pixels with a new, zeroed image. Fails (leaving the record empty)
    // for a non-positive size, zero bits or a size the address space cannot hold.
    // 8-bit images get the grey colour table.
    bool Create(int width, int height, int bits);

    // Same format as `other` (which must be valid); pixels are not copied.
    bool CreateLike(const DibImage& other);

    // Releases everything; harmless on an empty record.
    void Free();

    // Entry i = (i, i, i): the palette of every 8-bit monochrome image.
    void SetGrayColorTable();
    // Sets entries on the device context only (the record's own table is unchanged).
    void SetDeviceColorTable(int first, int count, const RgbQuad* entries);

    // Copies `source` (whole, or the w × h rectangle at (sx, sy)) to (x, y) through
    // the device contexts. False when either image has no device context.
    bool Blit(const DibImage& source, int x, int y);
    bool Blit(const DibImage& source, int sx, int sy, int w, int h, int x, int y);

    bool IsValid() const { return pixels_ != nullptr; }
    uint8_t* Pixels() { return pixels_; }
    const uint8_t* Pixels() const { return pixels_; }
    uint8_t* Row(int y) { return pixels_ + static_cast<size_t>(y) * static_cast<size_t>(rowBytes_); }
    const uint8_t* Row(int y) const {
        return pixels_ + static_cast<size_t>(y) * static_cast<size_t>(rowBytes_);
    }
    int Width() const { return width_; }
    int Height() const { return height_; }
    int Bits() const { return bits_; }
    int RowBytes() const { return rowBytes_; }
    size_t SizeBytes() const { return static_cast<size_t>(rowBytes_) * static_cast<size_t>(height_); }
    bool HasDeviceContext() const { return surface_.dc != nullptr; }
    void* DeviceContext() const { return surface_.dc; }
    const BitmapInfo& Info() const { return info_; }

    // Row length in bytes for `width` pixels of `bits`, padded to 4 bytes.
    static int64_t RowBytesFor(int64_t width, int bits) { return (width * bits / 8 + 3) & ~int64_t{3}; }

private:
    bool Allocate(void* referenceDc);

    BitmapInfo info_;
    platform::DibSurface surface_;
    std::unique_ptr<uint8_t[]> heapPixels_;  // used when no DIB section can be made
    uint8_t* pixels_ = nullptr;
    int width_ = 0;
    int height_ = 0;
    int bits_ = 0;
    int rowBytes_ = 0;
};

}  // namespace veltcam
