// The platform's side of the setting dialogs: the windows that show a dialog model
// and run it modally on the caller's thread. Platforms without dialog windows
// answer false to DialogsAvailable and the SDK object reports them unsupported.
#pragma once

#include <functional>

#include "platform/Messages.h"
#include "ui/FormatDialogModel.h"

namespace veltcam::ui {

class CAnalogDialogModel;
class CImageDialogModel;

bool DialogsAvailable();

// The language of the dialog templates and labels: the system default language.
DialogLanguage SystemDialogLanguage();

// Told the dialog's window once it exists and null just before it goes, so that
// the display thread can post refreshes to it (kImageDialogRefresh, ...).
using DialogWindowSink = std::function<void(platform::WindowHandle)>;

// Each runs its dialog to the end and returns 1 when it ended with OK, else 0.
int RunCameraDialog(CFormatDialogModel& model, platform::WindowHandle owner);
int RunAnalogDialog(CAnalogDialogModel& model, platform::WindowHandle owner,
                    const DialogWindowSink& sink);
int RunImageDialog(CImageDialogModel& model, platform::WindowHandle owner,
                   const DialogWindowSink& sink);

}  // namespace veltcam::ui
