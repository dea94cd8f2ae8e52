// Chooses the driver channel: the camera simulator when VELTCAM_SIMULATOR is set
// and not empty, otherwise the installed camera driver.
#pragma once

#include <memory>
#include <string>

#include "platform/DriverChannel.h"

namespace veltcam {

// The process's channel. With the simulator selected, every caller gets the same
// simulated cameras, as they would share real ones. An options string the simulator
// refuses is reported once on standard error and the driver is used instead.
std::shared_ptr<platform::CDriverChannel> OpenDriverChannel();

// The channel chosen by `simulatorSetting` (the variable's value; empty = driver).
// `error` receives the simulator's complaint, if any.
std::shared_ptr<platform::CDriverChannel> MakeDriverChannel(const std::string& simulatorSetting,
                                                            std::string* error);

}  // namespace veltcam
