#include "platform/TextConversion.h"

#include <windows.h>

#include <climits>
#include <vector>

namespace veltcam::platform {
namespace {

UINT ToWin32(CodePage codePage) { return codePage == CodePage::Ansi ? CP_ACP : CP_THREAD_ACP; }

int ClampToInt(size_t n) { return n > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n); }

// Every high surrogate followed by a low one, no low one on its own. The system
// converts broken pairs into something (a default character, or an encoded lone
// surrogate) rather than failing.
bool IsValidUtf16(const wchar_t* text) {
    for (const wchar_t* p = text; *p != L'\0'; ++p) {
        if (*p >= 0xD800 && *p <= 0xDBFF) {
            if (p[1] < 0xDC00 || p[1] > 0xDFFF) return false;
            ++p;
        } else if (*p >= 0xDC00 && *p <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool WideToNarrow(const wchar_t* text, char* out, size_t outBytes, CodePage codePage) {
    if (text == nullptr || out == nullptr || outBytes == 0) return false;
    if (!IsValidUtf16(text)) return false;
    const UINT page = ToWin32(codePage);
    // Without WC_NO_BEST_FIT_CHARS the system maps characters the code page lacks to
    // look-alikes: fullwidth "．．＼" becomes "..\", and a path the caller named inside
    // a folder escapes it. Every character must convert exactly or the call fails.
    // -1 converts the terminator too; a buffer that is too small makes the call fail
    // with ERROR_INSUFFICIENT_BUFFER instead of writing a truncated path.
    BOOL usedDefault = FALSE;
    int written = WideCharToMultiByte(page, WC_NO_BEST_FIT_CHARS, text, -1, out,
                                      ClampToInt(outBytes), nullptr, &usedDefault);
    if (written == 0 && GetLastError() == ERROR_INVALID_PARAMETER) {
        // UTF-8 as the ANSI code page takes neither the flag nor the default
        // character: it represents every valid text exactly.
        usedDefault = FALSE;
        written = WideCharToMultiByte(page, WC_ERR_INVALID_CHARS, text, -1, out,
                                      ClampToInt(outBytes), nullptr, nullptr);
    }
    if (written <= 0 || usedDefault) return false;
    // The result must read back as the same text: that rules out any mapping the
    // flags above leave to the system (and system versions that ignore them).
    std::vector<wchar_t> back(static_cast<size_t>(written) + 1);
    const int read = MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, out, -1, back.data(),
                                         static_cast<int>(back.size()));
    return read > 0 && wcscmp(back.data(), text) == 0;
}

bool NarrowToWide(const char* text, wchar_t* out, size_t outChars, CodePage codePage) {
    if (text == nullptr || out == nullptr || outChars == 0) return false;
    int written = MultiByteToWideChar(ToWin32(codePage), MB_ERR_INVALID_CHARS, text, -1, out,
                                      ClampToInt(outChars));
    return written > 0;
}

}  // namespace veltcam::platform
