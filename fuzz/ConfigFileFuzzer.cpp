// Configuration files of any length: every whole 8-byte record is read, in order,
// as two little-endian integers, and a partial record at the end is ignored.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "files/ConfigFile.h"
#include "fuzz/FuzzInputFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* path = veltcam::fuzz::WriteInput(data, size);
    if (path == nullptr) return 0;
    std::vector<veltcam::ConfigRecord> records;
    if (!veltcam::ReadConfigFile(path, records)) std::abort();
    if (records.size() != size / 8) std::abort();
    for (size_t i = 0; i < records.size(); ++i) {
        for (int half = 0; half < 2; ++half) {
            const uint8_t* p = data + 8 * i + 4 * half;
            const uint32_t expected = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 |
                                      uint32_t{p[3]} << 24;
            if (static_cast<uint32_t>(records[i][half]) != expected) std::abort();
        }
    }
    return 0;
}
