// The configuration file: a flat list of 8-byte records (two little-endian 32-bit
// integers each) that the application can hand to the SDK object. This camera keeps
// the list for the application and reads nothing from it.
#include <cstdio>
#include <memory>

#include "sdk/CVeltCam.h"
#include "sdk/WidePath.h"

namespace veltcam {
namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

int32_t LittleEndian32(const unsigned char* bytes) {
    return static_cast<int32_t>(
        static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
        static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24);
}

}  // namespace

int CVeltCam::LoadConfigFile(const char* path) {
    if (path == nullptr) return 0;
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path, "rb"));
    if (!file) return 0;

    // The records are collected first and swapped in under the lock, so a read
    // error leaves the previous list as it was and the lock is held only briefly.
    std::vector<std::array<int32_t, 2>> records;
    unsigned char buffer[8 * 1024];
    size_t pending = 0;  // bytes of an incomplete record carried to the next read
    while (true) {
        size_t got = std::fread(buffer + pending, 1, sizeof buffer - pending, file.get());
        size_t available = pending + got;
        size_t complete = available / 8 * 8;
        for (size_t i = 0; i < complete; i += 8) {
            records.push_back({LittleEndian32(buffer + i), LittleEndian32(buffer + i + 4)});
        }
        pending = available - complete;
        for (size_t i = 0; i < pending; ++i) buffer[i] = buffer[complete + i];
        if (got == 0) break;
    }
    // Trailing bytes short of a whole record are ignored.
    if (std::ferror(file.get())) return 0;

    std::lock_guard<std::mutex> lock(maskLock_);
    configList_.swap(records);
    return 1;
}

int CVeltCam::LoadConfigFileW(const wchar_t* path) {
    NarrowPath narrow;
    if (!ToNarrowPath(path, narrow)) {
        Report(kErrFailed);
        return 0;
    }
    return LoadConfigFile(narrow);
}

std::vector<std::array<int32_t, 2>> CVeltCam::ConfigList() {
    std::lock_guard<std::mutex> lock(maskLock_);
    return configList_;
}

}  // namespace veltcam
