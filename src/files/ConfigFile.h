// The configuration file: a flat list of 8-byte records, two little-endian 32-bit
// integers each. Trailing bytes short of a whole record are ignored.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace veltcam {

using ConfigRecord = std::array<int32_t, 2>;

// Reads every whole record of the file at `path` into `records` (replacing what it
// held). False, `records` untouched, when the file cannot be opened or read.
bool ReadConfigFile(const char* path, std::vector<ConfigRecord>& records);

}  // namespace veltcam
