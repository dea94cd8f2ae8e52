#include "platform/TextConversion.h"

#include <windows.h>

#include <climits>

namespace veltcam::platform {
namespace {

UINT ToWin32(CodePage codePage) { return codePage == CodePage::Ansi ? CP_ACP : CP_THREAD_ACP; }

int ClampToInt(size_t n) { return n > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n); }

}  // namespace

bool WideToNarrow(const wchar_t* text, char* out, size_t outBytes, CodePage codePage) {
    if (text == nullptr || out == nullptr || outBytes == 0) return false;
    // -1 converts the terminator too; a buffer that is too small makes the call fail
    // with ERROR_INSUFFICIENT_BUFFER instead of writing a truncated path.
    int written = WideCharToMultiByte(ToWin32(codePage), 0, text, -1, out, ClampToInt(outBytes),
                                      nullptr, nullptr);
    return written > 0;
}

bool NarrowToWide(const char* text, wchar_t* out, size_t outChars, CodePage codePage) {
    if (text == nullptr || out == nullptr || outChars == 0) return false;
    int written = MultiByteToWideChar(ToWin32(codePage), MB_ERR_INVALID_CHARS, text, -1, out,
                                      ClampToInt(outChars));
    return written > 0;
}

}  // namespace veltcam::platform
