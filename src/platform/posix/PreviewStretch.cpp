#include "platform/posix/PreviewStretch.h"

#include <algorithm>
#include <cstring>

namespace veltcam::platform {
namespace {

int Nearest(int i, int srcSize, int dstSize) {
    const int64_t s = static_cast<int64_t>(i) * srcSize / dstSize;
    return static_cast<int>(std::clamp<int64_t>(s, 0, srcSize - 1));
}

bool Valid(const StretchSource& s, const StretchTarget& t) {
    return s.pixels != nullptr && t.pixels != nullptr && (s.bits == 8 || s.bits == 24) &&
           s.width > 0 && s.height > 0 && t.width > 0 && t.height > 0 &&
           t.stridePixels >= t.width && s.rowBytes >= s.width * (s.bits / 8);
}

}  // namespace

bool StretchReference(const StretchSource& source, const StretchTarget& target) {
    if (!Valid(source, target)) return false;
    const int bpp = source.bits / 8;
    for (int r = 0; r < target.height; ++r) {
        const uint8_t* s =
            source.pixels + static_cast<size_t>(Nearest(r, source.height, target.height)) *
                                static_cast<size_t>(source.rowBytes);
        uint32_t* d =
            target.pixels + static_cast<size_t>(r) * static_cast<size_t>(target.stridePixels);
        for (int c = 0; c < target.width; ++c) {
            const uint8_t* p =
                s + static_cast<size_t>(Nearest(c, source.width, target.width)) * bpp;
            d[c] = bpp == 1 ? p[0] * 0x010101u : (p[2] << 16 | p[1] << 8 | p[0]);
        }
    }
    return true;
}

bool CPreviewStretcher::Stretch(const StretchSource& source, const StretchTarget& target) {
    if (!Valid(source, target)) return false;
    const int bpp = source.bits / 8;
    if (tableSrcWidth_ != source.width || tableDstWidth_ != target.width ||
        tableBytesPerPixel_ != bpp) {
        columnOffsets_.resize(static_cast<size_t>(target.width));
        const int64_t packed = static_cast<int64_t>(source.width) * bpp;
        wideLoads_ = 0;
        for (int c = 0; c < target.width; ++c) {
            const uint32_t offset =
                static_cast<uint32_t>(Nearest(c, source.width, target.width) * bpp);
            columnOffsets_[static_cast<size_t>(c)] = offset;
            // Offsets grow with c, so the columns a 4-byte load may take form a prefix;
            // the packed row length keeps even the buffer's last row in bounds.
            if (offset + 4 <= packed) wideLoads_ = c + 1;
        }
        tableSrcWidth_ = source.width;
        tableDstWidth_ = target.width;
        tableBytesPerPixel_ = bpp;
    }
    const uint32_t* offsets = columnOffsets_.data();
    const size_t rowPixels = static_cast<size_t>(target.width);
    int previousRow = -1;
    for (int r = 0; r < target.height; ++r) {
        const int sourceRow = Nearest(r, source.height, target.height);
        uint32_t* d =
            target.pixels + static_cast<size_t>(r) * static_cast<size_t>(target.stridePixels);
        // Enlarging repeats source rows: the row just made is copied, not made again.
        if (sourceRow == previousRow) {
            std::memcpy(d, d - target.stridePixels, rowPixels * sizeof(uint32_t));
            continue;
        }
        previousRow = sourceRow;
        const uint8_t* s =
            source.pixels + static_cast<size_t>(sourceRow) * static_cast<size_t>(source.rowBytes);
        if (bpp == 1) {
            for (size_t c = 0; c < rowPixels; ++c) d[c] = s[offsets[c]] * 0x010101u;
            continue;
        }
        // B, G, R in memory is 0x00RRGGBB read little-endian: one unaligned load
        // per pixel, the fourth byte masked off.
        const size_t wide = static_cast<size_t>(wideLoads_);
        size_t c = 0;
        for (; c + 4 <= wide; c += 4) {
            uint32_t v0, v1, v2, v3;
            std::memcpy(&v0, s + offsets[c], 4);
            std::memcpy(&v1, s + offsets[c + 1], 4);
            std::memcpy(&v2, s + offsets[c + 2], 4);
            std::memcpy(&v3, s + offsets[c + 3], 4);
            d[c] = v0 & 0xFFFFFFu;
            d[c + 1] = v1 & 0xFFFFFFu;
            d[c + 2] = v2 & 0xFFFFFFu;
            d[c + 3] = v3 & 0xFFFFFFu;
        }
        for (; c < wide; ++c) {
            uint32_t v;
            std::memcpy(&v, s + offsets[c], 4);
            d[c] = v & 0xFFFFFFu;
        }
        for (; c < rowPixels; ++c) {
            const uint8_t* p = s + offsets[c];
            d[c] = static_cast<uint32_t>(p[2]) << 16 | p[1] << 8 | p[0];
        }
    }
    return true;
}

}  // namespace veltcam::platform
