// On Linux the narrow side is UTF-8 whatever the locale says: the SDK's own file
// names and device names are ASCII, and application paths are UTF-8 by convention.
#include "platform/TextConversion.h"

#include <cstdint>

namespace veltcam::platform {
namespace {

size_t EncodeUtf8(uint32_t cp, char* out) {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

bool IsScalarValue(uint32_t cp) { return cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF); }

// Decodes one UTF-8 sequence at `text`; returns its length, 0 when malformed.
size_t DecodeUtf8(const unsigned char* text, uint32_t& cp) {
    unsigned char lead = text[0];
    size_t length;
    uint32_t minimum;
    if (lead < 0x80) {
        cp = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, cp = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, cp = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, cp = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((text[i] & 0xC0) != 0x80) return 0;  // also stops at the terminator
        cp = (cp << 6) | (text[i] & 0x3F);
    }
    if (cp < minimum || !IsScalarValue(cp)) return 0;  // overlong or surrogate
    return length;
}

}  // namespace

bool WideToNarrow(const wchar_t* text, char* out, size_t outBytes, CodePage) {
    if (text == nullptr || out == nullptr) return false;
    size_t used = 0;
    for (const wchar_t* p = text; *p != L'\0'; ++p) {
        uint32_t cp = static_cast<uint32_t>(*p);
        if (!IsScalarValue(cp)) return false;
        char encoded[4];
        size_t n = EncodeUtf8(cp, encoded);
        if (used + n + 1 > outBytes) return false;
        for (size_t i = 0; i < n; ++i) out[used++] = encoded[i];
    }
    if (used + 1 > outBytes) return false;
    out[used] = '\0';
    return true;
}

bool NarrowToWide(const char* text, wchar_t* out, size_t outChars, CodePage) {
    if (text == nullptr || out == nullptr) return false;
    auto p = reinterpret_cast<const unsigned char*>(text);
    size_t used = 0;
    while (*p != 0) {
        uint32_t cp;
        size_t n = DecodeUtf8(p, cp);
        if (n == 0) return false;
        if (used + 2 > outChars) return false;
        out[used++] = static_cast<wchar_t>(cp);
        p += n;
    }
    if (used + 1 > outChars) return false;
    out[used] = L'\0';
    return true;
}

}  // namespace veltcam::platform
