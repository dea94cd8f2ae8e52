// The dispatcher of still image files and the two formats the SDK writes itself.
#include "files/StillImageFile.h"

#include <cstring>
#include <new>

#include "files/WriterKernels.h"
#include "imaging/Conversions.h"
#include "imaging/PixelOp.h"
#include "platform/ExclusiveFile.h"

namespace veltcam {
namespace {

constexpr int kBmpFileHeaderBytes = 14;
constexpr int kBmpInfoHeaderBytes = 40;
constexpr int kBmpPaletteBytes = 256 * 4;

void Put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    Put16(p, v);
    Put16(p + 2, v >> 16);
}

// `out` (same size, `bits`) = `image` through `kernel`; false when memory runs out.
bool Convert(DibImage& out, int bits, PixelKernel kernel, const DibImage& image) {
    return out.Create(image.Width(), image.Height(), bits) &&
           ApplyPixelOp(out, kernel, image, nullptr, 0, 0, nullptr) == 1;
}

int SavePng(const char* path, const DibImage& image, int significantBits) {
    // 16-bit samples with 16 significant bits, and 8-bit samples, go out as they are;
    // everything else through a same-format copy.
    PixelKernel kernel = nullptr;
    const bool ten = significantBits == 10;
    switch (image.Bits()) {
        case 8:
        case 24:
            break;
        case 16:
            if (significantBits != 16)
                kernel = ten ? conversions::Mono10To16 : conversions::Mono12To16;
            break;
        case 48:
            if (significantBits != 16) {
                kernel = ten ? conversions::Color48Scale10 : conversions::Color48Scale12;
            }
            break;
        case 64:
            kernel = significantBits == 16 ? writer_kernels::Color64OpaqueAlpha
                     : ten                 ? conversions::Color64Scale10
                                           : conversions::Color64Scale12;
            break;
        case 32:
            kernel = conversions::Color32WithAlpha;
            break;
        default:
            return 0;
    }
    const DibImage* source = &image;
    DibImage temp;
    if (kernel != nullptr) {
        if (!Convert(temp, image.Bits(), kernel, image)) return 0;
        source = &temp;
    }
    return WritePng(path, source->Pixels(), source->Width(), source->Height(), source->Bits()) ? 1
                                                                                               : 0;
}

bool HasSixteenBitSamples(const DibImage& image) {
    return image.Bits() == 16 || image.Bits() == 48 || image.Bits() == 64;
}

}  // namespace

int SaveImageFile(const char* path, const DibImage& image, int format, int significantBits) {
    if (path == nullptr || *path == '\0' || !image.IsValid()) return 0;
    // Anything but 10, 12 or 16 would make the converted samples meaningless; the
    // formats that keep the pixel memory as it is do not care.
    if (format >= kStillJpegQ100 && format <= kStillTiff && HasSixteenBitSamples(image) &&
        !IsSignificantBits(significantBits)) {
        return 0;
    }
    try {
        switch (format) {
            case kStillBmp: {
                DibImage flipped;
                if (!flipped.CreateLike(image) ||
                    ApplyPixelOp(flipped, conversions::RowCopyFlipped, image, nullptr, 0, 0,
                                 nullptr) != 1) {
                    return 0;
                }
                return WriteBmp(flipped, path) ? 1 : 0;
            }
            case kStillRaw:
                return WriteRaw(image, path) ? 1 : 0;
            case kStillJpegQ100:
                return WriteJpeg(path, image, 100, significantBits) ? 1 : 0;
            case kStillJpegQ70:
                return WriteJpeg(path, image, 70, significantBits) ? 1 : 0;
            case kStillJpegQ20:
                return WriteJpeg(path, image, 20, significantBits) ? 1 : 0;
            case kStillPng:
                return SavePng(path, image, significantBits);
            case kStillTiff:
                return WriteTiff(path, image, significantBits) ? 1 : 0;
            default:
                return 0;
        }
    } catch (...) {
        // Only allocations can throw here; the save fails, the frame pipeline goes on.
        return 0;
    }
}

bool WriteBmp(const DibImage& image, const char* path) {
    if (!image.IsValid()) return false;
    const bool palette = image.Bits() <= 8;
    const uint32_t pixelOffset =
        kBmpFileHeaderBytes + kBmpInfoHeaderBytes + (palette ? kBmpPaletteBytes : 0);
    const uint64_t fileBytes = pixelOffset + static_cast<uint64_t>(image.SizeBytes());
    if (fileBytes > UINT32_MAX) return false;  // the header has 32 bits for it

    uint8_t header[kBmpFileHeaderBytes + kBmpInfoHeaderBytes + kBmpPaletteBytes] = {};
    header[0] = 'B';
    header[1] = 'M';
    Put32(header + 2, static_cast<uint32_t>(fileBytes));
    Put32(header + 10, pixelOffset);
    // The image's own bitmap header: positive height, so readers take the rows as
    // bottom-up, which is how the caller has arranged them.
    static_assert(sizeof(BitmapInfoHeader) == kBmpInfoHeaderBytes);
    std::memcpy(header + kBmpFileHeaderBytes, &image.Info().header, kBmpInfoHeaderBytes);
    if (palette) {
        uint8_t* entry = header + kBmpFileHeaderBytes + kBmpInfoHeaderBytes;
        for (int i = 0; i < 256; ++i, entry += 4) {
            entry[0] = entry[1] = entry[2] = static_cast<uint8_t>(i);
        }
    }

    platform::CExclusiveFile file;
    if (!file.Open(path)) return false;
    const bool written =
        file.Write(header, pixelOffset) && file.Write(image.Pixels(), image.SizeBytes());
    return file.Close() && written;
}

bool WriteRaw(const DibImage& image, const char* path) {
    if (!image.IsValid()) return false;
    platform::CExclusiveFile file;
    if (!file.Open(path)) return false;
    const bool written = file.Write(image.Pixels(), image.SizeBytes());
    return file.Close() && written;
}

}  // namespace veltcam
