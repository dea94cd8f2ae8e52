#include "foundation/DibImage.h"

#include <cstring>
#include <limits>
#include <new>

namespace veltcam {
namespace {

// Largest pixel memory we hand out: keeps every row offset and byte count inside
// the 32-bit sizes that bitmap headers and file formats carry.
constexpr int64_t kMaxImageBytes = std::numeric_limits<int32_t>::max();

}  // namespace

DibImage::DibImage() = default;

DibImage::~DibImage() { Free(); }

bool DibImage::Create(int width, int height, int bits) {
    Free();
    if (width <= 0 || height <= 0 || bits <= 0) return false;
    const int64_t rowBytes = RowBytesFor(width, bits);
    if (rowBytes <= 0 || rowBytes > kMaxImageBytes / height) return false;

    info_.header.width = width;
    info_.header.height = height;
    info_.header.planes = 1;
    info_.header.bitCount = static_cast<uint16_t>(bits);
    width_ = width;
    height_ = height;
    bits_ = bits;
    rowBytes_ = static_cast<int>(rowBytes);
    if (bits == 8) {
        for (int i = 0; i < 256; ++i) {
            auto v = static_cast<uint8_t>(i);
            info_.colors[i] = RgbQuad{v, v, v, 0};
        }
    }
    if (!Allocate(nullptr)) {
        Free();
        return false;
    }
    return true;
}

bool DibImage::CreateLike(const DibImage& other) {
    if (&other == this || other.width_ <= 0 || other.height_ <= 0 || other.bits_ <= 0) return false;
    BitmapInfo info = other.info_;
    void* referenceDc = other.surface_.dc;
    // A new DIB section selected into a fresh DC leaves `other` untouched.
    Free();
    info_ = info;
    width_ = other.width_;
    height_ = other.height_;
    bits_ = other.bits_;
    rowBytes_ = other.rowBytes_;
    if (!Allocate(referenceDc)) {
        Free();
        return false;
    }
    return true;
}

bool DibImage::Allocate(void* referenceDc) {
    if (platform::CreateDibSurface(info_, referenceDc, surface_)) {
        pixels_ = surface_.pixels;  // DIB sections arrive zeroed
        return true;
    }
    heapPixels_.reset(new (std::nothrow) uint8_t[SizeBytes()]);
    if (!heapPixels_) return false;
    std::memset(heapPixels_.get(), 0, SizeBytes());
    pixels_ = heapPixels_.get();
    return true;
}

void DibImage::Free() {
    platform::ReleaseDibSurface(surface_);
    heapPixels_.reset();
    pixels_ = nullptr;
    info_ = BitmapInfo{};
    width_ = height_ = bits_ = rowBytes_ = 0;
}

void DibImage::SetGrayColorTable() {
    for (int i = 0; i < 256; ++i) {
        auto v = static_cast<uint8_t>(i);
        info_.colors[i] = RgbQuad{v, v, v, 0};
    }
    platform::SetSurfaceColorTable(surface_.dc, 0, 256, info_.colors);
}

void DibImage::SetDeviceColorTable(int first, int count, const RgbQuad* entries) {
    if (first < 0 || count <= 0 || first + count > 256) return;
    platform::SetSurfaceColorTable(surface_.dc, first, count, entries);
}

bool DibImage::Blit(const DibImage& source, int x, int y) {
    return Blit(source, 0, 0, source.width_, source.height_, x, y);
}

bool DibImage::Blit(const DibImage& source, int sx, int sy, int w, int h, int x, int y) {
    return platform::BlitSurface(surface_.dc, x, y, w, h, source.surface_.dc, sx, sy);
}

}  // namespace veltcam
