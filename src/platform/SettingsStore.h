// The per-user settings store: the handful of registry operations the SDK's
// settings need.
//
// Keys are named by their path below the SDK's root key, with backslashes between
// the parts ("Camera_00\\Gain"); an empty path is the root itself. Windows keeps
// them in the registry under HKEY_CURRENT_USER. Linux keeps them in one text file in
// registry-export syntax that a person can read and edit; there, writes made through
// a key reach the file together when the key is committed or closed, so that a
// group of values lands in one atomic update.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace veltcam::platform {

class CSettingsKey {
  public:
    using Binary8 = std::array<uint8_t, 8>;

    virtual ~CSettingsKey() = default;

    // A value of the wrong type or size reads as missing, like a value that is not there.
    virtual std::optional<uint32_t> ReadDword(const char* name) const = 0;
    virtual std::optional<Binary8> ReadBinary8(const char* name) const = 0;

    // Fail on keys opened for reading only.
    virtual bool WriteDword(const char* name, uint32_t value) = 0;
    virtual bool WriteBinary8(const char* name, const Binary8& bytes) = 0;

    // Makes the key (and the values written so far) durable; closing the key does the
    // same. False when the store could not be updated.
    virtual bool Commit() = 0;
};

// Opens an existing key for reading; null when it does not exist or the store
// cannot be read.
std::unique_ptr<CSettingsKey> OpenSettingsKey(std::string_view path);

// Opens a key for reading and writing, creating it and its parents when missing;
// null when that is not possible.
std::unique_ptr<CSettingsKey> CreateSettingsKey(std::string_view path);

// The root key below HKEY_CURRENT_USER that every path is relative to.
// On Windows the environment variable VELTCAM_SETTINGS_ROOT moves it elsewhere,
// so that tests never touch a user's real settings.
std::string SettingsRootKey();

}  // namespace veltcam::platform
