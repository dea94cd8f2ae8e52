// Narrow/wide text conversion for the wide-character exports.
//
// The conversions fail rather than truncate: a path that does not fit the caller's
// buffer must not silently become another path. On Windows the narrow side is the
// ANSI code page; on Linux it is UTF-8 and wchar_t holds 32-bit code points.
#pragma once

#include <cstddef>

namespace veltcam::platform {

enum class CodePage { Ansi, Thread };

// Converts `text` (null-terminated) into `out`, terminator included.
// Returns false when the text cannot be represented or does not fit `outBytes`.
bool WideToNarrow(const wchar_t* text, char* out, size_t outBytes,
                  CodePage codePage = CodePage::Thread);

// Converts `text` (null-terminated) into `out`, terminator included.
// Returns false when the text is not valid or does not fit `outChars`.
bool NarrowToWide(const char* text, wchar_t* out, size_t outChars,
                  CodePage codePage = CodePage::Thread);

}  // namespace veltcam::platform
