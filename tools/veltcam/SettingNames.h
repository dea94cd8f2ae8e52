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

// The ID of a name or a decimal ID; throws CUsageError for anything else.
int SettingIdFromText(const std::string& text);

}  // namespace veltcam::tool
