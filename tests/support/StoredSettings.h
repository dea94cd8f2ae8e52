// Reading and writing single values of the settings store the way a person or an
// installer would, next to the SDK: to pre-load what a camera finds stored and to
// check what the SDK left there.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <utility>

#include "platform/SettingsStore.h"

namespace veltcam::test {

inline void WriteDwords(const std::string& path,
                        std::initializer_list<std::pair<const char*, int>> values) {
    auto key = platform::CreateSettingsKey(path);
    ASSERT_TRUE(key);
    for (auto [name, value] : values) {
        ASSERT_TRUE(key->WriteDword(name, static_cast<uint32_t>(value)));
    }
    ASSERT_TRUE(key->Commit());
}

inline std::optional<int> StoredInt(const std::string& path, const char* name) {
    auto key = platform::OpenSettingsKey(path);
    if (!key) return std::nullopt;
    auto value = key->ReadDword(name);
    if (!value) return std::nullopt;
    return static_cast<int>(*value);
}

}  // namespace veltcam::test
