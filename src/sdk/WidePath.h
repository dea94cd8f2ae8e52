// The narrow path behind the wide-character file exports (mask, still image,
// movie and configuration files).
#pragma once

#include <cstddef>

#include "platform/TextConversion.h"

namespace veltcam {

// The narrow file functions take paths of at most 1022 bytes and the terminator.
inline constexpr size_t kNarrowPathBytes = 1023;
using NarrowPath = char[kNarrowPathBytes];

// False for a null path, one the code page cannot represent, or one that needs
// 1023 narrow bytes or more: every wide export draws the line at the same byte.
inline bool ToNarrowPath(const wchar_t* path, NarrowPath& out) {
    return path != nullptr && platform::WideToNarrow(path, out, sizeof out);
}

}  // namespace veltcam
