#include "platform/posix/SettingsStoreDocument.h"

#include <cstdio>
#include <iterator>

namespace veltcam::platform {
namespace {

constexpr std::string_view kVersionLine = "Windows Registry Editor Version 5.00";
constexpr std::string_view kWhitespace = " \t";

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) return false;
    }
    return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

std::string_view TrimLeft(std::string_view s) {
    size_t first = s.find_first_not_of(kWhitespace);
    return first == std::string_view::npos ? std::string_view{} : s.substr(first);
}

std::string_view TrimRight(std::string_view s) {
    size_t last = s.find_last_not_of(kWhitespace);
    return last == std::string_view::npos ? std::string_view{} : s.substr(0, last + 1);
}

std::string_view Trim(std::string_view s) { return TrimRight(TrimLeft(s)); }

bool IsBlank(std::string_view s) { return Trim(s).empty(); }

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = Lower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// "dword:" data: one to eight hex digits, nothing else.
std::optional<uint32_t> ParseDword(std::string_view digits) {
    if (digits.empty() || digits.size() > 8) return std::nullopt;
    uint32_t value = 0;
    for (char c : digits) {
        int d = HexDigit(c);
        if (d < 0) return std::nullopt;
        value = (value << 4) | static_cast<uint32_t>(d);
    }
    return value;
}

// "hex:" data: comma-separated bytes of one or two hex digits; may be empty.
std::optional<std::vector<uint8_t>> ParseHexBytes(std::string_view data) {
    std::vector<uint8_t> bytes;
    if (Trim(data).empty()) return bytes;
    while (true) {
        size_t comma = data.find(',');
        std::string_view token = Trim(data.substr(0, comma));
        if (token.empty() || token.size() > 2) return std::nullopt;
        int value = 0;
        for (char c : token) {
            int d = HexDigit(c);
            if (d < 0) return std::nullopt;
            value = value * 16 + d;
        }
        bytes.push_back(static_cast<uint8_t>(value));
        if (comma == std::string_view::npos) return bytes;
        data.remove_prefix(comma + 1);
    }
}

struct NameAndData {
    std::string name;
    std::string_view data;
};

// `"name"=data` or `@=data`; nothing when the line does not name a value.
std::optional<NameAndData> SplitValueLine(std::string_view line) {
    std::string_view s = TrimLeft(line);
    NameAndData result;
    size_t pos = 0;
    if (!s.empty() && s[0] == '@') {
        pos = 1;
    } else if (!s.empty() && s[0] == '"') {
        pos = 1;
        bool closed = false;
        while (pos < s.size()) {
            char c = s[pos++];
            if (c == '\\' && pos < s.size()) {
                result.name += s[pos++];
            } else if (c == '"') {
                closed = true;
                break;
            } else {
                result.name += c;
            }
        }
        if (!closed) return std::nullopt;
    } else {
        return std::nullopt;
    }
    s = TrimLeft(s.substr(pos));
    if (s.empty() || s[0] != '=') return std::nullopt;
    result.data = Trim(s.substr(1));
    return result;
}

RegValue ParseData(std::string_view data) {
    RegValue value;
    if (data == "-" || StartsWithNoCase(data, "hex(") || (!data.empty() && data[0] == '"')) {
        value.type = RegValue::Type::kOther;
    } else if (StartsWithNoCase(data, "dword:")) {
        auto dword = ParseDword(data.substr(6));
        value.type = dword ? RegValue::Type::kDword : RegValue::Type::kMalformed;
        value.dword = dword.value_or(0);
    } else if (StartsWithNoCase(data, "hex:")) {
        auto bytes = ParseHexBytes(data.substr(4));
        value.type = bytes ? RegValue::Type::kBinary : RegValue::Type::kMalformed;
        if (bytes) value.bytes = std::move(*bytes);
    } else {
        value.type = RegValue::Type::kMalformed;
    }
    return value;
}

// Key paths compare like registry paths: without case, ignoring a trailing backslash.
std::string_view NormalisePath(std::string_view path) {
    path = Trim(path);
    while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
    return path;
}

bool IsSameOrBelow(std::string_view candidate, std::string_view key) {
    if (candidate.size() == key.size()) return EqualNoCase(candidate, key);
    return candidate.size() > key.size() && candidate[key.size()] == '\\' &&
           EqualNoCase(candidate.substr(0, key.size()), key);
}

std::string QuoteName(std::string_view name) {
    std::string quoted = "\"";
    for (char c : name) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

}  // namespace

CRegDocument CRegDocument::Parse(std::string_view text) {
    // A byte-order mark from an editor would otherwise spoil the first line. All of
    // them go: one left over would lead the rewritten file and vanish on the next
    // reading, changing what its first line means.
    while (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);

    std::vector<std::string_view> physical;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        // Every carriage return at the end of a line belongs to its line ending, not
        // just the one of a CR LF pair: the file is written back with plain LF, and
        // "value CR CR LF" must read the same before and after that rewrite. A CR
        // anywhere else in the line stays part of its text.
        while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        physical.push_back(line);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }

    CRegDocument doc;
    for (size_t i = 0; i < physical.size(); ++i) {
        std::string_view line = physical[i];
        std::string_view trimmed = Trim(line);
        if (!trimmed.empty() && trimmed[0] == '[') {
            Section section;
            section.header = std::string(line);
            // "[-key]" deletes a key in an import: it names nothing to read.
            if (trimmed.size() >= 3 && trimmed.back() == ']' && trimmed[1] != '-') {
                std::string_view path = NormalisePath(trimmed.substr(1, trimmed.size() - 2));
                section.valid = !path.empty();
                section.path = std::string(path);
            }
            doc.sections_.push_back(std::move(section));
            continue;
        }

        Line entry;
        entry.text = std::string(line);
        std::string logical(line);
        auto split = SplitValueLine(logical);
        if (split && StartsWithNoCase(split->data, "hex")) {
            // Long binary data continues on the next lines after a trailing backslash.
            // Only indented hex continues a value, so a stray backslash never swallows
            // the header or value on the next line.
            while (!TrimRight(logical).empty() && TrimRight(logical).back() == '\\' &&
                   i + 1 < physical.size()) {
                std::string_view next = TrimLeft(physical[i + 1]);
                if (next.empty() || HexDigit(next[0]) < 0) break;
                std::string_view head = TrimRight(logical);
                logical = std::string(head.substr(0, head.size() - 1)) + std::string(next);
                entry.text += '\n';
                entry.text += physical[++i];
            }
            split = SplitValueLine(logical);
        }
        if (split) {
            entry.named = true;
            entry.name = std::move(split->name);
            entry.value = ParseData(split->data);
        }
        if (doc.sections_.empty()) {
            doc.preamble_.push_back(std::move(entry));
        } else {
            doc.sections_.back().lines.push_back(std::move(entry));
        }
    }
    return doc;
}

std::string CRegDocument::Serialize() const {
    std::string text;
    for (const Line& line : preamble_) {
        text += line.text;
        text += '\n';
    }
    for (const Section& section : sections_) {
        text += section.header;
        text += '\n';
        for (const Line& line : section.lines) {
            text += line.text;
            text += '\n';
        }
    }
    return text;
}

bool CRegDocument::HasKey(std::string_view keyPath) const {
    keyPath = NormalisePath(keyPath);
    for (const Section& section : sections_) {
        if (section.valid && IsSameOrBelow(section.path, keyPath)) return true;
    }
    return false;
}

std::optional<RegValue> CRegDocument::FindValue(std::string_view keyPath,
                                                std::string_view name) const {
    keyPath = NormalisePath(keyPath);
    const Line* found = nullptr;
    for (const Section& section : sections_) {
        if (!section.valid || !EqualNoCase(section.path, keyPath)) continue;
        for (const Line& line : section.lines) {
            if (line.named && EqualNoCase(line.name, name)) found = &line;
        }
    }
    if (found == nullptr) return std::nullopt;
    return found->value;
}

void CRegDocument::AddKey(std::string_view keyPath) {
    if (!HasKey(keyPath)) AppendSection(NormalisePath(keyPath));
}

void CRegDocument::SetDword(std::string_view keyPath, std::string_view name, uint32_t value) {
    char data[16];
    std::snprintf(data, sizeof data, "dword:%08x", static_cast<unsigned>(value));
    RegValue parsed;
    parsed.type = RegValue::Type::kDword;
    parsed.dword = value;
    SetLine(keyPath, name, QuoteName(name) + "=" + data, std::move(parsed));
}

void CRegDocument::SetBinary(std::string_view keyPath, std::string_view name, const uint8_t* bytes,
                             size_t count) {
    std::string text = QuoteName(name) + "=hex:";
    for (size_t i = 0; i < count; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, i == 0 ? "%02x" : ",%02x", bytes[i]);
        text += byte;
    }
    RegValue parsed;
    parsed.type = RegValue::Type::kBinary;
    parsed.bytes.assign(bytes, bytes + count);
    SetLine(keyPath, name, std::move(text), std::move(parsed));
}

void CRegDocument::SetLine(std::string_view keyPath, std::string_view name, std::string text,
                           RegValue value) {
    keyPath = NormalisePath(keyPath);
    Section* target = nullptr;
    for (Section& section : sections_) {
        if (!section.valid || !EqualNoCase(section.path, keyPath)) continue;
        std::erase_if(section.lines,
                      [&](const Line& line) { return line.named && EqualNoCase(line.name, name); });
        target = &section;
    }
    if (target == nullptr) target = &AppendSection(keyPath);

    Line line;
    line.text = std::move(text);
    line.named = true;
    line.name = std::string(name);
    line.value = std::move(value);
    // New values go after the key's last value, before the blank line that ends it.
    auto at = target->lines.end();
    while (at != target->lines.begin() && !std::prev(at)->named && IsBlank(std::prev(at)->text)) {
        --at;
    }
    target->lines.insert(at, std::move(line));
}

CRegDocument::Section& CRegDocument::AppendSection(std::string_view keyPath) {
    if (preamble_.empty() && sections_.empty()) {
        Line version;
        version.text = kVersionLine;
        preamble_.push_back(std::move(version));
        preamble_.push_back(Line{});
    }
    // Keep a blank line between the previous key and the new one.
    std::vector<Line>& before = sections_.empty() ? preamble_ : sections_.back().lines;
    bool headerOnly = !sections_.empty() && before.empty();
    if (headerOnly || (!before.empty() && !IsBlank(before.back().text))) before.push_back(Line{});

    Section section;
    section.header = "[" + std::string(keyPath) + "]";
    section.valid = true;
    section.path = std::string(keyPath);
    section.lines.push_back(Line{});
    sections_.push_back(std::move(section));
    return sections_.back();
}

}  // namespace veltcam::platform
