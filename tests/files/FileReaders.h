// Independent readers for the files the SDK writes: libpng, libtiff and libjpeg
// decode PNG, TIFF and JPEG; BMP, raw and AVI are taken apart byte by byte. Every
// reader returns the picture top row first, samples in the file's channel order.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace veltcam::file_tests {

std::vector<uint8_t> ReadBytes(const std::filesystem::path& path);
inline uint32_t Get16(const std::vector<uint8_t>& b, size_t at) { return b[at] | (b[at + 1] << 8); }
inline uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
    return Get16(b, at) | (Get16(b, at + 2) << 16);
}
inline std::string Id(const std::vector<uint8_t>& b, size_t at) {
    return std::string(reinterpret_cast<const char*>(b.data() + at), 4);
}

struct Picture {
    int width = 0;
    int height = 0;
    int channels = 0;
    int depth = 0;  // bits per sample
    std::vector<uint32_t> samples;
    uint32_t At(int x, int y, int c) const {
        return samples[(static_cast<size_t>(y) * width + x) * channels + c];
    }
};

// PNG: samples assembled from the stored bytes, 16-bit ones as big-endian.
struct PngFile {
    Picture picture;
    int colourType = -1;
    bool ok = false;
};
PngFile ReadPng(const std::filesystem::path& path);

struct TiffFile {
    Picture picture;
    int compression = 0, planar = 0, photometric = 0, strips = 0;
    bool ok = false;
};
TiffFile ReadTiff(const std::filesystem::path& path);

struct JpegFile {
    Picture picture;
    bool progressive = false;
    int sofMarker = 0;  // 0xC0 baseline, 0xC2 progressive, ... the first SOF in the file
    std::vector<uint16_t> lumaTable;  // quantisation table 0, natural order
    bool ok = false;
};
JpegFile ReadJpeg(const std::filesystem::path& path);
// The luminance table libjpeg builds for `quality` with baseline tables.
std::vector<uint16_t> LumaTableFor(int quality);

// Scratch folder, removed with everything in it at the end of the test.
class ScratchFolder {
  public:
    ScratchFolder();
    ~ScratchFolder();
    std::filesystem::path operator/(const std::string& name) const { return folder_ / name; }
    // Narrow path for the SDK's char* interfaces.
    static std::string Narrow(const std::filesystem::path& p) { return p.string(); }

  private:
    std::filesystem::path folder_;
};

}  // namespace veltcam::file_tests
