// Mask files come from anywhere: the reader accepts exactly the complete files of
// this camera's size and refuses everything else without reading past the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz/FuzzInputFile.h"
#include "imaging/MaskFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* path = veltcam::fuzz::WriteInput(data, size);
    if (path == nullptr) return 0;
    veltcam::MaskFileContent content;
    const bool read = veltcam::ReadMaskFile(path, content);
    if (read != !content.bytes.empty()) std::abort();
    if (read && (size < veltcam::kMaskFileBytes ||
                 content.bytes.size() != veltcam::kMaskFileBytes - veltcam::kMaskHeaderBytes)) {
        std::abort();
    }
    return 0;
}
