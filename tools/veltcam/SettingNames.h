// Names of the setting-ID interface's settings for --set NAME=VALUE and the
// settings listing ("gamma", "global-gain", ...).
#pragma once

#include <span>
#include <string>

namespace veltcam::tool {

struct SettingName {
    const char* name;
    int id;
};

// Every setting this camera has, in ID order.
std::span<const SettingName> SettingNames();

// The setting a mistyped or shortened name most likely meant; empty when none
// is close.
std::string NearestSettingName(const std::string& text);

// The ID of a name or a decimal ID; throws CUsageError for anything else,
// naming the nearest setting and listing them all.
int SettingIdFromText(const std::string& text);

}  // namespace veltcam::tool
