#include "ImageFormats.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>

#include "Failures.h"
#include "VeltCamSdk.h"

namespace veltcam::tool {
namespace {

constexpr std::array<std::pair<const char*, int>, 7> kFormats{{
    {"bmp", VELTCAM_IMAGE_BMP},
    {"raw", VELTCAM_IMAGE_RAW},
    {"jpeg100", VELTCAM_IMAGE_JPEG_Q100},
    {"jpeg70", VELTCAM_IMAGE_JPEG_Q70},
    {"jpeg20", VELTCAM_IMAGE_JPEG_Q20},
    {"png", VELTCAM_IMAGE_PNG},
    {"tiff", VELTCAM_IMAGE_TIFF},
}};

// A middle JPEG quality when only the extension says "JPEG": small files that
// still look right.
constexpr std::array<std::pair<const char*, int>, 8> kExtensions{{
    {"bmp", VELTCAM_IMAGE_BMP},
    {"raw", VELTCAM_IMAGE_RAW},
    {"jpg", VELTCAM_IMAGE_JPEG_Q70},
    {"jpeg", VELTCAM_IMAGE_JPEG_Q70},
    {"png", VELTCAM_IMAGE_PNG},
    {"tif", VELTCAM_IMAGE_TIFF},
    {"tiff", VELTCAM_IMAGE_TIFF},
    {"dib", VELTCAM_IMAGE_BMP},
}};

}  // namespace

std::vector<std::string> ImageFormatNames() {
    std::vector<std::string> names;
    for (const auto& format : kFormats) names.emplace_back(format.first);
    return names;
}

int ImageFormatFromName(const std::string& name) {
    for (const auto& format : kFormats) {
        if (name == format.first) return format.second;
    }
    throw CUsageError("unknown image format '" + name + "'");
}

int ImageFormatFromFileName(const std::string& fileName) {
    std::size_t dot = fileName.find_last_of('.');
    std::size_t slash = fileName.find_last_of("/\\");
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
        std::string extension = fileName.substr(dot + 1);
        std::transform(extension.begin(), extension.end(), extension.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        for (const auto& entry : kExtensions) {
            if (extension == entry.first) return entry.second;
        }
    }
    throw CUsageError("cannot tell the image format from '" + fileName + "'; use --format");
}

}  // namespace veltcam::tool
