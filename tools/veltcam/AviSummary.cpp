#include "AviSummary.h"

#include <cstdint>
#include <cstring>
#include <fstream>

namespace veltcam::tool {
namespace {

int32_t Le32(const unsigned char* p) {
    return static_cast<int32_t>(p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

long long FileSize(const std::string& fileName) {
    std::ifstream file(fileName, std::ios::binary | std::ios::ate);
    return file ? static_cast<long long>(file.tellg()) : 0;
}

AviSummary ReadAviSummary(const std::string& fileName) {
    // RIFF 'AVI ' LIST 'hdrl' then the 'avih' main header.
    unsigned char header[88] = {};
    std::ifstream file(fileName, std::ios::binary);
    AviSummary summary;
    if (!file.read(reinterpret_cast<char*>(header), sizeof header)) return summary;
    if (std::memcmp(header, "RIFF", 4) != 0 || std::memcmp(header + 8, "AVI ", 4) != 0 ||
        std::memcmp(header + 24, "avih", 4) != 0) {
        return summary;
    }
    const unsigned char* avih = header + 32;
    summary.microsecondsPerFrame = Le32(avih);
    summary.frames = Le32(avih + 16);
    summary.width = Le32(avih + 32);
    summary.height = Le32(avih + 36);
    summary.valid = true;
    return summary;
}

}  // namespace veltcam::tool
