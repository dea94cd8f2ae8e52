// The readers under fuzzing take a path: each input goes into one scratch file of
// this process first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

namespace veltcam::fuzz {

inline const std::string& ScratchPath() {
    static const std::string path = [] {
        const char* dir = std::getenv("TMPDIR");
        return std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/veltcam-fuzz-" +
               std::to_string(std::random_device{}());
    }();
    return path;
}

// Writes the input to the scratch file; its path, or null when that failed.
inline const char* WriteInput(const uint8_t* data, size_t size) {
    std::FILE* file = std::fopen(ScratchPath().c_str(), "wb");
    if (file == nullptr) return nullptr;
    const bool ok = std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && ok ? ScratchPath().c_str() : nullptr;
}

}  // namespace veltcam::fuzz
