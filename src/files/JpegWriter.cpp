// JPEG stills through libjpeg: progressive, baseline quantisation tables.
#include <csetjmp>
#include <cstdio>
#include <memory>
#include <new>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

#include "files/StillImageFile.h"
#include "imaging/Conversions.h"
#include "imaging/PixelOp.h"

namespace veltcam {
namespace {

// libjpeg's own handler ends the process on any error (a full disk, say). This one
// jumps back to the writer, which cleans up and reports failure instead.
struct RecoveringErrorManager {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

[[noreturn]] void JumpBack(j_common_ptr info) {
    (*info->err->output_message)(info);
    std::longjmp(reinterpret_cast<RecoveringErrorManager*>(info->err)->jump, 1);
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// Turns memory rows into the rows libjpeg takes: grey bytes, or R, G, B. One row
// at a time, so a still needs no second frame-sized image.
class CRowSource {
  public:
    CRowSource(const DibImage& image, int significantBits) : image_(image) {
        switch (image.Bits()) {
            case 16:
                kernel_ = significantBits == 10   ? conversions::Mono10To8Flipped
                          : significantBits == 12 ? conversions::Mono12To8Flipped
                                                  : conversions::MonoHighByteFlipped;
                break;
            case 32:
                kernel_ = conversions::Color32To24;
                break;
            case 48:
            case 64:
                kernel_ = conversions::Color48HighBytes;
                break;
            default:  // 8 and 24 bits are read as they are
                break;
        }
        colour_ = image.Bits() > 16;
    }

    bool Valid() const {
        const int bits = image_.Bits();
        return bits == 8 || bits == 16 || bits == 24 || bits == 32 || bits == 48 || bits == 64;
    }
    bool Colour() const { return colour_; }

    // Memory for one converted row and one row in file order.
    bool Allocate() {
        if (kernel_ != nullptr && !row_.Create(image_.Width(), 1, colour_ ? 24 : 8)) return false;
        if (colour_) {
            rgb_.reset(new (std::nothrow) JSAMPLE[static_cast<size_t>(image_.Width()) * 3]);
            if (!rgb_) return false;
        }
        return true;
    }

    // Row `y` of the picture (memory row `y`), ready for libjpeg.
    JSAMPROW Row(int y) {
        const uint8_t* bytes = image_.Row(y);
        if (kernel_ != nullptr) {
            // One-row rectangle: a flipped kernel turns it onto itself.
            const PixelRect rect{0, y, image_.Width(), y + 1};
            ApplyPixelOp(row_, kernel_, image_, &rect, 0, 0, nullptr);
            bytes = row_.Row(0);
        }
        if (!colour_) return const_cast<JSAMPROW>(bytes);  // libjpeg only reads it
        // Locals: byte stores may alias any member, which would reload them per pixel.
        JSAMPLE* rgb = rgb_.get();
        const int width = image_.Width();
        for (int x = 0; x < width; ++x) {
            rgb[3 * x] = bytes[3 * x + 2];
            rgb[3 * x + 1] = bytes[3 * x + 1];
            rgb[3 * x + 2] = bytes[3 * x];
        }
        return rgb;
    }

  private:
    const DibImage& image_;
    PixelKernel kernel_ = nullptr;
    bool colour_ = false;
    DibImage row_;
    std::unique_ptr<JSAMPLE[]> rgb_;
};

// Everything between setjmp and a library error is plain C state or owned by the
// caller: no destructor is skipped by the jump.
bool Compress(std::FILE* file, CRowSource& rows, int width, int height, int quality) {
    jpeg_compress_struct info{};
    RecoveringErrorManager errors;
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = JumpBack;
    if (setjmp(errors.jump) != 0) {
        jpeg_destroy_compress(&info);
        return false;
    }
    jpeg_create_compress(&info);
    jpeg_stdio_dest(&info, file);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = rows.Colour() ? 3 : 1;
    info.in_color_space = rows.Colour() ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_simple_progression(&info);
    jpeg_start_compress(&info, TRUE);
    // Memory row 0 is the top of the picture, and JPEG stores the top row first.
    for (int y = 0; y < height; ++y) {
        JSAMPROW row = rows.Row(y);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return true;
}

}  // namespace

bool WriteJpeg(const char* path, const DibImage& image, int quality, int significantBits) {
    if (path == nullptr || !image.IsValid()) return false;
    CRowSource rows(image, significantBits);
    if (!rows.Valid() || !rows.Allocate()) return false;
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path, "wb"));
    if (!file) return false;
    const bool compressed = Compress(file.get(), rows, image.Width(), image.Height(), quality);
    // Data still in the stream's buffer can fail to reach the disk only now.
    return std::fclose(file.release()) == 0 && compressed;
}

}  // namespace veltcam
