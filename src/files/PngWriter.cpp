// PNG stills through libpng.
#include <png.h>

#include <cstdio>
#include <memory>
#include <new>

#include "files/StillImageFile.h"

namespace veltcam {
namespace {

[[noreturn]] void JumpBack(png_structp png, png_const_charp message) {
    std::fprintf(stderr, "libpng error: %s\n", message);
    png_longjmp(png, 1);
}

struct Layout {
    int depth;
    int colourType;
};

bool LayoutFor(int bits, Layout& out) {
    switch (bits) {
        case 8:
            out = {8, PNG_COLOR_TYPE_GRAY};
            return true;
        case 16:
            out = {16, PNG_COLOR_TYPE_GRAY};
            return true;
        case 24:
            out = {8, PNG_COLOR_TYPE_RGB};
            return true;
        case 32:
            out = {8, PNG_COLOR_TYPE_RGB_ALPHA};
            return true;
        case 48:
            out = {16, PNG_COLOR_TYPE_RGB};
            return true;
        case 64:
            out = {16, PNG_COLOR_TYPE_RGB_ALPHA};
            return true;
        default:
            return false;
    }
}

// The library state lives in this call only, so saves on several handles can run
// at the same time. Between setjmp and a library error there is nothing with a
// destructor; the caller owns the file and the row table.
bool Encode(std::FILE* file, png_bytepp rows, int width, int height, const Layout& layout) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, JumpBack, nullptr);
    if (png == nullptr) return false;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height),
                 layout.depth, layout.colourType, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    // Memory holds B, G, R and little-endian samples; PNG stores R, G, B and
    // big-endian samples. The library converts each row on a copy of its own.
    png_set_bgr(png);
    if (layout.depth == 16) png_set_swap(png);
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

bool WritePng(const char* path, const uint8_t* pixels, int width, int height, int bits) {
    Layout layout{};
    if (path == nullptr || pixels == nullptr || width <= 0 || height <= 0 ||
        !LayoutFor(bits, layout)) {
        return false;
    }
    // One pointer per memory row, each a padded row length further on: rows of any
    // width, padded or not, go out without their padding.
    const size_t pitch = static_cast<size_t>(DibImage::RowBytesFor(width, bits));
    std::unique_ptr<png_bytep[]> rows(new (std::nothrow) png_bytep[static_cast<size_t>(height)]);
    if (!rows) return false;
    for (int y = 0; y < height; ++y) {
        rows[y] = const_cast<png_bytep>(pixels + static_cast<size_t>(y) * pitch);
    }
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path, "wb"));
    if (!file) return false;
    const bool encoded = Encode(file.get(), rows.get(), width, height, layout);
    return std::fclose(file.release()) == 0 && encoded;
}

}  // namespace veltcam
