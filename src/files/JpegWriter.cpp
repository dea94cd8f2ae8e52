// JPEG stills through libjpeg: progressive, baseline quantisation tables.
#include <csetjmp>
#include <cstdio>
#include <memory>
#include <new>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

#include "files/StillImageFile.h"

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

// Everything between setjmp and a library error is plain C state: no destructor is
// skipped by the jump. `rowBuffer` holds one converted row (width × 3 bytes).
bool Compress(std::FILE* file, const DibImage& image, int quality, JSAMPLE* rowBuffer) {
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
    const bool colour = image.Bits() == 24;
    info.image_width = static_cast<JDIMENSION>(image.Width());
    info.image_height = static_cast<JDIMENSION>(image.Height());
    info.input_components = colour ? 3 : 1;
    info.in_color_space = colour ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_simple_progression(&info);
    jpeg_start_compress(&info, TRUE);
    // The image's memory rows are bottom-up; JPEG stores the top row first.
    for (int y = image.Height() - 1; y >= 0; --y) {
        const uint8_t* src = image.Row(y);
        JSAMPROW row;
        if (colour) {
            for (int x = 0; x < image.Width(); ++x) {
                rowBuffer[3 * x] = src[3 * x + 2];
                rowBuffer[3 * x + 1] = src[3 * x + 1];
                rowBuffer[3 * x + 2] = src[3 * x];
            }
            row = rowBuffer;
        } else {
            // libjpeg only reads the rows it is given.
            row = const_cast<JSAMPROW>(src);
        }
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return true;
}

}  // namespace

bool WriteJpeg(const char* path, const DibImage& image, int quality) {
    if (!image.IsValid() || (image.Bits() != 8 && image.Bits() != 24) || path == nullptr) {
        return false;
    }
    std::unique_ptr<JSAMPLE[]> rowBuffer(new (std::nothrow)
                                             JSAMPLE[static_cast<size_t>(image.Width()) * 3]);
    if (!rowBuffer) return false;
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path, "wb"));
    if (!file) return false;
    const bool compressed = Compress(file.get(), image, quality, rowBuffer.get());
    // Data still in the stream's buffer can fail to reach the disk only now.
    return std::fclose(file.release()) == 0 && compressed;
}

}  // namespace veltcam
