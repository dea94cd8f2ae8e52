// Messages the display thread posts to an open setting dialog. It never calls into
// a dialog: the dialog runs on the application's thread and reads the settings
// itself when the message arrives.
#pragma once

#include <cstdint>

namespace veltcam::ui {

// Above the SDK's frame (0x8002) and error (0x8003) messages.
constexpr uint32_t kImageDialogRefresh = 0x8000 + 0x40;  // white or gray balance changed gains
constexpr uint32_t kAnalogDialogShowGain = 0x8000 + 0x41;      // wParam: global gain
constexpr uint32_t kAnalogDialogShowExposure = 0x8000 + 0x42;  // wParam: exposure, 0.1 ms

}  // namespace veltcam::ui
