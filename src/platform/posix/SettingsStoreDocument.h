// The Linux settings file held in memory: registry-export text ("[key]" headers,
// "name"=dword:... and "name"=hex:... lines), kept line by line.
//
// The file is meant to be read and edited by people, so it is never rejected as a
// whole. Lines that do not parse (garbage, a header without its bracket, a value
// with bad data, text in another encoding) are kept exactly as they are and written
// back in place; they only never yield a value. A broken line that still names a
// value is replaced when that value is written. Names of keys and values compare
// without regard to ASCII case, as in the registry; when a key's header or a value
// appears more than once, the last value line wins, as an import would leave it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltcam::platform {

struct RegValue {
    enum class Type {
        kDword,
        kBinary,
        kOther,      // a well-formed value of a type the SDK does not read (string, hex(n), delete)
        kMalformed,  // names a value but its data does not parse
    };
    Type type = Type::kOther;
    uint32_t dword = 0;
    std::vector<uint8_t> bytes;
};

class CRegDocument {
  public:
    static CRegDocument Parse(std::string_view text);
    std::string Serialize() const;

    // Key paths are full ("HKEY_CURRENT_USER\\Software\\..."). A key exists when it
    // or any key below it has a header.
    bool HasKey(std::string_view keyPath) const;
    std::optional<RegValue> FindValue(std::string_view keyPath, std::string_view name) const;

    void AddKey(std::string_view keyPath);
    void SetDword(std::string_view keyPath, std::string_view name, uint32_t value);
    void SetBinary(std::string_view keyPath, std::string_view name, const uint8_t* bytes,
                   size_t count);

  private:
    struct Line {
        std::string text;  // as in the file; several physical lines for continued hex data
        bool named = false;
        std::string name;
        RegValue value;
    };
    struct Section {
        std::string header;  // the header line as in the file
        bool valid = false;  // a header that names a key
        std::string path;
        std::vector<Line> lines;
    };

    void SetLine(std::string_view keyPath, std::string_view name, std::string text, RegValue value);
    Section& AppendSection(std::string_view keyPath);

    std::vector<Line> preamble_;  // version line, comments, anything before the first header
    std::vector<Section> sections_;
};

}  // namespace veltcam::platform
