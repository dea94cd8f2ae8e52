#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "support/PrivateSettingsStore.h"

namespace veltcam::test {

CPrivateSettingsStore::CPrivateSettingsStore() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/veltcam-settings-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
    location_ = folder_ + "/settings.reg";
    if (const char* old = std::getenv("VELTCAM_SETTINGS")) previous_ = old;
    setenv("VELTCAM_SETTINGS", location_.c_str(), 1);
}

CPrivateSettingsStore::~CPrivateSettingsStore() {
    if (previous_) {
        setenv("VELTCAM_SETTINGS", previous_->c_str(), 1);
    } else {
        unsetenv("VELTCAM_SETTINGS");
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

}  // namespace veltcam::test
