// Mask files come from anywhere. The reader accepts a file that starts with this
// camera's header and holds all four references (bytes past them are ignored),
// and refuses everything else without reading past the input.
//
// An accepted file is 18 MiB, far beyond any input libFuzzer grows, so the input
// only describes a file: byte 0 chooses its length around the full size, the
// next 40 bytes are XORed into the canonical header (zeros give a valid one) and
// the rest is repeated as the reference content. That makes both answers
// reachable, and an accepted file must then read back byte for byte and write
// out again unchanged.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/DibImage.h"
#include "fuzz/FuzzInputFile.h"
#include "imaging/DefectMask.h"
#include "imaging/MaskFile.h"

namespace {

using veltcam::kMaskFileBytes;
using veltcam::kMaskHeaderBytes;

void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The header a camera of this model writes, built here from the documented
// layout rather than taken from the writer under test.
std::array<uint8_t, kMaskHeaderBytes> CanonicalHeader() {
    std::array<uint8_t, kMaskHeaderBytes> h{};
    std::memcpy(h.data(), "NORVIK MASK1000", 16);  // 15 characters and the zero byte
    PutLe32(h.data() + 16, 2048);
    PutLe32(h.data() + 20, 1536);
    PutLe32(h.data() + 24, 2048 * 1536);
    PutLe32(h.data() + 28, 2048 * 1536);
    PutLe32(h.data() + 32, 2048 * 1536 * 2);
    PutLe32(h.data() + 36, 2048 * 1536 * 2);
    return h;
}

// The file's length: exact, a few bytes short, a few bytes long, or only what the
// input holds (the short files a truncated copy leaves behind).
size_t FileLength(uint8_t mode, size_t inputSize) {
    const size_t k = 1 + (mode >> 2);
    switch (mode & 3) {
        case 0: return kMaskFileBytes;
        case 1: return kMaskFileBytes - k;
        case 2: return kMaskFileBytes + k;
        default: return inputSize;
    }
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::vector<uint8_t> bytes;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return bytes;
    uint8_t chunk[1 << 16];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
    std::fclose(f);
    return bytes;
}

struct Planes {
    std::array<veltcam::DibImage, veltcam::kMaskPlaneCount> images;
    veltcam::MaskPlanes set;
    Planes() {
        for (int i = 0; i < veltcam::kMaskPlaneCount; ++i) set.plane[i] = &images[i];
        if (!veltcam::AllocateMaskPlanes(set)) std::abort();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static const auto canonical = CanonicalHeader();

    std::vector<uint8_t> file(FileLength(data[0], size));
    bool headerValid = true;
    for (size_t i = 0; i < kMaskHeaderBytes; ++i) {
        const uint8_t flip = 1 + i < size ? data[1 + i] : 0;
        if (i < file.size()) file[i] = canonical[i] ^ flip;
        headerValid = headerValid && flip == 0;
    }
    const size_t patternAt = 1 + kMaskHeaderBytes;
    for (size_t i = kMaskHeaderBytes; i < file.size(); ++i) {
        file[i] = size > patternAt ? data[patternAt + (i - kMaskHeaderBytes) % (size - patternAt)]
                                   : static_cast<uint8_t>(i * 7);
    }
    const std::string& path = veltcam::fuzz::ScratchPath();
    if (!WriteFile(path, file)) return 0;

    veltcam::MaskFileContent content;
    const bool read = veltcam::ReadMaskFile(path.c_str(), content);
    const bool expected = headerValid && file.size() >= kMaskFileBytes;
    if (read != expected || read != !content.bytes.empty()) std::abort();
    if (!read) return 0;

    // The references are exactly the file's bytes after the header.
    if (content.bytes.size() != kMaskFileBytes - kMaskHeaderBytes ||
        std::memcmp(content.bytes.data(), file.data() + kMaskHeaderBytes, content.bytes.size()) != 0) {
        std::abort();
    }
    // Applied and saved again, the file comes back as it was (without any tail).
    static Planes planes;
    veltcam::ApplyMaskFile(content, planes.set);
    const std::string copy = path + ".out";
    if (!veltcam::WriteMaskFile(copy.c_str(), planes.set)) std::abort();
    const std::vector<uint8_t> written = ReadFile(copy);
    std::remove(copy.c_str());
    if (written.size() != kMaskFileBytes || std::memcmp(written.data(), file.data(), kMaskFileBytes) != 0) {
        std::abort();
    }
    return 0;
}
