#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "support/PrivateSettingsStore.h"

namespace veltcam::test {
namespace {

constexpr char kTestsKey[] = "Software\\VeltCamTests";
std::atomic<int> counter{0};

}  // namespace

CPrivateSettingsStore::CPrivateSettingsStore() {
    location_ = std::string(kTestsKey) + "\\" + std::to_string(GetCurrentProcessId()) + "_" +
                std::to_string(counter++);
    // Left over from a test run that crashed: start empty all the same.
    RegDeleteTreeA(HKEY_CURRENT_USER, location_.c_str());
    if (const char* old = std::getenv("VELTCAM_SETTINGS_ROOT")) previous_ = old;
    _putenv_s("VELTCAM_SETTINGS_ROOT", location_.c_str());
}

CPrivateSettingsStore::~CPrivateSettingsStore() {
    _putenv_s("VELTCAM_SETTINGS_ROOT", previous_ ? previous_->c_str() : "");
    RegDeleteTreeA(HKEY_CURRENT_USER, location_.c_str());
    // Succeeds only once no test key is left below it.
    RegDeleteKeyA(HKEY_CURRENT_USER, kTestsKey);
}

}  // namespace veltcam::test
