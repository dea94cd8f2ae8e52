#include "imaging/MaskFile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "foundation/ModelConstants.h"

namespace veltcam {
namespace {

constexpr char kMagic[16] = "NORVIK MASK1000";  // 15 characters and the zero byte

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

void PutLe32(uint8_t* p, int64_t v) {
    const auto u = static_cast<uint32_t>(v);
    p[0] = static_cast<uint8_t>(u);
    p[1] = static_cast<uint8_t>(u >> 8);
    p[2] = static_cast<uint8_t>(u >> 16);
    p[3] = static_cast<uint8_t>(u >> 24);
}

int32_t GetLe32(const uint8_t* p) {
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                static_cast<uint32_t>(p[2]) << 16 |
                                static_cast<uint32_t>(p[3]) << 24);
}

constexpr int kBlockPlanes[4] = {kMaskDark8, kMaskWhite8, kMaskDark16, kMaskWhite16};
constexpr size_t kBlockBytes[4] = {kMaskBlock8Bytes, kMaskBlock8Bytes, kMaskBlock16Bytes,
                                   kMaskBlock16Bytes};

// A block of the initial references (dark all 0, white all full scale) without
// planes to take it from.
bool WriteInitialBlock(std::FILE* file, int block) {
    const uint8_t value = kBlockPlanes[block] == kMaskWhite8 || kBlockPlanes[block] == kMaskWhite16
                              ? uint8_t{0xFF}
                              : uint8_t{0};
    const std::vector<uint8_t> chunk(65536, value);
    for (size_t left = kBlockBytes[block]; left > 0;) {
        const size_t n = std::min(left, chunk.size());
        if (std::fwrite(chunk.data(), 1, n, file) != n) return false;
        left -= n;
    }
    return true;
}

}  // namespace

bool WriteMaskFile(const char* path, const MaskPlanes& planes) {
    if (path == nullptr) return false;
    const bool references = planes.HasReferences();
    File file(std::fopen(path, "wb"));
    if (!file) return false;
    uint8_t header[kMaskHeaderBytes] = {};
    std::memcpy(header, kMagic, sizeof kMagic);
    PutLe32(header + 16, kSensorWidth);
    PutLe32(header + 20, kSensorHeight);
    for (int i = 0; i < 4; ++i) PutLe32(header + 24 + 4 * i, static_cast<int64_t>(kBlockBytes[i]));
    bool ok = std::fwrite(header, 1, sizeof header, file.get()) == sizeof header;
    // Rows in memory order; the planes' rows have no padding (2048 and 4096 bytes),
    // and 16-bit samples are already little-endian in memory.
    for (int i = 0; i < 4 && ok; ++i) {
        if (!references) {
            ok = WriteInitialBlock(file.get(), i);
            continue;
        }
        const DibImage& plane = planes[kBlockPlanes[i]];
        ok = std::fwrite(plane.Pixels(), 1, plane.SizeBytes(), file.get()) == plane.SizeBytes();
    }
    // A full disk may only show when the buffered tail is flushed.
    if (std::fclose(file.release()) != 0) ok = false;
    return ok;
}

bool ReadMaskFile(const char* path, MaskFileContent& content) {
    content.bytes.clear();
    if (path == nullptr) return false;
    File file(std::fopen(path, "rb"));
    if (!file) return false;
    uint8_t header[kMaskHeaderBytes];
    if (std::fread(header, 1, sizeof header, file.get()) != sizeof header) return false;
    if (std::memcmp(header, kMagic, sizeof kMagic) != 0 || GetLe32(header + 16) != kSensorWidth ||
        GetLe32(header + 20) != kSensorHeight ||
        GetLe32(header + 24) != int32_t{kMaskBlock8Bytes} ||
        GetLe32(header + 28) != int32_t{kMaskBlock8Bytes} ||
        GetLe32(header + 32) != int32_t{kMaskBlock16Bytes} ||
        GetLe32(header + 36) != int32_t{kMaskBlock16Bytes}) {
        return false;
    }
    std::vector<uint8_t> bytes(kMaskFileBytes - kMaskHeaderBytes);
    if (std::fread(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) return false;
    content.bytes = std::move(bytes);
    return true;
}

void ApplyMaskFile(const MaskFileContent& content, const MaskPlanes& planes) {
    if (!planes.HasReferences() || content.bytes.size() != kMaskFileBytes - kMaskHeaderBytes) {
        return;
    }
    const uint8_t* p = content.bytes.data();
    for (int plane : kBlockPlanes) {
        DibImage& image = planes[plane];
        std::memcpy(image.Pixels(), p, image.SizeBytes());
        p += image.SizeBytes();
    }
    BuildDefectFlags(planes, 8, 0);
    BuildDefectFlags(planes, 8, 1);
    BuildDefectFlags(planes, 16, 0);
    BuildDefectFlags(planes, 16, 1);
}

}  // namespace veltcam
