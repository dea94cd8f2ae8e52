#include "FileReaders.h"

#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>

#include <csetjmp>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>

namespace veltcam::file_tests {

std::vector<uint8_t> ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

ScratchFolder::ScratchFolder() {
    std::random_device random;
    folder_ = std::filesystem::temp_directory_path() /
              ("veltcam-files-" + std::to_string(random()) + std::to_string(random()));
    std::filesystem::create_directories(folder_);
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File OpenForReading(const std::filesystem::path& path) {
    return File(std::fopen(path.string().c_str(), "rb"));
}

void PngReadRows(png_structp png, png_infop info, std::vector<uint8_t>& data,
                 std::vector<png_bytep>& rows, PngFile& out) {
    png_read_info(png, info);
    out.picture.width = static_cast<int>(png_get_image_width(png, info));
    out.picture.height = static_cast<int>(png_get_image_height(png, info));
    out.picture.depth = png_get_bit_depth(png, info);
    out.picture.channels = png_get_channels(png, info);
    out.colourType = png_get_color_type(png, info);
    const size_t rowBytes = png_get_rowbytes(png, info);
    data.resize(rowBytes * out.picture.height);
    rows.resize(out.picture.height);
    for (int y = 0; y < out.picture.height; ++y) rows[y] = data.data() + y * rowBytes;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
}

}  // namespace

PngFile ReadPng(const std::filesystem::path& path) {
    PngFile out;
    File file = OpenForReading(path);
    if (!file) return out;
    std::vector<uint8_t> data;
    std::vector<png_bytep> rows;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_read_struct(&png, &info, nullptr);
        return out;
    }
    png_init_io(png, file.get());
    PngReadRows(png, info, data, rows, out);
    png_destroy_read_struct(&png, &info, nullptr);

    Picture& p = out.picture;
    const size_t perRow = static_cast<size_t>(p.width) * p.channels;
    p.samples.resize(perRow * p.height);
    for (int y = 0; y < p.height; ++y) {
        const uint8_t* row = rows[y];
        for (size_t i = 0; i < perRow; ++i) {
            p.samples[y * perRow + i] = p.depth == 16 ? (row[2 * i] << 8) | row[2 * i + 1] : row[i];
        }
    }
    out.ok = true;
    return out;
}

TiffFile ReadTiff(const std::filesystem::path& path) {
    TiffFile out;
    TIFF* tiff = TIFFOpen(path.string().c_str(), "r");
    if (tiff == nullptr) return out;
    uint32_t width = 0, height = 0;
    uint16_t bits = 0, samples = 0, compression = 0, planar = 0, photometric = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetField(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetField(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetField(tiff, TIFFTAG_COMPRESSION, &compression);
    TIFFGetField(tiff, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric);
    out.compression = compression;
    out.planar = planar;
    out.photometric = photometric;
    out.strips = static_cast<int>(TIFFNumberOfStrips(tiff));
    Picture& p = out.picture;
    p.width = static_cast<int>(width);
    p.height = static_cast<int>(height);
    p.depth = bits;
    p.channels = samples;
    std::vector<uint8_t> row(static_cast<size_t>(TIFFScanlineSize(tiff)));
    const size_t perRow = static_cast<size_t>(p.width) * p.channels;
    p.samples.resize(perRow * p.height);
    bool ok = true;
    for (uint32_t y = 0; y < height && ok; ++y) {
        ok = TIFFReadScanline(tiff, row.data(), y, 0) == 1;
        for (size_t i = 0; i < perRow && ok; ++i) {
            p.samples[y * perRow + i] = bits == 16 ? row[2 * i] | (row[2 * i + 1] << 8) : row[i];
        }
    }
    TIFFClose(tiff);
    out.ok = ok;
    return out;
}

namespace {

struct JumpingErrors {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

[[noreturn]] void JumpBack(j_common_ptr info) {
    std::longjmp(reinterpret_cast<JumpingErrors*>(info->err)->jump, 1);
}

bool Decode(std::FILE* file, std::vector<uint8_t>& data, JpegFile& out) {
    jpeg_decompress_struct info{};
    JumpingErrors errors;
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = JumpBack;
    if (setjmp(errors.jump) != 0) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, file);
    jpeg_read_header(&info, TRUE);
    out.progressive = info.progressive_mode != 0;
    if (info.quant_tbl_ptrs[0] != nullptr) {
        out.lumaTable.assign(info.quant_tbl_ptrs[0]->quantval,
                             info.quant_tbl_ptrs[0]->quantval + 64);
    }
    jpeg_start_decompress(&info);
    out.picture.width = static_cast<int>(info.output_width);
    out.picture.height = static_cast<int>(info.output_height);
    out.picture.channels = info.output_components;
    out.picture.depth = 8;
    const size_t rowBytes = static_cast<size_t>(info.output_width) * info.output_components;
    data.resize(rowBytes * info.output_height);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = data.data() + info.output_scanline * rowBytes;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

// The first start-of-frame marker, found by walking the marker segments.
int FirstSofMarker(const std::vector<uint8_t>& b) {
    size_t at = 2;  // after SOI
    while (at + 4 <= b.size() && b[at] == 0xFF) {
        const int marker = b[at + 1];
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
            marker != 0xCC) {
            return marker;
        }
        at += 2 + ((b[at + 2] << 8) | b[at + 3]);
    }
    return 0;
}

}  // namespace

JpegFile ReadJpeg(const std::filesystem::path& path) {
    JpegFile out;
    const std::vector<uint8_t> bytes = ReadBytes(path);
    if (bytes.size() < 4 || bytes[0] != 0xFF || bytes[1] != 0xD8) return out;
    out.sofMarker = FirstSofMarker(bytes);
    File file = OpenForReading(path);
    std::vector<uint8_t> data;
    if (!file || !Decode(file.get(), data, out)) return out;
    out.picture.samples.assign(data.begin(), data.end());
    out.ok = true;
    return out;
}

std::vector<uint16_t> LumaTableFor(int quality) {
    jpeg_compress_struct info{};
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    info.in_color_space = JCS_RGB;
    info.input_components = 3;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    std::vector<uint16_t> table(info.quant_tbl_ptrs[0]->quantval,
                                info.quant_tbl_ptrs[0]->quantval + 64);
    jpeg_destroy_compress(&info);
    return table;
}

}  // namespace veltcam::file_tests
