#include "files/ConfigFile.h"

#include <cstdio>
#include <memory>

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

bool ReadConfigFile(const char* path, std::vector<ConfigRecord>& records) {
    if (path == nullptr) return false;
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path, "rb"));
    if (!file) return false;

    std::vector<ConfigRecord> read;
    unsigned char buffer[8 * 1024];
    size_t pending = 0;  // bytes of an incomplete record carried to the next read
    while (true) {
        size_t got = std::fread(buffer + pending, 1, sizeof buffer - pending, file.get());
        size_t available = pending + got;
        size_t complete = available / 8 * 8;
        for (size_t i = 0; i < complete; i += 8) {
            read.push_back({LittleEndian32(buffer + i), LittleEndian32(buffer + i + 4)});
        }
        pending = available - complete;
        for (size_t i = 0; i < pending; ++i) buffer[i] = buffer[complete + i];
        if (got == 0) break;
    }
    if (std::ferror(file.get())) return false;
    records.swap(read);
    return true;
}

}  // namespace veltcam
