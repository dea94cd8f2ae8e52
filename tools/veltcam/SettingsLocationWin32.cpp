#include "SettingsLocation.h"

namespace veltcam::tool {

// The store is a key below HKEY_CURRENT_USER, which the user can always write.
std::string SettingsStoreProblem() { return {}; }

void WarnIfSettingsCannotBeSaved() {}

}  // namespace veltcam::tool
