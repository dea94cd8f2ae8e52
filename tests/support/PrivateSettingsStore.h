// Points the settings store at a private, empty place for the lifetime of the
// object and removes that place afterwards, so tests never see or touch a user's
// settings and never see each other's. Linux: a settings file in a fresh temporary
// folder (VELTCAM_SETTINGS). Windows: a fresh key under HKEY_CURRENT_USER in the
// real registry (VELTCAM_SETTINGS_ROOT), deleted with everything below it.
#pragma once

#include <optional>
#include <string>

namespace veltcam::test {

class CPrivateSettingsStore {
  public:
    CPrivateSettingsStore();
    ~CPrivateSettingsStore();
    CPrivateSettingsStore(const CPrivateSettingsStore&) = delete;
    CPrivateSettingsStore& operator=(const CPrivateSettingsStore&) = delete;

    // Linux: the settings file (not created yet); Windows: the root key's path.
    const std::string& Location() const { return location_; }
    // Linux: the temporary folder holding the file.
    const std::string& Folder() const { return folder_; }

  private:
    std::string location_;
    std::string folder_;
    std::optional<std::string> previous_;
};

}  // namespace veltcam::test
