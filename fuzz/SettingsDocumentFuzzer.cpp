// The Linux settings file is edited by people: any text must parse, and its meaning
// must survive a rewrite. Parsing what was written and writing it again gives the
// same text, and every value the first reading saw reads the same afterwards.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/posix/SettingsStoreDocument.h"

namespace {

using veltcam::platform::CRegDocument;
using veltcam::platform::RegValue;

bool SameValue(const std::optional<RegValue>& a, const std::optional<RegValue>& b) {
    if (a.has_value() != b.has_value()) return false;
    if (!a) return true;
    return a->type == b->type && a->dword == b->dword && a->bytes == b->bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const CRegDocument first = CRegDocument::Parse(text);
    const std::string written = first.Serialize();
    const CRegDocument second = CRegDocument::Parse(written);
    if (second.Serialize() != written) std::abort();
    // The names the SDK stores, under the keys it uses.
    static const char* const kKeys[] = {
        "HKEY_CURRENT_USER\\Software\\Norvik\\VeltCamM403R7Sdk",
        "HKEY_CURRENT_USER\\Software\\Norvik\\VeltCamM403R7Sdk\\Camera_00\\Gain",
        "HKEY_CURRENT_USER\\Software\\Norvik\\VeltCamM403R7Sdk\\Camera_00\\Filter",
        "HKEY_CURRENT_USER\\Software\\Norvik\\VeltCamM403R7Sdk\\Camera_00",
        "a", "[a", "a\\b",
    };
    static const char* const kNames[] = {"Global", "Exposure", "ExposureEx", "Brightness",
                                         "Size_00", "Color", "a", "", "@"};
    for (const char* key : kKeys) {
        if (first.HasKey(key) != second.HasKey(key)) std::abort();
        for (const char* name : kNames) {
            if (!SameValue(first.FindValue(key, name), second.FindValue(key, name))) std::abort();
        }
    }
    // Writing a value into whatever was read keeps the document parseable.
    CRegDocument edited = CRegDocument::Parse(text);
    edited.SetDword(kKeys[1], "Global", 0x40);
    const uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    edited.SetBinary(kKeys[1], "ExposureEx", bytes, sizeof bytes);
    const CRegDocument reread = CRegDocument::Parse(edited.Serialize());
    const auto global = reread.FindValue(kKeys[1], "Global");
    if (!global || global->type != RegValue::Type::kDword || global->dword != 0x40) std::abort();
    return 0;
}
