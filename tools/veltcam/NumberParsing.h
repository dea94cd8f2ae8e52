// Strict text-to-number conversions for option values: the whole text or nothing.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace veltcam::tool {

std::optional<int> ParseInt(const std::string& text);

// "5s", "500ms", "2m" or plain seconds ("1.5"), as milliseconds; throws CUsageError.
int ParseDurationMs(const std::string& text);

// "a,b,c,d" as exactly `count` integers; throws CUsageError naming `what`.
std::vector<int> ParseIntList(const std::string& text, std::size_t count, const std::string& what);

}  // namespace veltcam::tool
