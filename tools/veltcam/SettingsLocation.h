// Whether the SDK's settings store can keep what this run changes. The SDK
// drops a failed save without a word (callers rely on it carrying on), so the
// tool looks at the store's place itself and tells the user once.
#pragma once

#include <string>

namespace veltcam::tool {

// Empty when the store can be written (or the platform cannot tell); otherwise
// one sentence naming the place and why it cannot be saved there.
std::string SettingsStoreProblem();

// Prints SettingsStoreProblem() on standard error, at most once per run.
void WarnIfSettingsCannotBeSaved();

}  // namespace veltcam::tool
