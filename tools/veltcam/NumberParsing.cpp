#include "NumberParsing.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "Failures.h"

namespace veltcam::tool {

std::optional<int> ParseInt(const std::string& text) {
    int value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
    return value;
}

int ParseDurationMs(const std::string& text) {
    std::size_t digits = text.find_first_not_of("0123456789.");
    std::string number = text.substr(0, digits);
    std::string unit = digits == std::string::npos ? "s" : text.substr(digits);
    double scale = unit == "ms" ? 1.0 : unit == "s" ? 1000.0 : unit == "m" ? 60000.0 : 0.0;
    double value = 0;
    try {
        std::size_t used = 0;
        value = number.empty() ? -1 : std::stod(number, &used);
        if (used != number.size()) value = -1;
    } catch (const std::exception&) {
        value = -1;
    }
    double ms = value * scale;
    if (scale == 0.0 || value <= 0 || ms > 24.0 * 3600 * 1000) {
        throw CUsageError("bad duration '" + text + "' (e.g. 5s, 500ms, 2m)");
    }
    return static_cast<int>(std::lround(ms));
}

std::vector<int> ParseIntList(const std::string& text, std::size_t count, const std::string& what) {
    std::vector<int> values;
    std::size_t start = 0;
    while (true) {
        std::size_t comma = text.find(',', start);
        auto value = ParseInt(text.substr(start, comma - start));
        if (!value) break;
        values.push_back(*value);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (values.size() != count ||
        std::count(text.begin(), text.end(), ',') + 1 != static_cast<std::ptrdiff_t>(count)) {
        throw CUsageError("bad " + what + " '" + text + "'");
    }
    return values;
}

}  // namespace veltcam::tool
