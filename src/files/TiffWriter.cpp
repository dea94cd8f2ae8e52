// TIFF stills through libtiff: uncompressed, contiguous samples, one strip.
#include <tiffio.h>

#include "files/StillImageFile.h"
#include "files/WriterKernels.h"
#include "imaging/Conversions.h"
#include "imaging/PixelOp.h"

namespace veltcam {
namespace {

struct TiffLayout {
    int bitsPerSample;
    int photometric;
    int samplesPerPixel;
};

bool LayoutFor(int bits, TiffLayout& out) {
    switch (bits) {
        case 8:
            out = {8, PHOTOMETRIC_MINISBLACK, 1};
            return true;
        case 16:
            out = {16, PHOTOMETRIC_MINISBLACK, 1};
            return true;
        case 24:
            out = {8, PHOTOMETRIC_RGB, 3};
            return true;
        case 32:
            out = {8, PHOTOMETRIC_RGB, 4};
            return true;
        case 48:
            out = {16, PHOTOMETRIC_RGB, 3};
            return true;
        case 64:
            out = {16, PHOTOMETRIC_RGB, 4};
            return true;
        default:
            return false;
    }
}

// Kernel that turns the image's memory into TIFF samples (R first, full-scale
// 16-bit samples, opaque fourth 16-bit sample); null when the memory is already
// what TIFF stores.
PixelKernel KernelFor(int bits, int significantBits) {
    const bool ten = significantBits == 10;
    const bool full = significantBits == 16;
    switch (bits) {
        case 16:
            return full ? nullptr : ten ? conversions::Mono10To16 : conversions::Mono12To16;
        case 24:
        case 32:
            // Into a fresh image: the fourth byte of a 32-bit pixel stays 0.
            return conversions::SwapRedBlue;
        case 48:
            return full  ? writer_kernels::Color48Swapped
                   : ten ? conversions::Color48Scale10Swapped
                         : conversions::Color48Scale12Swapped;
        case 64:
            return full  ? writer_kernels::Color64SwappedOpaqueAlpha
                   : ten ? conversions::Color64Scale10Swapped
                         : conversions::Color64Scale12Swapped;
        default:
            return nullptr;
    }
}

bool WritePixels(TIFF* tiff, const DibImage& image) {
    const tmsize_t packed = static_cast<tmsize_t>(image.Width()) * (image.Bits() / 8);
    if (packed == image.RowBytes()) {
        // Rows without padding are the strip exactly as it goes into the file.
        const tmsize_t bytes = packed * image.Height();
        return TIFFWriteEncodedStrip(tiff, 0, const_cast<uint8_t*>(image.Pixels()), bytes) == bytes;
    }
    // Padded rows: the strip is assembled from the rows without their padding.
    for (int y = 0; y < image.Height(); ++y) {
        if (TIFFWriteScanline(tiff, const_cast<uint8_t*>(image.Row(y)), static_cast<uint32_t>(y),
                              0) != 1) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool WriteTiff(const char* path, const DibImage& image, int significantBits) {
    TiffLayout layout{};
    if (path == nullptr || !image.IsValid() || !LayoutFor(image.Bits(), layout)) return false;
    if (layout.bitsPerSample == 16 && !IsSignificantBits(significantBits)) return false;

    const DibImage* source = &image;
    DibImage converted;
    if (PixelKernel kernel = KernelFor(image.Bits(), significantBits)) {
        if (!converted.CreateLike(image) ||
            ApplyPixelOp(converted, kernel, image, nullptr, 0, 0, nullptr) != 1) {
            return false;
        }
        source = &converted;
    }

    TIFF* tiff = TIFFOpen(path, "w");
    if (tiff == nullptr) return false;
    const auto height = static_cast<uint32_t>(image.Height());
    bool ok = TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(image.Width())) == 1 &&
              TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height) == 1 &&
              TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE) == 1 &&
              TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) == 1 &&
              TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, layout.bitsPerSample) == 1 &&
              TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, layout.photometric) == 1 &&
              TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, layout.samplesPerPixel) == 1 &&
              // The whole image is strip 0, however it is handed to the library.
              TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, height) == 1;
    ok = ok && WritePixels(tiff, *source);
    // The directory goes out here; TIFFClose would drop a failure to write it.
    ok = ok && TIFFFlush(tiff) == 1;
    TIFFClose(tiff);
    return ok;
}

}  // namespace veltcam
