// The mask file: the four reference frames of the defect-pixel mask behind a
// 40-byte header ("NORVIK MASK1000", sizes), 18 874 408 bytes, little-endian.
// The defect flags are not stored; they are rebuilt from the references.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "imaging/DefectMask.h"

namespace veltcam {

constexpr size_t kMaskHeaderBytes = 40;
constexpr size_t kMaskBlock8Bytes = 3145728;   // 2048 x 1536 x 1
constexpr size_t kMaskBlock16Bytes = 6291456;  // 2048 x 1536 x 2
constexpr size_t kMaskFileBytes = kMaskHeaderBytes + 2 * kMaskBlock8Bytes + 2 * kMaskBlock16Bytes;

// Writes header and references (the caller holds the mask lock); the initial
// references when the planes have none. False when the file cannot be created or
// a write fails.
bool WriteMaskFile(const char* path, const MaskPlanes& planes);

// A mask file read whole and checked, not yet applied.
struct MaskFileContent {
    std::vector<uint8_t> bytes;
};

// Reads and checks a mask file: the magic including its terminating zero, the
// sensor size, the four block sizes, and that all four blocks are present. False
// (content empty) for a missing, short or foreign file. Touches no reference, so
// it needs no lock.
bool ReadMaskFile(const char* path, MaskFileContent& content);

// Copies checked content into the four references (under the mask lock) and
// rebuilds all four flag planes.
void ApplyMaskFile(const MaskFileContent& content, const MaskPlanes& planes);

}  // namespace veltcam
